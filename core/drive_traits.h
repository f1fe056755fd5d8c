// What a drive keeps of what a copy gives it, and how a run learns it. USB
// sticks and Windows disks (FAT, exFAT, NTFS) keep coarse times and fewer
// attribute bits than the disks their sources lie on, some ignore letter
// case, and which of them does what cannot be told from the name a drive
// gives itself (every FUSE mount on Linux reports one type; a NAS share calls
// itself "NTFS" over whatever its disk holds). So a destination's traits are
// learnt by trying, once per drive and run, with a probe file the platform
// makes there (DriveProbe); what the type alone tells for certain is the
// starting point, and a source's traits, which nothing may write to learn,
// come from its type alone. The passes decide from these values, in sync/,
// the same way on every system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "core/file_system.h"

namespace fernwise {

/// What a drive's file system is, as far as its traits go.
enum class DriveType : uint8_t {
  kOther,         ///< full resolution, every bit kept
  kFat,           ///< FAT12/16/32: 2-second steps in local time
  kExfat,         ///< 10 ms steps
  kNtfs,          ///< 100 ns steps
  kNetworkShare,  ///< SMB: 100 ns steps
};

/// Kinds of entry beyond files and folders that a drive can hold.
enum EntryKinds : uint8_t {
  kHoldsLinks = 1,
  kHoldsSpecialFiles = 2,  ///< FIFOs, sockets, device nodes
};

struct DriveTraits {
  /// Nanoseconds between two last-modified times the drive can tell apart:
  /// 1 where it keeps full resolution, 2 s on FAT.
  int64_t time_step_ns = 1;
  /// Nanoseconds by which every last-modified time there may read off at
  /// once, where the drive keeps local time: an hour on FAT, after a change
  /// to or from daylight-saving time. 0 where times are kept in UTC.
  int64_t local_time_shift_ns = 0;
  /// Whether a name finds the entry spelled in another letter case.
  bool ignores_case = false;
  /// The longest entry name the drive takes, in FileSystem::NameSize units.
  size_t name_limit = 255;
  /// The attribute-mask bits a copy keeps there (the folder bit always).
  /// Masks are compared and set on these bits only, so that a bit the drive
  /// drops (Windows' "not content indexed" on FAT, the permission bits on a
  /// FUSE mount) is never refreshed again on every run.
  uint32_t kept_bits = ~uint32_t{0};
  /// EntryKinds the drive can hold.
  uint8_t kinds = kHoldsLinks | kHoldsSpecialFiles;
  /// Whether a file keeps its last-modified time when renamed (fusefat gives
  /// it the time of the rename).
  bool rename_keeps_time = true;
  /// The length in bytes of the largest file the drive holds: 4 GiB less
  /// one byte on FAT, known by its type or by the 2-second steps it keeps
  /// times in, whatever it calls itself.
  int64_t largest_file = std::numeric_limits<int64_t>::max();
  /// Whether the folder asked about takes an attribute mask of its own: not
  /// a volume's root, whose own bits belong to the volume (Windows' FAT
  /// driver refuses any change there, and on NTFS they hide or show the
  /// whole drive). Its entries take theirs all the same.
  bool folder_takes_mask = true;
};

/// What a drive of `type` keeps for certain, with `name_limit`: the one
/// table of the file systems the program knows by type.
DriveTraits TraitsOfType(DriveType type, size_t name_limit);

/// A probe file the platform has made in a destination folder, removed (and
/// the folder's last-modified time put back) when the object ends. Each
/// question tries what it asks on the probe file and reads back what stuck;
/// nullopt where the drive refused the trial.
class DriveProbe {
 public:
  virtual ~DriveProbe() = default;
  /// Gives the probe file `time` as its last-modified time (and its access
  /// time, as a copy sets both), then reads back its last-modified time.
  virtual std::optional<FileTime> SetAndReadTime(FileTime time) = 0;
  /// Gives the probe file the attribute mask `mask`, then reads its mask.
  virtual std::optional<uint32_t> SetAndReadMask(uint32_t mask) = 0;
  /// The probe file's attribute mask as it was made: each trial of a bit
  /// changes that bit alone from it.
  virtual uint32_t FreshMask() const = 0;
  /// The attribute-mask bits a copy could set on a file there: what the
  /// learning tries, on and off.
  virtual uint32_t SettableBits() const = 0;
  /// Whether the probe file is found by its name in capitals (it is named
  /// in small letters).
  virtual bool FoundInCapitals() = 0;
  /// Whether the probe file keeps its last-modified time when renamed.
  virtual bool KeepsTimeWhenRenamed() = 0;
};

/// Every drive keeps times at least this fine (FAT's 2 s). A probe time
/// that reads back further off shows a drive that moves times by a zone
/// offset, not a step, and is not believed.
inline constexpr int64_t kCoarsestStepNs = 2'000'000'000;

/// The step a time written as `written_ns` and read back as `read_ns`
/// reveals, for a drive that truncates to its step or rounds up to it: the
/// distance plus 1 ns, when the time written is 1 ns short of a step's end
/// or 1 ns past its start.
int64_t StepShown(int64_t written_ns, int64_t read_ns);

/// Learns what a destination drive of `type` keeps: TraitsOfType, then
/// each trait the probe shows (the time step from times 1 ns short of a
/// step's end and 1 ns past its start; the kept bits from each settable bit
/// set and cleared; case; rename). Without a probe (none could be made),
/// TraitsOfType alone.
DriveTraits LearnDriveTraits(DriveType type, size_t name_limit,
                             DriveProbe* probe);

}  // namespace fernwise
