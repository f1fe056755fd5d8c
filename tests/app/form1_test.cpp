// The window on Qt's offscreen platform, running real jobs in a temporary
// folder that is the current directory for the test.
#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <QtTest>

#include "app/qt_window.h"

namespace {

// Records the button's state at every status text and runs a test's hook
// before the window handles its events.
class ProbedForm : public fernwise::Form1 {
 public:
  void ShowStatus(const std::string& text) override {
    statuses.push_back(text);
    enabled_at_status.push_back(button()->isEnabled());
    if (on_status) on_status();
    Form1::ShowStatus(text);
  }
  QPushButton* button() { return findChild<QPushButton*>("Command1"); }
  QLabel* label() { return findChild<QLabel*>("Status"); }

  std::vector<std::string> statuses;
  std::vector<bool> enabled_at_status;
  std::function<void()> on_status;
};

// Notes the delivery of a posted user event.
class EventCatcher : public QObject {
 public:
  bool event(QEvent* event) override {
    if (event->type() != QEvent::User) return QObject::event(event);
    delivered = true;
    return true;
  }
  bool delivered = false;
};

enum class Pending { kZeroTimer, kPostedEvent, kCloseRequest };

struct SeenBox {
  QString title;
  QString text;
  QMessageBox::StandardButtons buttons;
  QMessageBox::Icon icon = QMessageBox::Information;
  Qt::WindowModality modality = Qt::NonModal;
  bool button_enabled = true;
  QString label;  // the status line behind the box, and the last text shown
  std::string last_status;
};

}  // namespace

class Form1Test : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();
  void TwipsFollowTheScreensDpi_data();
  void TwipsFollowTheScreensDpi();
  void LabelTextBreaksLinesAtCrLfOnly_data();
  void LabelTextBreaksLinesAtCrLfOnly();
  void LauncherProgressNamesTheEntryAndTheFraction_data();
  void LauncherProgressNamesTheEntryAndTheFraction();
  void OpensWithTheAboutTextAndTheDesign();
  void PressRunsTheJobWithTheButtonDisabled();
  void NextRunsFirstStatusReplacesTheReport();
  void BurstOfStatusTextsEndsPaintedWithTheLast();
  void BurstOfStatusTextsStillHandlesEvents_data();
  void BurstOfStatusTextsStillHandlesEvents();
  void EventsLeftByTheLastStatusComeBeforeTheReport();
  void MessageBoxKeepsTheButtonDisabled_data();
  void MessageBoxKeepsTheButtonDisabled();
  void CloseIsRefusedDuringARunAndAllowedAfter_data();
  void CloseIsRefusedDuringARunAndAllowedAfter();
  void UnhandledFailureEndsTheProgram();

 private:
  void WriteScript(const QString& text);
  void MakeTree();
  QString Path(const QString& name) const { return dir_->filePath(name); }

  std::unique_ptr<QTemporaryDir> dir_;
  QString previous_dir_;
};

void Form1Test::init() {
  dir_ = std::make_unique<QTemporaryDir>();
  QVERIFY(dir_->isValid());
  previous_dir_ = QDir::currentPath();
  QVERIFY(QDir::setCurrent(dir_->path()));
}

void Form1Test::cleanup() {
  QDir::setCurrent(previous_dir_);
  dir_.reset();
}

void Form1Test::WriteScript(const QString& text) {
  QFile script(Path("Setup.ini"));
  QVERIFY(script.open(QIODevice::WriteOnly));
  script.write(text.toUtf8());
}

// src with two files and a subfolder, and an empty dst; the script backs
// src up into dst.
void Form1Test::MakeTree() {
  QDir root(dir_->path());
  QVERIFY(root.mkpath("src/sub") && root.mkpath("dst"));
  for (const char* name : {"src/a.txt", "src/sub/b.txt"}) {
    QFile file(Path(name));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(name);
  }
  WriteScript(
      QString("BACKUP, \"%1\", \"%2\"\r\n").arg(Path("src"), Path("dst")));
}

void Form1Test::TwipsFollowTheScreensDpi_data() {
  QTest::addColumn<int>("twips");
  QTest::addColumn<int>("dpi");
  QTest::addColumn<int>("pixels");
  QTest::newRow("client width at 96") << 4680 << 96 << 312;
  QTest::newRow("client height at 96") << 3195 << 96 << 213;
  QTest::newRow("label top at 96") << 1560 << 96 << 104;
  QTest::newRow("button height at 192") << 1215 << 192 << 162;
  QTest::newRow("width at 120 rounds down") << 4215 << 120 << 351;
  QTest::newRow("half a pixel rounds up") << 6 << 120 << 1;
}

