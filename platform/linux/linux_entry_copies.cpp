// The entry's copies: a source file onto its destination, and a destination
// file kept as a new name in the secondary folder.
#include <fcntl.h>

#include "platform/linux/linux_entry_run.h"
#include "platform/linux/linux_flush.h"

namespace fernwise::linux_os {

namespace {

constexpr char kCopyFile[] = "copy file";

}  // namespace

CopyResult LinuxEntryRun::Copy(const std::string& source,
                               const std::string& dest) {
  return CopyAs(Role::kSource, source, Role::kDestination, dest,
                TargetName::kReplace);
}

CopyResult LinuxEntryRun::CopyToNewName(const std::string& displaced,
                                        const std::string& target) {
  return CopyAs(Role::kDestination, displaced, Role::kSecondary, target,
                TargetName::kNewNameOnly);
}

// A copy as this pass read the source; the target is replaced by a rename,
// so no other name of the file it was changes. A version kept before an
// erase or a refresh is read where that will happen (see LocateSeen).
std::pair<struct stat, FolderFd> LinuxEntryRun::CopySource(
    Role role, const std::string& source, bool keeping,
    FolderIdentity& kept_in) {
  struct stat status;
  if (keeping) {
    Location at = LocateSeen(role, source, kCopyFile, &kept_in);
    if (::fstatat(at.folder.get(), at.name.c_str(), &status,
                  AT_SYMLINK_NOFOLLOW) != 0)
      ThrowError(kCopyFile, source);
    return {status, std::move(at.folder)};
  }
  status = StatEntry(role, source, kCopyFile);
  // The source is only read: the folder its status was read in serves, as
  // link-free as it was when it was opened.
  FolderFd folder =
      FolderFd::Borrowed(stats_.OpenFolderFd(role, SplitPath(source).folder));
  if (!folder.valid()) ThrowError(kCopyFile, source);
  return {status, std::move(folder)};
}

// In a pass's destination, a copy that replaces waits for the batch's
// flush where syncfs reaches the disk. A new name (a secondary copy) is on
// the disk before the file it keeps is replaced or erased, and a copy made
// outside a job entry's folders at once.
// By the drive the copy lands on, which may be mounted inside the named
// destination: a FUSE drive there flushes each copy on its own.
Landing LinuxEntryRun::LandingOf(Role role, int folder, dev_t device,
                                 bool keeping) {
  return !keeping && role == Role::kDestination &&
                 tree_.Held(role) != nullptr && !OnFuse(folder, device)
             ? Landing::kBatched
             : Landing::kFlushed;
}

CopyResult LinuxEntryRun::CopyAs(Role from_role, const std::string& source,
                                 Role to_role, const std::string& target,
                                 TargetName naming) {
  ForgetCompleted();
  // A copy reads its source's content and replaces its target as named.
  // The source is a file: only below the held destination can it be a
  // waiting copy's target (see Pending).
  if (Pending(source) != nullptr) CommitPending();
  CommitIfPending(target);
  const bool keeping = naming == TargetName::kNewNameOnly;
  const PathParts target_parts = SplitPath(target);
  // A target the pass knew free without looking is never replaced.
  if (!keeping && to_role == Role::kDestination &&
      fresh_.TakeKnownFree(target_parts.folder, target_parts.name))
    naming = TargetName::kFree;
  // A refresh replaces the file whose old version was just kept: in the
  // folder that version was read from, and only that file.
  std::optional<Location> displaced;
  if (!keeping && IsKept(target)) displaced = TakeKept(target, kCopyFile);
  ForgetKept();
  FolderIdentity kept_in;
  auto [status, from_folder] = CopySource(from_role, source, keeping, kept_in);
  stats_.Forget(target);
  // The copy may have found the source changed and copied it as it is now:
  // what follows compares with that (see below).
  stats_.Forget(source);
  // The target's folder, which is written, is found afresh.
  Location onto =
      displaced ? std::move(*displaced) : Locate(to_role, target, kCopyFile);
  const size_t waiting = pending_.size();
  // One look at the folder tells its drive, where the copy lands.
  struct stat onto_folder;
  if (::fstat(onto.folder.get(), &onto_folder) != 0)
    ThrowError(kCopyFile, target);
  const LearntDrive drive =
      DriveOfFolder(onto.folder.get(), onto_folder.st_dev);
  const CopyResult result = CopyEntry(
      {from_folder.get(), std::string(SplitPath(source).name), source}, status,
      {onto.folder.get(), onto.name, target}, copy_state_,
      AbilitiesOf(drive.traits, drive.write_bits), naming,
      LandingOf(to_role, onto.folder.get(), onto_folder.st_dev, keeping));
  if (result.name_taken && naming == TargetName::kFree)
    ThrowError(kCopyFile, target, EEXIST);
  if (!result.made()) return result;
  // A file's copy read its source's status last, through the file itself,
  // once all was copied: the pass compares with that, without a look more.
  if (copy_state_.copied && from_role == Role::kSource)
    stats_.Put(source, *copy_state_.copied);
  if (keeping) {
    if (FlushFolder(onto.folder.get()) != 0) ThrowError(kCopyFile, target);
    NoteKept(source, status, kept_in);
  }
  Wrote(to_role, onto.folder.get(), target, onto_folder.st_dev);
  if (pending_.size() > waiting)
    pending_.KeepFolder(SplitPath(target).folder, onto.folder);
  if (pending_.full()) CommitPending();
  return result;
}

}  // namespace fernwise::linux_os
