#include "platform/linux/linux_refusal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/linux_probe_file.h"
#include "platform/linux/posix_support.h"

namespace fernwise::linux_os {

namespace {

// Failures that say nothing about the name or the kind of entry.
bool MayBeRefusal(int error) {
  switch (error) {
    case EACCES:
    case EROFS:
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
    case ENAMETOOLONG:
    case EMLINK:
    case ENOMEM:
    case EMFILE:
    case ENFILE:
    case EEXIST:
    case EINTR:
    case EBADF:
    case ENOTDIR:
    case ELOOP:
      return false;
    default:
      return true;
  }
}

}  // namespace

Refusal WhyRefused(int folder, const std::string& name, mode_t kind,
                   int error) {
  if (!MayBeRefusal(error)) return Refusal::kNone;
  const FolderTimeKept kept(folder);
  if (kind != S_IFREG && ProbeFile(folder, TemporaryHead(name)).made())
    return kind == S_IFDIR ? Refusal::kNone : Refusal::kKind;
  // A name like it cannot be made, but a plain one can.
  return ProbeFile(folder, kProbeHead).made() ? Refusal::kName : Refusal::kNone;
}

std::string RefusalReason(Refusal refusal, mode_t kind, int error,
                          const DestinationAbilities& abilities) {
  if (refusal == Refusal::kName) return "the destination cannot hold this name";
  switch (kind) {
    case S_IFLNK:
      return "the destination cannot hold links";
    case S_IFIFO:
      return "the destination cannot hold FIFOs";
    case S_IFSOCK:
      return "the destination cannot hold sockets";
    default:
      if (error == EPERM && abilities.keeps_permissions)
        return "a device node needs privileges to be made";
      return "the destination cannot hold device nodes";
  }
}

void RemoveDebris(int folder, const char* name) {
  const int saved = errno;
  struct stat status;
  if (::fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(status.st_mode) && status.st_size == 0)
    ::unlinkat(folder, name, 0);
  errno = saved;
}

}  // namespace fernwise::linux_os
