#include "platform/linux/destination_abilities.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "core/temporary_name.h"
#include "platform/linux/support.h"

namespace fernwise::linux_os {

namespace {

constexpr int64_t kNanosPerSecond = 1'000'000'000;
constexpr mode_t kAllWrite = S_IWUSR | S_IWGRP | S_IWOTH;

// statfs f_type values; spelled out because older kernel headers lack some.
constexpr uint32_t kMsdosMagic = 0x4d44;
constexpr uint32_t kExfatMagic = 0x2011BAB0;
constexpr uint32_t kNtfsMagic = 0x5346544e;   // the old ntfs driver
constexpr uint32_t kNtfs3Magic = 0x7366746e;  // the ntfs3 driver
constexpr uint32_t kCifsMagic = 0xFF534D42;
constexpr uint32_t kSmb2Magic = 0xFE534D42;

// The probe's name is a temporary name (core/temporary_name.h), so one a
// kill left behind is recognised as such a leftover.
constexpr char kProbeHead[] = ".fernwise-probe.";

// Written 1 ns short of an odd second's end and 1 ns past an even second's
// start: a file system that truncates to its step shows the step in the
// first, one that rounds up shows it in the second, and FAT's 2-second
// steps begin on even seconds.
constexpr timespec kProbeTimes[] = {{1'000'000'001, 999'999'999},
                                    {1'000'000'002, 1}};
// Modes no fixed mask of a FAT or NTFS mount shows.
constexpr mode_t kProbeMode = 0751;
constexpr mode_t kOtherProbeMode = 0715;

int64_t NanosOf(const timespec& stamp) {
  return int64_t{stamp.tv_sec} * kNanosPerSecond + stamp.tv_nsec;
}

// A file made under a fresh temporary name that begins with `head` in a
// folder, removed when the object ends.
class ProbeFile {
 public:
  ProbeFile(int folder, std::string head)
      : folder_(folder), head_(std::move(head)) {
    for (int attempt = 0; attempt < 16; ++attempt) {
      std::string name = MakeTemporaryName(head_, "");
      fd_.Reset(::openat(folder, name.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         0600));
      if (fd_.valid()) {
        name_ = std::move(name);
        return;
      }
      if (errno != EEXIST) return;
    }
  }
  ProbeFile(const ProbeFile&) = delete;
  ProbeFile& operator=(const ProbeFile&) = delete;
  ~ProbeFile() {
    if (name_.empty()) return;
    fd_.Reset();
    ::unlinkat(folder_, name_.c_str(), 0);
  }

  bool made() const { return fd_.valid(); }
  // Whether the file is found by its name in capitals: the name is in small
  // letters, so only a file system that ignores case finds it that way.
  bool FoundInCapitals() const {
    std::string capitals = name_;
    for (char& c : capitals)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    struct stat status;
    return ::fstatat(folder_, capitals.c_str(), &status,
                     AT_SYMLINK_NOFOLLOW) == 0;
  }
  int fd() const { return fd_.get(); }
  // Whether the file keeps its last-modified time when renamed: fusefat
  // gives a renamed file the time of the rename.
  bool KeepsTimeWhenRenamed() {
    struct stat before;
    struct stat after;
    // Another temporary name, so that the probe stays known as one.
    std::string renamed = MakeTemporaryName(head_, "");
    if (::fstat(fd_.get(), &before) != 0 ||
        ::renameat(folder_, name_.c_str(), folder_, renamed.c_str()) != 0)
      return true;
    name_ = std::move(renamed);
    return ::fstatat(folder_, name_.c_str(), &after, AT_SYMLINK_NOFOLLOW) !=
               0 ||
           NanosOf(after.st_mtim) == NanosOf(before.st_mtim);
  }

 private:
  int folder_;
  std::string head_;
  UniqueFd fd_;
  std::string name_;
};

// Puts a folder's last-modified time back after probes made in it, so that
// a run which changes nothing in a destination leaves it as it was. errno
// survives.
class FolderTimeKept {
 public:
  explicit FolderTimeKept(int folder)
      : folder_(folder), known_(::fstat(folder, &before_) == 0) {}
  FolderTimeKept(const FolderTimeKept&) = delete;
  FolderTimeKept& operator=(const FolderTimeKept&) = delete;
  ~FolderTimeKept() {
    const int saved = errno;
    struct stat after;
    if (known_ && ::fstat(folder_, &after) == 0 &&
        NanosOf(after.st_mtim) != NanosOf(before_.st_mtim)) {
      const timespec times[2] = {{0, UTIME_OMIT}, before_.st_mtim};
      // The folder may be held by an O_PATH descriptor, which futimens
      // refuses; its /proc name leads to that very folder.
      ::utimensat(AT_FDCWD, ProcFdPath(folder_).c_str(), times, 0);
    }
    errno = saved;
  }

 private:
  int folder_;
  struct stat before_;
  bool known_;
};

mode_t ModeOf(int fd) {
  struct stat status;
  return ::fstat(fd, &status) == 0 ? status.st_mode & kPermissionBits
                                   : mode_t(-1);
}

// The step of the probe file's times; 0 when it cannot be told. Both times
// are set, as a copy sets them: exfat-fuse takes a last-modified time set
// alone for "now".
int64_t ProbeTimeStep(int fd) {
  int64_t step = 0;
  for (const timespec& written : kProbeTimes) {
    const timespec times[2] = {written, written};
    struct stat status;
    if (::futimens(fd, times) != 0 || ::fstat(fd, &status) != 0) return 0;
    step = std::max(step, StepShown(NanosOf(written), NanosOf(status.st_mtim)));
  }
  return step <= kCoarsestStepNs ? step : 0;
}

// A mode change is refused (fusefat: ENOSYS) or accepted and not kept
// (exfat-fuse, ntfs-3g: every mode reads 0777; the kernel's FAT driver
// keeps only the write bits, as the read-only attribute).
void ProbeModes(int fd, mode_t fresh, DestinationAbilities& abilities) {
  const mode_t wanted =
      (fresh & kPermissionBits) == kProbeMode ? kOtherProbeMode : kProbeMode;
  abilities.keeps_permissions =
      ::fchmod(fd, wanted) == 0 && ModeOf(fd) == wanted;
  if (abilities.keeps_permissions) return;
  abilities.keeps_read_only = false;
  if ((fresh & kAllWrite) != 0) abilities.write_bits = fresh & kAllWrite;
  const mode_t now = ModeOf(fd);
  if (now == mode_t(-1) || (now & kAllWrite) == 0) return;
  abilities.keeps_read_only =
      ::fchmod(fd, now & ~kAllWrite) == 0 && (ModeOf(fd) & kAllWrite) == 0;
}

// Failures that say nothing about the name or the kind of entry.
bool MayBeRefusal(int error) {
  switch (error) {
    case EACCES:
    case EROFS:
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
    case ENAMETOOLONG:
    case EMLINK:
    case ENOMEM:
    case EMFILE:
    case ENFILE:
    case EEXIST:
    case EINTR:
    case EBADF:
    case ENOTDIR:
    case ELOOP:
      return false;
    default:
      return true;
  }
}

}  // namespace

int64_t StepShown(int64_t written_ns, int64_t read_ns) {
  const uint64_t distance = written_ns > read_ns
                                ? uint64_t(written_ns) - uint64_t(read_ns)
                                : uint64_t(read_ns) - uint64_t(written_ns);
  return distance >= uint64_t(INT64_MAX) ? INT64_MAX : int64_t(distance) + 1;
}

mode_t KeptMode(mode_t source_mode, mode_t onto_mode,
                const DestinationAbilities& abilities) {
  const mode_t kept = onto_mode & kPermissionBits;
  if (!S_ISREG(onto_mode) || !abilities.keeps_read_only) return kept;
  if ((source_mode & S_IWUSR) == 0) return kept & ~kAllWrite;
  if ((kept & S_IWUSR) != 0) return kept;
  return (kept & ~kAllWrite) | abilities.write_bits;
}

DestinationAbilities AbilitiesByType(int folder) {
  struct statfs info;
  if (::fstatfs(folder, &info) != 0) return {};
  switch (static_cast<uint32_t>(info.f_type)) {
    case kMsdosMagic:
      return {2 * kNanosPerSecond, false, true, S_IWUSR, true, true};
    case kExfatMagic:
      return {10'000'000, false, true, S_IWUSR, true, true};
    case kNtfsMagic:
    case kNtfs3Magic:
    case kCifsMagic:
    case kSmb2Magic:
      return {100};
    default:
      return {};
  }
}

DestinationAbilities LearnAbilities(int folder) {
  DestinationAbilities abilities = AbilitiesByType(folder);
  const FolderTimeKept kept(folder);
  ProbeFile probe(folder, kProbeHead);
  struct stat fresh;
  if (!probe.made() || ::fstat(probe.fd(), &fresh) != 0) return abilities;
  if (const int64_t step = ProbeTimeStep(probe.fd()); step > 0)
    abilities.time_resolution_ns = step;
  abilities.rename_keeps_time = probe.KeepsTimeWhenRenamed();
  abilities.ignores_case = probe.FoundInCapitals();
  ProbeModes(probe.fd(), fresh.st_mode, abilities);
  return abilities;
}

int SetCopyMode(int fd, mode_t carried, mode_t source_mode,
                const DestinationAbilities& abilities) {
  if (abilities.keeps_permissions) return ::fchmod(fd, carried);
  // A new file there is writable: only a read-only source changes it.
  if (!abilities.keeps_read_only || (source_mode & S_IWUSR) != 0) return 0;
  struct stat status;
  if (::fstat(fd, &status) != 0) return -1;
  return ::fchmod(fd, KeptMode(source_mode, status.st_mode, abilities));
}

int KeepTimesAfterRename(int folder, const std::string& name,
                         const timespec times[2],
                         const DestinationAbilities& abilities) {
  if (abilities.rename_keeps_time) return 0;
  return ::utimensat(folder, name.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

Refusal WhyRefused(int folder, const std::string& name, mode_t kind,
                   int error) {
  if (!MayBeRefusal(error)) return Refusal::kNone;
  const FolderTimeKept kept(folder);
  if (kind != S_IFREG &&
      ProbeFile(folder, TemporaryHead(name)).made())
    return kind == S_IFDIR ? Refusal::kNone : Refusal::kKind;
  // A name like it cannot be made, but a plain one can.
  return ProbeFile(folder, kProbeHead).made() ? Refusal::kName : Refusal::kNone;
}

std::string RefusalReason(Refusal refusal, mode_t kind, int error,
                          const DestinationAbilities& abilities) {
  if (refusal == Refusal::kName) return "the destination cannot hold this name";
  switch (kind) {
    case S_IFLNK:
      return "the destination cannot hold links";
    case S_IFIFO:
      return "the destination cannot hold FIFOs";
    case S_IFSOCK:
      return "the destination cannot hold sockets";
    default:
      if (error == EPERM && abilities.keeps_permissions)
        return "a device node needs privileges to be made";
      return "the destination cannot hold device nodes";
  }
}

void RemoveDebris(int folder, const char* name) {
  const int saved = errno;
  struct stat status;
  if (::fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(status.st_mode) && status.st_size == 0)
    ::unlinkat(folder, name, 0);
  errno = saved;
}

}  // namespace fernwise::linux_os
