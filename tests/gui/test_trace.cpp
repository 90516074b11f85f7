// The communication trace window: opened with Show Comm, showing the trace
// ring oldest first with the poll counters, frozen and unfrozen, closed with
// OK, Escape or its close box.

#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QWindow>

#include "dialogs/CDisclaimerDlg.h"
#include "console/CCommTraceDlg.h"
#include "meter/meter_state.h"
#include "modbus/result.h"
#include "tests/gui/gui_support.h"
#include "tests/support/sim_process.h"

Q_DECLARE_METATYPE(Framing)

namespace {

QWidget* TraceWindow(TestConsole& console) { return console.CommTrace().Window(); }

// What the trace field shows.
QStringList TraceLines(TestConsole& console) {
  const QLabel* trace = Control<QLabel>(TraceWindow(console), IDC_TRACE);
  return trace->text().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The whole trace the window holds: the ring, oldest first.
QStringList RingLines(TestConsole& console) { return console.CommTrace().m_traceText.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts); }

QString TraceField(TestConsole& console, int id) { return FieldText(TraceWindow(console), id); }

void ShowComm(QWidget* console) {
  QTest::mouseClick(Control<QPushButton>(console, IDC_SHOW_COMM), Qt::LeftButton);
}

int OpenTraceWindows() {
  int open = 0;
  for (QWidget* window : QApplication::topLevelWidgets())
    if (window->isVisible() && window->property("controlId").toInt() == IDD_COMMTRACE) ++open;
  return open;
}

// A click as the window system delivers it: not to a window that a modal
// one blocks.
void ClickThroughWindow(QWidget* button) {
  QWidget* window = button->window();
  QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, button->mapTo(window, button->rect().center()));
}

// The slave address a "Send->" line of a report-slave-ID request names.
QString RequestLine(int address) {
  return QStringLiteral("Send->%1 11 ").arg(QStringLiteral("%1").arg(address, 2, 16, QLatin1Char('0')).toUpper());
}

}  // namespace

class TraceTest : public ConsoleTestBase {
  Q_OBJECT

 private Q_SLOTS:
  void openedBeforeAnyTransactionIsEmpty();
  void captionNamesTheLengthFraming_data();
  void captionNamesTheLengthFraming();
  void scanPaintsEachExchangeOldestFirst();
  void fifteenExchangesLeaveTheLastTwelve();
  void traceTooLongForTheFieldShowsItsEnd();
  void timeoutShowsAnEmptyRecvLine();
  void frozenWindowIgnoresTicksUntilPaintedOrUnfrozen();
  void showCommBringsTheWindowForwardKeepingItsSize_data();
  void showCommBringsTheWindowForwardKeepingItsSize();
  void closedAndReopenedWindowShowsTheSameRing();
  void escapeAndCloseBoxCloseItAsOkDoes();
  void dialogsOverTheConsoleLeaveTheTraceWindowWorking_data();
  void dialogsOverTheConsoleLeaveTheTraceWindowWorking();
  void countersOnlyGrowAndTheLastErrorStays();

};

void TraceTest::openedBeforeAnyTransactionIsEmpty() {
  TestConsole console;
  StartConsole(console);
  ShowComm(&console);
  QVERIFY(console.CommTrace().IsWindowOpen());
  QCOMPARE(console.Session().link.Trace().live, 1);
  QVERIFY(QTest::qWaitForWindowExposed(TraceWindow(console)));
  QCOMPARE(TraceWindow(console)->windowTitle(), QStringLiteral("Modbus Protocol Communication"));
  QCOMPARE(Control<QLabel>(TraceWindow(console), IDC_TRACE)->text(), QString());
  QCOMPARE(TraceField(console, IDC_OK_COUNT), QStringLiteral("0"));
  QCOMPARE(TraceField(console, IDC_BAD_COUNT), QStringLiteral("0"));
  QCOMPARE(TraceField(console, IDC_LAST_ERROR), QStringLiteral("Ok"));
  QCOMPARE(Control<QPushButton>(TraceWindow(console), IDC_FREEZE)->text(), QStringLiteral("Freeze"));
  QVERIFY(QFontInfo(Control<QLabel>(TraceWindow(console), IDC_TRACE)->font()).fixedPitch());

  ShowComm(&console);  // while live: the same window
  QCOMPARE(OpenTraceWindows(), 1);
}

