#include "platform/linux/support.h"

#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "core/run_error.h"
#include "core/temporary_name.h"

namespace fernwise::linux_os {

void ThrowError(const char* operation, const std::string& path, int number) {
  throw RunError(number, std::strerror(number), operation, path);
}

void WriteAll(int fd, const char* data, size_t size, const char* operation,
              const std::string& path) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      ThrowError(operation, path);
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
}

PathParts SplitPath(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  // memrchr: asked several times for every entry of a pass.
  const auto* slash =
      static_cast<const char*>(::memrchr(path.data(), '/', path.size()));
  if (slash == nullptr) return {".", path};
  const size_t at = static_cast<size_t>(slash - path.data());
  return {path.substr(0, at == 0 ? 1 : at), path.substr(at + 1)};
}

std::string TemporaryHead(std::string_view target_name) {
  constexpr size_t kKeptBytes = NAME_MAX - 2 - kTemporaryMarkSize;
  std::string head = ".";
  head += Utf8Prefix(target_name, kKeptBytes);
  head += '.';
  return head;
}

bool Changed(const struct stat& before, const struct stat& after) {
  return before.st_size != after.st_size ||
         before.st_mtim.tv_sec != after.st_mtim.tv_sec ||
         before.st_mtim.tv_nsec != after.st_mtim.tv_nsec ||
         before.st_ctim.tv_sec != after.st_ctim.tv_sec ||
         before.st_ctim.tv_nsec != after.st_ctim.tv_nsec;
}

ProcFdPath::ProcFdPath(int fd) noexcept {
  std::snprintf(text_, sizeof text_, "/proc/self/fd/%d", fd);
}

int ChmodFd(int fd, mode_t mode) {
  if (::fchmod(fd, mode) == 0) return 0;
  if (errno != EBADF) return -1;
  return ::chmod(ProcFdPath(fd).c_str(), mode);
}

namespace {

constexpr mode_t kOwnerWriteSearch = S_IWUSR | S_IXUSR;

}  // namespace

OwnFolderAccess::OwnFolderAccess(int folder) : folder_(folder) {
  const int error = errno;
  struct stat st;
  if (::fstat(folder_, &st) == 0 && S_ISDIR(st.st_mode) &&
      st.st_uid == ::geteuid() &&
      (st.st_mode & kOwnerWriteSearch) != kOwnerWriteSearch) {
    saved_mode_ = st.st_mode & kPermissionBits;
    granted_ = ChmodFd(folder_, saved_mode_ | kOwnerWriteSearch) == 0;
  }
  errno = error;
}

OwnFolderAccess::~OwnFolderAccess() {
  if (!granted_) return;
  // Best effort: the process owns the folder and has just changed its mode,
  // so this can hardly fail, and an error may already be on its way out.
  const int error = errno;
  ChmodFd(folder_, saved_mode_);
  errno = error;
}

}  // namespace fernwise::linux_os
