// The one place that reaches an entry through /proc/self/fd: a descriptor
// opened with O_PATH (which is how the held folders are kept: it needs no
// permission on the folder, and follows no link) is refused by fchmod and
// futimens, but its name under /proc/self/fd leads to that very inode and
// follows no other link.
#pragma once

#include <sys/types.h>

#include <ctime>

namespace fernwise::linux_os {

/// "/proc/self/fd/<fd>", made without allocating: destructors use it, and
/// must not throw.
class ProcFdPath {
 public:
  explicit ProcFdPath(int fd) noexcept;
  const char* c_str() const { return text_; }

 private:
  char text_[32];
};

/// Sets the mode of the entry `fd` refers to, which may have been opened
/// with O_PATH. 0, or -1 with errno.
int ChmodFd(int fd, mode_t mode);

/// Sets the access and last-modified times of the entry `fd` refers to (as
/// utimensat takes them), which may have been opened with O_PATH. 0, or -1
/// with errno.
int SetTimesFd(int fd, const timespec times[2]);

/// Sets the owner and group of the entry `fd` refers to (a link's own
/// where it is one), which may have been opened with O_PATH. 0, or -1 with
/// errno.
int ChownFd(int fd, uid_t uid, gid_t gid);

}  // namespace fernwise::linux_os
