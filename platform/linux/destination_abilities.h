// What a destination file system keeps of what a copy gives it. USB sticks
// and Windows disks mounted on Linux (FAT, exFAT, NTFS) keep coarse times
// and no permission bits, refuse links, special files and some names, and
// which of them does what cannot be told from the file system's type: every
// FUSE mount reports the same one. So it is learnt by trying: once per
// device and pass, a probe file written into a destination folder is given
// a time with odd nanoseconds and a mode, and read back.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace fernwise::linux_os {

/// Every file system keeps times at least this fine (FAT's 2 s). A probe
/// that reads back further off shows a file system that moves times by a
/// zone offset, not a step, and is not believed.
constexpr int64_t kCoarsestStepNs = 2'000'000'000;

struct DestinationAbilities {
  /// Nanoseconds between two last-modified times the file system can tell
  /// apart.
  int64_t time_resolution_ns = 1;
  /// Whether a file keeps the permission bits it is given. Where it does not
  /// (a mode change is refused, or accepted and not kept), no mode and no
  /// owner is set there.
  bool keeps_permissions = true;
  /// Where permission bits are not kept: whether a file's write bits can
  /// still be cleared and set again, as the read-only attribute (the
  /// kernel's FAT and exFAT drivers keep that much).
  bool keeps_read_only = true;
  /// The write bits a writable file has there.
  mode_t write_bits = S_IWUSR;
  /// Whether a file keeps its last-modified time when renamed (fusefat
  /// gives it the time of the rename).
  bool rename_keeps_time = true;
  /// Whether a name finds the entry spelled in another letter case (FAT,
  /// exFAT).
  bool ignores_case = false;
};

/// The step a time written as `written_ns` and read back as `read_ns`
/// reveals, for a file system that truncates to its step or rounds up to
/// it: the distance plus 1 ns, when the time written is 1 ns short of a
/// step's end or 1 ns past its start.
int64_t StepShown(int64_t written_ns, int64_t read_ns);

/// The permission bits a copy of an entry of mode `source_mode` shows on a
/// destination that keeps no permission bits, where the copy (or what
/// stands in its place) shows `onto_mode`: its own bits, but for a file on a
/// destination that keeps the read-only attribute, the write bits as the
/// source's owner write bit says.
mode_t KeptMode(mode_t source_mode, mode_t onto_mode,
                const DestinationAbilities& abilities);

/// What the file system type of the open folder `folder` tells for certain
/// (the kernel's FAT and exFAT drivers; NTFS and SMB times), else full
/// resolution and permission bits: the answer for sources, and for a
/// destination where no probe can be written.
DestinationAbilities AbilitiesByType(int folder);

/// Learns the abilities of the file system of the open folder `folder` with
/// a probe file written into it and removed; the folder's last-modified time
/// is put back. Where no probe can be written, AbilitiesByType.
DestinationAbilities LearnAbilities(int folder);

/// The abilities of each destination device, learnt the first time a pass
/// asks.
class AbilitiesCache {
 public:
  /// The abilities of `device`; learnt in the folder `open_folder()` yields
  /// (an open folder on that device, or -1) when not yet known.
  template <typename OpenFolder>
  DestinationAbilities Of(dev_t device, OpenFolder open_folder) {
    for (const auto& [known_device, abilities] : known_)
      if (known_device == device) return abilities;
    const auto folder = open_folder();
    const DestinationAbilities abilities = LearnAbilities(folder.get());
    known_.emplace_back(device, abilities);
    return abilities;
  }
  void Forget() { known_.clear(); }

 private:
  std::vector<std::pair<dev_t, DestinationAbilities>> known_;
};

/// Sets the mode of the new copy `fd` from its source's `source_mode`: on a
/// destination that keeps permission bits, `carried` (what the copy may
/// carry); on one that does not, only the read-only attribute, where it
/// keeps that. 0, or -1 with errno.
int SetCopyMode(int fd, mode_t carried, mode_t source_mode,
                const DestinationAbilities& abilities);

/// Gives the entry `name` in `folder`, just renamed into place, its `times`
/// again where the destination does not keep them through a rename. 0, or
/// -1 with errno.
int KeepTimesAfterRename(int folder, const std::string& name,
                         const timespec times[2],
                         const DestinationAbilities& abilities);

/// Why a destination would not make an entry.
enum class Refusal {
  kNone,  ///< not a refusal: a failure to report
  kName,  ///< it cannot hold the name (":" on FAT, say)
  kKind,  ///< it cannot hold the kind of entry (a link on FAT, say)
};

/// After making an entry of kind `kind` (S_IFREG, S_IFDIR, S_IFLNK, ...) for
/// the name `name` in the open folder `folder` failed with `error`: whether
/// the destination refused the name, or the kind, or neither. Drivers give
/// every errno for these (EPERM, ENOENT, EINVAL, ENOSYS, EIO), so it is told
/// by trying: a file with a name like it, then a file with a plain name.
/// Out of space, read-only, access refused and the like are never refusals.
/// The folder's last-modified time is put back.
Refusal WhyRefused(int folder, const std::string& name, mode_t kind, int error);

/// What a left-out entry's report says.
std::string RefusalReason(Refusal refusal, mode_t kind, int error,
                          const DestinationAbilities& abilities);

/// Removes what a failed make left under `name` in `folder`: the FUSE
/// drivers of FAT and exFAT refuse a FIFO but leave an empty file of its
/// name behind. errno is left as it was.
void RemoveDebris(int folder, const char* name);

}  // namespace fernwise::linux_os
