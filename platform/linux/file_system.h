// The file-system services on Linux, behaving as cp -a and rsync -a users
// expect.
//
// Attribute mask:
//   1            read-only: the owner's write permission is clear
//   2            hidden: the name begins with "."
//   16           folder: a directory (a link to one is not a folder)
//   bits 16..27  the permission bits (mode & 07777) shifted left by 16, so a
//                change of permissions alone shows as a different mask
// Setting a mask sets the permission bits and nothing else: read-only is
// what they say, hidden follows the name. Links have no permissions of their
// own on Linux (lstat reports 0777), so setting a link's mask does nothing.
//
// Entries are read with lstat: a link is an entry of its own, listed as a
// file, never followed; a dangling link is an ordinary entry. Names are
// literal: "*" and "?" are ordinary characters, and a name may hold any byte
// but "/" and NUL.
//
// Below the folders a job entry names (HoldFolders), every entry is reached
// one name at a time from the held folder, never through a link (see
// platform/linux/tree_access.h), and every change is made by name in the
// entry's own open folder. A link or a file standing where a folder belongs
// makes the entries below it missing to a probe and ends a change there
// with an error that names it. The named folders themselves are taken as
// the user wrote them: a named folder that is a link to a folder reads and
// takes the mask of that folder.
//
// In a backup, the mask of a source file is the mask its copy can carry:
// set-user-ID only where the copy has the source's owner, set-group-ID only
// where it has its group, neither from a file system mounted nosuid, and
// group bits no wider than the ACL's owning-group entry where the copy lost
// the source's ACL (see platform/linux/carry.h). So a second run finds the
// masks equal, and setting a mask never grants what a copy could not.
//
// Copy makes the target the same kind of entry as the source: a file with
// the same content, a link with the same target text, a FIFO, socket or
// device node made anew (never opened), each with the source's permission
// bits, times to the nanosecond, and owner where the process may set it. A
// file's user.* attributes, access ACL and (as root) capabilities go with
// it where the destination keeps them. An
// unprivileged process cannot make device nodes; such a copy makes nothing
// and leaves the target as it was. A folder cannot be copied.
//
// The destination tree is the program's own, so a read-only folder there
// does not keep its entries from being made, replaced or removed: when copy,
// delete, create folder or remove folder is refused an entry (EACCES) in a
// folder the process owns, the owner's write and search bits are added for
// one more try and the folder's exact mode is put back afterwards, whether
// the try succeeds or not. Folders of other owners keep their refusal.
//
// Length is st_size: the byte count of a file, the length of a link's target
// text, and whatever the file system reports for a folder.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/file_system.h"
#include "platform/linux/copy.h"
#include "platform/linux/destination_abilities.h"
#include "platform/linux/durability.h"
#include "platform/linux/listing.h"
#include "platform/linux/mount_config.h"
#include "platform/linux/stat_cache.h"
#include "platform/linux/support.h"
#include "platform/linux/tree_access.h"

namespace fernwise {

/// Where the permission bits sit in the attribute mask.
constexpr int kPermissionShift = 16;

class LinuxFileSystem final : public FileSystem {
 public:
  LinuxFileSystem() : stats_(tree_) {
    copy_state_.pending = &pending_;
    copy_state_.progress = [this](int64_t done, int64_t total) {
      Progress(done, total);
    };
  }
  /// Copies still waiting for their flush are finished, where they can be.
  ~LinuxFileSystem() override;

  char Separator() const override { return '/'; }

  /// A pattern ending in "/" lists that folder as readdir gives it, "." and
  /// ".." included; a missing folder or a non-folder yields "". Any other
  /// non-empty pattern probes the path with lstat and yields its last
  /// component when it exists. An empty pattern yields "".
  std::string StartListing(const std::string& pattern) override;
  std::string NextName() override;
  /// From the listing's d_type; nullopt where the file system leaves it out.
  std::optional<bool> ListedIsFolder() const override;
  /// Finishes the copies waiting for a flush first (see
  /// platform/linux/durability.h), as ReleaseFolders, BeginPass and EndPass
  /// do.
  void HoldFolders(const EntryFolders& folders) override;
  void ReleaseFolders() override;
  void EndPass() override;
  /// The destination and secondary folders' file systems written to.
  std::vector<std::string> FileSystemsToFlush() override;
  /// syncfs; FUSE mounts, which ignore it, had each change flushed as made.
  void Flush(const std::string& folder) override;
  /// The held source folder's path must still lead to the very folder held
  /// (same device and inode).
  bool SourceStillThere(const std::string& source) override;
  /// From the held folders of the entry, one name at a time.
  bool ExistsAfresh(const std::string& path) override;
  /// By the folder's device and inode, among the mount points the system's
  /// configuration names that are not mounted, read once per job entry
  /// (see platform/linux/mount_config.h).
  bool AwaitsAbsentDrive(const std::string& folder) override;
  void BeginPass() override;

