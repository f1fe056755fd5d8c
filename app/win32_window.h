// The program's one window on Windows: a plain Win32 window with a button
// that starts a run and a status label. It owns the run state and the file
// system the runs work on, and forwards everything else to the job.
#pragma once

#include <windows.h>
#include <shobjidl.h>

#include <memory>
#include <string>

#include "core/file_system.h"
#include "core/run_state.h"
#include "core/window.h"

namespace fernwise {

class Form1 final : public Window {
 public:
  /// A window whose runs work on `fs`; Create shows it.
  explicit Form1(std::unique_ptr<FileSystem> fs);
  ~Form1() override;
  Form1(const Form1&) = delete;
  Form1& operator=(const Form1&) = delete;

  /// Creates the window with the about text and shows it.
  void Create(HINSTANCE instance, int show);
  /// Handles the window's messages until it is gone; the process's exit
  /// status: 0, or 1 after a failure the run did not handle.
  int Run();

  void ShowStatus(const std::string& text) override;
  void ShowReport(const std::string& text) override;
  void ShowMessage(const std::string& text) override;
  void SetButtonEnabled(bool enabled) override;
  /// Dispatches every pending message, as ShowStatus does.
  void HandleEvents() override;
  /// On the window's task-bar button.
  void ShowProgress(int permille) override;

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wparam,
                                    LPARAM lparam);
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
  void Layout(UINT dpi);
  void Command1Click();
  void EndWithError(const std::string& report);

  std::unique_ptr<FileSystem> fs_;
  RunState state_;
  HWND form_ = nullptr;
  HWND Command1 = nullptr;  // child windows: destroyed with form_
  HWND Status = nullptr;
  HFONT font_ = nullptr;
  int exit_status_ = 0;
  struct Releaser {
    void operator()(IUnknown* object) const { object->Release(); }
  };
  std::unique_ptr<ITaskbarList3, Releaser> taskbar_;  // null where none works
  bool taskbar_asked_ = false;
};

}  // namespace fernwise
