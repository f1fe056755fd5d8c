// The file-system services on Windows, through the ...W calls with UTF-8
// paths converted at the boundary (platform/win32/text.h).
//
// Attribute masks are Windows' own bits, limited to those a file can be
// given with SetFileAttributesW (read-only, hidden, system, folder, archive,
// not-content-indexed): the others (compressed, sparse, encrypted, reparse
// point, the cloud-file bits) describe how a volume stores the file, which a
// destination on another volume cannot copy, so comparing them would refresh
// the same masks on every run.
//
// Links, as a Windows user expects of a backup:
// - A symbolic link to a file is listed, read and copied as the file it
//   names: its mask, time and length are the target's, and its copy is a
//   plain file with the target's content. One whose target is gone reads as
//   itself, and copying it fails, naming it.
// - A junction, a mount point or a symbolic link to a folder is left out of
//   every folder listing, so no pass copies it, enters it or sweeps through
//   it. A probe of its own path still finds it.
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
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/file_system.h"
#include "platform/win32/entry_cache.h"
#include "platform/win32/support.h"

namespace fernwise {

class Win32FileSystem final : public FileSystem {
 public:
  /// How many Win32 calls the services have made to list folders
  /// (FindFirstFileExW, FindNextFileW) and to read an entry's data by its
  /// path: what the passes cost where every call is a round trip.
  struct Calls {
    uint64_t list = 0;
    uint64_t read = 0;
  };

  Win32FileSystem();
  ~Win32FileSystem() override;

  char Separator() const override { return '\\'; }
  /// A pattern ending in "\" lists the folder's entries (as "\*" would);
  /// any other pattern goes to FindFirstFileExW as it stands, and without
  /// wildcards yields only an entry of exactly that name.
  std::string StartListing(const std::string& pattern) override;
  std::string NextName() override;
  /// From the listing's own attributes, while a folder is being listed.
  std::optional<bool> ListedIsFolder() const override;
  void BeginPass() override;
  /// Whether `folder` is a mount point folder whose drive is gone (see
  /// file_system.cpp: Windows has no mount configuration to read).
  bool AwaitsAbsentDrive(const std::string& folder) override;

  uint32_t ReadAttributes(const std::string& path) override;
  void SetAttributes(const std::string& path, uint32_t mask) override;
  /// Copies to a temporary file beside `target`, then renames it over the
  /// target; a read-only, hidden or system target is unlocked first. A
  /// source that another program holds open without read sharing is tried
  /// again for a few seconds; then the copy fails, naming it, with advice.
  CopyResult Copy(const std::string& source,
                  const std::string& target) override;
  /// As Copy, but the rename that ends it never replaces anything.
  CopyResult CopyToNewName(const std::string& source,
                           const std::string& target) override;
  FileTime LastModified(const std::string& path) override;
  /// SetFileTime on the entry itself; a link there is an error.
  void SetLastModified(const std::string& path, FileTime time) override;
  /// A link at `b` (the destination's file) is never the same. A file that
  /// another program keeps to itself compares as different, so that the
  /// copy that follows reports it.
  bool SameContent(const std::string& a, const std::string& b) override;
  int64_t Length(const std::string& path) override;
  /// Clears the read-only bit first: the destination tree is the program's.
  /// The file whose old version CopyToNewName kept last is deleted through
  /// one handle, checked to be that very file (see
  /// platform/win32/displaced.cpp).
  void Delete(const std::string& path) override;
  CopyResult CreateFolder(const std::string& path) override;
  /// Clears the read-only bit first, as Delete does, and removes the links
  /// to folders the folder holds.
  void RemoveFolder(const std::string& path) override;

  /// "~fernwise-<mark>.tmp", the copies' temporary names (see
  /// win32::NextTemporaryName).
  bool IsLeftoverTemporary(const std::string& name) const override {
    return win32::IsTemporaryName(name);
  }
  /// The volume's longest name (GetVolumeInformationW), 255 where it cannot
  /// be asked.
  size_t NameLimit(const std::string& folder) override;
  /// UTF-16 units, as Windows counts a name.
  size_t NameSize(std::string_view name) const override {
    return win32::Utf16Units(name);
  }
  /// 2 s on FAT, 10 ms on exFAT, 1 elsewhere (NTFS keeps 100 ns units, which
  /// the FileTime conversion keeps exactly).
  int64_t TimeResolution(const std::string& path) override;
  /// An hour on FAT, which keeps local time; 0 elsewhere.
  int64_t LocalTimeShift(const std::string& path) override;
  std::string ResolvePath(const std::string& path) override;
  bool IgnoresCase() const override { return true; }
  std::string CurrentDirectory() override;
  std::string ReadWholeFile(const std::string& path) override;
  std::unique_ptr<TextOutput> CreateTextFile(const std::string& path) override;
  /// %LOCALAPPDATA%\Fernwise.
  std::string StateFolder() override;
  std::unique_ptr<TextOutput> CreateNewTextFile(
      const std::string& path) override;

  const Calls& calls() const { return calls_; }

 protected:
  LocalDateTimeText LocalTexts(FileTime time) override;

 private:
  struct Listing;
  struct Volume {
    std::string path;
    win32::TimeRules rules;
  };

  std::string NameFromListing(bool fetch_first);
  void RecordListed(const std::string& name);
  /// What is known or can be read of the entry at `path`.
  const win32::EntryData& Entry(const std::string& path, const char* operation);
  win32::TimeRules VolumeRules(const std::string& path);

  /// What tells a file from every other and one version of it from the
  /// next: its volume, its file index, its length and last-write time.
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
  /// The same for the entry at `path` itself (a link as the link).
  static std::optional<FileIdentity> IdentityAt(const std::string& path);
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

  /// The one listing in progress; null when none is.
  std::unique_ptr<Listing> listing_;
  win32::EntryCache entries_;
  /// The rules of the last two volumes asked about, by the path asked.
  Volume volumes_[2];
  size_t next_volume_ = 0;
  Calls calls_;
  std::string kept_path_;  // the file whose old version was kept last
  FileIdentity kept_;
};

}  // namespace fernwise
