// The fail-safe copy of one entry. Every kind is built under a temporary name
// in the target's folder, given the source's permission bits and times, and
// only then renamed over the target, so the target is never seen half done.
#include "platform/linux/linux_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>

#include "core/temporary_name.h"
#include "platform/linux/linux_content.h"
#include "platform/linux/linux_copy_parts.h"

namespace fernwise::linux_os {

namespace {

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

// The source file as the pass saw it (`st`), opened for reading with its
// status in `opened`; invalid where another entry than `st` stands there now
// (a link, a socket or another file has taken the name).
UniqueFd OpenSource(const EntryAt& source, const struct stat& st,
                    struct stat& opened) {
  // O_NONBLOCK: should the name have become a FIFO since lstat, opening it
  // must not wait for a writer.
  UniqueFd in(
      ::openat(source.folder, source.name.c_str(),
               O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  if (!in.valid()) {
    if (errno == ELOOP || errno == ENXIO) return in;
    ThrowError(kCopyFile, source.path);
  }
  if (::fstat(in.get(), &opened) != 0) ThrowError(kCopyFile, source.path);
  if (!S_ISREG(opened.st_mode) || opened.st_dev != st.st_dev ||
      opened.st_ino != st.st_ino)
    return UniqueFd();
  return in;
}

// Gives the copy `out` of `in` (of status `opened`) what goes with its
// content: owner and group, extended attributes, mode, times.
void CarryOver(const CopyJob& job, int in, int out, const struct stat& opened,
               const timespec times[2]) {
  const CarriedOwner carried =
      KeepOwner(opened, job.state, job.onto,
                [&](uid_t uid, gid_t gid) { return ::fchown(out, uid, gid); });
  // A kept version is an archive, not a program: no set-ID bits and no file
  // capabilities, lest superseded (perhaps vulnerable) programs of root's
  // pile up in the secondary folder, runnable.
  const bool archive = job.naming == TargetName::kNewNameOnly;
  // After the owner: chown clears file capabilities.
  AclFacts acl;
  const int error =
      CopyExtendedAttributes(in, out, job.state.euid == 0 && !archive, acl);
  if (error != 0) ThrowError(kCopyFile, job.target.path, error);
  const bool nosuid =
      archive || OnNosuidMount(in, opened.st_dev, job.state.nosuid_devices);
  // After the content and the owner: writing or chown clears set-user-ID.
  if (SetCopyMode(out, CarriedMode(opened.st_mode, carried, acl, nosuid),
                  opened.st_mode, job.onto) != 0 ||
      ::futimens(out, times) != 0)
    ThrowError(kCopyFile, job.target.path);
}

// Hands the complete copy over to the batch, whose one flush writes it out
// in one sweep with the others before it takes its name. A large file's
// write-back starts now, so that the disk writes it while the next ones are
// copied; small files wait, as many small write-backs would cost the flush
// more.
CopyResult Batch(const CopyJob& job, TempEntry& temp, UniqueFd out, off_t size,
                 const timespec times[2]) {
  if (size >= kEarlyWriteBackBytes)
    ::sync_file_range(out.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
  PendingCopy pending{std::string(SplitPath(job.target.path).folder),
                      {},
                      job.target.name,
                      job.target.path,
                      {},
                      {times[0], times[1]},
                      !job.onto.rename_keeps_time,
                      job.naming == TargetName::kFree};
  if (::fstat(out.get(), &pending.status) != 0 || out.Close() != 0)
    ThrowError(kCopyFile, job.target.path);
  pending.temp_name = temp.Release();
  job.state.pending->Add(std::move(pending));
  return Named(true);
}

// Gives the copy its name once it is on the disk. Where a rename loses the
// time, the copy stays open until it has its times again.
CopyResult Land(const CopyJob& job, TempEntry& temp, UniqueFd out, off_t size,
                const timespec times[2]) {
  if (job.landing == Landing::kBatched &&
      job.naming != TargetName::kNewNameOnly &&
      job.state.pending != nullptr)
    return Batch(job, temp, std::move(out), size, times);
  const bool keeps_time = job.onto.rename_keeps_time;
  if (::fdatasync(out.get()) != 0 || (keeps_time && out.Close() != 0))
    ThrowError(kCopyFile, job.target.path);
  if (!temp.Commit(job.target, job.naming, job.state)) return Named(false);
  if (!keeps_time && (KeepTimesAfterRename(out.get(), times, job.onto) != 0 ||
                      out.Close() != 0))
    ThrowError(kCopyFile, job.target.path);
  return Named(true);
}

// One try at copying the regular file `st` describes; nullopt when what it
// found was not that file, or the file changed while it was copied.
std::optional<CopyResult> CopyFile(const CopyJob& job, const struct stat& st) {
  // What was opened is what the copy is made from: its times and mode go
  // with the content it holds.
  struct stat opened;
  UniqueFd in = OpenSource(job.source, st, opened);
  if (!in.valid()) return std::nullopt;
  UniqueFd out;
  TempEntry temp(job.target, [&](const std::string& name) {
    out.Reset(::openat(job.target.folder, name.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    return out.valid();
  });
  if (!temp.made()) return LeftOut(temp, opened, job.onto);
  const off_t copied = CopyContent(in.get(), out.get(), opened, job.source.path,
                                   job.target.path, job.state);
  struct stat after;
  if (::fstat(in.get(), &after) != 0) ThrowError(kCopyFile, job.source.path);
  // A copy that ended short, or of a file written to meanwhile, is a copy
  // of no version of it, and would carry a time that tells later runs it is
  // current: it goes with the temporary entry.
  if (copied != after.st_size || Changed(opened, after)) return std::nullopt;
  job.state.copied = after;
  const timespec times[2] = {opened.st_atim, opened.st_mtim};
  CarryOver(job, in.get(), out.get(), opened, times);
  return Land(job, temp, std::move(out), opened.st_size, times);
}

// One try at copying the entry as `st` describes it; nullopt when the
// source changed under it.
std::optional<CopyResult> CopyOnce(const CopyJob& job, const struct stat& st) {
  switch (st.st_mode & S_IFMT) {
    case S_IFREG:
      return CopyFile(job, st);
    case S_IFLNK:
      return CopyLink(job, st);
    case S_IFIFO:
    case S_IFSOCK:
    case S_IFCHR:
    case S_IFBLK:
      return CopySpecial(job, st);
    case S_IFDIR:
      ThrowError(kCopyFile, job.source.path, EISDIR);
    default:
      ThrowError(kCopyFile, job.source.path, ENOTSUP);
  }
}

}  // namespace

std::pair<uid_t, gid_t> EffectiveIds(CopyState& state) {
  if (!state.ids_known) {
    state.euid = ::geteuid();
    state.egid = ::getegid();
    state.ids_known = true;
  }
  return {state.euid, state.egid};
}

CarriedOwner KeepOwner(const struct stat& st, CopyState& state,
                       const DestinationAbilities& onto,
                       const std::function<int(uid_t, gid_t)>& change) {
  EffectiveIds(state);
  CarriedOwner carried{st.st_uid == state.euid, st.st_gid == state.egid};
  if ((carried.owner && carried.group) || !onto.keeps_permissions)
    return carried;
  if (change(st.st_uid, st.st_gid) == 0) return {true, true};
  // Not privileged: the group may still be one this user belongs to.
  if (change(static_cast<uid_t>(-1), st.st_gid) == 0) carried.group = true;
  return carried;
}

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

CopyResult CopyEntry(const EntryAt& source, const struct stat& st,
                     const EntryAt& target, CopyState& state,
                     const DestinationAbilities& onto, TargetName naming,
                     Landing landing) {
  const CopyJob job{source, target, state, onto, naming, landing};
  state.copied.reset();
  if (std::optional<CopyResult> result = CopyOnce(job, st)) return *result;
  for (const std::chrono::milliseconds pause : kRetryPauses) {
    std::this_thread::sleep_for(pause);
    // Changed under the copy (a program saving it, a file swapped in):
    // looked at afresh and copied once more as what it is now.
    struct stat now;
    if (::fstatat(source.folder, source.name.c_str(), &now,
                  AT_SYMLINK_NOFOLLOW) != 0)
      ThrowError(kCopyFile, source.path);
    if (std::optional<CopyResult> result = CopyOnce(job, now)) return *result;
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
