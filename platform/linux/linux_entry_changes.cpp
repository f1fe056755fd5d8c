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

void LinuxEntryRun::SetAttributes(const std::string& dest, uint32_t mask) {
  constexpr char kOperation[] = "set attributes of";
  constexpr Role kDest = Role::kDestination;
  CommitIfPending(dest);
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
  if (const auto [root, rest] = tree_.Locate(kDest, dest);
      root != nullptr && rest.empty()) {
    if (ChmodFd(root->fd.get(), *mode) != 0) ThrowError(kOperation, dest);
    return;
  }
  const Location at = Locate(kDest, dest, kOperation);
  // Never through a link: should the name have become one since it was
  // read, there is no mode to set.
  if (::fchmodat(at.folder.get(), at.name.c_str(), *mode,
                 AT_SYMLINK_NOFOLLOW) == 0)
    return Wrote(kDest, at.folder.get(), dest);
  if (errno != EOPNOTSUPP) ThrowError(kOperation, dest);
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

CopyResult LinuxEntryRun::CreateFolder(const std::string& dest) {
  constexpr char kOperation[] = "create folder";
  constexpr Role kDest = Role::kDestination;
  const Location at = Prepare(kDest, dest, kOperation, Change::kMakeFolder);
  const int folder = at.folder.get();
  if (InOwnFolder(folder, [&] {
        return ::mkdirat(folder, at.name.c_str(), 0777);
      }) == 0) {
    Wrote(kDest, folder, dest);
    return {};
  }
  const int error = errno;
  const Refusal refusal = WhyRefused(folder, at.name, S_IFDIR, error);
  if (refusal == Refusal::kNone) ThrowError(kOperation, dest, error);
  return {RefusalReason(refusal, S_IFDIR, error, {})};
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
