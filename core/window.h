// The window as the core sees it. One Qt and one Win32 implementation; tests
// record the calls.
#pragma once

#include <string>

namespace fernwise {

class Window {
 public:
  virtual ~Window() = default;
  /// Replaces the status text, then lets the window handle every pending
  /// event (repaint, moves, clicks, close requests) before returning.
  virtual void ShowStatus(const std::string& text) = 0;
  /// Replaces the status text with the completion report, without handling
  /// events.
  virtual void ShowReport(const std::string& text) = 0;
  /// A modal box with the text and one OK button; returns after OK.
  virtual void ShowMessage(const std::string& text) = 0;
  /// The enabled state of the start button, the program's only run flag.
  virtual void SetButtonEnabled(bool enabled) = 0;
  /// Lets the window handle its pending events as ShowStatus does, without
  /// changing the status text: a long step (a large copy, a flush) calls it
  /// between its slices, so that the window answers throughout.
  virtual void HandleEvents() = 0;
  /// Shows how far a long step is, outside the status line, where the
  /// desktop offers a place for it (the task-bar button): `permille` from 0
  /// to 1000, or -1 to clear it. Nothing where the desktop has no place.
  virtual void ShowProgress(int permille) = 0;
};

/// Joins `pieces` into `text`, reusing its storage, and shows it: a pass
/// shows a text for every file, and one buffer for all of them spares an
/// allocation each.
template <typename... Pieces>
void ShowJoined(Window& window, std::string& text, const Pieces&... pieces) {
  text.clear();
  (text += ... += pieces);
  window.ShowStatus(text);
}

}  // namespace fernwise
