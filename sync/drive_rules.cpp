#include "sync/drive_rules.h"

#include <algorithm>

namespace fernwise {

TimeComparison::TimeComparison(const DriveTraits& source,
                               const DriveTraits& dest) {
  const int64_t step = std::max(source.time_step_ns, dest.time_step_ns);
  const int64_t shift =
      std::max(source.local_time_shift_ns, dest.local_time_shift_ns);
  tolerance_ns_ = step > 1 ? step : 0;
  shift_ns_ = shift > 0 ? uint64_t(shift) : 0;
}

TimeMatch TimeComparison::Match(FileTime a, FileTime b) const {
  // Unsigned, so the distance of any two stamps is exact.
  const uint64_t distance = a.ns > b.ns ? uint64_t(a.ns) - uint64_t(b.ns)
                                        : uint64_t(b.ns) - uint64_t(a.ns);
  if (Close(distance)) return TimeMatch::kSame;
  if (shift_ns_ != 0 &&
      Close(distance > shift_ns_ ? distance - shift_ns_ : shift_ns_ - distance))
    return TimeMatch::kShifted;
  return TimeMatch::kDifferent;
}

bool TimeComparison::Close(uint64_t distance) const {
  return tolerance_ns_ == 0 ? distance == 0
                            : distance < uint64_t(tolerance_ns_);
}

TimeMatch FolderRules::MatchTimes(FileTime a, FileTime b) {
  // Equal times need no drive's traits.
  if (a == b) return TimeMatch::kSame;
  if (!times_) {
    const DriveTraits source = entry_.Traits(Role::kSource, source_folder_);
    times_.emplace(source, Destination());
  }
  return times_->Match(a, b);
}

std::optional<uint32_t> FolderRules::MaskToSet(const std::string& source,
                                               const std::string& dest,
                                               uint32_t source_mask,
                                               uint32_t dest_mask) {
  if (source_mask == dest_mask) return std::nullopt;
  const uint32_t kept = Destination().kept_bits;
  if (((source_mask ^ dest_mask) & kept) == 0) return std::nullopt;
  const uint32_t carried = source_mask & entry_.CarriableBits(source, dest);
  const uint32_t wanted = (dest_mask & ~kept) | (carried & kept);
  if (wanted == dest_mask) return std::nullopt;
  return wanted;
}

std::optional<uint32_t> FolderRules::FolderMaskToSet(uint32_t source_mask,
                                                     uint32_t dest_mask) {
  if (source_mask == dest_mask || !Destination().folder_takes_mask)
    return std::nullopt;
  return MaskToSet(source_folder_, dest_folder_, source_mask, dest_mask);
}

const DriveTraits& FolderRules::Destination() {
  if (!dest_traits_)
    dest_traits_ = entry_.Traits(Role::kDestination, dest_folder_);
  return *dest_traits_;
}

}  // namespace fernwise
