// Comparing two files' contents and setting a file's last-modified time:
// what settles a time that reads exactly the local-time shift off on a FAT
// drive (see sync/mirror.cpp).
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "core/run_error.h"
#include "platform/linux/linux_content.h"
#include "platform/linux/linux_entry_run.h"

namespace fernwise::linux_os {

namespace {

constexpr char kCompare[] = "compare";

}  // namespace

UniqueFd LinuxEntryRun::OpenFileSeen(const Location& at,
                                     const std::string& path,
                                     const struct stat& seen,
                                     struct stat& opened,
                                     const char* operation) const {
  // O_NONBLOCK: a FIFO swapped in must not wait for a writer.
  UniqueFd file(
      ::openat(at.folder.get(), at.name.c_str(),
               O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  if (!file.valid()) {
    // A link or a socket has taken the name, or nothing has.
    if (errno == ELOOP || errno == ENXIO || errno == ENOENT) return {};
    ThrowError(operation, path);
  }
  if (::fstat(file.get(), &opened) != 0) ThrowError(operation, path);
  if (!S_ISREG(opened.st_mode) || opened.st_dev != seen.st_dev ||
      opened.st_ino != seen.st_ino)
    return {};
  return file;
}

bool LinuxEntryRun::SameContent(const std::string& a, const std::string& b) {
  constexpr Role kA = Role::kSource;
  constexpr Role kB = Role::kDestination;
  // Read as named: a copy waiting for its flush takes its name first.
  CommitIfPending(a);
  CommitIfPending(b);
  const struct stat a_seen = StatEntry(kA, a, kCompare);
  const struct stat b_seen = StatEntry(kB, b, kCompare);
  if (!S_ISREG(a_seen.st_mode) || !S_ISREG(b_seen.st_mode) ||
      a_seen.st_size != b_seen.st_size)
    return false;
  struct stat a_opened;
  struct stat b_opened;
  const UniqueFd a_file =
      OpenFileSeen(Locate(kA, a, kCompare), a, a_seen, a_opened, kCompare);
  if (!a_file.valid()) return false;
  const UniqueFd b_file =
      OpenFileSeen(Locate(kB, b, kCompare), b, b_seen, b_opened, kCompare);
  if (!b_file.valid() || a_opened.st_size != b_opened.st_size ||
      !SameBytes(a_file.get(), b_file.get(), a_opened.st_size, a, b,
                 copy_state_))
    return false;
  // A file written to while it was read was read as no one version of it.
  struct stat a_after;
  struct stat b_after;
  if (::fstat(a_file.get(), &a_after) != 0) ThrowError(kCompare, a);
  if (::fstat(b_file.get(), &b_after) != 0) ThrowError(kCompare, b);
  return !Changed(a_opened, a_after) && !Changed(b_opened, b_after);
}

void LinuxEntryRun::SetLastModified(const std::string& path, FileTime time) {
  constexpr char kOperation[] = "set last-modified time of";
  constexpr Role kDest = Role::kDestination;
  CommitIfPending(path);
  const struct stat seen = StatEntry(kDest, path, kOperation);
  // A time is the inode's: through a hard link it changes every other name
  // of the file too.
  if (seen.st_nlink > 1) {
    stats_.ForgetEntries();
  } else {
    stats_.Forget(path);
  }
  if (before_change_) before_change_(path);
  const Location at = Locate(kDest, path, kOperation);
  struct stat opened;
  const UniqueFd file = OpenFileSeen(at, path, seen, opened, kOperation);
  if (!file.valid())
    throw RunError(ESTALE,
                   "Another entry has taken the file's name since it was "
                   "compared; its time is not set",
                   kOperation, path);
  // Both times, as a copy sets them: exfat-fuse takes a last-modified time
  // set alone for "now".
  const timespec times[2] = {opened.st_atim, TimespecOf(time)};
  if (::futimens(file.get(), times) != 0) ThrowError(kOperation, path);
  Wrote(kDest, at.folder.get(), path);
}

}  // namespace fernwise::linux_os
