#include "app/win32_window.h"

#include "app/window_design.h"
#include "core/clock.h"
#include "job/run_job.h"
#include "platform/win32/text.h"

namespace fernwise {

namespace {

constexpr wchar_t kClassName[] = L"Fernwise.Form1";
// Not IDOK (1): Enter would send that id even while the button is disabled.
constexpr int kCommand1Id = 100;
constexpr int kIconId = 1;  // fernwise.rc

constexpr DWORD kFormStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

void Place(HWND child, const TwipsBox& box, UINT dpi) {
  const int d = int(dpi);
  SetWindowPos(child, nullptr, TwipsToPixels(box.left, d),
               TwipsToPixels(box.top, d), TwipsToPixels(box.width, d),
               TwipsToPixels(box.height, d), SWP_NOZORDER | SWP_NOACTIVATE);
}

// The user's message font at the window's own DPI.
HFONT MessageFont(UINT dpi) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (!SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics,
                                  &metrics, 0, dpi))
    return nullptr;
  return CreateFontIndirectW(&metrics.lfMessageFont);
}

void RegisterFormClass(HINSTANCE instance, WNDPROC procedure) {
  WNDCLASSEXW form_class{};
  form_class.cbSize = sizeof form_class;
  form_class.lpfnWndProc = procedure;
  form_class.hInstance = instance;
  form_class.hIcon = static_cast<HICON>(
      LoadImageW(instance, MAKEINTRESOURCEW(kIconId), IMAGE_ICON, 48, 48, 0));
  form_class.hIconSm = static_cast<HICON>(LoadImageW(
      instance, MAKEINTRESOURCEW(kIconId), IMAGE_ICON,
      GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
  form_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  form_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  form_class.lpszClassName = kClassName;
  RegisterClassExW(&form_class);
}

}  // namespace

Form1::Form1(std::unique_ptr<FileSystem> fs) : fs_(std::move(fs)) {}

Form1::~Form1() {
  if (form_) DestroyWindow(form_);
  if (font_) DeleteObject(font_);
}

void Form1::Create(HINSTANCE instance, int show) {
  RegisterFormClass(instance, &Form1::Procedure);
  form_ = CreateWindowExW(0, kClassName, win32::WidenText(kCaption).c_str(),
                          kFormStyle, CW_USEDEFAULT, CW_USEDEFAULT, 0, 0,
                          nullptr, nullptr, instance, this);
  Command1 = CreateWindowExW(
      0, L"BUTTON", win32::WidenText(kButtonText).c_str(),
      WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, 0, 0, 0, form_,
      reinterpret_cast<HMENU>(INT_PTR(kCommand1Id)), instance, nullptr);
  // SS_NOPREFIX: a path's "&" is a letter, not an accelerator mark.
  Status = CreateWindowExW(0, L"STATIC", win32::WidenText(kAboutText).c_str(),
                           WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 0, 0,
                           0, 0, form_, nullptr, instance, nullptr);
  Layout(GetDpiForWindow(form_));
  ShowWindow(form_, show);
  SetFocus(Command1);
}

void Form1::Layout(UINT dpi) {
  RECT outer{0, 0, TwipsToPixels(kClientWidthTwips, int(dpi)),
             TwipsToPixels(kClientHeightTwips, int(dpi))};
  AdjustWindowRectExForDpi(&outer, kFormStyle, FALSE, 0, dpi);
  SetWindowPos(form_, nullptr, 0, 0, outer.right - outer.left,
               outer.bottom - outer.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  Place(Command1, kCommand1Box, dpi);
  Place(Status, kStatusBox, dpi);
  HFONT font = MessageFont(dpi);
  for (HWND child : {Command1, Status})
    SendMessageW(child, WM_SETFONT, WPARAM(font), TRUE);
  if (font_) DeleteObject(font_);
  font_ = font;
}

int Form1::Run() {
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (IsDialogMessageW(form_, &message)) continue;  // Tab, Enter, Space
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return exit_status_;
}

LRESULT CALLBACK Form1::Procedure(HWND window, UINT message, WPARAM wparam,
                                  LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* form = static_cast<Form1*>(
        reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
    form->form_ = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, LONG_PTR(form));
  }
  auto* form =
      reinterpret_cast<Form1*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  return form ? form->Handle(message, wparam, lparam)
              : DefWindowProcW(window, message, wparam, lparam);
}

LRESULT Form1::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND:
      if (LOWORD(wparam) == kCommand1Id && HIWORD(wparam) == BN_CLICKED)
        Command1Click();
      return 0;
    case WM_CLOSE:
      // The close guard: refused, silently, while a run has the button.
      if (IsWindowEnabled(Command1)) DestroyWindow(form_);
      return 0;
    case WM_DPICHANGED: {
      const RECT* suggested = reinterpret_cast<const RECT*>(lparam);
      SetWindowPos(form_, nullptr, suggested->left, suggested->top, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      Layout(HIWORD(wparam));
      return 0;
    }
    case WM_DESTROY:
      form_ = nullptr;
      PostQuitMessage(exit_status_);
      return 0;
    default:
      return DefWindowProcW(form_, message, wparam, lparam);
  }
}

void Form1::ShowStatus(const std::string& text) {
  SetWindowTextW(Status, win32::WidenText(text).c_str());
  HandleEvents();
}

void Form1::HandleEvents() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      // Not ours to take: the main loop ends on it once the run is over.
      PostQuitMessage(int(message.wParam));
      return;
    }
    if (IsDialogMessageW(form_, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

void Form1::ShowProgress(int permille) {
  if (!taskbar_asked_) {
    // Asked for once, not on every slice of a long copy: where the shell
    // offers no task bar, or one that will not start, nothing shows.
    taskbar_asked_ = true;
    ITaskbarList3* taskbar = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_TaskbarList, nullptr,
                                   CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                   reinterpret_cast<void**>(&taskbar)))) {
      taskbar_.reset(taskbar);
      if (FAILED(taskbar_->HrInit())) taskbar_.reset();
    }
  }
  if (!taskbar_) return;
  if (permille < 0) {
    taskbar_->SetProgressState(form_, TBPF_NOPROGRESS);
  } else {
    taskbar_->SetProgressValue(form_, ULONGLONG(permille), 1000);
  }
}

void Form1::ShowReport(const std::string& text) {
  SetWindowTextW(Status, win32::WidenText(text).c_str());
}

void Form1::ShowMessage(const std::string& text) {
  MessageBoxW(form_, win32::WidenText(text).c_str(),
              win32::WidenText(kApplicationTitle).c_str(), MB_OK);
}

void Form1::SetButtonEnabled(bool enabled) {
  EnableWindow(Command1, enabled);
  if (enabled) SetFocus(Command1);
}

void Form1::EndWithError(const std::string& report) {
  ShowMessage(report);
  // The button stays disabled; the window goes, and the main loop ends the
  // program with a failure status.
  exit_status_ = 1;
  DestroyWindow(form_);
}

void Form1::Command1Click() {
  if (!IsWindowEnabled(Command1)) return;  // a run is in progress
  RunContext run{*fs_, *this, state_, &SecondsSinceLocalMidnight};
  if (const auto report = RunBackupJobReportingFailure(run))
    EndWithError(*report);
}

}  // namespace fernwise
