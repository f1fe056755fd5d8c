// One job entry's run on Linux: the folders it holds, what its passes have
// read (the stat cache), the batch of copies waiting for their flush, what
// the copies of a pass share, the drives written to and what each drive
// keeps. The attribute mask is platform/linux/posix_support.h's.
//
// Entries are read with lstat: a link is an entry of its own, listed as a
// file, never followed; a dangling link is an ordinary entry. Names are
// literal: "*" and "?" are ordinary characters, and a name may hold any byte
// but "/" and NUL. Setting a mask sets the permission bits and nothing else:
// read-only is what they say (on a drive that keeps only the read-only
// attribute, what the read-only bit says), hidden follows the name. Links
// have no permissions of their own on Linux (lstat reports 0777), so setting
// a link's mask does nothing.
//
// Below the folders the entry names (held from its start), every entry is
// reached one name at a time from the held folder of its tree, never
// through a link (see platform/linux/linux_tree_access.h). A mode, owner,
// time or attribute is changed through a descriptor of the very entry that
// was looked at (OpenSeen); a rename or an erase by name in the entry's own
// open folder, found afresh. A link or a file standing
// where a folder belongs makes the entries below it missing to a probe and
// ends a change there with an error that names it. The named folders
// themselves are taken as the user wrote them: a named folder that is a link
// to a folder reads and takes the mask of that folder.
//
// Copy makes the target the same kind of entry as the source: a file with
// the same content, a link with the same target text, a FIFO, socket or
// device node made anew (never opened), each with the source's permission
// bits, times to the nanosecond, and owner where the process may set it. A
// file's user.* attributes, access ACL and (as root) capabilities go with
// it where the destination keeps them. An unprivileged process cannot make
// device nodes; such a copy makes nothing and leaves the target as it was.
// A folder cannot be copied.
//
// The destination tree is the program's own, so a read-only folder there
// does not keep its entries from being made, replaced or removed: when copy,
// delete, create folder or remove folder is refused an entry (EACCES) in a
// folder the process owns, the owner's write and search bits are added for
// one more try and the folder's exact mode is put back afterwards, whether
// the try succeeds or not (platform/linux/linux_own_folder.h). Folders of
// other owners keep their refusal.
//
// Length is st_size: the byte count of a file, the length of a link's target
// text, and whatever the file system reports for a folder.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/entry_run.h"
#include "platform/linux/linux_copy.h"
#include "platform/linux/linux_drive_probe.h"
#include "platform/linux/linux_flush.h"
#include "platform/linux/linux_fresh_folder.h"
#include "platform/linux/linux_listed_names.h"
#include "platform/linux/linux_listing.h"
#include "platform/linux/linux_mount_config.h"
#include "platform/linux/linux_pending_copies.h"
#include "platform/linux/linux_read_ahead.h"
#include "platform/linux/linux_stat_cache.h"
#include "platform/linux/linux_tree_access.h"

namespace fernwise::linux_os {

/// For tests only, empty in the program: what CopyState calls after each
/// piece of a file's content, the clock that times the slices, and what
/// runs between the look at an entry and the change made to it (given its
/// path), so that a test can swap the entry there as an attacker would.
struct CopyHooks {
  std::function<void(int64_t bytes)> after_each_chunk;
  std::function<double()> now;
  std::function<void(const std::string& path)> before_change;
};

class LinuxEntryRun final : public EntryRun {
 public:
  LinuxEntryRun(const EntryFolders& folders, ProgressCallback progress,
                const CopyHooks& hooks);
  /// Copies still waiting for their flush are discarded, their temporary
  /// files removed where they can be.
  ~LinuxEntryRun() override;

  /// Finishes the copies waiting for a flush first, as EndPass does, then
  /// reads ahead of the walk (see linux_read_ahead.h).
  void BeginPass(Role walked) override;
  void EndPass() override;

