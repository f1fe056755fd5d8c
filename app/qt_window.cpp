#include "app/qt_window.h"

#include <chrono>
#include <ctime>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

#include "job/run_job.h"

namespace fernwise {
namespace {

// The design, in twips: the window's client area, then left, top, width and
// height of the button and of the label.
constexpr int kClientWidth = 4680;
constexpr int kClientHeight = 3195;
constexpr int kButton[] = {240, 240, 4215, 1215};
constexpr int kLabel[] = {240, 1560, 4215, 1455};
// The least time between two passes of the event loop from ShowStatus.
constexpr qint64 kEventsEveryMs = 1;

}  // namespace

int TwipsToPixels(int twips, int dpi) { return (twips * dpi + 720) / 1440; }

double SecondsSinceLocalMidnight() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t whole = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&whole, &local);
  // to_time_t truncates on this platform's clock, so the fraction is what
  // lies between that second and now.
  const std::chrono::duration<double> fraction =
      now - std::chrono::system_clock::from_time_t(whole);
  return local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec +
         fraction.count();
}

QString ToLabelText(const std::string& text) {
  QString label = QString::fromStdString(text);
  // Few texts have a line break, and the search for one that replace makes
  // costs more than the conversion.
  if (text.find('\r') != std::string::npos)
    label.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return label;
}

Form1::Form1() : Form1(MakePlatformFileSystem()) {}

Form1::Form1(std::unique_ptr<FileSystem> fs) : fs_(std::move(fs)) {
  setWindowTitle(QString::fromUtf8(kCaption));
  Command1 = new QPushButton(QStringLiteral("Begin Backup Process"), this);
  Command1->setObjectName(QStringLiteral("Command1"));
  Status = new QLabel(this);
  Status->setObjectName(QStringLiteral("Status"));
  // Status texts carry file names; one that looks like markup must still
  // show as written.
  Status->setTextFormat(Qt::PlainText);
  Status->setWordWrap(true);
  Status->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Status->setText(ToLabelText(kAboutText));
  Layout();
  connect(Command1, &QPushButton::clicked, this, [this] { Command1Click(); });
  held_paint_.setSingleShot(true);
  connect(&held_paint_, &QTimer::timeout, this, [this] { ReleasePaint(); });
}

Form1::~Form1() = default;

void Form1::Layout() {
  const int dpi_x = logicalDpiX();
  const int dpi_y = logicalDpiY();
  // Fixed sizes, not just geometries: a widget whose size may change posts
  // its parent a layout request on every change of content, for the label
  // every status text, and there is no layout here to use one.
  auto place = [&](QWidget* widget, const int (&twips)[4]) {
    widget->move(TwipsToPixels(twips[0], dpi_x),
                 TwipsToPixels(twips[1], dpi_y));
    widget->setFixedSize(TwipsToPixels(twips[2], dpi_x),
                         TwipsToPixels(twips[3], dpi_y));
  };
  place(Command1, kButton);
  place(Status, kLabel);
  setFixedSize(TwipsToPixels(kClientWidth, dpi_x),
               TwipsToPixels(kClientHeight, dpi_y));
  const qreal refresh = screen() ? screen()->refreshRate() : 60;
  frame_ms_ = refresh >= 1 ? qBound(1, qRound(1000 / refresh), 100) : 16;
}

void Form1::ShowStatus(const std::string& text) {
  // The label always holds the latest text, but a paint and a flush to the
  // display server for every file would cost more than comparing the file:
  // within one frame of the last paint the label's updates stay off, and
  // the held-paint timer turns them on once the frame is over.
  const bool painted_recently =
      since_paint_.isValid() && since_paint_.elapsed() < frame_ms_;
  if (painted_recently && Status->updatesEnabled()) {
    Status->setUpdatesEnabled(false);
    held_paint_.start(frame_ms_ - static_cast<int>(since_paint_.elapsed()));
  }
  Status->setText(ToLabelText(text));
  // A pass of the event loop polls the display connection, which costs more
  // than comparing an unchanged file. Nobody can tell an input handled now
  // from one handled a millisecond later, so within that time of the last
  // pass the events wait for the next call, or for the report; a call that
  // lets a paint through always makes the pass that delivers it.
  if (!painted_recently) {
    ReleasePaint();
  } else if (since_events_.isValid() &&
             since_events_.elapsed() < kEventsEveryMs) {
    events_owed_ = true;
    return;
  }
  HandleEvents();
}

void Form1::HandleEvents() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  events_owed_ = false;
  since_events_.start();
}

void Form1::ReleasePaint() {
  held_paint_.stop();
  Status->setUpdatesEnabled(true);  // schedules the paint of the new text
  since_paint_.start();
}

void Form1::ShowReport(const std::string& text) {
  // Events the last status texts left waiting are handled while the button
  // is still disabled: a click or close request made during the run meets
  // the run's guard, not the enabled button after it.
  if (events_owed_) HandleEvents();
  Status->setText(ToLabelText(text));
  ReleasePaint();
}

void Form1::ShowMessage(const std::string& text) {
  ReleasePaint();  // the status line behind the box names the latest step
  QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(kApplicationTitle),
                  QString::fromStdString(text), QMessageBox::Ok, this);
  box.setTextFormat(Qt::PlainText);
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();
}

void Form1::SetButtonEnabled(bool enabled) { Command1->setEnabled(enabled); }

void Form1::closeEvent(QCloseEvent* event) {
  if (Command1->isEnabled()) {
    event->accept();
  } else {
    event->ignore();
  }
}

void Form1::EndWithError(const std::string& report) {
  ShowMessage(report);
  // The press handler returns to the main event loop right after this,
  // which then ends; the button stays disabled until the window is gone.
  QCoreApplication::exit(1);
}

void Form1::Command1Click() {
  RunContext run{*fs_, *this, state_, &SecondsSinceLocalMidnight};
  if (const auto report = RunBackupJobReportingFailure(run))
    EndWithError(*report);
}

}  // namespace fernwise
