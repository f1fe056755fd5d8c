// An in-memory file system for the core's tests. It keeps the tree and an
// ordered log of every operation, yields names in an order the test sets, and
// fails any chosen operation on any chosen path. Its entry objects
// (MemoryEntryRun) keep every duty of an entry's run: the held source's
// identity, the drives written to, what each drive keeps, learnt through a
// probe of their own.
#pragma once

#include <cerrno>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/drive_traits.h"
#include "core/entry_run.h"
#include "core/file_system.h"
#include "core/run_error.h"

namespace fernwise::testing {

/// What the drive mounted at a folder keeps: its type, which TraitsOfType
/// reads, and what a probe file there shows.
struct MemoryDrive {
  DriveType type = DriveType::kOther;
  /// A time set on the probe file reads back truncated to this step.
  int64_t step_ns = 1;
  /// The bits of a mask set on the probe file that stick.
  uint32_t kept_bits = ~uint32_t{0};
  bool rename_keeps_time = true;
  /// Whether the folder it is mounted at takes a mask of its own (a
  /// Windows volume's root does not).
  bool root_takes_mask = true;
};

class MemoryFileSystem : public FileSystem {
 public:
  enum class Op {
    kList,
    kNextName,
    kReadAttributes,
    kSetAttributes,
    kCopy,  // matched against the source and the target path
    kLastModified,
    kLength,
    kDelete,
    kCreateFolder,
    kRemoveFolder,
    kReadWholeFile,
    kCreateTextFile,
    kWrite,  // matched against the text file's path
    kStillThere,
    kFreshLook,
    kSetTime,
    kSameContent,  // matched against the second path
  };

  /// Paths are "/a/b" with '/' or "C:\a\b" with '\\'. "" and a drive
  /// ("C:") are roots: always-present folders.
  explicit MemoryFileSystem(char separator = '/');

  // Building and inspecting the tree. Missing parents are made as folders.
  void AddFolder(const std::string& path, uint32_t mask = kAttrFolder);
  void AddFile(const std::string& path, const std::string& content = "",
               FileTime time = {}, uint32_t mask = kAttrArchive);
  void Remove(const std::string& path);  // with everything below it
  bool Exists(const std::string& path) const;
  bool IsFolder(const std::string& path) const;
  const std::string& Content(const std::string& path) const;
  FileTime Time(const std::string& path) const;
  uint32_t Mask(const std::string& path) const;
  void SetTime(const std::string& path, FileTime time);
  /// Length reports `length` for `path` instead of its content's size, so a
  /// test can stand for a file of many gigabytes.
  void SetLength(const std::string& path, int64_t length) {
    lengths_[path] = length;
  }
  /// Every path below `root`, sorted, with "/" for folders' trailing mark.
  std::vector<std::string> Tree(const std::string& root) const;

