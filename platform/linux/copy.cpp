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

#include "platform/linux/carry.h"
#include "platform/linux/destination_abilities.h"
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

// A temporary entry beside the target, in the target's open folder, removed
// unless committed.
class TempEntry {
 public:
  // Calls make(name) with fresh names ".<name>.fernwise-XXXXXX" until one
  // does not exist yet; make returns false with errno set when it fails.
  // Where the destination refuses the name or the entry's `kind` (see
  // WhyRefused), the entry is left unmade instead of throwing.
  template <typename Make>
  TempEntry(const EntryAt& target, Make make, mode_t kind = S_IFREG)
      : folder_(target.folder) {
    std::string base = "." + target.name.substr(0, kKeptNameBytes);
    base += ".fernwise-";
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
      std::string name = base + RandomSuffix();
      // A refusal by a read-only folder of the process's own is retried once
      // with the folder opened up; it stays open until the temporary entry
      // has been renamed or removed, and this object's end puts its mode
      // back.
      const auto make_name = [&] { return make(name) ? 0 : -1; };
      if (InOwnFolder(folder_, make_name, access_) == 0) {
        name_ = std::move(name);
        return;
      }
      if (errno == EEXIST) continue;
      error_ = errno;
      RemoveDebris(folder_, name.c_str());
      refusal_ = WhyRefused(folder_, target.name, kind, error_);
      if (refusal_ != Refusal::kNone) return;
      ThrowError(kCopyFile, target.path, error_);
    }
    ThrowError(kCopyFile, target.path, EEXIST);
  }
  TempEntry(const TempEntry&) = delete;
  TempEntry& operator=(const TempEntry&) = delete;
  ~TempEntry() {
    if (!name_.empty()) ::unlinkat(folder_, name_.c_str(), 0);
  }

  bool made() const { return !name_.empty(); }
  Refusal refusal() const { return refusal_; }
  int error() const { return error_; }
  int folder() const { return folder_; }
  const char* name() const { return name_.c_str(); }
  // rename() replaces a file or link atomically, whatever its permissions,
  // and never follows a link at the target's name.
  void Commit(const EntryAt& target) {
    if (::renameat(folder_, name_.c_str(), folder_, target.name.c_str()) != 0)
      ThrowError(kCopyFile, target.path);
    name_.clear();
  }

 private:
  int folder_;
  // A member, so it ends only after the destructor's body has removed an
  // uncommitted temporary entry.
  std::optional<OwnFolderAccess> access_;
  std::string name_;
  Refusal refusal_ = Refusal::kNone;
  int error_ = 0;
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
// `change` is chown's call for the copy, and says what came along. Not
// tried where the destination keeps no permission bits: owners mean nothing
// there either.
template <typename Change>
CarriedOwner KeepOwner(const struct stat& st, CopyState& state,
                       const DestinationAbilities& onto, Change change) {
  if (!state.ids_known) {
    state.euid = ::geteuid();
    state.egid = ::getegid();
    state.ids_known = true;
  }
  CarriedOwner carried{st.st_uid == state.euid, st.st_gid == state.egid};
  if ((carried.owner && carried.group) || !onto.keeps_permissions)
    return carried;
  if (change(st.st_uid, st.st_gid) == 0) return {true, true};
  // Not privileged: the group may still be one this user belongs to.
  if (change(static_cast<uid_t>(-1), st.st_gid) == 0) carried.group = true;
  return carried;
}

// The owner, group, mode and times of a link or special file made as
// `temp`; set-ID bits as they came along.
CarriedOwner KeepOwnerOf(const TempEntry& temp, const struct stat& st,
                         CopyState& state, const DestinationAbilities& onto) {
  return KeepOwner(st, state, onto, [&](uid_t uid, gid_t gid) {
    return ::fchownat(temp.folder(), temp.name(), uid, gid,
                      AT_SYMLINK_NOFOLLOW);
  });
}

// What a copy that the destination refused leaves out, and why.
CopyResult LeftOut(const TempEntry& temp, const struct stat& st,
                   const DestinationAbilities& onto) {
  return {
      RefusalReason(temp.refusal(), st.st_mode & S_IFMT, temp.error(), onto)};
}

