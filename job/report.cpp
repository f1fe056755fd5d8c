#include "job/report.h"

#include <cmath>
#include <limits>

#include "core/run_error.h"

namespace fernwise {

namespace {

constexpr double kSecondsPerDay = 86400;

/// Nearest whole number, a value exactly halfway going to the even
/// neighbour, whatever rounding mode the process runs under.
double RoundHalfToEven(double value) {
  const double below = std::floor(value);
  const double fraction = value - below;  // exact for every finite value
  if (fraction > 0.5) return below + 1;
  if (fraction < 0.5) return below;
  return std::fmod(below, 2.0) == 0 ? below : below + 1;
}

int32_t Subtract(int32_t a, int32_t b, const char* what) {
  const int64_t difference = int64_t{a} - int64_t{b};
  if (difference < std::numeric_limits<int32_t>::min() ||
      difference > std::numeric_limits<int32_t>::max())
    ThrowOverflow(what);
  return static_cast<int32_t>(difference);
}

/// A count with a space in front, or its minus sign where negative.
std::string Count(int32_t value) {
  return value >= 0 ? " " + std::to_string(value) : std::to_string(value);
}

std::string TwoDigits(int32_t value) {
  return (value < 10 ? "0" : "") + std::to_string(value);
}

}  // namespace

int32_t ElapsedSeconds(double start, double now) {
  double seconds = now - start;
  // A negative difference means the clock passed midnight (or was set back).
  if (seconds < 0) seconds += kSecondsPerDay;
  const double whole = RoundHalfToEven(seconds);
  // 32 bits, so a run of many hours still gets its report; NaN fails here.
  if (!(whole >= std::numeric_limits<int32_t>::min() &&
        whole <= std::numeric_limits<int32_t>::max()))
    ThrowOverflow("elapsed seconds");
  return static_cast<int32_t>(whole);
}

std::string CompletionReport(int32_t elapsed_seconds,
                             const RunCounters& counters) {
  const int32_t files_intact = Subtract(
      Subtract(counters.FilesScanned, counters.FilesCreated, "files intact"),
      counters.FilesRefreshed, "files intact");
  const int32_t folders_intact = Subtract(
      counters.FoldersScanned, counters.FoldersCreated, "folders intact");
  // Minutes are not carried into hours: ten hours read 600:00.
  return "Done in " + TwoDigits(elapsed_seconds / 60) + ":" +
         TwoDigits(elapsed_seconds % 60) + "!\r\n" + Count(files_intact) +
         " files scanned, but intact, \r\n" + Count(folders_intact) +
         " folders scanned, but intact,\r\n" + Count(counters.FoldersCreated) +
         " folders newly created,\r\n" + Count(counters.FoldersRefreshed) +
         " folders refreshed,\r\n" + Count(counters.FilesCreated) +
         " files newly created and\r\n" + Count(counters.FilesRefreshed) +
         " files refreshed.";
}

}  // namespace fernwise