  /// Listing `folder` yields these names first, in this order, then the
  /// others in the order they were added.
  void SetListingOrder(const std::string& folder,
                       std::vector<std::string> names);
  /// Whether folder listings start with "." and "..". Default: true.
  void set_list_dots(bool list_dots) { list_dots_ = list_dots; }
  /// Whether the listing tells each entry's kind, as most POSIX file systems
  /// do. Default: false, so entries are sorted by their attributes.
  void set_listing_tells_kind(bool tells) { listing_tells_kind_ = tells; }
  /// Copies of `source`, and the making of the folder `source`, make
  /// nothing and leave it out for `reason`, as a destination that cannot
  /// hold such an entry or name does.
  void LeaveOutCopiesOf(const std::string& source, std::string reason) {
    left_out_[source] = std::move(reason);
  }
  /// Every copy reports its content in `slices` slices, as a long copy does.
  void set_copy_slices(int slices) { copy_slices_ = slices; }
  /// Copies that do not carry the time or the mask over, as some platforms'.
  void set_copy_keeps_time(bool keeps) { copy_keeps_time_ = keeps; }
  void set_copy_keeps_mask(bool keeps) { copy_keeps_mask_ = keeps; }
  /// The drive mounted at `folder` (every folder below it is on it, down to
  /// the next drive); the root's is a MemoryDrive as it comes.
  void SetDrive(const std::string& folder, MemoryDrive drive) {
    drives_[folder] = drive;
  }
  /// Shorthands for one trait of the drive at `folder`, made where none is.
  void set_time_resolution(const std::string& folder, int64_t ns) {
    drives_[folder].step_ns = ns;
  }
  void set_drive_type(const std::string& folder, DriveType type) {
    drives_[folder].type = type;
  }
  /// The bits CarriableBits answers for every entry. Default: all.
  void set_carriable_bits(uint32_t bits) { carriable_bits_ = bits; }
  void set_current_directory(std::string dir) { current_directory_ = dir; }
  /// What StateFolder answers; "" (the default) for a user without one.
  void set_state_folder(std::string folder) {
    state_folder_ = std::move(folder);
  }
  /// The longest name every drive takes, in bytes. Default: 255.
  void set_name_limit(size_t limit) { name_limit_ = limit; }
  /// Below `folder`, a name finds the entry spelled in other ASCII letter
  /// case, as on a FAT drive.
  void set_ignores_case_below(std::string folder) {
    ignores_case_below_ = std::move(folder);
  }

  /// AwaitsAbsentDrive answers true for `folder`, the mount point of a
  /// drive that is not mounted.
  void MarkAbsentDrive(std::string folder) { absent_drives_.insert(folder); }

  /// The `op` on `path` fails with `error` after `skip` calls that succeed.
  void FailOn(Op op, const std::string& path, int error = EACCES, int skip = 0);
  /// Every entry's Settle comes back with `error`, after adding the drives
  /// it wrote to.
  void FailSettle(RunError error) { settle_failure_ = std::move(error); }
  /// Called before every operation, with the operation and its path.
  void set_before_op(std::function<void(Op, const std::string&)> hook) {
    before_op_ = std::move(hook);
  }

  /// "hold /a /b /c" (an entry made), "settle", "release" (it ended),
  /// "pass", "still /a", "fresh /a/x", "learn /b" (a drive's
  /// traits learnt by a probe in the folder /b), "settime /a/x 5",
  /// "same /a/x /b/x", "flush /b",
  /// "list /a/", "next", "attr /a/x", "setattr /a/x 33",
  /// "copy /a/x -> /b/x", "time /a/x", "length /a/x", "delete /a/x",
  /// "mkdir /a/x", "rmdir /a/x", "read /a/x", "create /a/x", "write /a/x".
  const std::vector<std::string>& log() const { return log_; }
  void ClearLog() { log_.clear(); }
  /// The log lines that begin with `prefix`.
  std::vector<std::string> LogOf(const std::string& prefix) const;

  char Separator() const override { return separator_; }
  size_t NameSize(std::string_view name) const override { return name.size(); }
  /// Names that begin with ".~copy-" are this file system's temporary files.
  bool IsLeftoverTemporary(const std::string& name) const override {
    return name.rfind(".~copy-", 0) == 0;
  }
  /// Logs "hold <source> <destination> <secondary>" and remembers which
  /// folder the source is, so that one made anew in its place is another.
  std::unique_ptr<EntryRun> Enter(const EntryFolders& folders,
                                  ProgressCallback progress) override;
  std::string ResolvePath(const std::string& path) override;
  bool IgnoresCase() const override { return false; }
  std::string CurrentDirectory() override { return current_directory_; }
  std::string ReadWholeFile(const std::string& path) override;
  std::unique_ptr<TextOutput> CreateTextFile(const std::string& path) override;
  /// The folder set, made where missing; fails with ENOENT where none is.
  std::string StateFolder() override;
  /// CreateTextFile: the memory's files have no links to follow.
  std::unique_ptr<TextOutput> ReplaceTextFile(
      const std::string& path) override {
    return CreateTextFile(path);
  }
  /// Logged as "create" too; null where an entry of the name exists.
  std::unique_ptr<TextOutput> CreateNewTextFile(
      const std::string& path) override;

