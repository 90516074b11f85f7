// The console's start-up, scan, poll display, device and phase selection,
// OK path and about item, driven by clicks and keys against qm4sim.

#include <QAction>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include "dialogs/CAboutDlg.h"
#include "dialogs/CDisclaimerDlg.h"
#include "console/CCloseUpComboBox.h"
#include "meter/meter_state.h"
#include "modbus/port_map.h"
#include "modbus/result.h"
#include "resources/app_resources.h"
#include "tests/gui/gui_support.h"
#include "tests/support/gateway_monitor.h"
#include "tests/support/sim_process.h"

namespace {

constexpr int kAllButtons[] = {IDC_KW_ALL, IDC_PF_ALL, IDC_VLL_ALL, IDC_VLN_ALL, IDC_AMPS_ALL};
constexpr int kReadingFields[] = {IDC_KWH, IDC_KW, IDC_PF, IDC_VOLTS_LL, IDC_VOLTS_LN, IDC_AMPS};
constexpr int kLoggingFields[] = {IDC_SUBINTERVAL, IDC_CLOCK,       IDC_BUFFER_STATUS, IDC_ROLLOVERS,
                                  IDC_DAYS_TO_ROLLOVER, IDC_LOG_ENTRIES, IDC_NEWEST_ENTRY};

QStringList ListLines(const QWidget* console) {
  QStringList lines;
  const QListWidget* list = Control<QListWidget>(console, IDC_DEVICES);
  for (int row = 0; row < list->count(); ++row) lines << list->item(row)->text();
  return lines;
}

int SelectedRow(const QWidget* console) {
  const QListWidget* list = Control<QListWidget>(console, IDC_DEVICES);
  const QList<QListWidgetItem*> selected = list->selectedItems();
  return selected.isEmpty() ? -1 : list->row(selected.front());
}

void ClickLine(QWidget* console, int row, Qt::KeyboardModifiers modifiers = {}) {
  QListWidget* list = Control<QListWidget>(console, IDC_DEVICES);
  const QRect rect = list->visualItemRect(list->item(row));
  QTest::mouseClick(list->viewport(), Qt::LeftButton, modifiers, rect.center());
}

void SetFloat(SimProcess& sim, int address, int registerAddress, double value) {
  QCOMPARE(QString::fromStdString(sim.Command("setfloat " + std::to_string(address) + " " +
                                              std::to_string(registerAddress) + " " + std::to_string(value))),
           QStringLiteral("ok"));
}

void SetRegister(SimProcess& sim, int address, int registerAddress, int value) {
  QCOMPARE(QString::fromStdString(sim.Command("set " + std::to_string(address) + " " +
                                              std::to_string(registerAddress) + " " + std::to_string(value))),
           QStringLiteral("ok"));
}

// The menu that the right mouse button opens on the console: its entries
// (a separator as "-"), then the entry with the given text is triggered, or
// the menu is left with Escape when none is given.
QStringList UseContextMenu(QWidget* console, const QString& choose = QString()) {
  QStringList entries;
  QTimer::singleShot(50, [&entries, choose] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (!menu) return;
    QAction* chosen = nullptr;
    for (QAction* action : menu->actions()) {
      entries << (action->isSeparator() ? QStringLiteral("-") : action->text());
      if (!choose.isEmpty() && action->text() == choose) chosen = action;
    }
    if (chosen) {
      menu->setActiveAction(chosen);
      QTest::keyClick(menu, Qt::Key_Return);
    } else {
      QTest::keyClick(menu, Qt::Key_Escape);
    }
  });
  const QPoint inside(console->width() - 20, console->height() - 20);
  QContextMenuEvent event(QContextMenuEvent::Mouse, inside, console->mapToGlobal(inside));
  QCoreApplication::sendEvent(console, &event);
  return entries;
}

}  // namespace

class ConsoleTest : public ConsoleTestBase {
  Q_OBJECT

 private Q_SLOTS:
  // First: the lock can be set up only once per process.
  void declineClosesTheConsoleUnshownWithoutTimerOrPhase();
  void acceptStartsTheTimerAndChecksEveryAll();
  void failedTimerIsReportedAndTheConsoleCarriesOn();
  void realTimerPollsEverySecond();
  void pollsThroughTheMonitorsGateway();
  void portHeldByAMonitorOffersItsGateway_data();
  void portHeldByAMonitorOffersItsGateway();
  void portChosenAtStartOpensScansAndPolls();

  void scanListsMetersInOrderAndSelectsTheFirstQuietly();
  void scanWithStartAboveEndAsksNobody();
  void scanOfOneAddressAsksItOnce();
  void scanTakesAnAddressAbove63();
  void scanPicksAFirstMeterNamingNoModel();
  void rescanWithoutPortSaysSoAndKeepsTheList();
  void inputMadeDuringAScanIsDropped_data();
  void inputMadeDuringAScanIsDropped();

  void selectionAbove63PicksNoAddress();
  void pickingAMeterClearsWhatItDoesNotProvideAtOnce_data();
  void pickingAMeterClearsWhatItDoesNotProvideAtOnce();

  void qm4cTickFillsEveryField();
  void qm4bTickFillsReadingsOnly();
  void qm4aTickFillsEnergyAndPowerOnly();
  void silentMeterIsCountedAndFieldsKeepTheirText();
  void fieldsLeftUnreadShowStaleUntilAGoodTick_data();
  void fieldsLeftUnreadShowStaleUntilAGoodTick();
  void lostPortIsSaidAndOpenedAgainWhenBack();
  void phaseClickClearsItsRowAndTheNextTickShowsThePhase();
  void ticksWithoutPortOrModelChangeNothing();

  void okPathRefusesAnOutOfRangeScanAddress();
  void okPathRefusesTextAndChecksStartBeforeEnd();
  void okPathWithOneAndTenClosesTheConsole();

  void aboutItemOpensTheAboutBox();
  void noAboutItemWithoutString101();

};

