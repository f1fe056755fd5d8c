// What an erase, and the keeping of the version it displaces, rest on. A
// pass decides to erase or to replace a destination file by what it read in
// the folder it listed or looked into; should another program (or another
// run) replace that folder meanwhile, the same name now leads to another
// file, which was never compared and never kept. So the folder of every
// erase, of every kept version and of every replacement of a kept file is
// found afresh and checked against the folder the pass held there, and the
// file an erase or a refresh takes away is checked against the one whose
// version was kept, just before it goes. These checks cost a few fstat
// calls on the erase path only; an unchanged run makes none.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "core/run_error.h"
#include "platform/linux/file_system.h"

namespace fernwise {

namespace {

bool SameInode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

void LinuxFileSystem::ThrowFolderReplaced(const std::string& path,
                                          const char* operation) {
  throw RunError(ESTALE,
                 "The folder was replaced while the run worked in it; "
                 "nothing more is erased",
                 operation, path);
}

LinuxFileSystem::Location LinuxFileSystem::LocateSeen(
    const std::string& path, const char* operation) {
  Location at = Locate(path, operation);
  struct stat seen;
  struct stat now;
  if (!stats_.SeenFolder(linux_os::SplitPath(path).folder, seen)) return at;
  if (::fstat(at.folder.get(), &now) != 0) linux_os::ThrowError(operation, path);
  if (!SameInode(seen, now)) ThrowFolderReplaced(path, operation);
  return at;
}

void LinuxFileSystem::CheckKept(const Location& at, const std::string& path,
                                const char* operation) const {
  struct stat now;
  if (::fstatat(at.folder.get(), at.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) !=
      0)
    linux_os::ThrowError(operation, path);
  const struct stat& kept = kept_status_;
  if (SameInode(now, kept) && now.st_size == kept.st_size &&
      now.st_mtim.tv_sec == kept.st_mtim.tv_sec &&
      now.st_mtim.tv_nsec == kept.st_mtim.tv_nsec)
    return;
  throw RunError(ESTALE,
                 "The file changed after its old version was kept; nothing "
                 "more is erased",
                 operation, path);
}

}  // namespace fernwise
