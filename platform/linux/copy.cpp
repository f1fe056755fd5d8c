// The fail-safe copy of one entry. Every kind is built under a temporary name
// in the target's folder, given the source's permission bits and times, and
// only then renamed over the target, so the target is never seen half done.
#include "platform/linux/copy.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <optional>
#include <random>
#include <string_view>

#include "platform/linux/support.h"

namespace fernwise::linux_os {

namespace {

constexpr char kCopyFile[] = "copy file";
// Enough of the target's name to recognise a leftover temporary file by,
// short enough that ".<name>.fernwise-XXXXXX" stays within NAME_MAX.
constexpr size_t kKeptNameBytes = NAME_MAX - 32;
constexpr size_t kBufferBytes = size_t{1} << 20;
constexpr int kTempAttempts = 64;

std::string RandomSuffix() {
  static constexpr char kAlphabet[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::mt19937_64 generator{std::random_device{}()};
  std::string suffix(6, ' ');
  for (char& c : suffix) c = kAlphabet[generator() % (sizeof kAlphabet - 1)];
  return suffix;
}

// A temporary entry beside the target, removed unless committed.
class TempEntry {
 public:
  // Calls make(path) with fresh names ".<name>.fernwise-XXXXXX" until one
  // does not exist yet; make returns false with errno set when it fails.
  // Failing with `tolerated` leaves the entry unmade instead of throwing.
  template <typename Make>
  TempEntry(const std::string& target, Make make, int tolerated = 0) {
    // Only the name changes: the target's folder is the temporary entry's.
    const std::string_view name = SplitPath(target).name;
    std::string base = target.substr(0, target.size() - name.size()) + '.';
    base += name.substr(0, kKeptNameBytes);
    base += ".fernwise-";
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
      std::string path = base + RandomSuffix();
      // A refusal by a read-only folder of the process's own is retried once
      // with the folder opened up; it stays open until the temporary entry
      // has been renamed or removed, and this object's end puts its mode
      // back.
      const auto make_path = [&] { return make(path) ? 0 : -1; };
      if (InOwnFolder(target, make_path, access_) == 0) {
        path_ = std::move(path);
        return;
      }
      if (tolerated != 0 && errno == tolerated) return;
      if (errno != EEXIST) ThrowError(kCopyFile, target);
    }
    ThrowError(kCopyFile, target, EEXIST);
  }
  TempEntry(const TempEntry&) = delete;
  TempEntry& operator=(const TempEntry&) = delete;
  ~TempEntry() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }

  bool made() const { return !path_.empty(); }
  const char* path() const { return path_.c_str(); }
  // rename() replaces a file or link atomically, whatever its permissions.
  void Commit(const std::string& target) {
    if (::rename(path_.c_str(), target.c_str()) != 0)
      ThrowError(kCopyFile, target);
    path_.clear();
  }