void Form1Test::TwipsFollowTheScreensDpi() {
  QFETCH(int, twips);
  QFETCH(int, dpi);
  QFETCH(int, pixels);
  QCOMPARE(fernwise::TwipsToPixels(twips, dpi), pixels);
}

void Form1Test::LabelTextBreaksLinesAtCrLfOnly_data() {
  QTest::addColumn<QByteArray>("text");
  QTest::addColumn<QString>("label");
  QTest::newRow("no break")
      << QByteArray("Comparing /a/b...") << "Comparing /a/b...";
  QTest::newRow("CR LF") << QByteArray("Done\r\n 2 files\r\n")
                         << "Done\n 2 files\n";
  QTest::newRow("lone CR and LF") << QByteArray("a\rb\nc") << "a\rb\nc";
  QTest::newRow("CR CR LF") << QByteArray("a\r\r\nb") << "a\r\nb";
  QTest::newRow("UTF-8 name") << QByteArray("Seeking /\xc3\xa9t\xc3\xa9...")
                              << QString::fromUtf8("Seeking /\u00e9t\u00e9...");
}

void Form1Test::LabelTextBreaksLinesAtCrLfOnly() {
  QFETCH(QByteArray, text);
  QFETCH(QString, label);
  QCOMPARE(fernwise::ToLabelText(text.toStdString()), label);
}

void Form1Test::LauncherProgressNamesTheEntryAndTheFraction_data() {
  QTest::addColumn<int>("permille");
  QTest::addColumn<double>("progress");
  QTest::addColumn<bool>("visible");
  QTest::newRow("start") << 0 << 0.0 << true;
  QTest::newRow("part way") << 375 << 0.375 << true;
  QTest::newRow("cleared") << -1 << 0.0 << false;
}

// The desktop matches the signal to the program by its desktop entry, and
// reads the fraction and whether to show it.
void Form1Test::LauncherProgressNamesTheEntryAndTheFraction() {
  QFETCH(int, permille);
  QFETCH(double, progress);
  QFETCH(bool, visible);
  const QDBusMessage update = fernwise::LauncherProgress(permille);
  QCOMPARE(update.type(), QDBusMessage::SignalMessage);
  QCOMPARE(update.interface(), QString("com.canonical.Unity.LauncherEntry"));
  QCOMPARE(update.member(), QString("Update"));
  const QList<QVariant> arguments = update.arguments();
  QCOMPARE(arguments.size(), 2);
  QCOMPARE(arguments[0].toString(), QString("application://fernwise.desktop"));
  const QVariantMap properties = arguments[1].toMap();
  QCOMPARE(properties.value("progress").toDouble(), progress);
  QCOMPARE(properties.value("progress-visible").toBool(), visible);
}

void Form1Test::OpensWithTheAboutTextAndTheDesign() {
  ProbedForm form;
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  QCOMPARE(form.windowTitle(), QString("Fernwise v2 | Quillory"));
  QCOMPARE(
      form.label()->text(),
      QString("Fernwise v2\nby Quillory\nhttps://fernwise.example\n\n\n\n"));
  QCOMPARE(form.button()->text(), QString("Begin Backup Process"));
  QVERIFY(form.button()->isEnabled());
  const int dpi = form.logicalDpiX();
  QCOMPARE(form.size(), QSize(fernwise::TwipsToPixels(4680, dpi),
                              fernwise::TwipsToPixels(3195, dpi)));
  QCOMPARE(form.button()->geometry().left(), form.label()->geometry().left());
  QCOMPARE(form.button()->width(), form.label()->width());
  QVERIFY(form.button()->geometry().bottom() < form.label()->geometry().top());
  // Nothing is read at start: a missing script is no failure yet.
  QVERIFY(!QFile::exists(Path("Setup.ini")));
}