void ConsoleTest::declineClosesTheConsoleUnshownWithoutTimerOrPhase() {
  TestConsole console;
  WhenModalOpens<CDisclaimerDlg>(
      [](CDisclaimerDlg* terms) { QTest::mouseClick(Control<QPushButton>(terms, IDCANCEL), Qt::LeftButton); });
  QCOMPARE(console.DoModal(), int(IDOK));  // closed through its OK path
  QCOMPARE(console.showCount, 0);
  QCOMPARE(console.requestedPeriodMs, 0);
  QVERIFY(!console.Session().consoleStarted);
  for (QRadioButton* radio : console.findChildren<QRadioButton*>()) QVERIFY(!radio->isChecked());
}

void ConsoleTest::acceptStartsTheTimerAndChecksEveryAll() {
  TestConsole console;
  StartConsole(console);
  QCOMPARE(console.requestedPeriodMs, 1000);
  QVERIFY(console.Session().consoleStarted);
  for (int id : kAllButtons) QVERIFY(Control<QRadioButton>(&console, id)->isChecked());
  QCOMPARE(console.findChildren<QRadioButton*>().size(), 20);
  int checked = 0;
  for (const QRadioButton* radio : console.findChildren<QRadioButton*>()) checked += radio->isChecked();
  QCOMPARE(checked, 5);  // one per row: the rows are independent groups
  QCOMPARE(console.windowTitle(), QStringLiteral("Orvant Metering Demo Software"));
  QCOMPARE(Control<CCloseUpComboBox>(&console, IDC_BAUD_RATE)->currentText(), QStringLiteral("38400"));
  QCOMPARE(Control<CCloseUpComboBox>(&console, IDC_COM_PORT)->currentIndex(), -1);
  QCOMPARE(FieldText(&console, IDC_SCAN_START), QStringLiteral("1"));
  QCOMPARE(FieldText(&console, IDC_SCAN_END), QStringLiteral("10"));
  QVERIFY(!console.windowIcon().isNull());
}

void ConsoleTest::failedTimerIsReportedAndTheConsoleCarriesOn() {
  MessageLog messages;
  TestConsole console;
  console.timerMode = TestConsole::TimerMode::Fail;
  StartConsole(console);
  QCOMPARE(messages.texts, QStringList{QStringLiteral("Error: couldn't set up timer, try closing other programs")});
  QCOMPARE(messages.icons.front(), MessageIcon::None);
  QCOMPARE(messages.titles.front(), QStringLiteral("Pylax"));
  QVERIFY(console.Session().consoleStarted);
  QVERIFY(console.isVisible());
  for (int id : kAllButtons) QVERIFY(Control<QRadioButton>(&console, id)->isChecked());
}

void ConsoleTest::realTimerPollsEverySecond() {
  SimProcess sim({"--meter", "3:QM4C"});
  TestConsole console;
  console.timerMode = TestConsole::TimerMode::Real;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 3);
  QVERIFY(FieldText(&console, IDC_KWH).isEmpty());
  // Generous: the first tick is due one second after start-up.
  QTRY_VERIFY_WITH_TIMEOUT(!FieldText(&console, IDC_CLOCK).isEmpty(), 10000);
  QVERIFY(!FieldText(&console, IDC_KWH).isEmpty());
  QVERIFY(console.Session().pollState.ok >= 3);
}

// A bus that a polling monitor owns, reached through its gateway: the
// console scans and polls its meters as on a line of its own.
void ConsoleTest::pollsThroughTheMonitorsGateway() {
  SimProcess sim({"--static", "--meter", "3:QM4C", "--meter", "7:QM4A"});
  SetFloat(sim, 7, 258, 1234.5);
  GatewayMonitor monitor(sim.LinkPath(), "1");
  QVERIFY(monitor.Ready());
  TestConsole console;
  console.timerMode = TestConsole::TimerMode::Real;
  StartConsole(console);
  console.Session().ports.Set(1, monitor.PortName());
  TypeInto(&console, IDC_SCAN_START, QStringLiteral("3"));
  TypeInto(&console, IDC_SCAN_END, QStringLiteral("7"));
  ChooseFromList(Control<CCloseUpComboBox>(&console, IDC_COM_PORT), 0);
  QCOMPARE(ListLines(&console), (QStringList{QStringLiteral("03 - Orvant QM4C Power Meter"),
                                             QStringLiteral("07 - Orvant QM4A Power Meter")}));
  QTRY_VERIFY_WITH_TIMEOUT(!FieldText(&console, IDC_CLOCK).isEmpty(), 10000);
  ClickLine(&console, 1);
  QTRY_COMPARE_WITH_TIMEOUT(FieldText(&console, IDC_KWH), QStringLiteral("1234.500"), 10000);
}

void ConsoleTest::portHeldByAMonitorOffersItsGateway_data() {
  QTest::addColumn<bool>("yes");
  QTest::newRow("no: Rescan says why it cannot scan") << false;
  QTest::newRow("yes: COM1 is the gateway for the run") << true;
}

