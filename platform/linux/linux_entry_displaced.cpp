// What an erase, and the keeping of the version it displaces, rest on. A
// pass decides to erase or to replace a destination file by what it read in
// the folder it listed or looked into; should another program (or another
// run) replace that folder meanwhile, the same name now leads to another
// file, which was never compared and never kept. So an erase, and the
// keeping of a version, finds its folder afresh and checks it against the
// folder the pass held there (LocateSeen); the erase or refresh that follows
// a keep finds its folder afresh once more, which must still be the folder
// the version was read from, and the file there must be the one that was
// kept, checked just before it goes (TakeKept). These checks cost a few
// calls on the erase path only; a run that erases nothing makes none.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <optional>

#include "core/run_error.h"
#include "platform/linux/linux_entry_run.h"

namespace fernwise::linux_os {

namespace {

bool SameInode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

void LinuxEntryRun::ThrowFolderReplaced(const std::string& path,
                                        const char* operation) {
  throw RunError(ESTALE,
                 "The folder was replaced while the run worked in it; "
                 "nothing more is erased",
                 operation, path);
}

LinuxEntryRun::Location LinuxEntryRun::LocateSeen(Role role,
                                                  const std::string& path,
                                                  const char* operation,
                                                  FolderIdentity* found) {
  Location at = Locate(role, path, operation);
  struct stat now;
  if (::fstat(at.folder.get(), &now) != 0) ThrowError(operation, path);
  const std::optional<FolderIdentity> seen =
      stats_.SeenFolder(SplitPath(path).folder);
  if (seen && (now.st_dev != seen->device || now.st_ino != seen->inode))
    ThrowFolderReplaced(path, operation);
  if (found != nullptr) *found = {now.st_dev, now.st_ino};
  return at;
}

void LinuxEntryRun::NoteKept(const std::string& path, const struct stat& status,
                             const FolderIdentity& folder) {
  kept_path_ = path;
  kept_status_ = status;
  kept_folder_ = folder;
}

LinuxEntryRun::Location LinuxEntryRun::TakeKept(const std::string& path,
                                                const char* operation) {
  kept_path_.clear();
  FolderIdentity folder;
  // The kept version is always a destination file's.
  Location at = LocateSeen(Role::kDestination, path, operation, &folder);
  if (folder.device != kept_folder_.device ||
      folder.inode != kept_folder_.inode)
    ThrowFolderReplaced(path, operation);
  struct stat now;
  if (::fstatat(at.folder.get(), at.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) !=
      0)
    ThrowError(operation, path);
  const struct stat& kept = kept_status_;
  if (SameInode(now, kept) && now.st_size == kept.st_size &&
      now.st_mtim.tv_sec == kept.st_mtim.tv_sec &&
      now.st_mtim.tv_nsec == kept.st_mtim.tv_nsec)
    return at;
  throw RunError(ESTALE,
                 "The file changed after its old version was kept; nothing "
                 "more is erased",
                 operation, path);
}

}  // namespace fernwise::linux_os
