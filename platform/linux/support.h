// Pieces the Linux file-system services share: an owned file descriptor, the
// error they throw, path splitting, and the lending of a read-only folder's
// write bit to its owner.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <string_view>

namespace fernwise::linux_os {

/// The permission bits of a mode: what the attribute mask carries and a copy
/// sets.
constexpr mode_t kPermissionBits = 07777;

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

/// What comes before the program's mark (core/temporary_name.h) in the
/// names of temporary entries made beside `target_name`: ".", as much of
/// the target's name as leaves the whole name within NAME_MAX (cut between
/// UTF-8 characters), and ".". The name then sorts beside its target and
/// stays hidden.
std::string TemporaryHead(std::string_view target_name);

/// Whether an open file changed between two fstat calls in what writing to
/// it changes: its length, its last-modified time or its change time.
bool Changed(const struct stat& before, const struct stat& after);

/// "/proc/self/fd/<fd>", the name that leads to the very entry `fd` refers
/// to, made without allocating: destructors use it, and must not throw.
class ProcFdPath {
 public:
  explicit ProcFdPath(int fd) noexcept;
  const char* c_str() const { return text_; }

 private:
  char text_[32];
};

/// Sets the mode of the entry `fd` refers to, which may have been opened with
/// O_PATH (fchmod refuses those): through /proc/self/fd, which names that
/// very inode and follows no other link. 0, or -1 with errno.
int ChmodFd(int fd, mode_t mode);

/// Lets this process create, rename and remove entries in the open folder
/// `folder` for as long as it lives, when that folder is the process's own
/// but lacks the owner's write or search permission; its exact mode comes
/// back when the object ends. A folder copied from a read-only source (a
/// module cache, a read-only share) is such a folder, and the destination
/// tree is the program's own: a read-only folder there must not keep its own
/// entries from being replaced or erased. Folders of other owners are never
/// touched, and the folder is reached through its descriptor, never by a
/// path that a link could redirect.
class OwnFolderAccess {
 public:
  /// Lifts the two bits if `folder` is the process's own and lacks one of
  /// them; granted() says whether it did. `folder` must outlive the object.
  explicit OwnFolderAccess(int folder);
  OwnFolderAccess(const OwnFolderAccess&) = delete;
  OwnFolderAccess& operator=(const OwnFolderAccess&) = delete;
  /// Puts the folder's mode back; errno is left as it was.
  ~OwnFolderAccess();

  bool granted() const { return granted_; }

 private:
  int folder_;
  mode_t saved_mode_ = 0;
  bool granted_ = false;
};

/// Runs `call` (a system call's wrapper: 0 or -1 with errno) on an entry of
/// the open folder `folder`. When it is refused with EACCES and `access`
/// lends nothing yet, tries once more with the folder opened up by
/// OwnFolderAccess, if that applies; the folder stays open for as long as
/// `access` holds it. EPERM is not retried: on Linux it comes from the
/// sticky bit or an immutable folder, which the owner's write bit does not
/// cure.
template <typename Call>
int InOwnFolder(int folder, Call call, std::optional<OwnFolderAccess>& access) {
  const int result = call();
  if (result == 0 || errno != EACCES || access) return result;
  access.emplace(folder);
  if (!access->granted()) {
    errno = EACCES;
    return result;
  }
  return call();
}

/// InOwnFolder for one call: the folder's mode is back when it returns.
template <typename Call>
int InOwnFolder(int folder, Call call) {
  std::optional<OwnFolderAccess> access;
  return InOwnFolder(folder, call, access);
}

}  // namespace fernwise::linux_os
