// The copies of links, FIFOs, sockets and device nodes: each made anew as
// what it is, never opened.
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "platform/linux/linux_copy_parts.h"
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

// The owner and group of a link or special file made as `temp`.
CarriedOwner KeepOwnerOf(const TempEntry& temp, const struct stat& st,
                         const CopyJob& job) {
  return KeepOwner(st, job.state, job.onto, [&](uid_t uid, gid_t gid) {
    return ::fchownat(temp.folder(), temp.name(), uid, gid,
                      AT_SYMLINK_NOFOLLOW);
  });
}

CopyResult SetTimesAndCommit(TempEntry& temp, const struct stat& st,
                             const CopyJob& job) {
  const timespec times[2] = {st.st_atim, st.st_mtim};
  if (::utimensat(temp.folder(), temp.name(), times, AT_SYMLINK_NOFOLLOW) != 0)
    ThrowError(kCopyFile, job.target.path);
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
  KeepOwnerOf(temp, st, job);
  return SetTimesAndCommit(temp, st, job);
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
  const CarriedOwner carried = KeepOwnerOf(temp, st, job);
  // Never opened, so neither its ACL nor its mount is looked at: set-ID bits
  // stay only with the owner and group.
  const mode_t mode = CarriedMode(st.st_mode, carried, AclFacts(), false);
  if (job.onto.keeps_permissions &&
      ::fchmodat(temp.folder(), temp.name(), mode, AT_SYMLINK_NOFOLLOW) != 0)
    ThrowError(kCopyFile, job.target.path);
  return SetTimesAndCommit(temp, st, job);
}

}  // namespace fernwise::linux_os
