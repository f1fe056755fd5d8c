// The shown-window variant: the program's own window, shown (offscreen when
// no display is set), its button pressed once; the run's status updates go
// through the window's real ShowStatus, repaints and event processing
// included.
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include <QApplication>
#include <QLabel>
#include <QPushButton>

#include "app/qt_window.h"
#include "bench/bench_job.h"

namespace fernwise::bench {
namespace {

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// The real window, counting its status updates; a message box or a failure
// report would wait for a user who is not there, so they go to stderr.
class BenchForm : public Form1 {
 public:
  void ShowStatus(const std::string& text) override {
    ++status_updates;
    Form1::ShowStatus(text);
  }
  void ShowMessage(const std::string& text) override {
    std::fprintf(stderr, "message: %s\n", text.c_str());
  }

  long status_updates = 0;
  std::string failure;

 protected:
  void EndWithError(const std::string& report) override { failure = report; }
};

}  // namespace

bool RunShown(int& argc, char** argv, JobFigures& figures) {
  if (!IsSet("DISPLAY") && !IsSet("WAYLAND_DISPLAY") &&
      !IsSet("QT_QPA_PLATFORM"))
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  std::setlocale(LC_ALL, "");  // as the program does, for the listing's dates
  BenchForm window;
  window.show();
  QCoreApplication::processEvents();  // the first paint is not the run's
  auto* button = window.findChild<QPushButton*>(QStringLiteral("Command1"));
  auto* status = window.findChild<QLabel*>(QStringLiteral("Status"));
  if (button == nullptr || status == nullptr) return false;
  const auto start = std::chrono::steady_clock::now();
  button->click();
  const std::chrono::duration<double> elapsed =
      std::chrono::steady_clock::now() - start;
  if (!window.failure.empty()) throw std::runtime_error(window.failure);
  figures = {elapsed.count(), PeakKib(), window.status_updates,
             status->text().toStdString()};
  return true;
}

}  // namespace fernwise::bench