// The port a monitor holds: refused, said on the status line, and its
// gateway offered with one click, for this run only.
void ConsoleTest::portHeldByAMonitorOffersItsGateway() {
  QFETCH(bool, yes);
  SimProcess sim({"--static", "--meter", "3:QM4C", "--meter", "7:QM4A"});
  GatewayMonitor monitor(sim.LinkPath(), "1");
  QVERIFY(monitor.Ready());
  TestConsole console;
  StartConsole(console);
  console.Session().ports.Set(1, sim.LinkPath());
  TypeInto(&console, IDC_SCAN_START, QStringLiteral("3"));
  TypeInto(&console, IDC_SCAN_END, QStringLiteral("7"));
  MessageLog messages;
  QString question;
  SetQuestionHook([&](const QString& text) {
    question = text;
    return yes;
  });
  ChooseFromList(Control<CCloseUpComboBox>(&console, IDC_COM_PORT), 0);
  SetQuestionHook({});
  const QString held = QStringLiteral("%1 is in use by pylaxctl monitor (pid ").arg(QString::fromStdString(sim.LinkPath()));
  const QString offer = QStringLiteral("\n\nUse the monitor's gateway as COM1 for this session (COM1=%1)?");
  QVERIFY2(question.startsWith(QStringLiteral("Unable to open COM1:\n") + held) &&
               question.endsWith(offer.arg(QString::fromStdString(monitor.PortName()))),
           qPrintable(question));
  auto* baud = Control<CCloseUpComboBox>(&console, IDC_BAUD_RATE);
  if (yes) {
    QCOMPARE(ListLines(&console), (QStringList{QStringLiteral("03 - Orvant QM4C Power Meter"),
                                               QStringLiteral("07 - Orvant QM4A Power Meter")}));
    QCOMPARE(console.Session().ports.Resolve("COM1:"), monitor.PortName());
    QCOMPARE(LineStatus(&console), QString());
    QVERIFY(!baud->isEnabled());
    QCOMPARE(baud->toolTip(), QStringLiteral("The gateway's own line sets the baud rate."));
    return;
  }
  QCOMPARE(LineStatus(&console).section(QLatin1Char('\n'), 0, 0), QStringLiteral("COM1 not opened"));
  QVERIFY(console.findChild<QLabel*>(QStringLiteral("lineStatus"))->toolTip().startsWith(
      QStringLiteral("COM1 not opened\n") + held));
  QVERIFY(baud->isEnabled());
  messages.Clear();
  QTest::mouseClick(Control<QPushButton>(&console, IDC_RESCAN), Qt::LeftButton);
  QCOMPARE(messages.texts.size(), 1);
  QVERIFY2(messages.texts[0].startsWith(QStringLiteral("Cannot scan: COM1 could not be opened (") + held),
           qPrintable(messages.texts[0]));
  QVERIFY(messages.texts[0].endsWith(QStringLiteral("). Pick the port again once it is free, or another port.")));
}

// pylax --simulate: COM1 chosen once the console shows, as the user would
// choose it: the port opened, the default range scanned in view, the first
// meter polled.
void ConsoleTest::portChosenAtStartOpensScansAndPolls() {
  std::vector<std::string> meters{"--meter", "1:QM4C"};
  for (int address = 2; address <= 10; ++address) meters.insert(meters.end(), {"--meter", std::to_string(address) + ":QM4A"});
  SimProcess sim(meters);
  TestConsole console;
  console.Session().ports.Set(1, sim.LinkPath());
  console.timerMode = TestConsole::TimerMode::Real;
  console.ChoosePortOnceShown(0);
  WhenModalOpens<CDisclaimerDlg>(
      [](CDisclaimerDlg* terms) { QTest::mouseClick(Control<QPushButton>(terms, IDOK), Qt::LeftButton); });
  bool polled = false;
  QString port;
  QStringList lines;
  WhenModalOpens<CMeterConsoleDlg>([&](CMeterConsoleDlg*) {
    polled = QTest::qWaitFor([&console] { return !FieldText(&console, IDC_CLOCK).isEmpty(); }, 10000);
    port = Control<CCloseUpComboBox>(&console, IDC_COM_PORT)->currentText();
    lines = ListLines(&console);
    QTest::mouseClick(Control<QPushButton>(&console, IDC_QUIT), Qt::LeftButton);
  });
  console.DoModal();
  QVERIFY(polled);
  QCOMPARE(port, QStringLiteral("COM1"));
  QCOMPARE(lines.size(), 10);
  QCOMPARE(lines.front(), QStringLiteral("01 - Orvant QM4C Power Meter"));
  QVERIFY(console.paintedFirstLines.contains(QStringLiteral("Searching: 10 of 10")));
  QCOMPARE(console.Session().pickedMeter.address, 1);
  QVERIFY(console.Session().pollState.ok >= 3);
}

void ConsoleTest::scanListsMetersInOrderAndSelectsTheFirstQuietly() {
  SimProcess sim({"--meter", "3:QM4C", "--meter", "7:QM4A"});
  TestConsole console;
  StartConsole(console);
  QSignalSpy selections(Control<QListWidget>(&console, IDC_DEVICES), &QListWidget::itemSelectionChanged);
  console.paintedFirstLines.clear();
  OpenSimulatorPort(console, sim, 1, 10);

  QCOMPARE(ListLines(&console), (QStringList{QStringLiteral("03 - Orvant QM4C Power Meter"),
                                             QStringLiteral("07 - Orvant QM4A Power Meter")}));
  QCOMPARE(SelectedRow(&console), 0);
  QCOMPARE(console.Session().pickedMeter.address, 3);
  QCOMPARE(console.Session().pickedMeter.model, 3);
  QCOMPARE(selections.count(), 0);
  QCOMPARE(sim.TakeEvents(2, 2000), (std::vector<std::string>{"id 3", "id 7"}));

  // Each step was painted while the scan held the thread.
  const QStringList& painted = console.paintedFirstLines;
  QVERIFY(painted.contains(QStringLiteral("Searching...")));
  for (int address = 1; address <= 10; ++address)
    QVERIFY2(painted.contains(QStringLiteral("Searching: %1 of 10").arg(address)), qPrintable(painted.join('|')));
  QVERIFY(painted.indexOf(QStringLiteral("Searching: 1 of 10")) < painted.indexOf(QStringLiteral("Searching: 10 of 10")));
  QCOMPARE(painted.back(), QStringLiteral("03 - Orvant QM4C Power Meter"));
}

