#include "job/progress.h"

namespace fernwise {

ProgressPacer::~ProgressPacer() {
  if (shown_ >= 0) window_.ShowProgress(-1);
}

void ProgressPacer::operator()(int64_t done, int64_t total) {
  // How far a step is may be unknown: the window still answers.
  if (total < 0) {
    window_.HandleEvents();
    return;
  }
  const double now = now_();
  if (!in_step_) {
    in_step_ = true;
    step_start_ = now;
  }
  if (done >= total) {
    in_step_ = false;
    if (shown_ >= 0) window_.ShowProgress(-1);
    shown_ = -1;
  } else if (now - step_start_ >= kShowAfterSeconds) {
    // done < total here, so the permille stays below 1000.
    const int permille =
        done <= 0 ? 0
                  : static_cast<int>(1000.0 * static_cast<double>(done) /
                                     static_cast<double>(total));
    if (permille != shown_) window_.ShowProgress(permille);
    shown_ = permille;
  }
  window_.HandleEvents();
}

}  // namespace fernwise
