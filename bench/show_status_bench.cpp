// What one ShowStatus call costs with the window shown: the label's new text
// plus handling every pending event, paints included. Prints the figure.
#include <chrono>
#include <cstdio>
#include <string>

#include <QApplication>
#include <QEvent>
#include <QLabel>

#include "app/qt_window.h"

namespace {

// Counts the label's paints, to tell how many calls reached the screen.
class PaintCounter : public QObject {
 public:
  int paints = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication app(argc, argv);
  fernwise::Form1 window;
  window.show();
  for (int i = 0; i < 20; ++i) QApplication::processEvents();
  PaintCounter counter;
  window.findChild<QLabel*>("Status")->installEventFilter(&counter);

  constexpr int kCalls = 200000;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCalls; ++i) {
    window.ShowStatus("Comparing /home/user/Projects/fernwise/src/file_" +
                      std::to_string(i) + ".cpp...");
  }
  const std::chrono::duration<double, std::micro> spent =
      std::chrono::steady_clock::now() - start;
  std::printf(
      "ShowStatus, window shown (%s): %.1f us a call over %d calls, "
      "%d label paints\n",
      qPrintable(QGuiApplication::platformName()), spent.count() / kCalls,
      kCalls, counter.paints);
  return 0;
}
