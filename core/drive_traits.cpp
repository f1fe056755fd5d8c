#include "core/drive_traits.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace fernwise {

namespace {

constexpr int64_t kSecond = 1'000'000'000;
constexpr int64_t kHour = 3600 * kSecond;
// FAT keeps a file's length in 32 bits.
constexpr int64_t kLargestFatFile = (int64_t{1} << 32) - 1;

// What FAT and exFAT store of an entry's attributes; Windows' other bits
// ("not content indexed") and a POSIX mode do not survive a copy there.
constexpr uint32_t kFatBits =
    kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrFolder | kAttrArchive;

// 1 ns short of an odd second's end and 1 ns past an even second's start:
// a drive that truncates to its step shows the step in the first, one that
// rounds up shows it in the second, and FAT's 2-second steps begin on even
// seconds.
constexpr FileTime kProbeTimes[] = {{1'000'000'001 * kSecond + 999'999'999},
                                    {1'000'000'002 * kSecond + 1}};

// The step the probe's times show; 0 where they cannot tell.
int64_t LearnTimeStep(DriveProbe& probe) {
  int64_t step = 0;
  for (const FileTime written : kProbeTimes) {
    const std::optional<FileTime> read = probe.SetAndReadTime(written);
    if (!read) return 0;
    step = std::max(step, StepShown(written.ns, read->ns));
  }
  return step <= kCoarsestStepNs ? step : 0;
}

// A settable bit is kept where it reads back set once set, and cleared
// once cleared, each time with every other bit as the probe file was made.
uint32_t LearnKeptBits(DriveProbe& probe, uint32_t kept_by_type) {
  const uint32_t settable = probe.SettableBits();
  const uint32_t fresh = probe.FreshMask();
  uint32_t kept = kept_by_type & ~settable;
  for (uint32_t bit = 1; bit != 0; bit <<= 1) {
    if ((settable & bit) == 0) continue;
    const std::optional<uint32_t> on = probe.SetAndReadMask(fresh | bit);
    const std::optional<uint32_t> off = probe.SetAndReadMask(fresh & ~bit);
    if (on && off && (*on & bit) != 0 && (*off & bit) == 0) kept |= bit;
  }
  return kept | kAttrFolder;
}

}  // namespace

DriveTraits TraitsOfType(DriveType type, size_t name_limit) {
  DriveTraits traits;
  traits.name_limit = name_limit;
  switch (type) {
    case DriveType::kFat:
      // FAT stores the local time of day: after a change to or from
      // daylight-saving time every time read there may be an hour off.
      traits.time_step_ns = 2 * kSecond;
      traits.local_time_shift_ns = kHour;
      traits.ignores_case = true;
      traits.kept_bits = kFatBits;
      traits.kinds = 0;
      traits.largest_file = kLargestFatFile;
      break;
    case DriveType::kExfat:
      // exFAT records its offset from UTC with each time.
      traits.time_step_ns = 10'000'000;
      traits.ignores_case = true;
      traits.kept_bits = kFatBits;
      traits.kinds = 0;
      break;
    case DriveType::kNtfs:
    case DriveType::kNetworkShare:
      traits.time_step_ns = 100;
      break;
    case DriveType::kOther:
      break;
  }
  return traits;
}

int64_t StepShown(int64_t written_ns, int64_t read_ns) {
  const uint64_t distance = written_ns > read_ns
                                ? uint64_t(written_ns) - uint64_t(read_ns)
                                : uint64_t(read_ns) - uint64_t(written_ns);
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  return distance >= uint64_t(kMax) ? kMax : int64_t(distance) + 1;
}

DriveTraits LearnDriveTraits(DriveType type, size_t name_limit,
                             DriveProbe* probe) {
  DriveTraits traits = TraitsOfType(type, name_limit);
  if (probe == nullptr) return traits;
  if (const int64_t step = LearnTimeStep(*probe); step > 0)
    traits.time_step_ns = step;
  // Only FAT keeps times in 2-second steps.
  if (traits.time_step_ns == kCoarsestStepNs)
    traits.largest_file = kLargestFatFile;
  traits.rename_keeps_time = probe->KeepsTimeWhenRenamed();
  traits.ignores_case = probe->FoundInCapitals();
  traits.kept_bits = LearnKeptBits(*probe, traits.kept_bits);
  return traits;
}

}  // namespace fernwise
