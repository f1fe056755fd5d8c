#include "platform/linux/posix_support.h"

#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <limits>

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

bool PathWithin(std::string_view folder, std::string_view path) {
  return path.starts_with(folder) &&
         (path.size() == folder.size() || folder == "/" ||
          path[folder.size()] == '/');
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

namespace {

constexpr int64_t kNanosPerSecond = 1'000'000'000;

}  // namespace

uint32_t MaskOf(const struct stat& st, std::string_view name) {
  uint32_t mask = static_cast<uint32_t>(st.st_mode & kPermissionBits)
                  << kPermissionShift;
  if (S_ISDIR(st.st_mode)) mask |= kAttrFolder;
  if ((st.st_mode & S_IWUSR) == 0) mask |= kAttrReadOnly;
  if (!name.empty() && name.front() == '.') mask |= kAttrHidden;
  return mask;
}

FileTime TimeOf(const timespec& stamp) {
  constexpr int64_t kMaxSeconds =
      std::numeric_limits<int64_t>::max() / kNanosPerSecond - 1;
  const int64_t seconds = stamp.tv_sec;
  if (seconds > kMaxSeconds) return {std::numeric_limits<int64_t>::max()};
  if (seconds < -kMaxSeconds) return {std::numeric_limits<int64_t>::min()};
  return {seconds * kNanosPerSecond + stamp.tv_nsec};
}

timespec TimespecOf(FileTime time) {
  // Floor division, so an instant before 1970 keeps its nanoseconds positive.
  int64_t seconds = time.ns / kNanosPerSecond;
  int64_t nanos = time.ns % kNanosPerSecond;
  if (nanos < 0) {
    --seconds;
    nanos += kNanosPerSecond;
  }
  return {static_cast<time_t>(seconds), static_cast<long>(nanos)};
}

}  // namespace fernwise::linux_os