 protected:
  LocalDateTimeText LocalTexts(FileTime time) override;

 private:
  friend class MemoryEntryRun;
  friend class MemoryProbe;

  struct Node {
    bool folder = false;
    std::string content;
    FileTime time;
    uint32_t mask = 0;
    std::vector<std::string> children;  // in the order they were added
    uint64_t identity = 0;              // a new one for every entry made
  };
  struct Failure {
    Op op;
    std::string path;
    int error;
    int skip;
  };
  class Output;

  // What an entry's object does, by path.
  std::string StartListing(const std::string& pattern);
  std::string NextName();
  std::optional<bool> ListedIsFolder() const;
  uint32_t ReadAttributes(const std::string& path);
  void SetAttributes(const std::string& path, uint32_t mask);
  CopyResult CopyOnto(const std::string& source, const std::string& target,
                      bool replace, const ProgressCallback& progress);
  FileTime LastModified(const std::string& path);
  void SetLastModified(const std::string& path, FileTime time);
  void SetFolderTime(const std::string& path, FileTime time);
  bool SameContent(const std::string& a, const std::string& b,
                   const ProgressCallback& progress);
  int64_t Length(const std::string& path);
  void Delete(const std::string& path);
  CopyResult CreateFolder(const std::string& path);
  void RemoveFolder(const std::string& path);
  bool ExistsAfresh(const std::string& path);
  /// The folder the drive holding `folder` is mounted at.
  std::string DriveAt(const std::string& folder) const;
  bool NamesIgnoreCase(const std::string& folder) const;

  std::string Parent(const std::string& path) const;
  std::string BaseName(const std::string& path) const;
  bool IsRoot(const std::string& path) const;
  /// Whether `path` is `folder` or lies below it.
  bool Within(const std::string& path, const std::string& folder) const;
  /// The key `path` has in nodes_: itself, or below ignores_case_below_,
  /// each name spelled as the entry it finds.
  std::string Key(const std::string& path) const;
  bool BelowCaseless(const std::string& path) const;
  Node* Find(const std::string& path);
  const Node* Find(const std::string& path) const;
  Node& Get(const std::string& path, const char* operation);
  Node& Make(const std::string& path, bool folder);
  void Record(Op op, const std::string& path, const std::string& log_line);
  std::string NextNameUnlogged();
  /// Relative paths (the job script's bare name) name entries of the
  /// current directory.
  std::string Absolute(const std::string& path) const;
  [[noreturn]] void Fail(int error, const char* operation,
                         const std::string& path) const;

  char separator_;
  std::map<std::string, Node> nodes_;
  std::map<std::string, std::vector<std::string>> listing_orders_;
  std::map<std::string, MemoryDrive> drives_;
  std::map<std::string, int64_t> lengths_;
  std::map<std::string, std::string> left_out_;
  std::vector<Failure> failures_;
  std::optional<RunError> settle_failure_;
  std::set<std::string> absent_drives_;
  std::vector<std::string> log_;
  std::function<void(Op, const std::string&)> before_op_;
  std::vector<std::string> listing_;  // names left in the listing in progress
  size_t listing_next_ = 0;
  std::string listing_folder_;  // the folder being listed
  bool list_dots_ = true;
  bool listing_tells_kind_ = false;
  int copy_slices_ = 0;
  bool copy_keeps_time_ = true;
  bool copy_keeps_mask_ = true;
  uint32_t carriable_bits_ = ~uint32_t{0};
  std::string current_directory_ = "/work";
  std::string state_folder_;
  size_t name_limit_ = 255;
  std::string ignores_case_below_;
  uint64_t identities_ = 0;
};

}  // namespace fernwise::testing
