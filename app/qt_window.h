// The program's one window on Linux: a button that starts a run and a status
// label. It owns the run state and the file system the runs work on, and
// forwards everything else to the job.
#pragma once

#include <memory>
#include <string>

#include <QDBusMessage>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include "app/window_design.h"
#include "core/file_system.h"
#include "core/run_state.h"
#include "core/window.h"

class QLabel;
class QPushButton;

namespace fernwise {

/// The desktop's launcher-entry signal that shows `permille` of progress on
/// the launcher icon of the program's desktop entry; -1 hides it. Docks and
/// task managers of the common Linux desktops listen for it.
QDBusMessage LauncherProgress(int permille);

/// A core text as the label shows it: Qt breaks lines at "\n" only, so every
/// CR LF becomes LF.
QString ToLabelText(const std::string& text);

class Form1 : public QWidget, public Window {
 public:
  /// A window whose runs work on the platform's file system.
  Form1();
  /// A window whose runs work on `fs`.
  explicit Form1(std::unique_ptr<FileSystem> fs);
  ~Form1() override;

  void ShowStatus(const std::string& text) override;
  void ShowReport(const std::string& text) override;
  void ShowMessage(const std::string& text) override;
  void SetButtonEnabled(bool enabled) override;
  /// Handles every pending event and notes when that was.
  void HandleEvents() override;
  /// On the program's launcher icon, where the desktop shows one (through
  /// the session bus's launcher-entry signal); nothing without a bus.
  void ShowProgress(int permille) override;

  /// The run state, for the tests.
  const RunState& state() const { return state_; }

 protected:
  /// The close guard: a close request during a run is ignored, silently.
  void closeEvent(QCloseEvent* event) override;
  /// Shows the report of a failure the run did not handle and ends the
  /// program with a non-zero status once the event loop regains control.
  virtual void EndWithError(const std::string& report);

 private:
  void Layout();
  void Command1Click();
  /// Hands the label the text held back, if any, to paint with the next
  /// events handled.
  void ReleasePaint();

  std::unique_ptr<FileSystem> fs_;
  RunState state_;
  QPushButton* Command1 = nullptr;  // owned by this widget
  QLabel* Status = nullptr;         // owned by this widget
  // A status text that comes within a frame of the last one the label was
  // given waits in `held_text_` until the frame is over; `held_paint_` then
  // hands it over. Times are milliseconds of `clock_`.
  static constexpr qint64 kNeverPainted = -(qint64{1} << 40);
  QElapsedTimer clock_;
  qint64 painted_at_ = kNeverPainted;
  std::string held_text_;
  bool text_held_ = false;
  QTimer held_paint_;
  int frame_ms_ = 16;
  // When ShowStatus last handled events, and whether a later call skipped it.
  qint64 events_at_ = kNeverPainted;
  bool events_owed_ = false;
};

}  // namespace fernwise