// Nobody listed: the scan says so, and the meter shown before is dropped.
void ConsoleTest::scanWithStartAboveEndAsksNobody() {
  SimProcess sim({"--meter", "3:QM4C"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 3);
  console.Tick();
  QVERIFY(!FieldText(&console, IDC_KWH).isEmpty());
  sim.TakeEvents(0, 0);

  TypeInto(&console, IDC_SCAN_START, QStringLiteral("5"));
  TypeInto(&console, IDC_SCAN_END, QStringLiteral("2"));
  console.paintedFirstLines.clear();
  QTest::mouseClick(Control<QPushButton>(&console, IDC_RESCAN), Qt::LeftButton);

  QVERIFY(ListLines(&console).isEmpty());
  QCOMPARE(LineStatus(&console), QStringLiteral("No meter answered at 5 to 2, 38400 baud"));
  for (int id : kReadingFields) QVERIFY(FieldText(&console, id).isEmpty());
  for (int id : kLoggingFields) QVERIFY(FieldText(&console, id).isEmpty());
  QVERIFY(sim.TakeEvents(0, 0).empty());
  QVERIFY(console.paintedFirstLines.contains(QStringLiteral("Searching...")));
  QVERIFY(!console.paintedFirstLines.join('|').contains(QStringLiteral("Searching:")));
  // The meter no longer listed is neither picked nor polled.
  QCOMPARE(console.Session().pickedMeter.address, -1);
  console.Tick();
  QVERIFY(sim.TakeEvents(0, 300).empty());
}

void ConsoleTest::scanOfOneAddressAsksItOnce() {
  SimProcess sim({"--meter", "5:QM4B"});
  TestConsole console;
  StartConsole(console);
  console.paintedFirstLines.clear();
  OpenSimulatorPort(console, sim, 5, 5);
  QCOMPARE(sim.TakeEvents(1, 2000), std::vector<std::string>{"id 5"});
  QVERIFY(console.paintedFirstLines.contains(QStringLiteral("Searching: 5 of 5")));
  QCOMPARE(ListLines(&console), QStringList{QStringLiteral("05 - Orvant QM4B Power Meter")});
  QCOMPARE(console.Session().pickedMeter.model, 2);
}

void ConsoleTest::scanTakesAnAddressAbove63() {
  SimProcess sim({"--meter", "100:QM4B"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 99, 100);
  QCOMPARE(ListLines(&console), QStringList{QStringLiteral("100 - Orvant QM4B Power Meter")});
  QCOMPARE(SelectedRow(&console), 0);
  QCOMPARE(console.Session().pickedMeter.address, 100);
  QCOMPARE(console.Session().pickedMeter.model, 2);
}

// Listed and selected with model 0; the ticks then read nothing from it.
void ConsoleTest::scanPicksAFirstMeterNamingNoModel() {
  SimProcess sim({"--meter", "4:QM4C", "--meter", "6:QM4A"});
  QCOMPARE(QString::fromStdString(sim.Command("idtext 4 Acme Flow Computer")), QStringLiteral("ok"));
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 1, 6);
  QCOMPARE(ListLines(&console),
           (QStringList{QStringLiteral("04 - Acme Flow Computer"), QStringLiteral("06 - Orvant QM4A Power Meter")}));
  QCOMPARE(SelectedRow(&console), 0);
  QCOMPARE(console.Session().pickedMeter.address, 4);
  QCOMPARE(console.Session().pickedMeter.model, 0);
  sim.TakeEvents(0, 0);
  console.Tick();
  QVERIFY(sim.TakeEvents(0, 300).empty());
}

void ConsoleTest::rescanWithoutPortSaysSoAndKeepsTheList() {
  SimProcess sim({"--meter", "3:QM4C"});
  TestConsole console;
  StartConsole(console);
  {
    MessageLog none;  // no port picked yet
    QTest::mouseClick(Control<QPushButton>(&console, IDC_RESCAN), Qt::LeftButton);
    QCOMPARE(none.texts, QStringList{QStringLiteral("Please select a COM port")});
  }
  OpenSimulatorPort(console, sim, 3, 3);
  console.Tick();
  const QString energy = FieldText(&console, IDC_KWH);
  QVERIFY(!energy.isEmpty());

  MessageLog messages;
  console.Session().ports.Set(2, "/nonexistent/tty");
  ChooseFromList(Control<CCloseUpComboBox>(&console, IDC_COM_PORT), 1);  // COM2 fails: no port open
  QVERIFY(!console.Session().link.IsOpen());
  messages.texts.clear();
  QTest::mouseClick(Control<QPushButton>(&console, IDC_RESCAN), Qt::LeftButton);
  // The port is picked: Rescan says why it cannot scan it.
  QCOMPARE(messages.texts, QStringList{QStringLiteral("Cannot scan: COM2 could not be opened (/nonexistent/tty does "
                                                      "not exist). Pick the port again once it is free, or another port.")});
  QCOMPARE(messages.icons.front(), MessageIcon::None);
  QCOMPARE(ListLines(&console), QStringList{QStringLiteral("03 - Orvant QM4C Power Meter")});
  QCOMPARE(FieldText(&console, IDC_KWH), energy);
}

void ConsoleTest::inputMadeDuringAScanIsDropped_data() {
  QTest::addColumn<bool>("click");  // else the Down key
  QTest::newRow("click on line 03") << true;
  QTest::newRow("Down key") << false;
}

// The scan holds the thread, so what the user does meanwhile waits in the
// queue: replayed afterwards, the click made on 03 would land on 04, which
// has taken its place once the progress line has gone.
void ConsoleTest::inputMadeDuringAScanIsDropped() {
  QFETCH(bool, click);
  SimProcess sim({"--meter", "3:QM4C", "--meter", "4:QM4A", "--meter", "5:QM4B"});
  TestConsole console;
  StartConsole(console);
  QListWidget* list = Control<QListWidget>(&console, IDC_DEVICES);
  bool queued = false;
  console.onPaint = [&](const QString& firstLine) {
    if (queued || firstLine != QStringLiteral("Searching: 5 of 5")) return;
    queued = true;
    if (click) {
      const QPoint at = list->visualItemRect(list->item(1)).center();
      const QPoint global = list->viewport()->mapToGlobal(at);
      QCoreApplication::postEvent(list->viewport(), new QMouseEvent(QEvent::MouseButtonPress, at, global, Qt::LeftButton,
                                                                    Qt::LeftButton, Qt::NoModifier));
      QCoreApplication::postEvent(list->viewport(), new QMouseEvent(QEvent::MouseButtonRelease, at, global,
                                                                    Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
    } else {
      QCoreApplication::postEvent(list, new QKeyEvent(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier));
    }
  };
  OpenSimulatorPort(console, sim, 3, 5);
  QVERIFY(queued);
  QTest::qWait(100);
  QCOMPARE(SelectedRow(&console), 0);
  QCOMPARE(console.Session().pickedMeter.address, 3);
  QCOMPARE(console.Session().pickedMeter.model, 3);
  QCOMPARE(console.paintedFirstLines.back(), QStringLiteral("03 - Orvant QM4C Power Meter"));
}

void ConsoleTest::selectionAbove63PicksNoAddress() {
  SimProcess sim({"--meter", "100:QM4B"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 100, 100);
  QCOMPARE(console.Session().pickedMeter.address, 100);

  // The user takes the selection away and picks the line again.
  ClickLine(&console, 0, Qt::ControlModifier);
  QCOMPARE(SelectedRow(&console), -1);
  QCOMPARE(console.Session().pickedMeter.address, -1);
  ClickLine(&console, 0);
  QCOMPARE(console.Session().pickedMeter.address, -1);  // 100 is beyond what a selection takes
  QCOMPARE(console.Session().pickedMeter.model, 2);

  sim.TakeEvents(0, 0);
  console.Tick();
  QCOMPARE(console.Session().pollState.bad, 1);
  QCOMPARE(console.Session().pollState.lastResult, int(ResultBadParameter));
  QVERIFY(sim.TakeEvents(0, 0).empty());  // refused before anything was sent
}

void ConsoleTest::pickingAMeterClearsWhatItDoesNotProvideAtOnce_data() {
  QTest::addColumn<int>("line");       // the device-list line clicked, or -1:
  QTest::addColumn<int>("scanStart");  // a rescan from this address instead
  QTest::addColumn<int>("model");
  QTest::newRow("QM4A clicked") << 1 << 0 << 1;
  QTest::newRow("QM4B clicked") << 2 << 0 << 2;
  QTest::newRow("rescan picks the QM4A") << -1 << 4 << 1;
}

// The QM4C's clock, sub-interval and log fields would otherwise go on
// showing its values as the new meter's.
void ConsoleTest::pickingAMeterClearsWhatItDoesNotProvideAtOnce() {
  QFETCH(int, line);
  QFETCH(int, scanStart);
  QFETCH(int, model);
  // A log with entries: an empty one has no newest entry to show.
  SimProcess sim({"--meter", "3:QM4C", "--meter", "4:QM4A", "--meter", "5:QM4B", "--prefill", "20"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 5);
  console.Tick();
  for (int id : kReadingFields) QVERIFY(!FieldText(&console, id).isEmpty());
  for (int id : kLoggingFields) QVERIFY(!FieldText(&console, id).isEmpty());

  console.paintedFirstLines.clear();
  if (line >= 0) {
    ClickLine(&console, line);
  } else {
    TypeInto(&console, IDC_SCAN_START, QString::number(scanStart));
    QTest::mouseClick(Control<QPushButton>(&console, IDC_RESCAN), Qt::LeftButton);
  }
  QCOMPARE(console.Session().pickedMeter.model, model);
  QVERIFY(!console.paintedFirstLines.isEmpty());  // painted before returning
  // Cleared; what the model lacks shows a dash.
  for (int id : kReadingFields)
    QCOMPARE(FieldText(&console, id), model == 1 && id != IDC_KWH && id != IDC_KW ? QStringLiteral("-") : QString());
  for (int id : kLoggingFields) QCOMPARE(FieldText(&console, id), QStringLiteral("-"));
}

void ConsoleTest::qm4cTickFillsEveryField() {
  SimProcess sim({"--static", "--meter", "3:QM4C"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 3);
  SetFloat(sim, 3, 258, 1234.5);  // kWh
  SetFloat(sim, 3, 260, 5.25);    // kW
  SetFloat(sim, 3, 266, 0.875);   // PF
  SetFloat(sim, 3, 268, 415.5);   // V L-L
  SetFloat(sim, 3, 270, 240.25);  // V L-N
  SetFloat(sim, 3, 272, 12.125);  // A
  SetRegister(sim, 3, 149, 300);
  QCOMPARE(QString::fromStdString(sim.Command("clock 3 2009 06 15 14 03 07")), QStringLiteral("ok"));
  SetRegister(sim, 3, 161, 17);
  SetRegister(sim, 3, 162, 123);
  SetRegister(sim, 3, 165, (5 << 8) | 3);    // 5 March
  SetRegister(sim, 3, 166, (14 << 8) | 123); // 2123, 14 h
  SetRegister(sim, 3, 167, (7 << 8) | 3);    // 14:03:07
  const int okBefore = console.Session().pollState.ok;
  console.Tick();

  QCOMPARE(console.Session().pollState.ok, okBefore + 3);
  QCOMPARE(FieldText(&console, IDC_KWH), QStringLiteral("1234.500"));
  QCOMPARE(FieldText(&console, IDC_KW), QStringLiteral("5.250"));
  QCOMPARE(FieldText(&console, IDC_PF), QStringLiteral("0.875"));
  QCOMPARE(FieldText(&console, IDC_VOLTS_LL), QStringLiteral("415.500"));
  QCOMPARE(FieldText(&console, IDC_VOLTS_LN), QStringLiteral("240.250"));
  QCOMPARE(FieldText(&console, IDC_AMPS), QStringLiteral("12.125"));
  QCOMPARE(FieldText(&console, IDC_SUBINTERVAL), QStringLiteral("300"));
  QVERIFY2(FieldText(&console, IDC_CLOCK).startsWith(QStringLiteral("6/15/2009  14:0")),
           qPrintable(FieldText(&console, IDC_CLOCK)));
  QCOMPARE(FieldText(&console, IDC_DAYS_TO_ROLLOVER), QStringLiteral("17"));
  QCOMPARE(FieldText(&console, IDC_NEWEST_ENTRY), QStringLiteral("3/5/2123  14:03:07"));
  QCOMPARE(FieldText(&console, IDC_ROLLOVERS), QStringLiteral("0"));
  QCOMPARE(FieldText(&console, IDC_BUFFER_STATUS), QStringLiteral("NOT FULL"));
  QCOMPARE(FieldText(&console, IDC_LOG_ENTRIES), QStringLiteral("123"));

  SetRegister(sim, 3, 160, 2);
  console.Tick();
  QCOMPARE(FieldText(&console, IDC_ROLLOVERS), QStringLiteral("2"));
  QCOMPARE(FieldText(&console, IDC_BUFFER_STATUS), QStringLiteral("FULL"));
  QCOMPARE(FieldText(&console, IDC_LOG_ENTRIES), QStringLiteral("5760"));
  QVERIFY(FieldText(&console, IDC_START_KWH).isEmpty());
  QVERIFY(FieldText(&console, IDC_PULSE_COUNT).isEmpty());
}

void ConsoleTest::qm4bTickFillsReadingsOnly() {
  SimProcess sim({"--static", "--meter", "9:QM4B"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 9, 9);
  SetFloat(sim, 9, 272, 7.5);
  sim.TakeEvents(0, 0);
  console.Tick();
  QCOMPARE(sim.TakeEvents(1, 2000), std::vector<std::string>{"read 9 258 48"});
  QCOMPARE(FieldText(&console, IDC_AMPS), QStringLiteral("7.500"));
  for (int id : kReadingFields) QVERIFY(!FieldText(&console, id).isEmpty());
  for (int id : kLoggingFields) QCOMPARE(FieldText(&console, id), QStringLiteral("-"));
}

void ConsoleTest::qm4aTickFillsEnergyAndPowerOnly() {
  SimProcess sim({"--static", "--meter", "7:QM4A"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 7, 7);
  SetFloat(sim, 7, 258, 42.0);
  SetFloat(sim, 7, 260, 1.5);
  console.Tick();
  QCOMPARE(FieldText(&console, IDC_KWH), QStringLiteral("42.000"));
  QCOMPARE(FieldText(&console, IDC_KW), QStringLiteral("1.500"));
  for (int id : {IDC_PF, IDC_VOLTS_LL, IDC_VOLTS_LN, IDC_AMPS}) QCOMPARE(FieldText(&console, id), QStringLiteral("-"));
  for (int id : kLoggingFields) QCOMPARE(FieldText(&console, id), QStringLiteral("-"));
}

void ConsoleTest::silentMeterIsCountedAndFieldsKeepTheirText() {
  SimProcess sim({"--meter", "3:QM4C"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 3);
  console.Tick();
  QStringList before;
  for (int id : kReadingFields) before << FieldText(&console, id);
  for (int id : kLoggingFields) before << FieldText(&console, id);
  const int ok = console.Session().pollState.ok;
  const int bad = console.Session().pollState.bad;

  QCOMPARE(QString::fromStdString(sim.Command("fault 3 silent")), QStringLiteral("ok"));
  console.Tick();
  QCOMPARE(console.Session().pollState.bad, bad + 1);  // the reading block; the failed clock block is counted nowhere
  QCOMPARE(console.Session().pollState.ok, ok);
  QCOMPARE(console.Session().pollState.lastResult, int(ResultTimeout));
  QStringList after;
  for (int id : kReadingFields) after << FieldText(&console, id);
  for (int id : kLoggingFields) after << FieldText(&console, id);
  QCOMPARE(after, before);
}

// The thirteen fields a QM4C's poll fills: the reading block's six, the
// clock block's two, the log status block's five.
const QList<int> kPolledFields = QList<int>(std::begin(kReadingFields), std::end(kReadingFields)) +
                                 QList<int>(std::begin(kLoggingFields), std::end(kLoggingFields));

// A field shows stale when its text is greyed as a disabled field's is.
QList<int> StaleFields(const QWidget* console) {
  QList<int> stale;
  for (int id : kPolledFields) {
    const QPalette& palette = Control<QLineEdit>(console, id)->palette();
    if (palette.color(QPalette::Active, QPalette::Text) == palette.color(QPalette::Disabled, QPalette::Text))
      stale << id;
  }
  return stale;
}

void ConsoleTest::fieldsLeftUnreadShowStaleUntilAGoodTick_data() {
  QTest::addColumn<QString>("fault");  // to qm4sim; "port" for a port that fails to open
  QTest::addColumn<QList<int>>("stale");
  QTest::addColumn<bool>("silent");  // the status line says since when
  QTest::newRow("meter silent") << QStringLiteral("fault 3 silent") << kPolledFields << true;
  QTest::newRow("reading block refused") << QStringLiteral("fault 3 exception 0 at 258") << kPolledFields.mid(0, 6)
                                         << false;
  QTest::newRow("clock block refused") << QStringLiteral("fault 3 exception 0 at 149") << kPolledFields.mid(6) << false;
  QTest::newRow("log status refused") << QStringLiteral("fault 3 exception 0 at 159") << kPolledFields.mid(8) << false;
  QTest::newRow("port closed") << QStringLiteral("port") << kPolledFields << false;
}

// From the first tick that could not read a field until one that does, the
// field keeps its text but shows it greyed; a meter that answers nothing is
// said to be silent since the end of the first such tick.
void ConsoleTest::fieldsLeftUnreadShowStaleUntilAGoodTick() {
  QFETCH(QString, fault);
  QFETCH(QList<int>, stale);
  QFETCH(bool, silent);
  SimProcess sim({"--static", "--meter", "3:QM4C"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 3);
  console.Tick();
  QCOMPARE(StaleFields(&console), QList<int>{});
  const auto texts = [&console] {
    QStringList all;
    for (int id : kPolledFields) all << FieldText(&console, id);
    return all;
  };
  const QStringList before = texts();
  MessageLog messages;  // "Unable to open COM2:"
  if (fault == QLatin1String("port")) {
    console.Session().ports.Set(2, "/nonexistent/tty");
    ChooseFromList(Control<CCloseUpComboBox>(&console, IDC_COM_PORT), 1);
  } else {
    QCOMPARE(QString::fromStdString(sim.Command(fault.toStdString())), QStringLiteral("ok"));
  }
  const QTime from = QTime::currentTime().addMSecs(-1000);  // the status names whole seconds
  QString said;  // after the first tick, and no different after the second
  for (int tick = 0; tick < 2; ++tick) {
    console.Tick();
    if (tick == 0) said = LineStatus(&console);
    QCOMPARE(StaleFields(&console), stale);
    QCOMPARE(texts(), before);
    QCOMPARE(LineStatus(&console), said);
  }
  const QString port = QStringLiteral("COM2 not opened\n/nonexi");  // the refused open, said until the next
  QCOMPARE(said.left(23), silent ? QStringLiteral("03 not answering since ") : fault == QLatin1String("port") ? port : QString());
  const QTime since = QTime::fromString(said.mid(23), QStringLiteral("HH:mm:ss"));
  QVERIFY2(!silent || (since > from && since <= QTime::currentTime()), qPrintable(said));
  if (fault == QLatin1String("port"))
    OpenSimulatorPort(console, sim, 3, 3);
  else
    QCOMPARE(QString::fromStdString(sim.Command("fault 3 none")), QStringLiteral("ok"));
  console.Tick();
  QCOMPARE(StaleFields(&console), QList<int>{});
  QCOMPARE(LineStatus(&console), QString());
}

// The simulator ended under a polling console and started again behind the
// same path: the port is said to be lost meanwhile, and the readings come
// back without a click.
void ConsoleTest::lostPortIsSaidAndOpenedAgainWhenBack() {
  const QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("bus"));
  const auto startSim = [&path] {
    auto sim = std::make_unique<SimProcess>(std::vector<std::string>{"--meter", "3:QM4C"});
    QFile::remove(path);
    QFile::link(QString::fromStdString(sim->LinkPath()), path);
    return sim;
  };
  std::unique_ptr<SimProcess> sim = startSim();
  TestConsole console;
  console.timerMode = TestConsole::TimerMode::Real;
  StartConsole(console);
  OpenSimulatorPort(console, path.toStdString(), 3, 3);
  QTRY_VERIFY_WITH_TIMEOUT(!FieldText(&console, IDC_CLOCK).isEmpty(), 10000);

  auto* line = console.findChild<QLabel*>(QStringLiteral("lineStatus"));
  const QColor plain = line->palette().color(QPalette::WindowText);
  sim.reset();
  // The state first, in red; the device's words next, whole in the tooltip.
  const QString gone = QStringLiteral("%1 has gone away (unplugged, or the program behind it ended)").arg(path);
  QTRY_COMPARE_WITH_TIMEOUT(line->toolTip(), QStringLiteral("COM1 lost: trying again every 3 s\n") + gone, 5000);
  QCOMPARE(LineStatus(&console).section(QLatin1Char('\n'), 0, 0), QStringLiteral("COM1 lost: trying again every 3 s"));
  QVERIFY(gone.startsWith(LineStatus(&console).section(QLatin1Char('\n'), 1).remove(QChar(0x2026))));
  const QColor trouble = line->palette().color(QPalette::WindowText);
  QVERIFY2(trouble.red() > 2 * trouble.green() && trouble.red() > 2 * trouble.blue(), qPrintable(trouble.name()));
  // Rescan while it is gone scans nothing, keeps the meter and says it waits.
  MessageLog messages;
  QTest::mouseClick(Control<QPushButton>(&console, IDC_RESCAN), Qt::LeftButton);
  QCOMPARE(messages.texts, QStringList{});
  QCOMPARE(LineStatus(&console).section(QLatin1Char('\n'), 0, 0),
           QStringLiteral("COM1 lost: Rescan waits for it, trying again every 3 s"));
  QCOMPARE(Control<QListWidget>(&console, IDC_DEVICES)->count(), 1);
  QCOMPARE(console.Session().pickedMeter.address, 3);

  sim = startSim();
  QTRY_COMPARE_WITH_TIMEOUT(StaleFields(&console), QList<int>{}, 10000);
  QCOMPARE(LineStatus(&console), QString());
  QCOMPARE(line->palette().color(QPalette::WindowText), plain);

  // Lost again, a Rescan once it is back reopens it at once and scans.
  sim.reset();
  QTRY_VERIFY_WITH_TIMEOUT(!LineStatus(&console).isEmpty(), 5000);
  sim = startSim();
  QTest::mouseClick(Control<QPushButton>(&console, IDC_RESCAN), Qt::LeftButton);
  QCOMPARE(LineStatus(&console), QString());
  QCOMPARE(Control<QListWidget>(&console, IDC_DEVICES)->count(), 1);
}

void ConsoleTest::phaseClickClearsItsRowAndTheNextTickShowsThePhase() {
  SimProcess sim({"--static", "--meter", "3:QM4B"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 3);
  SetFloat(sim, 3, 268, 400.0);  // V L-L
  SetFloat(sim, 3, 288, 415.5);  // V-BC
  console.Tick();
  QCOMPARE(FieldText(&console, IDC_VOLTS_LL), QStringLiteral("400.000"));
  const QString amps = FieldText(&console, IDC_AMPS);

  QTest::mouseClick(Control<QRadioButton>(&console, IDC_VLL_ALL + 2), Qt::LeftButton);  // "B"
  QVERIFY(Control<QRadioButton>(&console, IDC_VLL_ALL + 2)->isChecked());
  QVERIFY(!Control<QRadioButton>(&console, IDC_VLL_ALL)->isChecked());
  QVERIFY(Control<QRadioButton>(&console, IDC_KW_ALL)->isChecked());  // another row's choice stays
  QCOMPARE(console.Session().phaseOffset[RowVoltsLL], 30);

  // While the meter does not answer, the cleared row shows empty at the refresh.
  QCOMPARE(QString::fromStdString(sim.Command("fault 3 silent 1")), QStringLiteral("ok"));
  console.Tick();
  QVERIFY(FieldText(&console, IDC_VOLTS_LL).isEmpty());
  QCOMPARE(FieldText(&console, IDC_AMPS), amps);

  sim.TakeEvents(0, 0);
  console.Tick();
  QCOMPARE(FieldText(&console, IDC_VOLTS_LL), QStringLiteral("415.500"));
  QCOMPARE(sim.TakeEvents(1, 2000), std::vector<std::string>{"read 3 258 48"});  // same request
}

void ConsoleTest::ticksWithoutPortOrModelChangeNothing() {
  SimProcess sim({"--meter", "3:QM4C", "--meter", "5:QM4A"});
  QCOMPARE(sim.Command("idtext 5 Foreign device"), std::string("ok"));
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 5);

  // A device naming no model: picked with model 0, and a tick neither reads
  // nor refreshes (a refresh would overwrite what is typed in a field).
  ClickLine(&console, 1);
  QCOMPARE(console.Session().pickedMeter.address, 5);
  QCOMPARE(console.Session().pickedMeter.model, 0);
  TypeInto(&console, IDC_KWH, QStringLiteral("typed"));
  sim.TakeEvents(0, 0);
  console.Tick();
  QCOMPARE(FieldText(&console, IDC_KWH), QStringLiteral("typed"));
  QVERIFY(sim.TakeEvents(0, 0).empty());
  QCOMPARE(console.Session().pollState.ok + console.Session().pollState.bad, 0);

  // The QM4C again, but no port open.
  ClickLine(&console, 0);
  QCOMPARE(console.Session().pickedMeter.model, 3);
  console.Session().ports.Set(2, "/nonexistent/tty");
  MessageLog messages;
  ChooseFromList(Control<CCloseUpComboBox>(&console, IDC_COM_PORT), 1);
  QVERIFY(!console.Session().link.IsOpen());
  TypeInto(&console, IDC_KWH, QStringLiteral("typed"));
  console.Tick();
  QCOMPARE(FieldText(&console, IDC_KWH), QStringLiteral("typed"));
  QCOMPARE(console.Session().pollState.ok + console.Session().pollState.bad, 0);
}

void ConsoleTest::okPathRefusesAnOutOfRangeScanAddress() {
  MessageLog messages;
  TestConsole console;
  StartConsole(console);
  TypeInto(&console, IDC_SCAN_START, QStringLiteral("300"));
  QTest::keyClick(Control<QLineEdit>(&console, IDC_SCAN_START), Qt::Key_Return);
  QCOMPARE(messages.texts, QStringList{QStringLiteral("Please enter an integer between 1 and 256.")});
  QCOMPARE(messages.icons.front(), MessageIcon::Exclamation);
  QVERIFY(console.isVisible());
  QLineEdit* start = Control<QLineEdit>(&console, IDC_SCAN_START);
  QCOMPARE(QApplication::focusWidget(), start);
  QCOMPARE(start->selectedText(), QStringLiteral("300"));

  messages.texts.clear();
  TypeInto(&console, IDC_SCAN_START, QStringLiteral("256"));
  TypeInto(&console, IDC_SCAN_END, QStringLiteral("0"));
  QTest::mouseClick(Control<QPushButton>(&console, IDC_QUIT), Qt::LeftButton);
  QCOMPARE(messages.texts, QStringList{QStringLiteral("Please enter an integer between 1 and 256.")});
  QCOMPARE(QApplication::focusWidget(), Control<QLineEdit>(&console, IDC_SCAN_END));
  QVERIFY(console.isVisible());
}

void ConsoleTest::okPathRefusesTextAndChecksStartBeforeEnd() {
  MessageLog messages;
  TestConsole console;
  StartConsole(console);
  TypeInto(&console, IDC_SCAN_START, QStringLiteral("abc"));
  TypeInto(&console, IDC_SCAN_END, QStringLiteral("-5"));
  QTest::keyClick(Control<QLineEdit>(&console, IDC_SCAN_END), Qt::Key_Return);
  QCOMPARE(messages.texts, QStringList{QStringLiteral("Please enter a positive integer.")});
  QCOMPARE(messages.icons.front(), MessageIcon::Exclamation);
  QCOMPARE(QApplication::focusWidget(), Control<QLineEdit>(&console, IDC_SCAN_START));
  QCOMPARE(Control<QLineEdit>(&console, IDC_SCAN_START)->selectedText(), QStringLiteral("abc"));

  messages.texts.clear();
  TypeInto(&console, IDC_SCAN_START, QStringLiteral("4"));
  QTest::keyClick(Control<QLineEdit>(&console, IDC_SCAN_START), Qt::Key_Return);
  QCOMPARE(messages.texts, QStringList{QStringLiteral("Please enter a positive integer.")});
  QCOMPARE(QApplication::focusWidget(), Control<QLineEdit>(&console, IDC_SCAN_END));
  QVERIFY(console.isVisible());
}

void ConsoleTest::okPathWithOneAndTenClosesTheConsole() {
  MessageLog messages;
  TestConsole console;
  StartConsole(console);
  TypeInto(&console, IDC_SCAN_START, QStringLiteral("1"));
  TypeInto(&console, IDC_SCAN_END, QStringLiteral("10"));
  QTest::keyClick(Control<QLineEdit>(&console, IDC_SCAN_END), Qt::Key_Return);
  QVERIFY(messages.texts.isEmpty());
  QVERIFY(!console.isVisible());
  QCOMPARE(console.result(), int(QDialog::Accepted));
  QCOMPARE(console.ScanStart(), 1u);
  QCOMPARE(console.ScanEnd(), 10u);
}

void ConsoleTest::aboutItemOpensTheAboutBox() {
  TestConsole console;
  StartConsole(console);
  bool aboutShown = false;
  WhenModalOpens<CAboutDlg>([&aboutShown](CAboutDlg* about) {
    aboutShown = true;
    QTest::keyClick(about, Qt::Key_Escape);
  });
  const QStringList entries = UseContextMenu(&console, QStringLiteral("&About Pylax..."));
  QVERIFY(entries.size() >= 3);
  QCOMPARE(entries.mid(entries.size() - 3), (QStringList{QStringLiteral("-"), QStringLiteral("&About Pylax..."),
                                                         QStringLiteral("&Trend...\tCtrl+T")}));
  QVERIFY(aboutShown);

  // The low four bits of a system command are not the command's own.
  aboutShown = false;
  WhenModalOpens<CAboutDlg>([&aboutShown](CAboutDlg* about) {
    aboutShown = true;
    QTest::keyClick(about, Qt::Key_Return);
  });
  console.OnSysCommand(0x0013);
  QVERIFY(aboutShown);
  QVERIFY(console.isVisible());
}

void ConsoleTest::noAboutItemWithoutString101() {
  SetResourceString(IDS_ABOUTBOX, QString());
  TestConsole console;
  StartConsole(console);
  const QStringList entries = UseContextMenu(&console);
  QVERIFY(!entries.isEmpty());
  QVERIFY(!entries.contains(QStringLiteral("-")));
  QVERIFY(!entries.contains(QStringLiteral("&About Pylax...")));
}

QTEST_MAIN(ConsoleTest)
#include "test_console.moc"