  /// A pattern ending in "/" lists that folder as the kernel gives it, "."
  /// and ".." included; a missing folder or a non-folder yields "". Any
  /// other non-empty pattern probes the path with lstat and yields its last
  /// component when it exists. An empty pattern yields "".
  std::string StartListing(Role role, const std::string& pattern) override;
  std::string NextName() override;
  /// From the listing's d_type; nullopt where the file system leaves it out.
  std::optional<bool> ListedIsFolder() const override;
  /// The entry queries and the probe share one lstat per entry within a
  /// pass, until the pass changes the entry (see linux_stat_cache.h).
  uint32_t ReadAttributes(Role role, const std::string& path) override;
  FileTime LastModified(Role role, const std::string& path) override;
  int64_t Length(Role role, const std::string& path) override;
  /// Both opened without following a link, each the very file the pass
  /// read, and compared through CopyState's buffer.
  bool SameContent(const std::string& source, const std::string& dest) override;
  /// Of a regular file on a drive that keeps permission bits, set-ID bits
  /// only with their owner and group and never from a nosuid mount, and
  /// group bits no wider than the ACL's owning-group entry where the copy
  /// lost the source's ACL (see platform/linux/linux_carry.h); of a folder
  /// or another entry on a drive that keeps only the read-only attribute,
  /// all but that; every bit else.
  uint32_t CarriableBits(const std::string& source,
                         const std::string& dest) override;

  void SetAttributes(const std::string& dest, uint32_t mask) override;
  /// futimens on the file opened without following a link, which must be
  /// the very file the pass read (same device and inode).
  void SetLastModified(const std::string& dest, FileTime time) override;
  CopyResult Copy(const std::string& source, const std::string& dest) override;
  /// Takes the new name with renameat2's RENAME_NOREPLACE, or a hard link
  /// where the file system refuses that (see linux_temp_entry.h).
  CopyResult CopyToNewName(const std::string& displaced,
                           const std::string& target) override;
  void Delete(Role role, const std::string& path) override;
  /// A name the destination cannot hold is left out. Made with mode 0700.
  CopyResult CreateFolder(const std::string& dest) override;
  /// Through the folder's own descriptor, checked to be the folder the pass
  /// looked at (and for one this entry made, the very folder it made); not
  /// where the destination keeps no owners.
  bool CarryFolder(const std::string& source, const std::string& dest) override;
  /// Through the folder's own descriptor; where copies below it wait for
  /// their flush, set after they are named (see PendingCopies).
  void SetFolderTime(const std::string& dest, FileTime time) override;
  void RemoveFolder(const std::string& dest) override;

  /// The held source folder's path must still lead to the very folder held
  /// (same device and inode).
  bool SourceStillThere() override;
  /// From the held folder of `role`, one name at a time.
  bool ExistsAfresh(Role role, const std::string& path) override;
  /// Never: below the named folders a link is read as itself (lstat), so it
  /// never reads as a folder.
  bool IsFolderLink(Role, const std::string&) override { return false; }
  /// By the folder's device and inode, among the mount points the system's
  /// configuration names that are not mounted, read once per job entry
  /// (see linux_mount_config.h).
  bool AwaitsAbsentDrive(const std::string& folder) override;
  /// A destination's or secondary folder's learnt with a probe file (see
  /// linux_drive_probe.h), once per drive and entry; a source's from the
  /// type of its drive; a path that is no folder's, full resolution.
  DriveTraits Traits(Role role, const std::string& folder) override;
  /// By ".." from the inner held folder up to the root of its mount tree.
  Nesting NestingOf(Role inner, Role outer) override;

  std::optional<RunError> Settle(
      std::vector<std::unique_ptr<WrittenDrive>>& written) noexcept override;

 private:
  /// An entry to change: its folder reached afresh, and its name there.
  struct Location {
    FolderFd folder;
    std::string name;
  };
  /// A folder's device and inode.
  using FolderIdentity = StatCache::Identity;

  // Reading (linux_entry_reading.cpp).
  std::string Probe(Role role, const std::string& path);
  /// The status of `path`: lstat, or for a held folder itself the folder it
  /// leads to; RunError naming `operation` on failure. A copy waiting for
  /// its flush answers for its target.
  const struct stat& StatEntry(Role role, const std::string& path,
                               const char* operation);
  /// The status of the folder at `path`; nullptr when it cannot be read or
  /// is no folder. Valid until the next look at an entry.
  const struct stat* FolderStatus(Role role, const std::string& path);

