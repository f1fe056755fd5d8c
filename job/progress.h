// What the window shows while one step of a run takes long: it keeps
// handling its events between the step's slices, and a step that has gone
// on for a while shows how far it is.
#pragma once

#include <cstdint>
#include <functional>

#include "core/window.h"

namespace fernwise {

/// Receives a long step's slices (a FileSystem's ProgressCallback) and
/// passes them on to the window.
class ProgressPacer {
 public:
  /// A step shows its progress once it has lasted this long: a shorter one
  /// would only flash.
  static constexpr double kShowAfterSeconds = 1.0;

  /// `now` gives seconds from any fixed point, never going back.
  ProgressPacer(Window& window, std::function<double()> now)
      : window_(window), now_(std::move(now)) {}

  /// One slice: `done` of `total` units. The window handles its events;
  /// after kShowAfterSeconds of the step it shows the permille reached,
  /// whenever that changes, and when the step ends it clears it again.
  void operator()(int64_t done, int64_t total);

 private:
  Window& window_;
  std::function<double()> now_;
  bool in_step_ = false;
  double step_start_ = 0;
  int shown_ = -1;  // the permille on show, or -1
};

}  // namespace fernwise
