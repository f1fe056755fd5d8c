// The clock a run is timed by.
#pragma once

namespace fernwise {

/// Seconds since local midnight, with their fraction; each platform supplies
/// its own.
double SecondsSinceLocalMidnight();

}  // namespace fernwise
