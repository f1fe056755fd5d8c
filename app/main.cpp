// Program start: the window, shown at once, and nothing else until its
// button is pressed.
#include <clocale>
#include <cstdio>
#include <cstdlib>

#include <QApplication>
#include <QIcon>

#include "app/qt_window.h"

namespace {

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// Without a display Qt aborts with a note about platform plugins that does
// not tell a user what is missing.
bool HasDisplay() {
  return IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY") ||
         IsSet("QT_QPA_PLATFORM");
}

}  // namespace

int main(int argc, char** argv) {
  if (!HasDisplay()) {
    std::fputs(
        "Fernwise needs a graphical display, and none was found "
        "(DISPLAY and WAYLAND_DISPLAY are unset).\n"
        "Start it from a desktop session, or under a virtual display: "
        "xvfb-run fernwise\n",
        stderr);
    return 2;
  }
  QApplication app(argc, argv);
  // The folder-tree listing writes dates in the user's short format, which
  // the C library takes from the environment only once asked to.
  std::setlocale(LC_ALL, "");
  QGuiApplication::setDesktopFileName(QStringLiteral("fernwise"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/fernwise.png")));
  fernwise::Form1 window;
  window.show();
  return app.exec();
}
