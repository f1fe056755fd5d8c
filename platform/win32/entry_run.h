// One job entry's run on Windows, through the ...W calls with UTF-8 paths
// converted at the boundary (platform/win32/text.h). Its concerns live in
// files of their own: the held folders (held_folder.h), listings and what
// they tell (listing.cpp), copies (copy.cpp), the other changes
// (changes.cpp), the erase of a file whose old version was kept
// (displaced.cpp), comparing contents and setting times (compare.cpp), what
// a drive keeps (drive_probe.h) and the flush before the report
// (written_drive.h).
//
// Attribute masks are Windows' own bits, limited to win32::kMaskBits.
//
// Links, as a Windows user expects of a backup:
// - A symbolic link to a file is listed, read and copied as the file it
//   names: its mask, time and length are the target's, and its copy is a
//   plain file with the target's content. One whose target is gone reads as
//   itself, and copying it fails, naming it.
// - A junction, a mount point or a symbolic link to a folder is left out of
//   every folder listing, so no pass copies it, enters it or sweeps through
//   it. A probe of its own path still finds it. So every folder a pass
//   reaches lies on the drive of the named folder it started from.
// - Nothing is ever changed through a link: replacing a file link puts the
//   copy in the link's place, deleting one removes the link, and removing a
//   folder removes the folder links it holds (which the sweep cannot see)
//   as links, each confirmed to be one on the handle that removes it.
//
// A probe without wildcards finds only the entry whose own (long) name is
// the one asked, compared as NTFS compares names: FindFirstFileExW also
// matches 8.3 short names, and a source file named REPORT~1.TXT must not be
// taken for a destination file whose short name that is.
//
// Within one pass, what a listing or a probe has told of an entry answers
// the pass's questions about it until the pass changes it (see
// platform/win32/entry_cache.h).
//
// Copies reach the disk one by one before they take their names, so no
// batch waits: Settle hands over the drives written to, and nothing else.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/entry_run.h"
#include "platform/win32/drive_probe.h"
#include "platform/win32/entry_cache.h"
#include "platform/win32/held_folder.h"
#include "platform/win32/listing.h"
#include "platform/win32/written_drive.h"

namespace fernwise {

class Win32EntryRun final : public EntryRun {
 public:
  /// How many Win32 calls the entry has made to list folders
  /// (FindFirstFileExW, FindNextFileW) and to read an entry's data by its
  /// path: what the passes cost where every call is a round trip.
  struct Calls {
    uint64_t list = 0;
    uint64_t read = 0;
  };

  /// Holds `folders` (see platform/win32/held_folder.h).
  Win32EntryRun(const EntryFolders& folders, ProgressCallback progress);
  ~Win32EntryRun() override;

  /// Reads nothing ahead: `walked` is not asked.
  void BeginPass(Role walked) override;
  /// Nothing waits at a pass's end: every copy took its name as it was made.
  void EndPass() override {}

  /// A pattern ending in "\" lists the folder's entries (as "\*" would);
  /// any other pattern goes to FindFirstFileExW as it stands, and without
  /// wildcards yields only an entry of exactly that name.
  std::string StartListing(Role role, const std::string& pattern) override;
  std::string NextName() override;
  /// From the listing's own attributes, while a folder is being listed.
  std::optional<bool> ListedIsFolder() const override;
  uint32_t ReadAttributes(Role role, const std::string& path) override;
  FileTime LastModified(Role role, const std::string& path) override;
  int64_t Length(Role role, const std::string& path) override;
  /// A link at `dest` is never the same. A file that another program keeps
  /// to itself compares as different, so that the copy that follows
  /// reports it.
  bool SameContent(const std::string& source, const std::string& dest) override;
  /// Every bit: Windows has no rule that ties a bit to a file's owner, its
  /// group or the drive it came from.
  uint32_t CarriableBits(const std::string& source,
                         const std::string& dest) override;

  void SetAttributes(const std::string& dest, uint32_t mask) override;
  /// SetFileTime on the entry itself; a link there is an error.
  void SetLastModified(const std::string& dest, FileTime time) override;
  /// Copies to a temporary file beside `dest`, flushes it, then renames it
  /// over the target; a read-only, hidden or system target is unlocked
  /// first. A source that another program holds open without read sharing
  /// is tried again for a few seconds; then the copy fails, naming it, with
  /// advice. A file the destination cannot hold (its name, its length, its
  /// encryption: platform/win32/refusal.h) is left out.
  CopyResult Copy(const std::string& source, const std::string& dest) override;
  /// As Copy, but the rename that ends it never replaces anything.
  CopyResult CopyToNewName(const std::string& displaced,
                           const std::string& target) override;
  /// Clears the read-only bit first: the destination tree is the program's.
  /// The file whose old version CopyToNewName kept last is deleted through
  /// one handle, checked to be that very file (see
  /// platform/win32/displaced.cpp).
  void Delete(Role role, const std::string& path) override;
  /// Leaves the folder out where the destination refuses its name.
  CopyResult CreateFolder(const std::string& dest) override;
  /// Nothing: a folder made here takes its permissions from its parent, as
  /// a copied file does.
  bool CarryFolder(const std::string&, const std::string&) override {
    return false;
  }
  /// On the folder's own handle, never through a junction or link.
  void SetFolderTime(const std::string& dest, FileTime time) override;
  /// Clears the read-only bit first, as Delete does, and removes the links
  /// to folders the folder holds. A link to a folder is removed as the link.
  void RemoveFolder(const std::string& dest) override;

