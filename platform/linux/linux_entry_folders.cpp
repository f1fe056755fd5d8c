// Folders backed up as folders: made private, and once complete given their
// source's owner, attributes, ACLs (access and default), mode and time, each
// through the folder's own descriptor, as cp -a would have made them.
#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

#include <algorithm>

#include "platform/linux/linux_carry.h"
#include "platform/linux/linux_copy_parts.h"
#include "platform/linux/linux_entry_run.h"
#include "platform/linux/linux_own_folder.h"
#include "platform/linux/linux_proc_fd.h"
#include "platform/linux/linux_refusal.h"

namespace fernwise::linux_os {

namespace {

constexpr Role kDest = Role::kDestination;

}  // namespace

CopyResult LinuxEntryRun::CreateFolder(const std::string& dest) {
  constexpr char kOperation[] = "create folder";
  const Location at = Prepare(kDest, dest, kOperation, Change::kMakeFolder);
  const int folder = at.folder.get();
  // Private until complete: the folder opens up with its mask, once all it
  // holds is there (see CarryFolder).
  // Looked at while the folder it is made in is opened up: a read-only
  // folder may refuse even a look.
  struct stat made;
  if (InOwnFolder(folder, [&] {
        if (::mkdirat(folder, at.name.c_str(), 0700) != 0) return -1;
        return ::fstatat(folder, at.name.c_str(), &made, AT_SYMLINK_NOFOLLOW);
      }) == 0) {
    made_.emplace_back(dest, FolderIdentity{made.st_dev, made.st_ino});
    if (walked_ == Role::kSource) fresh_.Made(dest);
    Wrote(kDest, folder, dest);
    return {};
  }
  const int error = errno;
  const Refusal refusal = WhyRefused(folder, at.name, S_IFDIR, error);
  if (refusal == Refusal::kNone) ThrowError(kOperation, dest, error);
  return {RefusalReason(refusal, S_IFDIR, error, {})};
}

bool LinuxEntryRun::TakeMade(const std::string& path,
                             const struct stat& status) {
  const auto made =
      std::find_if(made_.rbegin(), made_.rend(),
                   [&](const auto& m) { return m.first == path; });
  if (made == made_.rend()) return false;
  const FolderIdentity identity = made->second;
  made_.erase(std::next(made).base());
  fresh_.Forget();
  return identity.device == status.st_dev && identity.inode == status.st_ino;
}

std::pair<uid_t, gid_t> LinuxEntryRun::OwnersGiven(const struct stat& from,
                                                   const struct stat& onto) {
  const auto [euid, egid] = EffectiveIds(copy_state_);
  if (euid == 0) return {from.st_uid, from.st_gid};
  if (!groups_read_) {
    const int count = ::getgroups(0, nullptr);
    groups_.resize(count > 0 ? size_t(count) : 0);
    if (count > 0 && ::getgroups(count, groups_.data()) != count)
      groups_.clear();
    groups_read_ = true;
  }
  const bool member =
      from.st_gid == egid ||
      std::find(groups_.begin(), groups_.end(), from.st_gid) != groups_.end();
  return {onto.st_uid, member ? from.st_gid : onto.st_gid};
}

bool LinuxEntryRun::CarryFolder(const std::string& source,
                                const std::string& dest) {
  constexpr char kOperation[] = "copy folder";
  const struct stat from = StatEntry(Role::kSource, source, kOperation);
  const struct stat onto = StatEntry(kDest, dest, kOperation);
  const bool made = TakeMade(dest, onto);
  const auto [uid, gid] = OwnersGiven(from, onto);
  const bool owners_differ = onto.st_uid != uid || onto.st_gid != gid;
  // The drive's traits are asked only where something is to change: an
  // unchanged re-run learns no drive.
  if (!made && !owners_differ) return false;
  const LearntDrive drive = DriveAt(kDest, dest, onto);
  // Owners mean nothing on a drive that keeps no permissions.
  if (!AbilitiesOf(drive.traits, drive.write_bits).keeps_permissions)
    return false;
  stats_.Forget(dest);
  Opened opened = OpenSeen(kDest, dest, onto, kOperation);
  if (!opened.entry.valid()) return false;
  const int fd = opened.entry.get();
  if (owners_differ) {
    KeepOwner(from, copy_state_, {},
              [&](uid_t u, gid_t g) { return ChownFd(fd, u, g); });
    // A refused change (root squashed on a network share) changed nothing:
    // told as a refresh, it would be told again on every run.
    struct stat now;
    if (!made && (::fstat(fd, &now) != 0 ||
                  (now.st_uid == onto.st_uid && now.st_gid == onto.st_gid)))
      return false;
  }
  if (made) {
    // Its attributes and ACLs, read through the source folder's own
    // descriptor; a folder carries no file capabilities.
    const Location in_at = Locate(Role::kSource, source, kOperation);
    const UniqueFd in(
        ::openat(in_at.folder.get(), in_at.name.c_str(),
                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    AclFacts acl;
    if (!in.valid()) ThrowError(kOperation, source);
    if (const int error = CopyExtendedAttributes(in.get(), fd, false, acl))
      ThrowError(kOperation, dest, error);
  }
  if (opened.folder.valid()) Wrote(kDest, opened.folder.get(), dest);
  if (made) KeepCompleted(dest, onto, std::move(opened));
  return true;
}

void LinuxEntryRun::KeepCompleted(const std::string& path,
                                  const struct stat& status, Opened opened) {
  if (!opened.folder.valid()) return;  // a held folder is at hand anyway
  completed_opened_.folder = FolderFd::Owned(opened.folder.TakeOwned());
  completed_opened_.entry = FolderFd::Owned(opened.entry.TakeOwned());
  completed_path_ = path;
  completed_ = {status.st_dev, status.st_ino};
}

void LinuxEntryRun::SetFolderTime(const std::string& dest, FileTime time) {
  constexpr char kOperation[] = "set last-modified time of";
  const struct stat status = StatEntry(kDest, dest, kOperation);
  if (!S_ISDIR(status.st_mode)) return;
  const timespec times[2] = {status.st_atim, TimespecOf(time)};
  // Copies waiting below would change it as they take their names: the time
  // is set after theirs, with the batch, on the folder seen now.
  if (pending_.Touches(dest))
    return pending_.AddFolderTime(
        {dest, status.st_dev, status.st_ino, {times[0], times[1]}});
  stats_.Forget(dest);
  const Opened opened = OpenSeen(kDest, dest, status, kOperation);
  if (!opened.entry.valid()) return;
  if (SetTimesFd(opened.entry.get(), times) != 0) {
    if (FolderTimeRefused(errno)) return;
    ThrowError(kOperation, dest);
  }
  Wrote(kDest, opened.folder.valid() ? opened.folder.get() : opened.entry.get(),
        dest);
}

}  // namespace fernwise::linux_os
