// The fail-safe copy of one entry. Every kind is built under a temporary name
// in the target's folder, given the source's permission bits and times, and
// only then renamed over the target, so the target is never seen half done.
#include "platform/linux/copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>

#include "core/run_error.h"
#include "core/temporary_name.h"
#include "platform/linux/carry.h"
#include "platform/linux/content.h"
#include "platform/linux/destination_abilities.h"
#include "platform/linux/support.h"

namespace fernwise::linux_os {

namespace {

constexpr char kCopyFile[] = "copy file";
constexpr int kTempAttempts = 64;
// From this size on, a batched copy starts its own write-back at once.
constexpr off_t kEarlyWriteBackBytes = off_t{1} << 20;
// The pauses before the tries that follow a copy whose source changed under
// it: a program saving a file is mostly done within them, and they are
// short, as a file that keeps changing holds up the run for their sum.
constexpr std::chrono::milliseconds kRetryPauses[] = {
    std::chrono::milliseconds(10), std::chrono::milliseconds(50),
    std::chrono::milliseconds(100)};
constexpr char kKeptChanging[] =
    "it kept changing while it was copied; its backup is left as it was, "
    "and the next run tries again";

// Gives the finished entry `from` the name `to` in `folder` without ever
// replacing an entry of that name: 0, or -1 with errno, EEXIST when the name
// is taken.
int RenameToNewName(int folder, const char* from, const char* to,
                    CopyState& state) {
  if (!state.no_replace_refused) {
    if (::renameat2(folder, from, folder, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
    state.no_replace_refused = true;
  }
  // A hard link is never made over an existing name either.
  if (::linkat(folder, from, folder, to, 0) == 0) {
    ::unlinkat(folder, from, 0);
    return 0;
  }
  if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) return -1;
  // A file system with neither (some FUSE ones): the name is looked at just
  // before an ordinary rename, which leaves only that moment open.
  struct stat existing;
  if (::fstatat(folder, to, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  if (errno != ENOENT) return -1;
  return ::renameat(folder, from, folder, to);
}

// A temporary entry beside the target, in the target's open folder, removed
// unless committed.
class TempEntry {
 public:
  // Calls make(name) with fresh temporary names (see TemporaryHead) until
  // one does not exist yet; make returns false with errno set when it fails.
  // Where the destination refuses the name or the entry's `kind` (see
  // WhyRefused), the entry is left unmade instead of throwing.
  template <typename Make>
  TempEntry(const EntryAt& target, Make make, mode_t kind = S_IFREG)
      : folder_(target.folder) {
    const std::string head = TemporaryHead(target.name);
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
      std::string name = MakeTemporaryName(head, "");
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
  /// Hands the complete entry over to whoever names it later.
  std::string Release() { return std::exchange(name_, {}); }
  Refusal refusal() const { return refusal_; }
  int error() const { return error_; }
  int folder() const { return folder_; }
  const char* name() const { return name_.c_str(); }
  // rename() replaces a file or link atomically, whatever its permissions,
  // and never follows a link at the target's name. A new name only is never
  // taken from another entry: false when it is taken, and the temporary
  // entry goes with this object.
  bool Commit(const EntryAt& target, TargetName naming, CopyState& state) {
    const int result =
        naming == TargetName::kReplace
            ? ::renameat(folder_, name_.c_str(), folder_, target.name.c_str())
            : RenameToNewName(folder_, name_.c_str(), target.name.c_str(),
                              state);
    if (result != 0) {
      if (naming == TargetName::kNewNameOnly && errno == EEXIST) return false;
      ThrowError(kCopyFile, target.path);
    }
    name_.clear();
    return true;
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

CopyResult Named(bool committed) {
  CopyResult result;
  result.name_taken = !committed;
  return result;
}

// One try at copying the regular file `st` describes; nullopt when what it
// found was not that file, or the file changed while it was copied.
std::optional<CopyResult> CopyFile(const EntryAt& source, const struct stat& st,
                                   const EntryAt& target, CopyState& state,
                                   const DestinationAbilities& onto,
                                   TargetName naming, Landing landing) {
  // O_NONBLOCK: should the name have become a FIFO since lstat, opening it
  // must not wait for a writer.
  UniqueFd in(
      ::openat(source.folder, source.name.c_str(),
               O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  if (!in.valid()) {
    // A link or a socket has taken the name since it was looked at.
    if (errno == ELOOP || errno == ENXIO) return std::nullopt;
    ThrowError(kCopyFile, source.path);
  }
  // What was opened, and what the copy is made from: its times and mode
  // go with the content it holds.
  struct stat opened;
  if (::fstat(in.get(), &opened) != 0) ThrowError(kCopyFile, source.path);
  if (!S_ISREG(opened.st_mode) || opened.st_dev != st.st_dev ||
      opened.st_ino != st.st_ino)
    return std::nullopt;
  UniqueFd out;
  TempEntry temp(target, [&](const std::string& name) {
    out.Reset(::openat(target.folder, name.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    return out.valid();
  });
  if (!temp.made()) return LeftOut(temp, opened, onto);
  const off_t copied =
      CopyContent(in.get(), out.get(), opened, source.path, target.path, state);
  struct stat after;
  if (::fstat(in.get(), &after) != 0) ThrowError(kCopyFile, source.path);
  // A copy that ended short, or of a file written to meanwhile, is a copy
  // of no version of it, and would carry a time that tells later runs it is
  // current: it goes with the temporary entry.
  if (copied != after.st_size || Changed(opened, after)) return std::nullopt;
  const CarriedOwner carried = KeepOwner(
      opened, state, onto,
      [&](uid_t uid, gid_t gid) { return ::fchown(out.get(), uid, gid); });
  // After the owner: chown clears file capabilities.
  AclFacts acl;
  const int error =
      CopyExtendedAttributes(in.get(), out.get(), state.euid == 0, acl);
  if (error != 0) ThrowError(kCopyFile, target.path, error);
  const bool nosuid =
      OnNosuidMount(in.get(), opened.st_dev, state.nosuid_devices);
  // After the content and the owner: writing or chown clears set-user-ID.
  if (SetCopyMode(out.get(), CarriedMode(opened.st_mode, carried, acl, nosuid),
                  opened.st_mode, onto) != 0)
    ThrowError(kCopyFile, target.path);
  const timespec times[2] = {opened.st_atim, opened.st_mtim};
  if (::futimens(out.get(), times) != 0) ThrowError(kCopyFile, target.path);
  if (landing == Landing::kBatched && naming == TargetName::kReplace &&
      state.pending != nullptr) {
    // The batch's one flush writes it out, in one sweep with the others,
    // before it takes its name. A large file's write-back starts now, so
    // that the disk writes it while the next ones are copied; small files
    // wait, as many small write-backs would cost the flush more.
    if (opened.st_size >= kEarlyWriteBackBytes)
      ::sync_file_range(out.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    PendingCopy pending{std::string(SplitPath(target.path).folder),
                        {},
                        target.name,
                        target.path,
                        {},
                        {times[0], times[1]},
                        !onto.rename_keeps_time};
    if (::fstat(out.get(), &pending.status) != 0)
      ThrowError(kCopyFile, target.path);
    if (out.Close() != 0) ThrowError(kCopyFile, target.path);
    pending.temp_name = temp.Release();
    state.pending->Add(std::move(pending));
    return Named(true);
  }
  // On the disk before it takes its name.
  if (::fdatasync(out.get()) != 0) ThrowError(kCopyFile, target.path);
  if (out.Close() != 0) ThrowError(kCopyFile, target.path);
  if (!temp.Commit(target, naming, state)) return Named(false);
  if (KeepTimesAfterRename(target.folder, target.name, times, onto) != 0)
    ThrowError(kCopyFile, target.path);
  return Named(true);
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

CopyResult SetTimesAndCommit(TempEntry& temp, const struct stat& st,
                             const EntryAt& target, CopyState& state,
                             TargetName naming) {
  const timespec times[2] = {st.st_atim, st.st_mtim};
  if (::utimensat(temp.folder(), temp.name(), times, AT_SYMLINK_NOFOLLOW) != 0)
    ThrowError(kCopyFile, target.path);
  return Named(temp.Commit(target, naming, state));
}

CopyResult CopyLink(const EntryAt& source, const struct stat& st,
                    const EntryAt& target, CopyState& state,
                    const DestinationAbilities& onto, TargetName naming) {
  const std::string link = ReadLink(source, st.st_size);
  TempEntry temp(
      target,
      [&](const std::string& name) {
        return ::symlinkat(link.c_str(), target.folder, name.c_str()) == 0;
      },
      S_IFLNK);
  if (!temp.made()) return LeftOut(temp, st, onto);
  KeepOwnerOf(temp, st, state, onto);
  return SetTimesAndCommit(temp, st, target, state, naming);
}

// FIFOs, sockets and device nodes are made anew as what they are, never
// opened. An unprivileged process may not make device nodes, and FAT and
// exFAT hold none of them: then nothing is made, the target stays as it
// was, and the node is left out, so that the run goes on.
CopyResult CopySpecial(const EntryAt& target, const struct stat& st,
                       CopyState& state, const DestinationAbilities& onto,
                       TargetName naming) {
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
  return SetTimesAndCommit(temp, st, target, state, naming);
}

// One try at copying the entry as `st` describes it; nullopt when the
// source changed under it.
std::optional<CopyResult> CopyOnce(const EntryAt& source, const struct stat& st,
                                   const EntryAt& target, CopyState& state,
                                   const DestinationAbilities& onto,
                                   TargetName naming, Landing landing) {
  switch (st.st_mode & S_IFMT) {
    case S_IFREG:
      return CopyFile(source, st, target, state, onto, naming, landing);
    case S_IFLNK:
      return CopyLink(source, st, target, state, onto, naming);
    case S_IFIFO:
    case S_IFSOCK:
    case S_IFCHR:
    case S_IFBLK:
      return CopySpecial(target, st, state, onto, naming);
    case S_IFDIR:
      ThrowError(kCopyFile, source.path, EISDIR);
    default:
      ThrowError(kCopyFile, source.path, ENOTSUP);
  }
}

}  // namespace

CopyResult CopyEntry(const EntryAt& source, const struct stat& st,
                     const EntryAt& target, CopyState& state,
                     const DestinationAbilities& onto, TargetName naming,
                     Landing landing) {
  if (std::optional<CopyResult> result =
          CopyOnce(source, st, target, state, onto, naming, landing))
    return *result;
  for (const std::chrono::milliseconds pause : kRetryPauses) {
    std::this_thread::sleep_for(pause);
    // Changed under the copy (a program saving it, a file swapped in):
    // looked at afresh and copied once more as what it is now.
    struct stat now;
    if (::fstatat(source.folder, source.name.c_str(), &now,
                  AT_SYMLINK_NOFOLLOW) != 0)
      ThrowError(kCopyFile, source.path);
    if (std::optional<CopyResult> result =
            CopyOnce(source, now, target, state, onto, naming, landing))
      return *result;
  }
  // Written to all the time (a log, a mail store): no whole version can be
  // had now. Its backup stays as it was, never replaced by a torn copy that
  // would look current, and the next run tries again.
  return {kKeptChanging};
}

bool IsTemporaryName(std::string_view name) {
  return fernwise::IsTemporaryName(name, "");
}

}  // namespace fernwise::linux_os
