#include "platform/linux/linux_probe_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "core/ascii_case.h"
#include "core/temporary_name.h"
#include "platform/linux/linux_proc_fd.h"

namespace fernwise::linux_os {

namespace {

constexpr int kAttempts = 16;

}  // namespace

ProbeFile::ProbeFile(int folder, std::string head)
    : folder_(folder), head_(std::move(head)) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::string name = MakeTemporaryName(head_, "");
    fd_.Reset(::openat(folder, name.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       0600));
    if (fd_.valid()) {
      name_ = std::move(name);
      return;
    }
    if (errno != EEXIST) return;
  }
}

ProbeFile::~ProbeFile() {
  if (name_.empty()) return;
  fd_.Reset();
  ::unlinkat(folder_, name_.c_str(), 0);
}

bool ProbeFile::FoundInCapitals() const {
  struct stat status;
  return ::fstatat(folder_, AsciiUpper(name_).c_str(), &status,
                   AT_SYMLINK_NOFOLLOW) == 0;
}

bool ProbeFile::KeepsTimeWhenRenamed() {
  struct stat before;
  struct stat after;
  // Another temporary name, so that the probe stays known as one.
  std::string renamed = MakeTemporaryName(head_, "");
  if (::fstat(fd_.get(), &before) != 0 ||
      ::renameat(folder_, name_.c_str(), folder_, renamed.c_str()) != 0)
    return true;
  name_ = std::move(renamed);
  return ::fstatat(folder_, name_.c_str(), &after, AT_SYMLINK_NOFOLLOW) != 0 ||
         TimeOf(after.st_mtim) == TimeOf(before.st_mtim);
}

FolderTimeKept::~FolderTimeKept() {
  const int saved = errno;
  struct stat after;
  if (known_ && ::fstat(folder_, &after) == 0 &&
      TimeOf(after.st_mtim) != TimeOf(before_.st_mtim)) {
    const timespec times[2] = {{0, UTIME_OMIT}, before_.st_mtim};
    // The folder may be held by an O_PATH descriptor.
    SetTimesFd(folder_, times);
  }
  errno = saved;
}

}  // namespace fernwise::linux_os
