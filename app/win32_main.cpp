// Program start on Windows: the window, shown at once, and nothing else
// until its button is pressed.
#include <windows.h>
#include <commctrl.h>

#include "app/win32_window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  // Visual styles for the button (the manifest asks for common controls 6).
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  // The task-bar button's progress is a shell object.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  fernwise::Form1 form(fernwise::MakePlatformFileSystem());
  form.Create(instance, show);
  return form.Run();
}