CopyResult CopyFile(const EntryAt& source, const struct stat& st,
                    const EntryAt& target, CopyState& state,
                    const DestinationAbilities& onto) {
  // O_NONBLOCK: should the name have become a FIFO since lstat, opening it
  // must not wait for a writer.
  UniqueFd in(
      ::openat(source.folder, source.name.c_str(),
               O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  if (!in.valid()) ThrowError(kCopyFile, source.path);
  UniqueFd out;
  TempEntry temp(target, [&](const std::string& name) {
    out.Reset(::openat(target.folder, name.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    return out.valid();
  });
  if (!temp.made()) return LeftOut(temp, st, onto);
  CopyContent(in.get(), out.get(), st, source.path, target.path, state);
  const CarriedOwner carried = KeepOwner(
      st, state, onto,
      [&](uid_t uid, gid_t gid) { return ::fchown(out.get(), uid, gid); });
  // After the owner: chown clears file capabilities.
  AclFacts acl;
  const int error =
      CopyExtendedAttributes(in.get(), out.get(), state.euid == 0, acl);
  if (error != 0) ThrowError(kCopyFile, target.path, error);
  const bool nosuid = OnNosuidMount(in.get(), st.st_dev, state.nosuid_devices);
  // After the content and the owner: writing or chown clears set-user-ID.
  if (SetCopyMode(out.get(), CarriedMode(st.st_mode, carried, acl, nosuid),
                  st.st_mode, onto) != 0)
    ThrowError(kCopyFile, target.path);
  const timespec times[2] = {st.st_atim, st.st_mtim};
  if (::futimens(out.get(), times) != 0) ThrowError(kCopyFile, target.path);
  if (out.Close() != 0) ThrowError(kCopyFile, target.path);
  temp.Commit(target);
  if (KeepTimesAfterRename(target.folder, target.name, times, onto) != 0)
    ThrowError(kCopyFile, target.path);
  return {};
}

std::string ReadLink(const EntryAt& source, off_t size_hint) {
  std::string text(size_hint > 0 ? static_cast<size_t>(size_hint) + 1 : 256,
                   '\0');
  for (;;) {
    const ssize_t got = ::readlinkat(source.folder, source.name.c_str(),
                                     text.data(), text.size());
    if (got < 0) ThrowError(kCopyFile, source.path);
    if (static_cast<size_t>(got) < text.size()) {
      text.resize(static_cast<size_t>(got));
      return text;
    }
    text.resize(text.size() * 2);  // the link grew since lstat
  }
}

void SetTimesAndCommit(TempEntry& temp, const struct stat& st,
                       const EntryAt& target) {
  const timespec times[2] = {st.st_atim, st.st_mtim};
  if (::utimensat(temp.folder(), temp.name(), times, AT_SYMLINK_NOFOLLOW) != 0)
    ThrowError(kCopyFile, target.path);
  temp.Commit(target);
}

CopyResult CopyLink(const EntryAt& source, const struct stat& st,
                    const EntryAt& target, CopyState& state,
                    const DestinationAbilities& onto) {
  const std::string link = ReadLink(source, st.st_size);
  TempEntry temp(
      target,
      [&](const std::string& name) {
        return ::symlinkat(link.c_str(), target.folder, name.c_str()) == 0;
      },
      S_IFLNK);
  if (!temp.made()) return LeftOut(temp, st, onto);
  KeepOwnerOf(temp, st, state, onto);
  SetTimesAndCommit(temp, st, target);
  return {};
}

// FIFOs, sockets and device nodes are made anew as what they are, never
// opened. An unprivileged process may not make device nodes, and FAT and
// exFAT hold none of them: then nothing is made, the target stays as it
// was, and the node is left out, so that the run goes on.
CopyResult CopySpecial(const EntryAt& target, const struct stat& st,
                       CopyState& state, const DestinationAbilities& onto) {
  const bool device = S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode);
  const mode_t kind = st.st_mode & S_IFMT;
  const dev_t number = device ? st.st_rdev : 0;
  TempEntry temp(
      target,
      [&](const std::string& name) {
        return ::mknodat(target.folder, name.c_str(), kind | 0600, number) == 0;
      },
      kind);
  if (!temp.made()) return LeftOut(temp, st, onto);
  const CarriedOwner carried = KeepOwnerOf(temp, st, state, onto);
  // Never opened, so neither its ACL nor its mount is looked at: set-ID bits
  // stay only with the owner and group.
  const mode_t mode = CarriedMode(st.st_mode, carried, AclFacts(), false);
  if (onto.keeps_permissions &&
      ::fchmodat(temp.folder(), temp.name(), mode, AT_SYMLINK_NOFOLLOW) != 0)
    ThrowError(kCopyFile, target.path);
  SetTimesAndCommit(temp, st, target);
  return {};
}

}  // namespace

CopyResult CopyEntry(const EntryAt& source, const struct stat& st,
                     const EntryAt& target, CopyState& state,
                     const DestinationAbilities& onto) {
  switch (st.st_mode & S_IFMT) {
    case S_IFREG:
      return CopyFile(source, st, target, state, onto);
    case S_IFLNK:
      return CopyLink(source, st, target, state, onto);
    case S_IFIFO:
    case S_IFSOCK:
    case S_IFCHR:
    case S_IFBLK:
      return CopySpecial(target, st, state, onto);
    case S_IFDIR:
      ThrowError(kCopyFile, source.path, EISDIR);
    default:
      ThrowError(kCopyFile, source.path, ENOTSUP);
  }
}

}  // namespace fernwise::linux_os
