// Pieces the POSIX file-system services share: an owned file descriptor, the
// error they throw, and the copy of one entry.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>

namespace fernwise::posix {

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

/// Lets this process create, rename and remove entries in the folder that
/// holds `path` for as long as it lives, when that folder is the process's
/// own but lacks the owner's write or search permission; its exact mode comes
/// back when the object ends. A folder copied from a read-only source (a
/// module cache, a read-only share) is such a folder, and on the system the
/// program was first written for a read-only folder never keeps its own
/// files from being replaced or erased. Folders of other owners are never
/// touched.
class OwnFolderAccess {
 public:
  /// Lifts the two bits if the folder holding `path` is the process's own
  /// and lacks one of them; granted() says whether it did.
  explicit OwnFolderAccess(const std::string& path);
  OwnFolderAccess(const OwnFolderAccess&) = delete;
  OwnFolderAccess& operator=(const OwnFolderAccess&) = delete;
  /// Puts the folder's mode back; errno is left as it was.
  ~OwnFolderAccess();

  bool granted() const { return granted_; }

 private:
  std::string folder_;
  mode_t saved_mode_ = 0;
  bool granted_ = false;
};

/// Runs `call` (a system call's wrapper: 0 or -1 with errno) on an entry at
/// `path`. When it is refused with EACCES, tries once more with the holding
/// folder opened up by OwnFolderAccess, if that applies. EPERM is not retried:
/// on Linux it comes from the sticky bit or an immutable folder, which the
/// owner's write bit does not cure.
template <typename Call>
int InOwnFolder(const std::string& path, Call call) {
  const int result = call();
  if (result == 0 || errno != EACCES) return result;
  OwnFolderAccess access(path);
  if (!access.granted()) {
    errno = EACCES;
    return result;
  }
  return call();
}

/// What the copies of one pass share, kept by the file system and reset
/// when a pass begins: scratch memory for the read/write fallback, allocated
/// on first use so a run of small copies allocates once, the process's
/// effective ids, and whether the file system refuses to clone.
struct CopyState {
  std::unique_ptr<char[]> buffer;
  size_t buffer_size = 0;
  bool ids_known = false;
  uid_t euid = 0;
  gid_t egid = 0;
  /// Sources on this device were refused a clone: the copies that follow
  /// copy their content without asking again.
  std::optional<dev_t> clone_refused_on;

  void BeginPass() {
    ids_known = false;
    clone_refused_on.reset();
  }
};

/// Creates or replaces `target` with a copy of the entry at `source` (a file,
/// a link, a FIFO, a socket or a device node) whose lstat status is `st`,
/// fail-safe: the copy is built under a temporary name beside the target and
/// renamed over it only when complete; on failure the temporary entry is
/// removed and the target left as it was.
void CopyEntry(const std::string& source, const struct stat& st,
               const std::string& target, CopyState& state);

}  // namespace fernwise::posix
