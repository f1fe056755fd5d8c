#include "platform/linux/support.h"

#include <cstring>

#include "core/run_error.h"

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
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {".", path};
  return {path.substr(0, slash == 0 ? 1 : slash), path.substr(slash + 1)};
}

namespace {

constexpr mode_t kOwnerWriteSearch = S_IWUSR | S_IXUSR;

}  // namespace

// stat and chmod follow links, as the call being retried resolves the
// holding folder's path itself.
OwnFolderAccess::OwnFolderAccess(const std::string& path)
    : folder_(SplitPath(path).folder) {
  const int error = errno;
  struct stat st;
  if (::stat(folder_.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
      st.st_uid == ::geteuid() &&
      (st.st_mode & kOwnerWriteSearch) != kOwnerWriteSearch) {
    saved_mode_ = st.st_mode & kPermissionBits;
    granted_ = ::chmod(folder_.c_str(), saved_mode_ | kOwnerWriteSearch) == 0;
  }
  errno = error;
}

OwnFolderAccess::~OwnFolderAccess() {
  if (!granted_) return;
  // Best effort: the process owns the folder and has just changed its mode,
  // so this can hardly fail, and an error may already be on its way out.
  const int error = errno;
  ::chmod(folder_.c_str(), saved_mode_);
  errno = error;
}

}  // namespace fernwise::linux_os
