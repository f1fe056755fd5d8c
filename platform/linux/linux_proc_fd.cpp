#include "platform/linux/linux_proc_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace fernwise::linux_os {

ProcFdPath::ProcFdPath(int fd) noexcept {
  std::snprintf(text_, sizeof text_, "/proc/self/fd/%d", fd);
}

int ChmodFd(int fd, mode_t mode) {
  if (::fchmod(fd, mode) == 0) return 0;
  if (errno != EBADF) return -1;
  return ::chmod(ProcFdPath(fd).c_str(), mode);
}

int SetTimesFd(int fd, const timespec times[2]) {
  if (::futimens(fd, times) == 0) return 0;
  if (errno != EBADF) return -1;
  // An O_PATH descriptor: kernels since 5.8 take it with an empty name
  // (a link's own times too); older ones through its /proc name, which
  // leads to the very inode, a link itself included.
  if (::utimensat(fd, "", times, AT_EMPTY_PATH) == 0) return 0;
  if (errno != EINVAL) return -1;
  return ::utimensat(AT_FDCWD, ProcFdPath(fd).c_str(), times, 0);
}

int ChownFd(int fd, uid_t uid, gid_t gid) {
  return ::fchownat(fd, "", uid, gid, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW);
}

}  // namespace fernwise::linux_os
