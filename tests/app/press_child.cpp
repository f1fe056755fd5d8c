// Presses the window's button once in the current directory, accepts every
// message box after writing its caption and text to stdout, and reports the
// window's state after the event loop has ended. Its exit status is the
// event loop's.
#include <cstdio>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "app/qt_window.h"

namespace {

void Print(const char* tag, const QString& text) {
  std::printf("%s:%s\n", tag, text.toUtf8().constData());
  std::fflush(stdout);
}

void AcceptModalBox() {
  auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
  if (box == nullptr) return;
  Print("box", box->windowTitle() + "|" + box->text());
  box->accept();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  fernwise::Form1 window;
  window.show();
  auto* button = window.findChild<QPushButton*>("Command1");
  QTimer::singleShot(0, button, &QPushButton::click);
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &AcceptModalBox);
  poll.start(10);
  // A window that outlives its run is a failure of the caller's test, not a
  // hang: end with status 0 after a while.
  QTimer::singleShot(30000, &app, [] { QCoreApplication::exit(0); });
  const int status = app.exec();
  Print("status", window.findChild<QLabel*>("Status")->text());
  Print("enabled", button->isEnabled() ? "1" : "0");
  return status;
}