void TraceTest::captionNamesTheLengthFraming_data() {
  QTest::addColumn<Framing>("framing");
  QTest::addColumn<QString>("caption");
  QTest::newRow("silence") << Framing::Silence << QStringLiteral("Modbus Protocol Communication");
  QTest::newRow("length") << Framing::Length << QStringLiteral("Modbus Protocol Communication (length framing)");
}

void TraceTest::captionNamesTheLengthFraming() {
  QFETCH(Framing, framing);
  QFETCH(QString, caption);
  TestConsole console;
  console.Session().link.SetSettings(LinkSettings{framing, {}, {}});
  StartConsole(console);
  ShowComm(&console);
  QVERIFY(QTest::qWaitForWindowExposed(TraceWindow(console)));
  QCOMPARE(TraceWindow(console)->windowTitle(), caption);
  QCOMPARE(TraceField(console, IDC_OK_COUNT), QStringLiteral("0"));  // the template's controls stay
}

void TraceTest::scanPaintsEachExchangeOldestFirst() {
  SimProcess sim({"--meter", "1:QM4A", "--meter", "2:QM4B", "--meter", "3:QM4C"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 4, 4);  // one silent address, to have the port open
  ShowComm(&console);
  QVERIFY(QTest::qWaitForWindowExposed(TraceWindow(console)));
  TypeInto(&console, IDC_SCAN_START, QStringLiteral("1"));
  TypeInto(&console, IDC_SCAN_END, QStringLiteral("3"));
  // What shows as the console paints its last step was painted by the
  // scan itself, which handles no event before it ends.
  QStringList lines;
  console.onPaint = [&lines, &console](const QString& firstLine) {
    if (firstLine == QStringLiteral("Searching: 3 of 3")) lines = TraceLines(console);
  };
  QTest::mouseClick(Control<QPushButton>(&console, IDC_RESCAN), Qt::LeftButton);
  QCOMPARE(lines.size(), 6);
  lines = TraceLines(console);
  QCOMPARE(lines.size(), 8);
  QVERIFY(lines[0].startsWith(RequestLine(4)));  // the first scan's silent address
  QCOMPARE(lines[1], QStringLiteral("Recv->"));
  for (int address = 1; address <= 3; ++address) {
    QVERIFY2(lines[2 * address].startsWith(RequestLine(address)), qPrintable(lines[2 * address]));
    QVERIFY(lines[2 * address + 1].startsWith(QStringLiteral("Recv->%1 11 ").arg(address, 2, 10, QLatin1Char('0'))));
  }
}

void TraceTest::fifteenExchangesLeaveTheLastTwelve() {
  std::vector<std::string> meters;
  for (int address = 1; address <= 15; ++address) {
    meters.push_back("--meter");
    meters.push_back(std::to_string(address) + ":QM4A");
  }
  SimProcess sim(meters);
  TestConsole console;
  StartConsole(console);
  ShowComm(&console);
  OpenSimulatorPort(console, sim, 1, 15);
  const QStringList lines = RingLines(console);
  QCOMPARE(lines.size(), 24);
  for (int entry = 0; entry < 12; ++entry) {
    const int address = entry + 4;
    QVERIFY2(lines[2 * entry].startsWith(RequestLine(address)), qPrintable(lines[2 * entry]));
    QVERIFY(lines[2 * entry + 1].startsWith(QStringLiteral("Recv->")));
  }
}

// Polls of 48 registers wrap to several lines each: twelve of them do not
// fit, and the field shows the newest whole lines, the last one the newest
// answer.
void TraceTest::traceTooLongForTheFieldShowsItsEnd() {
  SimProcess sim({"--meter", "3:QM4C"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 3);
  ShowComm(&console);
  for (int tick = 0; tick < 4; ++tick) console.Tick();
  QTRY_COMPARE(TraceField(console, IDC_OK_COUNT), QStringLiteral("12"));

  const QStringList ring = RingLines(console);
  QCOMPARE(ring.size(), 24);
  QVERIFY(ring.last().startsWith(QStringLiteral("Recv->03 03 ")));
  const QStringList shown = TraceLines(console);
  QVERIFY2(shown.size() < ring.size(), qPrintable(QString::number(shown.size())));
  QCOMPARE(shown, ring.mid(ring.size() - shown.size()));

  // It fits, and with one more line from the top it would not.
  QLabel* field = Control<QLabel>(TraceWindow(console), IDC_TRACE);
  QVERIFY(field->heightForWidth(field->width()) <= field->height());
  field->setText(ring.mid(ring.size() - shown.size() - 1).join(QLatin1Char('\n')));
  QVERIFY(field->heightForWidth(field->width()) > field->height());
}

void TraceTest::timeoutShowsAnEmptyRecvLine() {
  SimProcess sim({"--meter", "3:QM4B"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 3);
  ShowComm(&console);
  QCOMPARE(QString::fromStdString(sim.Command("fault 3 silent")), QStringLiteral("ok"));
  console.Tick();
  QTRY_COMPARE(TraceField(console, IDC_BAD_COUNT), QStringLiteral("1"));
  const QStringList lines = TraceLines(console);
  QCOMPARE(lines.size(), 4);
  QVERIFY(lines[2].startsWith(QStringLiteral("Send->03 03 01 02 00 30 ")));
  QCOMPARE(lines[3], QStringLiteral("Recv->"));
  QCOMPARE(TraceField(console, IDC_LAST_ERROR), QString::fromLatin1(ResultText(ResultTimeout)));
}

void TraceTest::frozenWindowIgnoresTicksUntilPaintedOrUnfrozen() {
  SimProcess sim({"--meter", "3:QM4B"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 3);
  ShowComm(&console);
  console.Tick();
  QTRY_COMPARE(TraceField(console, IDC_OK_COUNT), QStringLiteral("1"));

  QPushButton* freeze = Control<QPushButton>(TraceWindow(console), IDC_FREEZE);
  QTest::mouseClick(freeze, Qt::LeftButton);
  QCOMPARE(console.Session().link.Trace().live, 0);
  QVERIFY(freeze->isChecked());
  console.Tick();
  QTest::qWait(200);
  QCOMPARE(TraceField(console, IDC_OK_COUNT), QStringLiteral("1"));  // no paint was asked for

  // Show Comm while frozen: the same window, still frozen.
  QWidget* window = TraceWindow(console);
  ShowComm(&console);
  QCOMPARE(TraceWindow(console), window);
  QCOMPARE(OpenTraceWindows(), 1);
  QCOMPARE(console.Session().link.Trace().live, 0);

  // Uncovered: painted with what the ring holds now, frozen or not.
  window->repaint();
  QCOMPARE(TraceField(console, IDC_OK_COUNT), QStringLiteral("2"));

  QTest::mouseClick(freeze, Qt::LeftButton);
  QCOMPARE(console.Session().link.Trace().live, 1);
  QVERIFY(!freeze->isChecked());
  console.Tick();
  QTRY_COMPARE(TraceField(console, IDC_OK_COUNT), QStringLiteral("3"));
}

void TraceTest::showCommBringsTheWindowForwardKeepingItsSize_data() {
  QTest::addColumn<bool>("frozen");
  QTest::addColumn<int>("state");  // Qt::WindowStates the user left it in
  QTest::addColumn<int>("shown");  // and what Show Comm brings forward
  QTest::newRow("live, behind the console") << false << int(Qt::WindowNoState) << int(Qt::WindowNoState);
  QTest::newRow("maximised") << true << int(Qt::WindowMaximized) << int(Qt::WindowMaximized);
  QTest::newRow("minimised") << true << int(Qt::WindowMinimized) << int(Qt::WindowNoState);
  QTest::newRow("minimised from maximised")
      << true << int(Qt::WindowMinimized | Qt::WindowMaximized) << int(Qt::WindowMaximized);
}

void TraceTest::showCommBringsTheWindowForwardKeepingItsSize() {
  QFETCH(bool, frozen);
  QFETCH(int, state);
  QFETCH(int, shown);
  TestConsole console;
  StartConsole(console);
  ShowComm(&console);
  QWidget* window = TraceWindow(console);
  if (frozen) QTest::mouseClick(Control<QPushButton>(window, IDC_FREEZE), Qt::LeftButton);
  window->setWindowState(Qt::WindowStates(state));
  console.activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(&console));

  ShowComm(&console);
  QCOMPARE(TraceWindow(console), window);
  QCOMPARE(int(window->windowState() & ~Qt::WindowActive), shown);
  QVERIFY(QTest::qWaitForWindowActive(window));
  QCOMPARE(console.Session().link.Trace().live, frozen ? 0 : 1);
}

void TraceTest::closedAndReopenedWindowShowsTheSameRing() {
  SimProcess sim({"--meter", "3:QM4B"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 3);
  ShowComm(&console);
  console.Tick();
  QTRY_COMPARE(TraceField(console, IDC_OK_COUNT), QStringLiteral("1"));
  const QStringList shown = TraceLines(console);

  QTest::mouseClick(Control<QPushButton>(TraceWindow(console), IDOK), Qt::LeftButton);
  QVERIFY(!console.CommTrace().IsWindowOpen());
  QCOMPARE(console.Session().link.Trace().live, 0);
  console.Tick();  // counted, but there is no window to paint

  ShowComm(&console);
  QVERIFY(console.CommTrace().IsWindowOpen());
  QCOMPARE(console.Session().link.Trace().live, 1);
  QVERIFY(QTest::qWaitForWindowExposed(TraceWindow(console)));
  QTRY_COMPARE(TraceField(console, IDC_OK_COUNT), QStringLiteral("2"));
  QCOMPARE(TraceLines(console).mid(0, shown.size()), shown);
  QCOMPARE(OpenTraceWindows(), 1);
}

void TraceTest::escapeAndCloseBoxCloseItAsOkDoes() {
  TestConsole console;
  StartConsole(console);
  ShowComm(&console);
  QTest::keyClick(TraceWindow(console), Qt::Key_Escape);
  QVERIFY(!console.CommTrace().IsWindowOpen());
  QCOMPARE(console.Session().link.Trace().live, 0);

  ShowComm(&console);
  QVERIFY(console.CommTrace().IsWindowOpen());
  TraceWindow(console)->close();
  QVERIFY(!console.CommTrace().IsWindowOpen());
  QCOMPARE(console.Session().link.Trace().live, 0);
  QTest::qWait(50);  // the closed windows are deleted from the event loop
  QCOMPARE(OpenTraceWindows(), 0);
  QVERIFY(console.isVisible());
}

void TraceTest::dialogsOverTheConsoleLeaveTheTraceWindowWorking_data() {
  QTest::addColumn<QString>("opened");
  QTest::addColumn<QString>("caption");
  QTest::newRow("message box") << QStringLiteral("message box") << QStringLiteral("Pylax");
  QTest::newRow("about box") << QStringLiteral("about box") << QStringLiteral("About Pylax");
  QTest::newRow("logging window") << QStringLiteral("logging window") << QStringLiteral("Logging Setup and Download");
}

// The console runs as the program runs it (modally); a dialog over it blocks
// the console alone, so Freeze and Escape still reach the trace window.
void TraceTest::dialogsOverTheConsoleLeaveTheTraceWindowWorking() {
  QFETCH(QString, opened);
  QFETCH(QString, caption);
  SimProcess sim({"--meter", "3:QM4C"});
  const MessageHook hooked = SetMessageHook({});  // real message boxes
  TestConsole console;
  QString shownCaption;
  Qt::WindowModality modality = Qt::NonModal;
  bool frozen = false, traceClosed = false, consoleTookTheClick = true;
  const auto useTheTraceWindow = [&](QDialog* dialog) {
    shownCaption = dialog->windowTitle();
    modality = dialog->windowModality();
    ClickThroughWindow(Control<QPushButton>(TraceWindow(console), IDC_FREEZE));
    frozen = console.Session().link.Trace().live == 0;
    QTest::keyClick(TraceWindow(console)->windowHandle(), Qt::Key_Escape);
    traceClosed = !console.CommTrace().IsWindowOpen();
    ClickThroughWindow(Control<QPushButton>(&console, IDC_SHOW_COMM));
    consoleTookTheClick = console.CommTrace().IsWindowOpen();
    QTest::keyClick(dialog, Qt::Key_Escape);
  };
  WhenModalOpens<CDisclaimerDlg>(
      [](CDisclaimerDlg* terms) { QTest::mouseClick(Control<QPushButton>(terms, IDOK), Qt::LeftButton); });
  WhenModalOpens<CMeterConsoleDlg>([&](CMeterConsoleDlg*) {
    OpenSimulatorPort(console, sim, 3, 3);
    ShowComm(&console);
    QVERIFY(QTest::qWaitForWindowExposed(TraceWindow(console)));
    if (opened == QLatin1String("message box")) {
      TypeInto(&console, IDC_SCAN_START, QStringLiteral("abc"));
      WhenModalOpens<QDialog>(useTheTraceWindow);
      QTest::keyClick(Control<QLineEdit>(&console, IDC_SCAN_START), Qt::Key_Return);  // refused
      TypeInto(&console, IDC_SCAN_START, QStringLiteral("3"));
    } else if (opened == QLatin1String("about box")) {
      WhenModalOpens<QDialog>(useTheTraceWindow);
      console.OnSysCommand(CMeterConsoleDlg::kIdmAboutBox);
    } else {
      WhenModalOpens<QDialog>(useTheTraceWindow);
      QTest::mouseClick(Control<QPushButton>(&console, IDC_LOGGING), Qt::LeftButton);
    }
    QTest::mouseClick(Control<QPushButton>(&console, IDC_QUIT), Qt::LeftButton);
  });
  console.DoModal();
  SetMessageHook(hooked);

  QCOMPARE(shownCaption, caption);
  QCOMPARE(modality, Qt::WindowModal);
  QVERIFY(frozen);
  QVERIFY(traceClosed);
  QVERIFY(!consoleTookTheClick);
}

void TraceTest::countersOnlyGrowAndTheLastErrorStays() {
  SimProcess sim({"--meter", "3:QM4C"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 3);
  ShowComm(&console);
  QCOMPARE(QString::fromStdString(sim.Command("fault 3 badcrc 1")), QStringLiteral("ok"));
  console.Tick();  // reading block fails; clock and log status succeed
  QTRY_COMPARE(TraceField(console, IDC_BAD_COUNT), QStringLiteral("1"));
  QCOMPARE(TraceField(console, IDC_OK_COUNT), QStringLiteral("2"));
  QCOMPARE(TraceField(console, IDC_LAST_ERROR), QString::fromLatin1(ResultText(ResultCrc)));

  console.Tick();
  QTRY_COMPARE(TraceField(console, IDC_OK_COUNT), QStringLiteral("5"));
  QCOMPARE(TraceField(console, IDC_BAD_COUNT), QStringLiteral("1"));
  QCOMPARE(TraceField(console, IDC_LAST_ERROR), QString::fromLatin1(ResultText(ResultCrc)));

  // A scan's and a command's exchanges count nowhere.
  QTest::mouseClick(Control<QPushButton>(&console, IDC_RESCAN), Qt::LeftButton);
  MessageLog question;  // the reset's, answered Yes
  SetQuestionHook([](const QString&) { return true; });
  QTest::mouseClick(Control<QPushButton>(&console, IDC_RESET_KWH), Qt::LeftButton);
  SetQuestionHook({});
  QCOMPARE(console.Session().pollState.ok, 5);
  QCOMPARE(console.Session().pollState.bad, 1);
}

QTEST_MAIN(TraceTest)
#include "test_trace.moc"