  /// The entry queries and the probe share one lstat per entry within a
  /// pass, until the pass changes the entry (see platform/linux/stat_cache.h).
  uint32_t ReadAttributes(const std::string& path) override;
  void SetAttributes(const std::string& path, uint32_t mask) override;
  CopyResult Copy(const std::string& source,
                  const std::string& target) override;
  /// Takes the new name with renameat2's RENAME_NOREPLACE, or a hard link
  /// where the file system refuses that (see platform/linux/copy.h).
  CopyResult CopyToNewName(const std::string& source,
                           const std::string& target) override;
  FileTime LastModified(const std::string& path) override;
  /// futimens on the file opened without following a link, which must be
  /// the very file the pass read (same device and inode).
  void SetLastModified(const std::string& path, FileTime time) override;
  /// Both opened without following a link, each the very file the pass
  /// read, and compared through CopyState's buffer.
  bool SameContent(const std::string& a, const std::string& b) override;
  int64_t Length(const std::string& path) override;
  void Delete(const std::string& path) override;
  /// A name the destination cannot hold is left out.
  CopyResult CreateFolder(const std::string& path) override;
  void RemoveFolder(const std::string& path) override;

  /// The copies' temporary names (see linux_os::IsTemporaryName).
  bool IsLeftoverTemporary(const std::string& name) const override;
  /// The folder's file system's own limit (fpathconf's _PC_NAME_MAX), or
  /// NAME_MAX where it cannot be asked.
  size_t NameLimit(const std::string& folder) override;
  /// In a destination (or secondary) tree, what a probe file shows (see
  /// platform/linux/destination_abilities.h); elsewhere 2 s on FAT, 10 ms on
  /// exFAT, 100 ns on NTFS and SMB shares, else 1 ns; 1 ns when the path
  /// cannot be examined.
  int64_t TimeResolution(const std::string& path) override;
  std::string ResolvePath(const std::string& path) override;
  bool IgnoresCase() const override { return false; }
  /// In a destination (or secondary) tree, what a probe file shows;
  /// elsewhere false.
  bool NamesIgnoreCase(const std::string& folder) override;
  std::string CurrentDirectory() override;
  std::string ReadWholeFile(const std::string& path) override;
  std::unique_ptr<TextOutput> CreateTextFile(const std::string& path) override;
  /// $XDG_STATE_HOME/fernwise, or ~/.local/state/fernwise where that is not
  /// set to an absolute path; the folders missing are made with mode 0700.
  std::string StateFolder() override;
  /// Mode 0600: the file names it holds are the user's own business.
  std::unique_ptr<TextOutput> CreateNewTextFile(
      const std::string& path) override;

  /// For tests only: `hook` runs after each piece of a file's content is
  /// copied, and `now` times the slices (see CopyState).
  void set_copy_hook(std::function<void(int64_t bytes)> hook,
                     std::function<double()> now = {}) {
    copy_state_.after_each_chunk = std::move(hook);
    copy_state_.now = std::move(now);
  }

 protected:
  /// The user's short date format and time format (LC_TIME as the program
  /// set it with setlocale); ISO 8601 "YYYY-MM-DD" and "HH:MM:SS" in the C
  /// locale.
  LocalDateTimeText LocalTexts(FileTime time) override;

 private:
  /// An entry to change: its folder reached afresh, and its name there.
  struct Location {
    linux_os::FolderFd folder;
    std::string name;
  };

