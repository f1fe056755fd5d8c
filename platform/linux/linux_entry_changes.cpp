// The entry's changes to its destination and secondary trees, each made by
// name in the entry's own folder, found afresh.
#include <fcntl.h>
#include <unistd.h>

#include "platform/linux/linux_entry_run.h"
#include "platform/linux/linux_own_folder.h"
#include "platform/linux/linux_proc_fd.h"
#include "platform/linux/linux_refusal.h"
#include "platform/linux/posix_destination_abilities.h"

namespace fernwise::linux_os {

namespace {

// The mode that gives an entry of status `status` the mask `mask` on a
// drive of `abilities`; nullopt where the drive keeps nothing of it. Where
// the drive keeps permission bits they win over a read-only bit that
// disagrees; where it keeps only the read-only attribute, a file's write
// bits follow that.
std::optional<mode_t> ModeFor(uint32_t mask, const struct stat& status,
                              const DestinationAbilities& abilities) {
  if (abilities.keeps_permissions)
    return (mask >> kPermissionShift) & kPermissionBits;
  if (!S_ISREG(status.st_mode) || !abilities.keeps_read_only)
    return std::nullopt;
  return KeptMode((mask & kAttrReadOnly) != 0, status.st_mode, abilities);
}

}  // namespace

LinuxEntryRun::Location LinuxEntryRun::Locate(Role role,
                                              const std::string& path,
                                              const char* operation) const {
  const PathParts parts = SplitPath(path);
  FolderFd folder = tree_.OpenFolder(role, parts.folder, O_PATH);
  if (!folder.valid()) {
    const int error = errno;
    if ((error == ELOOP || error == ENOTDIR) &&
        tree_.Locate(role, parts.folder).root != nullptr)
      tree_.ThrowNotAFolder(role, parts.folder, operation, error);
    ThrowError(operation, path, error);
  }
  return {std::move(folder), std::string(parts.name)};
}

LinuxEntryRun::Location LinuxEntryRun::Prepare(Role role,
                                               const std::string& path,
                                               const char* operation,
                                               Change change) {
  CommitIfPending(path);
  ForgetCompleted();
  switch (change) {
    case Change::kErase: {
      stats_.Forget(path);
      Location at = IsKept(path) ? TakeKept(path, operation)
                                 : LocateSeen(role, path, operation);
      ForgetKept();
      return at;
    }
    case Change::kEraseFolder: {
      Location at = LocateSeen(role, path, operation);
      // The folder that goes is the one the pass emptied, not one put in
      // its place.
      struct stat now;
      if (const auto seen = stats_.SeenFolder(path);
          seen &&
          ::fstatat(at.folder.get(), at.name.c_str(), &now,
                    AT_SYMLINK_NOFOLLOW) == 0 &&
          (now.st_dev != seen->device || now.st_ino != seen->inode))
        ThrowFolderReplaced(path, operation);
      stats_.ForgetFolder(path);
      return at;
    }
    case Change::kMakeFolder:
      stats_.ForgetFolder(path);
      return Locate(role, path, operation);
  }
  ThrowError(operation, path, EINVAL);
}

template <typename Call>
void LinuxEntryRun::ChangeIn(Role role, const Location& at,
                             const std::string& path, const char* operation,
                             Call call) {
  const int folder = at.folder.get();
  if (InOwnFolder(folder, [&] { return call(folder, at.name.c_str()); }) != 0)
    ThrowError(operation, path);
  Wrote(role, folder, path);
}

LinuxEntryRun::Opened LinuxEntryRun::OpenSeen(Role role,
                                              const std::string& path,
                                              const struct stat& seen,
                                              const char* operation) {
  if (before_change_) before_change_(path);
  if (const auto [root, rest] = tree_.Locate(role, path);
      root != nullptr && rest.empty())
    return {FolderFd(), FolderFd::Borrowed(root->fd.get())};
  if (!before_change_ && role == Role::kDestination &&
      path == completed_path_ && seen.st_dev == completed_.device &&
      seen.st_ino == completed_.inode && S_ISDIR(seen.st_mode))
    return {FolderFd::Borrowed(completed_opened_.folder.get()),
            FolderFd::Borrowed(completed_opened_.entry.get())};
  Location at = Locate(role, path, operation);
  constexpr int kFlags = O_NOFOLLOW | O_CLOEXEC;
  UniqueFd fd;
  // Read access lets every change go through the descriptor itself; where
  // a folder denies it, the O_PATH descriptor serves through /proc.
  if (S_ISDIR(seen.st_mode))
    fd.Reset(::openat(at.folder.get(), at.name.c_str(),
                      O_RDONLY | O_DIRECTORY | kFlags));
  if (!fd.valid())
    fd.Reset(::openat(at.folder.get(), at.name.c_str(), O_PATH | kFlags));
  struct stat now;
  if (!fd.valid() && errno != ENOENT && errno != ELOOP)
    ThrowError(operation, path);
  if (fd.valid() && ::fstat(fd.get(), &now) != 0) ThrowError(operation, path);
  if (!fd.valid() || now.st_dev != seen.st_dev || now.st_ino != seen.st_ino ||
      (now.st_mode & S_IFMT) != (seen.st_mode & S_IFMT)) {
    // What stands there now was never looked at: the pass looks again.
    stats_.ForgetEntries();
    return {std::move(at.folder), FolderFd()};
  }
  return {std::move(at.folder), FolderFd::Owned(std::move(fd))};
}

void LinuxEntryRun::SetAttributes(const std::string& dest, uint32_t mask) {
  constexpr char kOperation[] = "set attributes of";
  constexpr Role kDest = Role::kDestination;
  // A waiting copy's mode is set on the copy once named. A folder's mode
  // changes nothing of the copies waiting below it (naming them lends a
  // read-only folder of the run's own its write bit again): the batch is
  // not cut short for it, nor for a new folder's, once complete.
  if (Pending(dest) != nullptr) CommitPending();
  const struct stat status = StatEntry(kDest, dest, kOperation);
  // Linux keeps no permissions on a link itself.
  if (S_ISLNK(status.st_mode)) return;
  const LearntDrive drive = DriveAt(kDest, dest, status);
  const std::optional<mode_t> mode =
      ModeFor(mask, status, AbilitiesOf(drive.traits, drive.write_bits));
  if (!mode) return;
  // A mode is the inode's: through a hard link it changes every other name
  // of the file too, whichever of them was read.
  if (status.st_nlink > 1) {
    stats_.ForgetEntries();
  } else {
    stats_.Forget(dest);
  }
  // Decided on `status`, so made on that very inode: a name swapped for a
  // hard link to another file since (one its owner may not change the mode
  // of) is never given the mode.
  const Opened opened = OpenSeen(kDest, dest, status, kOperation);
  if (!opened.entry.valid()) return;
  if (ChmodFd(opened.entry.get(), *mode) != 0 && errno != EOPNOTSUPP)
    ThrowError(kOperation, dest);
  if (opened.folder.valid()) Wrote(kDest, opened.folder.get(), dest);
}

// The destination tree is the program's own: a folder that took a read-only
// source folder's mode must not keep its entries from being made or removed.
void LinuxEntryRun::Delete(Role role, const std::string& path) {
  constexpr char kOperation[] = "delete file";
  const Location at = Prepare(role, path, kOperation, Change::kErase);
  ChangeIn(role, at, path, kOperation, [](int folder, const char* name) {
    return ::unlinkat(folder, name, 0);
  });
}

void LinuxEntryRun::RemoveFolder(const std::string& dest) {
  constexpr char kOperation[] = "remove folder";
  constexpr Role kDest = Role::kDestination;
  const Location at = Prepare(kDest, dest, kOperation, Change::kEraseFolder);
  ChangeIn(kDest, at, dest, kOperation, [](int folder, const char* name) {
    return ::unlinkat(folder, name, AT_REMOVEDIR);
  });
}

}  // namespace fernwise::linux_os