  // Changes (linux_entry_changes.cpp).
  /// Finds `path`'s folder afresh for a change, or throws RunError naming
  /// `operation` (the not-a-folder error where a link or file is in the way).
  Location Locate(Role role, const std::string& path,
                  const char* operation) const;
  /// Runs `call` (0 or -1 with errno) on an entry of `at`, lending a
  /// read-only folder of the process's own its write bit; throws RunError
  /// for `path` on failure, else notes the change (see Wrote).
  template <typename Call>
  void ChangeIn(Role role, const Location& at, const std::string& path,
                const char* operation, Call call);
  /// An entry to change through its own descriptor, and the folder that
  /// holds it (invalid for a held folder itself).
  struct Opened {
    FolderFd folder;
    FolderFd entry;
  };
  /// The entry at `path`, opened without following a link (a folder for
  /// reading where it may be, else O_PATH), where it is still the entry
  /// `seen` that the change was decided on: the same device, inode and
  /// kind. Where another entry (or none) has taken the name, the entry is
  /// invalid and what was read is forgotten, so the pass looks again:
  /// nothing is ever changed on an entry that was not looked at. A held
  /// folder is its own descriptor.
  Opened OpenSeen(Role role, const std::string& path, const struct stat& seen,
                  const char* operation);
  /// A folder this entry made, just completed through `opened` (found
  /// afresh and checked), of status `status`: its mode and time, set next,
  /// go through the same descriptors (see completed_).
  void KeepCompleted(const std::string& path, const struct stat& status,
                     Opened opened);
  void ForgetCompleted() {
    completed_path_.clear();
    completed_opened_ = Opened();
  }
  /// Notes a change made in the tree of `role`, in its open folder
  /// `folder`, for the flush of the drive before the report; on a FUSE
  /// mount, flushes `folder` at once (see linux_flush.h).
  /// `device` is `folder`'s, where the caller knows it already.
  void Wrote(Role role, int folder, const std::string& path,
             std::optional<dev_t> device = std::nullopt);
  /// What a change to the entry at a path is.
  enum class Change { kErase, kEraseFolder, kMakeFolder };
  /// The opening steps of a change to the entry at `path`: a copy waiting
  /// to take its name there, or below, takes it first; its folder is found
  /// afresh, for an erase as the pass saw it (and for the erase of a file
  /// whose old version was kept, where that version was read); and what was
  /// read of the entry is forgotten.
  Location Prepare(Role role, const std::string& path, const char* operation,
                   Change change);

  // Folders (linux_entry_folders.cpp).
  /// The owner and group the run gives a copy of an entry of status `from`
  /// whose copy is of status `onto`: root gives both, another user keeps
  /// their own and gives a group they belong to.
  std::pair<uid_t, gid_t> OwnersGiven(const struct stat& from,
                                      const struct stat& onto);
  /// Whether `status` is a folder this entry made at `path` and has not yet
  /// completed; forgets it.
  bool TakeMade(const std::string& path, const struct stat& status);

  // Copies (linux_entry_copies.cpp).
  CopyResult CopyAs(Role from_role, const std::string& source, Role to_role,
                    const std::string& target, TargetName naming);
  /// How a copy to `target` in the tree of `role` takes its name.
  Landing LandingOf(Role role, int folder, dev_t device, bool keeping);
  /// Whether the open folder `folder`, of device `device`, lies on a FUSE
  /// mount, which ignores syncfs: asked once per device.
  bool OnFuse(int folder, dev_t device);
  /// The source of a copy: its status, and the folder to read it in.
  std::pair<struct stat, FolderFd> CopySource(Role role,
                                              const std::string& source,
                                              bool keeping,
                                              FolderIdentity& kept_in);
  /// What a copy waiting for the batch will make `path`, or nullptr: only
  /// a path below the held destination can be a waiting copy's target, so
  /// the passes' many looks at the source cost no lookup there.
  const struct stat* Pending(const std::string& path) const {
    return pending_.empty() || !tree_.Below(Role::kDestination, path)
               ? nullptr
               : pending_.Find(path);
  }
  /// Flushes the waiting copies and gives them their names.
  void CommitPending();
  /// Commits first when a waiting copy's target is `path` or lies below it:
  /// a change or a read of content must meet the target as named.
  void CommitIfPending(const std::string& path);

