// Pieces every part of the Linux file-system services shares, all of them
// plain POSIX: an owned file descriptor, the error they throw, path
// splitting, the attribute mask and the time of a status.
//
// Attribute mask:
//   1            read-only: the owner's write permission is clear
//   2            hidden: the name begins with "."
//   16           folder: a directory (a link to one is not a folder)
//   bits 16..27  the permission bits (mode & 07777) shifted left by 16, so a
//                change of permissions alone shows as a different mask
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "core/file_system.h"

namespace fernwise::linux_os {

/// The permission bits of a mode: what the attribute mask carries and a copy
/// sets.
constexpr mode_t kPermissionBits = 07777;
/// Where the permission bits sit in the attribute mask.
constexpr int kPermissionShift = 16;

/// The attribute mask of an entry of status `st` named `name`.
uint32_t MaskOf(const struct stat& st, std::string_view name);

/// A status's time as the core keeps it; times past the year 2262 are held
/// at the limit rather than wrapped into the past.
FileTime TimeOf(const timespec& stamp);
/// A core time as a timespec, its nanoseconds never negative.
timespec TimespecOf(FileTime time);

/// An open file descriptor, closed when it goes out of scope.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  ~UniqueFd() { Reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1) {
    // close() releases the descriptor even when it reports an error, so the
    // error cannot be acted on here; Close() reports it where it matters.
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  /// Closes the descriptor, returning close()'s result.
  int Close() { return ::close(Release()); }

 private:
  int fd_ = -1;
};

/// Throws RunError with `number` (errno by default), its strerror text, the
/// operation and the path.
[[noreturn]] void ThrowError(const char* operation, const std::string& path,
                             int number = errno);

/// Writes all `size` bytes, or throws RunError naming `operation` and `path`.
void WriteAll(int fd, const char* data, size_t size, const char* operation,
              const std::string& path);

/// A path split at its last "/", trailing slashes ignored: the folder that
/// holds the entry ("." for a bare name, "/" for an entry of the root) and
/// the entry's name. Both view `path`'s characters, or a literal.
struct PathParts {
  std::string_view folder;
  std::string_view name;
};
PathParts SplitPath(std::string_view path);

/// Whether `path` is `folder` or lies below it: "/a" holds "/a" and "/a/x"
/// but not "/ab", and "/" holds every path. Neither ends in "/" but the root.
bool PathWithin(std::string_view folder, std::string_view path);

/// What comes before the program's mark (core/temporary_name.h) in the
/// names of temporary entries made beside `target_name`: ".", as much of
/// the target's name as leaves the whole name within NAME_MAX (cut between
/// UTF-8 characters), and ".". The name then sorts beside its target and
/// stays hidden.
std::string TemporaryHead(std::string_view target_name);

/// Whether an open file changed between two fstat calls in what writing to
/// it changes: its length, its last-modified time or its change time.
bool Changed(const struct stat& before, const struct stat& after);

}  // namespace fernwise::linux_os