void Form1Test::PressRunsTheJobWithTheButtonDisabled() {
  MakeTree();
  ProbedForm form;
  form.show();
  form.button()->click();
  QVERIFY(!form.statuses.empty());
  QVERIFY(std::all_of(form.enabled_at_status.begin(),
                      form.enabled_at_status.end(),
                      [](bool enabled) { return !enabled; }));
  QVERIFY(form.button()->isEnabled());
  QVERIFY(QFile::exists(Path("dst/a.txt")));
  QVERIFY(QFile::exists(Path("dst/sub/b.txt")));
  const QString report = form.label()->text();
  QVERIFY2(report.startsWith("Done in 00:0"), qPrintable(report));
  QVERIFY(report.contains("\n 2 files newly created and\n"));
  QCOMPARE(form.state().Counters.FilesCreated, 2);
}

void Form1Test::BurstOfStatusTextsEndsPaintedWithTheLast() {
  ProbedForm form;
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  for (int i = 0; i < 500; ++i) {
    form.ShowStatus("Comparing /a/file" + std::to_string(i) + "...");
  }
  // Texts held back within a frame: the last is shown once it is over.
  QTRY_COMPARE(form.label()->text(), QString("Comparing /a/file499..."));
}

void Form1Test::BurstOfStatusTextsStillHandlesEvents_data() {
  QTest::addColumn<Pending>("pending");
  QTest::newRow("a zero timer") << Pending::kZeroTimer;
  QTest::newRow("a posted event") << Pending::kPostedEvent;
  QTest::newRow("a close request during a run") << Pending::kCloseRequest;
}

void Form1Test::BurstOfStatusTextsStillHandlesEvents() {
  QFETCH(Pending, pending);
  ProbedForm form;
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  form.SetButtonEnabled(false);  // as during a run
  // This call handles events, so the burst's calls follow it closely.
  form.ShowStatus("Seeking /a...");
  EventCatcher catcher;
  bool fired = false;
  std::optional<bool> closed;
  switch (pending) {
    case Pending::kZeroTimer:
      QTimer::singleShot(0, &form, [&] { fired = true; });
      break;
    case Pending::kPostedEvent:
      QCoreApplication::postEvent(&catcher, new QEvent(QEvent::User));
      break;
    case Pending::kCloseRequest:
      QTimer::singleShot(0, &form, [&] { closed = form.close(); });
      break;
  }
  auto handled = [&] { return fired || catcher.delivered || closed; };
  // The deadline only ends a test that would otherwise hang.
  const QDeadlineTimer deadline(30000);
  std::string text;
  for (int i = 0; !handled() && !deadline.hasExpired(); ++i) {
    text = "Comparing /a/f" + std::to_string(i) + "\r\n";
    form.ShowStatus(text);
  }
  QVERIFY(handled());
  QTRY_COMPARE(form.label()->text(), fernwise::ToLabelText(text));
  if (pending == Pending::kCloseRequest) {
    QVERIFY(!*closed);
    QVERIFY(form.isVisible());
  }
}

void Form1Test::EventsLeftByTheLastStatusComeBeforeTheReport() {
  ProbedForm form;
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  form.SetButtonEnabled(false);
  form.ShowStatus("Seeking /a...");
  std::optional<bool> enabled_at_delivery;
  QTimer::singleShot(0, &form,
                     [&] { enabled_at_delivery = form.button()->isEnabled(); });
  // Comes right after the call that handled events, so it may leave the
  // timer waiting; the report must not.
  form.ShowStatus("Comparing /a/b...");
  form.ShowReport("Done in 00:00:01");
  form.SetButtonEnabled(true);
  QVERIFY(enabled_at_delivery.has_value());
  QVERIFY(!*enabled_at_delivery);
  QCOMPARE(form.label()->text(), QString("Done in 00:00:01"));
}

void Form1Test::NextRunsFirstStatusReplacesTheReport() {
  MakeTree();
  ProbedForm form;
  form.show();
  form.button()->click();
  const QString report = form.label()->text();
  QString label_at_second_status;
  form.on_status = [&] {
    // The hook runs before the window shows the text it was given, so the
    // second status of the run shows what the first one left.
    if (form.statuses.size() == 2)
      label_at_second_status = form.label()->text();
  };
  form.statuses.clear();
  form.button()->click();
  QVERIFY(form.statuses.size() >= 2);
  QCOMPARE(label_at_second_status,
           fernwise::ToLabelText(form.statuses.front()));
  QVERIFY(label_at_second_status != report);
}

