// The copies of links, FIFOs, sockets and device nodes: each made anew as
// what it is, never opened.
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "core/run_error.h"
#include "platform/linux/linux_copy_parts.h"
#include "platform/linux/linux_proc_fd.h"
#include "platform/linux/linux_refusal.h"

namespace fernwise::linux_os {

namespace {

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

// The temporary entry `temp` just made as `kind`, opened as itself (O_PATH,
// not following a link), so that its owner, mode and times are set on the
// very entry made: one swapped in at its name by whoever may write the
// folder (a hard link to another file, which has a second name, or another
// user's entry) is refused, never changed.
UniqueFd OpenMade(const TempEntry& temp, mode_t kind, const CopyJob& job) {
  UniqueFd fd(
      ::openat(temp.folder(), temp.name(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat made;
  if (!fd.valid() || ::fstat(fd.get(), &made) != 0)
    ThrowError(kCopyFile, job.target.path);
  // Where the drive keeps no owners, every entry shows the mount's.
  const bool owner_shown = job.onto.keeps_permissions;
  if ((made.st_mode & S_IFMT) != kind || made.st_nlink != 1 ||
      (owner_shown && made.st_uid != EffectiveIds(job.state).first))
    throw RunError(ESTALE,
                   "Another entry has taken the name of the copy being made; "
                   "nothing is changed",
                   kCopyFile, job.target.path);
  return fd;
}

// The owner and group of a link or special file made as `made`.
CarriedOwner KeepOwnerOf(int made, const struct stat& st, const CopyJob& job) {
  return KeepOwner(st, job.state, job.onto, [&](uid_t uid, gid_t gid) {
    return ChownFd(made, uid, gid);
  });
}

CopyResult SetTimesAndCommit(TempEntry& temp, int made, const struct stat& st,
                             const CopyJob& job) {
  const timespec times[2] = {st.st_atim, st.st_mtim};
  if (SetTimesFd(made, times) != 0) ThrowError(kCopyFile, job.target.path);
  return Named(temp.Commit(job.target, job.naming, job.state));
}

}  // namespace

CopyResult CopyLink(const CopyJob& job, const struct stat& st) {
  const std::string link = ReadLink(job.source, st.st_size);
  TempEntry temp(
      job.target,
      [&](const std::string& name) {
        return ::symlinkat(link.c_str(), job.target.folder, name.c_str()) == 0;
      },
      S_IFLNK);
  if (!temp.made()) return LeftOut(temp, st, job.onto);
  const UniqueFd made = OpenMade(temp, S_IFLNK, job);
  KeepOwnerOf(made.get(), st, job);
  return SetTimesAndCommit(temp, made.get(), st, job);
}

// An unprivileged process may not make device nodes, and FAT and exFAT hold
// none of these: then nothing is made, the target stays as it was, and the
// entry is left out, so that the run goes on.
CopyResult CopySpecial(const CopyJob& job, const struct stat& st) {
  const bool device = S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode);
  const mode_t kind = st.st_mode & S_IFMT;
  const dev_t number = device ? st.st_rdev : 0;
  TempEntry temp(
      job.target,
      [&](const std::string& name) {
        return ::mknodat(job.target.folder, name.c_str(), kind | 0600,
                         number) == 0;
      },
      kind);
  if (!temp.made()) return LeftOut(temp, st, job.onto);
  const UniqueFd made = OpenMade(temp, kind, job);
  const CarriedOwner carried = KeepOwnerOf(made.get(), st, job);
  // Never opened, so neither its ACL nor its mount is looked at: set-ID bits
  // stay only with the owner and group.
  const mode_t mode = CarriedMode(st.st_mode, carried, AclFacts(), false);
  if (job.onto.keeps_permissions && ChmodFd(made.get(), mode) != 0)
    ThrowError(kCopyFile, job.target.path);
  return SetTimesAndCommit(temp, made.get(), st, job);
}

}  // namespace fernwise::linux_os
