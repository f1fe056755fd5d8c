// What the passes decide from what the drives keep (core/drive_traits.h):
// when two last-modified times count as the same, and which attribute mask a
// destination entry must get. Decided here, once, for every system; the
// drives' traits are asked on first need only, since learning a
// destination's may write a probe file into it, which a run that changes
// nothing must not do.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/drive_traits.h"
#include "core/entry_run.h"

namespace fernwise {

/// How two last-modified times compare.
enum class TimeMatch {
  kSame,
  /// Apart by exactly the local-time shift of one side, within the step:
  /// the same time read under another offset from UTC (FAT after a
  /// daylight-saving change), or a change made exactly that long after the
  /// copy. Only the contents can tell.
  kShifted,
  kDifferent,
};

/// Whether two last-modified times count as the same. A coarse drive (FAT
/// keeps 2-second steps) stores a copy's time rounded, so on one the times
/// of a fresh copy and its source differ by less than the step and must
/// count as equal, or every run would copy every file again. Where both
/// sides keep full resolution the comparison is exact.
class TimeComparison {
 public:
  TimeComparison(const DriveTraits& source, const DriveTraits& dest);
  TimeMatch Match(FileTime a, FileTime b) const;

 private:
  bool Close(uint64_t distance) const;

  int64_t tolerance_ns_;
  uint64_t shift_ns_;
};

/// The rules for one source folder and its destination folder, and for the
/// entries in them.
class FolderRules {
 public:
  FolderRules(EntryRun& entry, const std::string& source_folder,
              const std::string& dest_folder)
      : entry_(entry),
        source_folder_(source_folder),
        dest_folder_(dest_folder) {}

  /// How the times `a` and `b` of a file and its copy compare.
  TimeMatch MatchTimes(FileTime a, FileTime b);

  /// The mask the destination entry `dest`, of mask `dest_mask`, must get
  /// to match the source entry `source`, of mask `source_mask`; nullopt
  /// where it matches already. Only the bits the destination's drive keeps
  /// are compared and set: a bit it drops (Windows' "not content indexed"
  /// on FAT, the permission bits on a FUSE mount) would otherwise be set
  /// again on every run. Of those, the bits a copy may not carry (a set-ID
  /// bit without its owner, say: EntryRun::CarriableBits) are cleared.
  std::optional<uint32_t> MaskToSet(const std::string& source,
                                    const std::string& dest,
                                    uint32_t source_mask, uint32_t dest_mask);
  /// As MaskToSet, for the destination folder itself; nullopt too where it
  /// takes no mask of its own (a volume's root).
  std::optional<uint32_t> FolderMaskToSet(uint32_t source_mask,
                                          uint32_t dest_mask);

 private:
  const DriveTraits& Destination();

  EntryRun& entry_;
  const std::string& source_folder_;
  const std::string& dest_folder_;
  std::optional<DriveTraits> dest_traits_;
  std::optional<TimeComparison> times_;
};

}  // namespace fernwise