void Form1Test::MessageBoxKeepsTheButtonDisabled_data() {
  QTest::addColumn<bool>("by_ok");
  QTest::newRow("closed with OK") << true;
  QTest::newRow("closed by its close button") << false;
}

void Form1Test::MessageBoxKeepsTheButtonDisabled() {
  QFETCH(bool, by_ok);
  QDir(dir_->path()).mkpath("src");
  QDir(dir_->path()).mkpath("dst");
  // A step first, for the status line behind the box to name.
  WriteScript(QString("BACKUP, \"%1\", \"%2\"\r\nMODE, Triplex\r\n")
                  .arg(Path("src"), Path("dst")));
  ProbedForm form;
  form.show();
  std::vector<SeenBox> seen;
  QTimer poll;
  connect(&poll, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    seen.push_back({box->windowTitle(), box->text(), box->standardButtons(),
                    box->icon(), box->windowModality(),
                    form.button()->isEnabled(), form.label()->text(),
                    form.statuses.empty() ? "" : form.statuses.back()});
    // The box's own close button asks it to close, as Escape does.
    if (by_ok) {
      box->button(QMessageBox::Ok)->click();
    } else {
      box->close();
    }
  });
  poll.start(5);
  form.button()->click();
  poll.stop();
  QCOMPARE(seen.size(), size_t{1});
  QCOMPARE(seen[0].title, QString("Fernwise"));
  QCOMPARE(seen[0].text, QString("Invalid mode Triplex in Setup.ini!"));
  QCOMPARE(seen[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
  QCOMPARE(seen[0].icon, QMessageBox::NoIcon);
  QCOMPARE(seen[0].modality, Qt::ApplicationModal);
  QVERIFY(!seen[0].button_enabled);
  QCOMPARE(seen[0].label, fernwise::ToLabelText(seen[0].last_status));
  QVERIFY(form.button()->isEnabled());
  QVERIFY(form.label()->text().startsWith("Done in "));
}

void Form1Test::CloseIsRefusedDuringARunAndAllowedAfter_data() {
  QTest::addColumn<bool>("from_window_system");
  QTest::newRow("the widget's close") << false;
  // QWindow::close goes through the platform window, as the window
  // manager's close request (title-bar button, Alt+F4) does.
  QTest::newRow("the window system's close request") << true;
}

void Form1Test::CloseIsRefusedDuringARunAndAllowedAfter() {
  QFETCH(bool, from_window_system);
  MakeTree();
  ProbedForm form;
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  auto request_close = [&] {
    return from_window_system ? form.windowHandle()->close() : form.close();
  };
  int requests = 0;
  bool closed_during_run = false;
  form.on_status = [&] {
    if (form.statuses.size() != 1) return;
    // Fires inside the window's event handling for this status text, as a
    // click on the title bar's close button would arrive.
    QTimer::singleShot(0, &form, [&] {
      ++requests;
      closed_during_run = request_close();
    });
  };
  form.button()->click();
  QCOMPARE(requests, 1);
  QVERIFY(!closed_during_run);
  QVERIFY(form.isVisible());
  QVERIFY(QFile::exists(Path("dst/sub/b.txt")));
  QVERIFY(request_close());
  QVERIFY(!form.isVisible());
}

void Form1Test::UnhandledFailureEndsTheProgram() {
  // No Setup.ini in the current directory.
  QProcess child;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  child.setProcessEnvironment(env);
  child.setWorkingDirectory(dir_->path());
  child.start(FERNWISE_PRESS_CHILD, QStringList{});
  QVERIFY(child.waitForFinished(60000));
  const QString out = QString::fromUtf8(child.readAllStandardOutput());
  QCOMPARE(child.exitStatus(), QProcess::NormalExit);
  QVERIFY2(child.exitCode() != 0, qPrintable(out));
  const QStringList lines = out.split('\n');
  const QStringList boxes = lines.filter(QRegularExpression("^box:"));
  QCOMPARE(boxes.size(), 1);
  QVERIFY2(boxes[0].startsWith("box:Fernwise|Error "), qPrintable(boxes[0]));
  QVERIFY2(boxes[0].contains("Setup.ini"), qPrintable(boxes[0]));
  // Neither the report nor the enabled button: the about text stays.
  QVERIFY(lines.contains("enabled:0"));
  QVERIFY(out.contains("status:Fernwise v2\nby Quillory"));
}

QTEST_MAIN(Form1Test)
#include "form1_test.moc"