  // The checks an erase rests on (linux_entry_displaced.cpp).
  [[noreturn]] static void ThrowFolderReplaced(const std::string& path,
                                               const char* operation);
  /// As Locate, for an erase, or for keeping the version of a file that an
  /// erase or a refresh displaces: the folder found afresh must be the one
  /// the pass listed or looked into at that path (same device and inode),
  /// else the run ends with the folder-replaced error. So what was decided
  /// in one folder is never done in another, and no erase rests on a folder
  /// held since before. The folder's identity goes to `found` where asked.
  Location LocateSeen(Role role, const std::string& path, const char* operation,
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
  bool IsKept(const std::string& path) const { return path == kept_path_; }
  void ForgetKept() { kept_path_.clear(); }

  // Comparing (linux_entry_compare.cpp).
  /// The regular file `at` names, opened for reading without following a
  /// link, with its status in `opened`; an invalid descriptor where another
  /// entry than `seen` (the one the pass read) stands there now.
  UniqueFd OpenFileSeen(const Location& at, const std::string& path,
                        const struct stat& seen, struct stat& opened,
                        const char* operation) const;

  // What drives keep (linux_entry_traits.cpp).
  /// What the drive of the destination or secondary entry `path`, of
  /// status `status`, keeps: learnt in its folder the first time.
  LearntDrive DriveAt(Role role, const std::string& path,
                      const struct stat& status);
  /// The same for the open folder `folder` of `device`, which a copy
  /// writes into.
  LearntDrive DriveOfFolder(int folder, dev_t device);
  /// The drive of `device`, learnt in the folder `open_folder()` yields
  /// where it is not known yet.
  template <typename OpenFolder>
  LearntDrive Learnt(dev_t device, OpenFolder open_folder);
  /// The permission bits that `mode`, read from the regular file `source`
  /// of status `from`, may give its copy `target` of status `onto`.
  mode_t CarriedModeOnto(const std::string& source, const struct stat& from,
                         const std::string& target, const struct stat& onto,
                         mode_t mode);

  TreeAccess tree_;
  StatCache stats_{tree_};
  FolderListing listing_;
  std::string listing_prefix_;  // the listed folder's pattern, ending in "/"
  Role listing_role_ = Role::kSource;
  unsigned char listed_type_ = DT_UNKNOWN;
  struct stat root_status_;  // StatEntry's answer for a held folder
  CopyState copy_state_;
  PendingCopies pending_;
  std::string kept_path_;       // the file whose old version was kept last
  struct stat kept_status_;     // as it was when that version was read
  FolderIdentity kept_folder_;  // where it was read
  const std::string source_;    // the source folder, as the user wrote it
  std::vector<Role> written_;   // trees changed in, in the order first changed
  // Drives mounted inside a held folder that changes were made on, each
  // with one of its folders, flushed with the trees' own.
  std::vector<std::unique_ptr<LinuxWrittenDrive>> written_inside_;
  std::vector<std::pair<dev_t, bool>> fuse_;  // by device: on a FUSE mount
  std::vector<std::pair<dev_t, LearntDrive>> drives_;  // learnt, by device
  std::vector<std::pair<dev_t, DriveTraits>> typed_;   // sources', by device
  AbsentMountPoints absent_mounts_;
  bool absent_mounts_read_ = false;
  std::function<void(const std::string&)> before_change_;  // tests only
  // Folders made and not yet completed, at most one per level of the tree.
  std::vector<std::pair<std::string, FolderIdentity>> made_;
  FreshFolder fresh_;  // the last of them, while the pass that made it runs
  // The folder completed last, held open from its completion until any
  // other change or listing: its mode and time follow at once, through the
  // descriptors its completion found afresh and checked a moment before,
  // where its path still reads as that very folder (device and inode).
  std::string completed_path_;
  StatCache::Identity completed_;
  Opened completed_opened_;
  std::vector<gid_t> groups_;  // this process's, read on first need
  bool groups_read_ = false;
  Role walked_ = Role::kSource;  // by the pass under way, if any
  ListedNames listed_;           // the sweep's source folder (see its file)
  // Last, so that it ends first: its helpers read through tree_'s folders.
  ReadAhead read_ahead_{tree_};
};

}  // namespace fernwise::linux_os
