// What the window shows while one step of a run takes long: it keeps
// handling its events between the step's slices, and a step that has gone
// on for a while shows how far it is.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

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
  /// A step cut short (the run failed within it) leaves nothing on show
  /// behind the error box that follows.
  ~ProgressPacer();
  ProgressPacer(const ProgressPacer&) = delete;
  ProgressPacer& operator=(const ProgressPacer&) = delete;

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

/// Passes every call on to `window` and remembers the last status text:
/// after a failure, the text of the step that failed, which the error report
/// must stand over once the flush that follows has shown its own.
class StatusKeepingWindow final : public Window {
 public:
  explicit StatusKeepingWindow(Window& window) : window_(window) {}

  void ShowStatus(const std::string& text) override {
    last_status_ = text;
    window_.ShowStatus(text);
  }
  void ShowReport(const std::string& text) override {
    window_.ShowReport(text);
  }
  void ShowMessage(const std::string& text) override {
    window_.ShowMessage(text);
  }
  void SetButtonEnabled(bool enabled) override {
    window_.SetButtonEnabled(enabled);
  }
  void HandleEvents() override { window_.HandleEvents(); }
  void ShowProgress(int permille) override { window_.ShowProgress(permille); }

  /// The last status text shown, "" before the first.
  const std::string& last_status() const { return last_status_; }

 private:
  Window& window_;
  std::string last_status_;
};

}  // namespace fernwise
