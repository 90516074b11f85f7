#pragma once
// What the window tests share: finding controls by their id, catching the
// message boxes, starting the console as a user does, choosing from its
// drop-down lists, and putting the string table back between tests.

#include <QApplication>
#include <QByteArray>
#include <QLineEdit>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "console/CMeterConsoleDlg.h"
#include "widgets/message_box.h"
#include "resources/resource.h"

class CCloseUpComboBox;
class SimProcess;

// The control under root whose "controlId" property is id; null if none.
template <typename T = QWidget>
T* Control(const QWidget* root, int id) {
  for (T* widget : root->findChildren<T*>())
    if (widget->property("controlId").toInt() == id) return widget;
  return nullptr;
}

// The text of edit field id under root.
QString FieldText(const QWidget* root, int id);
// Types text into edit field id as a user does: select all, then type.
void TypeInto(const QWidget* root, int id, const QString& text);

// Every message the program shows while this lives, instead of a box; the
// hook it replaced comes back when it goes.
class MessageLog {
 public:
  MessageLog();
  ~MessageLog();
  MessageLog(const MessageLog&) = delete;
  MessageLog& operator=(const MessageLog&) = delete;
  void Clear();
  QStringList titles;
  QStringList texts;
  std::vector<MessageIcon> icons;

 private:
  MessageHook previous_;
};

// The string table as built, as a freshly started program has it.
void ResetProgramState();

// The base of the console's window tests: every test starts from a freshly
// started program, and fails if the program showed a message the test did
// not capture itself.
class ConsoleTestBase : public QObject {
  Q_OBJECT

 protected Q_SLOTS:
  void init();
  void cleanup();

 private:
  MessageLog unexpected_;
};

// The test function, and its data row, that is running now.
QByteArray CurrentTestRun();

// Runs action on the first modal window of type Dialog that opens from now
// on (the test's own code goes on; the action runs from the modal loop).
// Only while the test function that asked is running: one that ended
// first, by a failed check or without the window ever opening, leaves a
// watch that stops at its next look without acting, so the action never
// reaches into a finished test's locals from the next one.
template <typename Dialog>
void WhenModalOpens(std::function<void(Dialog*)> action) {
  auto* poll = new QTimer;
  poll->setInterval(10);
  QObject::connect(poll, &QTimer::timeout, [poll, action, run = CurrentTestRun()] {
    auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
    const bool ended = CurrentTestRun() != run;
    if (dialog == nullptr && !ended) return;
    poll->stop();
    poll->deleteLater();
    if (!ended) action(dialog);
  });
  poll->start();
}

// The console with its protected handlers reachable, and a poll timer the
// test drives itself: Manual starts a timer too slow to ever fire, so each
// tick is one the test delivers; Real keeps the 1000 ms timer; Fail makes
// setting up the timer fail.
// Each console has a session of its own, as the program makes one for its
// console: a fresh link, no meter picked, an empty trace ring.
struct TestConsoleSession {
  StopToken stop;
  ConsoleSession session{stop};
};

class TestConsole : private TestConsoleSession, public CMeterConsoleDlg {
 public:
  TestConsole() : CMeterConsoleDlg(TestConsoleSession::session) {}
  enum class TimerMode { Manual, Real, Fail };
  TimerMode timerMode = TimerMode::Manual;
  int requestedPeriodMs = 0;
  int showCount = 0;
  // Item 0 of the device list at each paint (the scan's visible progress).
  QStringList paintedFirstLines;
  // Called at each paint with that item, while the console paints.
  std::function<void(const QString& firstLine)> onPaint;

  using CMeterConsoleDlg::OnInitDialog;
  using CMeterConsoleDlg::OnSysCommand;

  // One timer message, as the window system delivers it.
  void Tick();

 protected:
  int SetTimer(int elapseMs) override;
  void showEvent(QShowEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
};

// Runs the console's start-up with the terms dialog answered by a click on
// ACCEPT (or DECLINE), and shows the console when it is still open.
void StartConsole(TestConsole& console, bool accept = true);

// Opens the drop-down list, moves to entry index (-1: leaves the list with
// Escape, nothing chosen) with the keyboard and closes it; then lets the
// close-up be handled.
void ChooseFromList(CCloseUpComboBox* list, int index);

// COM1 mapped to the simulator (or to path); the scan range typed into the
// console and COM1 chosen from its port list (which opens the port and scans).
void OpenSimulatorPort(TestConsole& console, const SimProcess& sim, unsigned start, unsigned end);
void OpenSimulatorPort(TestConsole& console, const std::string& path, unsigned start, unsigned end);

// The console's status line as it shows.
QString LineStatus(const QWidget* console);

// Where the picture-taking tests put their pictures: $PYLAX_SCREENSHOT_DIR
// (scripts/screenshots.sh sets it, under xvfb-run), else a temporary folder,
// so that the test run keeps the picture-taking path working.
class ScreenshotFolder {
 public:
  // A folder was asked for: the pictures are for the README.
  bool Wanted() const { return !wanted_.isEmpty(); }
  // Saves the window's picture as name (and says so); false if it failed.
  bool Save(QWidget* window, const QString& name) const;

 private:
  QTemporaryDir temporary_;
  QString wanted_ = qEnvironmentVariable("PYLAX_SCREENSHOT_DIR");
};
