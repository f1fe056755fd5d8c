// The in-memory file system's entry object: every duty of an entry's run,
// over the tree MemoryFileSystem keeps.
#include <algorithm>
#include <map>
#include <stdexcept>

#include "tests/support/memory_file_system.h"

namespace fernwise::testing {

namespace {

// The mask bits the in-memory file system's copies can set: Windows' own.
constexpr uint32_t kNotContentIndexed = 8192;
constexpr uint32_t kSettableBits = kAttrReadOnly | kAttrHidden | kAttrSystem |
                                   kAttrArchive | kNotContentIndexed;

// A drive an entry wrote to: the destination or secondary folder it wrote
// below, flushed with "flush <folder>".
class MemoryWrittenDrive final : public WrittenDrive {
 public:
  MemoryWrittenDrive(std::vector<std::string>& log, std::string folder)
      : log_(log), folder_(std::move(folder)) {}

  const std::string& Shown() const override { return folder_; }
  bool SameDrive(const WrittenDrive& other) const override {
    return other.Shown() == folder_;
  }
  void Flush(const ProgressCallback&) override {
    log_.push_back("flush " + folder_);
  }

 private:
  std::vector<std::string>& log_;
  std::string folder_;
};

}  // namespace

// A probe file in a folder, as it behaves on the drive mounted there.
class MemoryProbe final : public DriveProbe {
 public:
  MemoryProbe(const MemoryFileSystem& fs, const std::string& folder,
              const MemoryDrive& drive)
      : fs_(fs), folder_(folder), drive_(drive) {}

  std::optional<FileTime> SetAndReadTime(FileTime time) override {
    const int64_t step = drive_.step_ns;
    int64_t below = time.ns % step;
    if (below < 0) below += step;
    return FileTime{time.ns - below};
  }
  std::optional<uint32_t> SetAndReadMask(uint32_t mask) override {
    mask_ = (mask & drive_.kept_bits) | (mask_ & ~drive_.kept_bits);
    return mask_;
  }
  uint32_t FreshMask() const override { return kAttrArchive; }
  uint32_t SettableBits() const override { return kSettableBits; }
  bool FoundInCapitals() override { return fs_.NamesIgnoreCase(folder_); }
  bool KeepsTimeWhenRenamed() override { return drive_.rename_keeps_time; }

 private:
  const MemoryFileSystem& fs_;
  const std::string& folder_;
  const MemoryDrive& drive_;
  uint32_t mask_ = kAttrArchive;
};

class MemoryEntryRun final : public EntryRun {
 public:
  MemoryEntryRun(MemoryFileSystem& fs, EntryFolders folders,
                 ProgressCallback progress)
      : fs_(fs), folders_(std::move(folders)), progress_(std::move(progress)) {
    fs_.log_.push_back("hold " + folders_.source + " " + folders_.destination +
                       " " + folders_.secondary);
    const MemoryFileSystem::Node* node = fs_.Find(folders_.source);
    held_identity_ = node ? node->identity : 0;
  }
  ~MemoryEntryRun() override { fs_.log_.push_back("release"); }

  void BeginPass(Role) override { fs_.log_.push_back("pass"); }
  void EndPass() override {}

  std::string StartListing(Role role, const std::string& pattern) override {
    InTree(role, pattern);
    return fs_.StartListing(pattern);
  }
  std::string NextName() override { return fs_.NextName(); }
  std::optional<bool> ListedIsFolder() const override {
    return fs_.ListedIsFolder();
  }
  uint32_t ReadAttributes(Role role, const std::string& path) override {
    InTree(role, path);
    return fs_.ReadAttributes(path);
  }
  FileTime LastModified(Role role, const std::string& path) override {
    InTree(role, path);
    return fs_.LastModified(path);
  }
  int64_t Length(Role role, const std::string& path) override {
    InTree(role, path);
    return fs_.Length(path);
  }
  bool SameContent(const std::string& source,
                   const std::string& dest) override {
    InTree(Role::kSource, source);
    InTree(Role::kDestination, dest);
    return fs_.SameContent(source, dest, progress_);
  }
  uint32_t CarriableBits(const std::string& source,
                         const std::string& dest) override {
    InTree(Role::kSource, source);
    InTree(Role::kDestination, dest);
    return fs_.carriable_bits_;
  }