  std::string Probe(const std::string& path);
  /// Flushes the waiting copies and gives them their names.
  void CommitPending();
  /// Commits the waiting copies and keeps open the file systems written
  /// to: before the held folders go, and before a flush is asked for.
  void SettleWrites();
  /// Commits first when a waiting copy's target is `path` or lies below it:
  /// a change or a read of content must meet the target as named.
  void CommitIfPending(const std::string& path);
  /// Notes a change made below a destination or secondary folder, for the
  /// flush before the report; on a FUSE mount, flushes `folder` (the
  /// changed entry's folder) at once.
  void Wrote(const std::string& path, int folder);
  CopyResult CopyAs(const std::string& source, const std::string& target,
                    linux_os::TargetName naming);
  /// The status of `path`: lstat, or for a held folder itself the folder it
  /// leads to; RunError naming `operation` on failure.
  const struct stat& StatEntry(const std::string& path, const char* operation);
  /// Finds `path`'s folder afresh for a change, or throws RunError naming
  /// `operation` (the not-a-folder error where a link or file is in the way).
  Location Locate(const std::string& path, const char* operation) const;
  /// The regular file `at` names, opened for reading without following a
  /// link, with its status in `opened`; an invalid descriptor where another
  /// entry than `seen` (the one the pass read) stands there now.
  linux_os::UniqueFd OpenFileSeen(const Location& at, const std::string& path,
                                  const struct stat& seen, struct stat& opened,
                                  const char* operation) const;
  /// A folder's device and inode.
  using FolderIdentity = linux_os::StatCache::Identity;
  /// As Locate, for an erase, or for keeping the version of a file that an
  /// erase or a refresh displaces: the folder found afresh must be the one
  /// the pass listed or looked into at that path (same device and inode),
  /// else the run ends with the folder-replaced error. So what was decided
  /// in one folder is never done in another, and no erase rests on a folder
  /// held since before (see platform/linux/displaced.cpp).
  /// The folder's identity goes to `found` where asked.
  Location LocateSeen(const std::string& path, const char* operation,
                      FolderIdentity* found = nullptr);
  /// Notes `path`, of status `status` in the folder `folder`, as the file
  /// whose old version was just kept.
  void NoteKept(const std::string& path, const struct stat& status,
                const FolderIdentity& folder);
  /// Locates the file kept last, at `path`, for the erase or refresh that
  /// follows its keeping: its folder found afresh must still be the one its
  /// version was read from, and the file there that very file (device,
  /// inode, length and last-modified time), checked just before; else the
  /// run ends. What an erase or a refresh takes away is what was kept.
  Location TakeKept(const std::string& path, const char* operation);
  /// Whether `path` is the file kept last.
  bool IsKept(const std::string& path) const { return path == kept_path_; }
  void ForgetKept() { kept_path_.clear(); }
  /// Throws the folder-replaced error for the entry `path`.
  [[noreturn]] static void ThrowFolderReplaced(const std::string& path,
                                               const char* operation);
  /// The permission bits that `mode`, read from `source`, may give the
  /// regular file `target`, given what came along with its copy.
  mode_t CarriedModeOnto(const std::string& source, const struct stat& from,
                         const std::string& target, const struct stat& onto,
                         mode_t mode);
  int64_t ResolutionOf(const std::string& path);
  /// Whether `path` lies in the destination's or the secondary folder's
  /// tree: the trees a probe may be written into.
  bool InWritableTree(const std::string& path) const;
  /// The status of a source entry's counterpart `path`: lstat, or for a
  /// held folder the folder it leads to; nullptr when missing.
  const struct stat* CounterpartStatus(const std::string& path);
  /// The abilities of the file system holding the destination entry `path`
  /// of status `status`, learnt in its folder the first time in a pass.
  /// The status of the folder at `path`; nullptr when it cannot be read or
  /// is no folder. Valid until the next look at an entry.
  const struct stat* FolderStatus(const std::string& path);
  linux_os::DestinationAbilities AbilitiesAt(const std::string& path,
                                             const struct stat& status);
  /// The same for the open folder `folder`, which a copy writes into.
  linux_os::DestinationAbilities AbilitiesOfFolder(int folder);

  linux_os::FolderListing listing_;
  std::string listing_prefix_;  // the listed folder's pattern, ending in "/"
  unsigned char listed_type_ = DT_UNKNOWN;
  linux_os::TreeAccess tree_;
  linux_os::StatCache stats_;
  struct stat root_status_;         // StatEntry's answer for a held folder
  struct stat counterpart_status_;  // CounterpartStatus's for a held folder
  std::string counterpart_;         // ReadAttributes' buffer
  std::vector<std::pair<dev_t, int64_t>> resolutions_;  // this pass's
  linux_os::CopyState copy_state_;
  linux_os::AbilitiesCache abilities_;  // this pass's, by device
  linux_os::PendingCopies pending_;
  std::string kept_path_;       // the file whose old version was kept last
  struct stat kept_status_;     // as it was when that version was read
  FolderIdentity kept_folder_;  // where it was read
  linux_os::WrittenFileSystems written_;
  linux_os::AbsentMountPoints absent_mounts_;  // this job entry's
  bool absent_mounts_read_ = false;
};

}  // namespace fernwise