 private:
  // A member, so it ends only after the destructor's body has removed an
  // uncommitted temporary entry.
  std::optional<OwnFolderAccess> access_;
  std::string path_;
};

// Copies in the kernel; false when it cannot for this pair of files (another
// file system, an old kernel), leaving `done` where the rest must start.
bool CopyInKernel(int in, int out, off_t size, off_t& done) {
  while (done < size) {
    const ssize_t copied = ::copy_file_range(
        in, nullptr, out, nullptr, static_cast<size_t>(size - done), 0);
    if (copied < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (copied == 0) break;  // the source shrank since it was read
    done += copied;
  }
  return true;
}

void CopyThroughBuffer(int in, int out, off_t size, off_t done,
                       const std::string& source, const std::string& target,
                       CopyState& state) {
  if (!state.buffer) {
    state.buffer = std::make_unique<char[]>(kBufferBytes);
    state.buffer_size = kBufferBytes;
  }
  while (done < size) {
    const ssize_t got = ::read(in, state.buffer.get(), state.buffer_size);
    if (got < 0) {
      if (errno == EINTR) continue;
      ThrowError(kCopyFile, source);
    }
    if (got == 0) break;
    WriteAll(out, state.buffer.get(), static_cast<size_t>(got), kCopyFile,
             target);
    done += got;
  }
}

// A clone shares the source's blocks where the file system can (btrfs, XFS);
// one that cannot says so on the first file, and is not asked for every
// other file of the pass.
bool Clone(int in, int out, const struct stat& st, CopyState& state) {
  if (state.clone_refused_on == st.st_dev) return false;
  if (::ioctl(out, FICLONE, in) == 0) return true;
  if (errno == EOPNOTSUPP || errno == ENOTTY || errno == EINVAL ||
      errno == EXDEV)
    state.clone_refused_on = st.st_dev;
  return false;
}

// Copies st_size bytes as read before opening: a file that grows meanwhile
// gets the copy its last-modified time describes, and the next run sees the
// newer time and copies again.
void CopyContent(int in, int out, const struct stat& st,
                 const std::string& source, const std::string& target,
                 CopyState& state) {
  if (st.st_size == 0) return;
  if (Clone(in, out, st, state)) return;
  off_t done = 0;
  if (CopyInKernel(in, out, st.st_size, done)) return;
  CopyThroughBuffer(in, out, st.st_size, done, source, target, state);
}

// The source's owner and group where this process may set them, as cp -a
// keeps them; a refusal is not a failure (an ordinary user keeps their own).
void KeepOwner(int fd, const char* path, const struct stat& st,
               CopyState& state) {
  if (!state.ids_known) {
    state.euid = ::geteuid();
    state.egid = ::getegid();
    state.ids_known = true;
  }
  if (st.st_uid == state.euid && st.st_gid == state.egid) return;
  auto change = [&](uid_t uid) {
    return fd >= 0 ? ::fchown(fd, uid, st.st_gid)
                   : ::lchown(path, uid, st.st_gid);
  };
  // Not privileged: the group may still be one this user belongs to.
  if (change(st.st_uid) != 0) change(static_cast<uid_t>(-1));
}

void CopyFile(const std::string& source, const struct stat& st,
              const std::string& target, CopyState& state) {
  // O_NONBLOCK: should the path have become a FIFO since lstat, opening it
  // must not wait for a writer.
  UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW |
                                         O_NONBLOCK | O_NOCTTY));
  if (!in.valid()) ThrowError(kCopyFile, source);
  UniqueFd out;
  TempEntry temp(target, [&out](const std::string& path) {
    out.Reset(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    return out.valid();
  });
  CopyContent(in.get(), out.get(), st, source, target, state);
  KeepOwner(out.get(), nullptr, st, state);
  // After the content and the owner: writing or chown clears set-user-ID.
  if (::fchmod(out.get(), st.st_mode & kPermissionBits) != 0)
    ThrowError(kCopyFile, target);
  const timespec times[2] = {st.st_atim, st.st_mtim};
  if (::futimens(out.get(), times) != 0) ThrowError(kCopyFile, target);
  if (out.Close() != 0) ThrowError(kCopyFile, target);
  temp.Commit(target);
}

std::string ReadLink(const std::string& source, off_t size_hint) {
  std::string text(size_hint > 0 ? static_cast<size_t>(size_hint) + 1 : 256,
                   '\0');
  for (;;) {
    const ssize_t got = ::readlink(source.c_str(), text.data(), text.size());
    if (got < 0) ThrowError(kCopyFile, source);
    if (static_cast<size_t>(got) < text.size()) {
      text.resize(static_cast<size_t>(got));
      return text;
    }
    text.resize(text.size() * 2);  // the link grew since lstat
  }
}

void SetTimesAndCommit(TempEntry& temp, const struct stat& st,
                       const std::string& target) {
  const timespec times[2] = {st.st_atim, st.st_mtim};
  if (::utimensat(AT_FDCWD, temp.path(), times, AT_SYMLINK_NOFOLLOW) != 0)
    ThrowError(kCopyFile, target);
  temp.Commit(target);
}

void CopyLink(const std::string& source, const struct stat& st,
              const std::string& target, CopyState& state) {
  const std::string link = ReadLink(source, st.st_size);
  TempEntry temp(target, [&link](const std::string& path) {
    return ::symlink(link.c_str(), path.c_str()) == 0;
  });
  KeepOwner(-1, temp.path(), st, state);
  SetTimesAndCommit(temp, st, target);
}

// FIFOs, sockets and device nodes are made anew as what they are, never
// opened. An unprivileged process may not make device nodes: then nothing is
// made and the target stays as it was, so that the run goes on.
void CopySpecial(const std::string& target, const struct stat& st,
                 CopyState& state) {
  const bool device = S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode);
  const mode_t kind = st.st_mode & S_IFMT;
  const dev_t number = device ? st.st_rdev : 0;
  TempEntry temp(
      target,
      [&](const std::string& path) {
        return ::mknod(path.c_str(), kind | 0600, number) == 0;
      },
      device ? EPERM : 0);
  if (!temp.made()) return;
  KeepOwner(-1, temp.path(), st, state);
  if (::fchmodat(AT_FDCWD, temp.path(), st.st_mode & kPermissionBits, 0) != 0)
    ThrowError(kCopyFile, target);
  SetTimesAndCommit(temp, st, target);
}

}  // namespace

void CopyEntry(const std::string& source, const struct stat& st,
               const std::string& target, CopyState& state) {
  switch (st.st_mode & S_IFMT) {
    case S_IFREG:
      return CopyFile(source, st, target, state);
    case S_IFLNK:
      return CopyLink(source, st, target, state);
    case S_IFIFO:
    case S_IFSOCK:
    case S_IFCHR:
    case S_IFBLK:
      return CopySpecial(target, st, state);
    case S_IFDIR:
      ThrowError(kCopyFile, source, EISDIR);
    default:
      ThrowError(kCopyFile, source, ENOTSUP);
  }
}

}  // namespace fernwise::linux_os
