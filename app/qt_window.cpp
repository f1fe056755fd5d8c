#include "app/qt_window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

#include "core/clock.h"
#include "job/run_job.h"

namespace fernwise {
namespace {

// The least time between two passes of the event loop from ShowStatus.
constexpr qint64 kEventsEveryMs = 1;

}  // namespace

QDBusMessage LauncherProgress(int permille) {
  QDBusMessage update = QDBusMessage::createSignal(
      QStringLiteral("/fernwise"),
      QStringLiteral("com.canonical.Unity.LauncherEntry"),
      QStringLiteral("Update"));
  QVariantMap properties;
  properties.insert(QStringLiteral("progress"),
                    permille < 0 ? 0.0 : permille / 1000.0);
  properties.insert(QStringLiteral("progress-visible"), permille >= 0);
  update << QStringLiteral("application://fernwise.desktop") << properties;
  return update;
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
  Command1 = new QPushButton(QString::fromUtf8(kButtonText), this);
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
  clock_.start();
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
  auto place = [&](QWidget* widget, const TwipsBox& box) {
    widget->move(TwipsToPixels(box.left, dpi_x), TwipsToPixels(box.top, dpi_y));
    widget->setFixedSize(TwipsToPixels(box.width, dpi_x),
                         TwipsToPixels(box.height, dpi_y));
  };
  place(Command1, kCommand1Box);
  place(Status, kStatusBox);
  setFixedSize(TwipsToPixels(kClientWidthTwips, dpi_x),
               TwipsToPixels(kClientHeightTwips, dpi_y));
  const qreal refresh = screen() ? screen()->refreshRate() : 60;
  frame_ms_ = refresh >= 1 ? qBound(1, qRound(1000 / refresh), 100) : 16;
}

void Form1::ShowStatus(const std::string& text) {
  // Handing the label a text costs a conversion and an accessibility event,
  // and its paint a flush to the display server: for every file more than
  // comparing the file. Nobody sees a text painted over within one frame,
  // so within a frame of the last paint the latest text waits, and the
  // held-paint timer hands it to the label once the frame is over.
  const qint64 now = clock_.elapsed();
  if (now - painted_at_ < frame_ms_) {
    held_text_.assign(text);
    if (!text_held_) {
      text_held_ = true;
      held_paint_.start(static_cast<int>(frame_ms_ - (now - painted_at_)));
    }
    // A pass of the event loop polls the display connection, which costs
    // more than comparing an unchanged file. Nobody can tell an input
    // handled now from one handled a millisecond later, so within that time
    // of the last pass the events wait for the next call, or for the report.
    if (now - events_at_ < kEventsEveryMs) {
      events_owed_ = true;
      return;
    }
  } else {
    held_paint_.stop();  // a text it would hand over is older than this one
    text_held_ = false;
    Status->setText(ToLabelText(text));
    painted_at_ = now;
  }
  HandleEvents();
}

void Form1::HandleEvents() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  events_owed_ = false;
  events_at_ = clock_.elapsed();
}

void Form1::ReleasePaint() {
  held_paint_.stop();
  if (text_held_) {
    text_held_ = false;
    Status->setText(ToLabelText(held_text_));
  }
  painted_at_ = clock_.elapsed();
}

void Form1::ShowReport(const std::string& text) {
  // Events the last status texts left waiting are handled while the button
  // is still disabled: a click or close request made during the run meets
  // the run's guard, not the enabled button after it.
  if (events_owed_) HandleEvents();
  // The report replaces what the run left waiting, and the next run's
  // first text replaces the report at once.
  held_paint_.stop();
  text_held_ = false;
  Status->setText(ToLabelText(text));
  painted_at_ = kNeverPainted;
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

void Form1::ShowProgress(int permille) {
  // Without a session bus Qt would try to start one; nobody would listen.
  if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (bus.isConnected()) bus.send(LauncherProgress(permille));
}

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
