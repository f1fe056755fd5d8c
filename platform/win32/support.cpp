#include "platform/win32/support.h"

#include <cstdint>
#include <limits>

namespace fernwise::win32 {

namespace {

// FILETIME counts 100 ns units from 1601; FileTime nanoseconds from 1970.
constexpr int64_t kTicksTo1970 = 116444736000000000;
constexpr int64_t kNanosPerTick = 100;

}  // namespace

bool IsNotFound(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
         error == ERROR_NO_MORE_FILES;
}

FileTime FileTimeOf(const FILETIME& stamp) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  // The range of ticks whose nanoseconds since 1970 fit in 64 bits.
  constexpr uint64_t kLowest = uint64_t(kTicksTo1970 + kMin / kNanosPerTick);
  constexpr uint64_t kHighest = uint64_t(kTicksTo1970 + kMax / kNanosPerTick);
  const uint64_t ticks =
      uint64_t(stamp.dwHighDateTime) << 32 | stamp.dwLowDateTime;
  if (ticks < kLowest) return {kMin};
  if (ticks > kHighest) return {kMax};
  return {(int64_t(ticks) - kTicksTo1970) * kNanosPerTick};
}

bool FiletimeOf(FileTime time, FILETIME& stamp) {
  // Floor division, so a time before 1970 lands on the right 100 ns unit.
  const int64_t ticks = time.ns / kNanosPerTick -
                        (time.ns % kNanosPerTick < 0 ? 1 : 0) + kTicksTo1970;
  if (ticks < 0) return false;
  stamp.dwLowDateTime = DWORD(uint64_t(ticks));
  stamp.dwHighDateTime = DWORD(uint64_t(ticks) >> 32);
  return true;
}

}  // namespace fernwise::win32
