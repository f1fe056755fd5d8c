#pragma once

#include <cstdint>
#include <string>

#include "core/run_state.h"

namespace fernwise {

/// Whole seconds from `start` to `now` (seconds since midnight), a pass of
/// midnight counted as one day, rounded half to even.
int32_t ElapsedSeconds(double start, double now);

/// The seven-line completion report for `elapsed_seconds` and `counters`.
std::string CompletionReport(int32_t elapsed_seconds,
                             const RunCounters& counters);

}  // namespace fernwise