  /// Compares the held source folder with the one its path leads to now,
  /// by volume serial number and file ID.
  bool SourceStillThere() override;
  bool ExistsAfresh(Role role, const std::string& path) override;
  /// A junction, a mount point or a symbolic link to a folder below the
  /// named folders (see listing.cpp); the named folders themselves, which
  /// the user chose, never count.
  bool IsFolderLink(Role role, const std::string& folder) override;
  /// Whether `folder` is a mount point folder whose drive is gone (see
  /// listing.cpp: Windows has no mount configuration to read).
  bool AwaitsAbsentDrive(const std::string& folder) override;
  // The run compares the folders' final paths, which name a volume one way
  // however it is reached (drive letter, mount folder, junction): no folder
  // identity tells more.
  Nesting NestingOf(Role, Role) override { return Nesting::kApart; }
  DriveTraits Traits(Role role, const std::string& folder) override;

  std::optional<RunError> Settle(
      std::vector<std::unique_ptr<WrittenDrive>>& written) noexcept override;

  const Calls& calls() const { return calls_; }

 private:
  /// Sets the last-modified time of the file or `folder` at `path` on its
  /// own handle.
  void SetWriteTime(const std::string& path, FileTime time, bool folder);
  const win32::HeldFolder& Held(Role role) const {
    return held_[static_cast<size_t>(role)];
  }
  /// `path` in the tree of `role` as the ...W calls take it (see
  /// win32::HeldFolder::Wide): names appended unchanged after \\?\.
  std::wstring Wide(Role role, const std::string& path) const {
    return Held(role).Wide(path);
  }
  /// Notes a change to `path` in the tree of `role`, for the flush.
  void Wrote(Role role, const std::string& path) {
    written_.Changed(Held(role), path);
  }

  // listing.cpp
  /// Starts `listing` on `pattern` in the tree of `role`; false where it
  /// finds nothing.
  bool Search(Role role, const std::string& pattern, win32::Listing& listing);
  bool FindRoot(const std::wstring& wide, win32::Listing& listing);
  bool FindProbed(Role role, const std::string& path, win32::Listing& listing);
  std::string NameFromListing(bool fetch_first);
  bool NextOrEnd();
  void RecordListed(const std::string& name);
  /// What is known or can be read of the entry at `path`.
  const win32::EntryData& Entry(Role role, const std::string& path,
                                const char* operation);
  bool Probe(Role role, const std::string& path);

  // copy.cpp
  /// Gives the copy just renamed to `path` in the tree of `role` its
  /// `time` again, where that drive does not keep it through a rename.
  void PutTimeBack(Role role, const std::string& path,
                   const std::optional<FILETIME>& time);
  std::optional<DWORD> Existing(Role role, const std::string& path);
  bool TooLarge(Role from, const std::string& source, Role to);

  // displaced.cpp: what tells a file from every other and one version of
  // it from the next: its volume, its file index, its length and last-write
  // time.
  struct FileIdentity {
    uint32_t volume = 0;
    uint64_t index = 0;
    uint64_t size = 0;
    uint64_t written = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
  };
  /// The identity of the entry `entry` is open on, and its attributes
  /// into `attributes` where asked; nullopt where it cannot be read.
  static std::optional<FileIdentity> IdentityOf(HANDLE entry,
                                                DWORD* attributes = nullptr);
  /// The same for the destination entry at `path` itself (a link as the
  /// link).
  std::optional<FileIdentity> IdentityAt(const std::string& path) const;
  /// Notes `path` as the file whose old version was just kept, unless its
  /// identity now differs from `before`, read before the copy: then the
  /// file changed while it was copied, and the run ends.
  void NoteKept(const std::string& path,
                const std::optional<FileIdentity>& before);
  /// Throws unless the entry at `path` is still the file kept last.
  void CheckKept(const std::string& path, const char* operation) const;
  /// Deletes the file kept last, at `path`, through one handle that is
  /// checked to be that file.
  void DeleteKept(const std::string& path);

  ProgressCallback progress_;
  /// The named folders, by Role.
  win32::HeldFolder held_[3];
  /// The one listing in progress; null when none is.
  std::unique_ptr<win32::Listing> listing_;
  win32::EntryCache entries_;
  Calls calls_;
  std::string kept_path_;  // the file whose old version was kept last
  FileIdentity kept_;
  win32::DriveTraitsCache traits_;
  /// The last folder asked whether it is marked case-sensitive, and the
  /// answer, within the pass.
  std::string case_folder_;
  std::optional<bool> case_sensitive_;
  win32::WrittenDrives written_;
};

}  // namespace fernwise