  void SetAttributes(const std::string& dest, uint32_t mask) override {
    Changing(Role::kDestination, dest);
    fs_.SetAttributes(dest, mask);
  }
  void SetLastModified(const std::string& dest, FileTime time) override {
    Changing(Role::kDestination, dest);
    fs_.SetLastModified(dest, time);
  }
  CopyResult Copy(const std::string& source, const std::string& dest) override {
    InTree(Role::kSource, source);
    Changing(Role::kDestination, dest);
    return fs_.CopyOnto(source, dest, true, progress_);
  }
  CopyResult CopyToNewName(const std::string& displaced,
                           const std::string& target) override {
    InTree(Role::kDestination, displaced);
    Changing(Role::kSecondary, target);
    return fs_.CopyOnto(displaced, target, false, progress_);
  }
  void Delete(Role role, const std::string& path) override {
    Changing(role, path);
    fs_.Delete(path);
  }
  CopyResult CreateFolder(const std::string& dest) override {
    Changing(Role::kDestination, dest);
    return fs_.CreateFolder(dest);
  }
  bool CarryFolder(const std::string& source,
                   const std::string& dest) override {
    InTree(Role::kSource, source);
    InTree(Role::kDestination, dest);  // carries nothing: changes nothing
    return false;
  }
  void SetFolderTime(const std::string& dest, FileTime time) override {
    Changing(Role::kDestination, dest);
    fs_.SetFolderTime(dest, time);
  }
  void RemoveFolder(const std::string& dest) override {
    Changing(Role::kDestination, dest);
    fs_.RemoveFolder(dest);
  }

  bool SourceStillThere() override;
  bool ExistsAfresh(Role role, const std::string& path) override {
    InTree(role, path);
    return fs_.ExistsAfresh(path);
  }
  // The in-memory file system has no links.
  bool IsFolderLink(Role, const std::string&) override { return false; }
  bool AwaitsAbsentDrive(const std::string& folder) override {
    InTree(Role::kSource, folder);
    return fs_.absent_drives_.contains(folder);
  }
  // Nor mounts: its paths tell every overlap.
  Nesting NestingOf(Role, Role) override { return Nesting::kApart; }
  DriveTraits Traits(Role role, const std::string& folder) override;
  std::optional<RunError> Settle(
      std::vector<std::unique_ptr<WrittenDrive>>& written) noexcept override;

 private:
  const std::string& Root(Role role) const {
    switch (role) {
      case Role::kSource:
        return folders_.source;
      case Role::kDestination:
        return folders_.destination;
      case Role::kSecondary:
        break;
    }
    return folders_.secondary;
  }
  // A path given with the wrong role is the passes' fault, never the
  // file system's: it fails the test, whatever catches RunError.
  void InTree(Role role, const std::string& path) const {
    if (!fs_.Within(path, Root(role)))
      throw std::logic_error(path + " is not in the tree of " + Root(role));
  }
  // A change below the destination or secondary folder: its drive is
  // flushed once the entry is settled.
  void Changing(Role role, const std::string& path) {
    InTree(role, path);
    const std::string& root = Root(role);
    if (!root.empty() &&
        std::find(written_.begin(), written_.end(), root) == written_.end())
      written_.push_back(root);
  }

  MemoryFileSystem& fs_;
  const EntryFolders folders_;
  const ProgressCallback progress_;
  uint64_t held_identity_ = 0;
  std::vector<std::string> written_;           // roots changed below, in order
  std::map<std::string, DriveTraits> learnt_;  // by the drive's folder
};

bool MemoryEntryRun::SourceStillThere() {
  const std::string& source = folders_.source;
  fs_.Record(MemoryFileSystem::Op::kStillThere, source, "still " + source);
  const MemoryFileSystem::Node* node = fs_.Find(source);
  if (node == nullptr || !node->folder) return fs_.IsRoot(source);
  return node->identity == held_identity_;
}

DriveTraits MemoryEntryRun::Traits(Role role, const std::string& folder) {
  InTree(role, folder);
  const std::string mount = fs_.DriveAt(folder);
  const auto drive = fs_.drives_.find(mount);
  const MemoryDrive kind =
      drive == fs_.drives_.end() ? MemoryDrive() : drive->second;
  // A source is only read: its type tells.
  if (role == Role::kSource) return TraitsOfType(kind.type, fs_.name_limit_);
  auto known = learnt_.find(mount);
  if (known == learnt_.end()) {
    fs_.log_.push_back("learn " + folder);
    MemoryProbe probe(fs_, folder, kind);
    known = learnt_
                .emplace(mount,
                         LearnDriveTraits(kind.type, fs_.name_limit_, &probe))
                .first;
  }
  DriveTraits traits = known->second;
  traits.folder_takes_mask = folder != mount || kind.root_takes_mask;
  return traits;
}

std::optional<RunError> MemoryEntryRun::Settle(
    std::vector<std::unique_ptr<WrittenDrive>>& written) noexcept {
  fs_.log_.push_back("settle");
  for (const std::string& root : written_) {
    auto drive = std::make_unique<MemoryWrittenDrive>(fs_.log_, root);
    const auto same = [&](const std::unique_ptr<WrittenDrive>& known) {
      return known->SameDrive(*drive);
    };
    if (std::none_of(written.begin(), written.end(), same))
      written.push_back(std::move(drive));
  }
  written_.clear();
  return fs_.settle_failure_;
}

std::unique_ptr<EntryRun> MemoryFileSystem::Enter(const EntryFolders& folders,
                                                  ProgressCallback progress) {
  return std::make_unique<MemoryEntryRun>(*this, folders, std::move(progress));
}

}  // namespace fernwise::testing
