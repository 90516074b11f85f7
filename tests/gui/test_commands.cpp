// The console's commands and settings: what reaches the meter, the port and
// baud lists acting on close-up, the scan-range fields, the logging window's
// poll suspension, the hidden controls and the shut-down.

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <ctime>
#include <memory>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "dialogs/CAboutDlg.h"
#include "dialogs/CDisclaimerDlg.h"
#include "console/CCloseUpComboBox.h"
#include "console/CCommTraceDlg.h"
#include "bus/commands.h"
#include "meter/meter_state.h"
#include "logging/CLoggingDlg.h"
#include "modbus/port_map.h"
#include "tests/gui/gui_support.h"
#include "tests/support/gateway_monitor.h"
#include "tests/support/sim_process.h"

namespace {

using Events = std::vector<std::string>;

void Click(QWidget* console, int id) { QTest::mouseClick(Control<QPushButton>(console, id), Qt::LeftButton); }

speed_t PortSpeed(const ModbusLink& link) {
  termios settings{};
  if (tcgetattr(link.Descriptor(), &settings) != 0) return B0;
  return cfgetospeed(&settings);
}

// The port is opened close-on-exec; clearing that flag marks the descriptor
// of this opening, so a later check tells whether the port was opened anew
// (the new descriptor may well get the same number).
void MarkPortDescriptor(const ModbusLink& link) { fcntl(link.Descriptor(), F_SETFD, 0); }
bool PortDescriptorMarked(const ModbusLink& link) { return (fcntl(link.Descriptor(), F_GETFD) & FD_CLOEXEC) == 0; }

// The local time a meter timestamp written by Set Clock stands for.
time_t WrittenTime(int dayMonth, int hourYear, int secondMinute) {
  tm local{};
  local.tm_mon = (dayMonth & 0xFF) - 1;
  local.tm_mday = dayMonth >> 8;
  local.tm_year = (hourYear & 0xFF) + 100;
  local.tm_hour = hourYear >> 8;
  local.tm_min = secondMinute & 0xFF;
  local.tm_sec = secondMinute >> 8;
  local.tm_isdst = -1;
  return mktime(&local);
}

int WrittenValue(const std::string& event, const std::string& prefix) {
  if (event.rfind(prefix, 0) != 0) return -1;
  return std::stoi(event.substr(prefix.size()));
}

}  // namespace

class CommandsTest : public ConsoleTestBase {
  Q_OBJECT

 private Q_SLOTS:
  void resetKwhAsksFirst_data();
  void resetKwhAsksFirst();
  void failedWriteIsSaidOnTheStatusLine_data();
  void failedWriteIsSaidOnTheStatusLine();
  void setClockWritesThePcTimeInThreeWrites();
  void setClockForAFixedTimeWritesItsThreeValues();
  void commandsWithoutTheirNeedsSendNothing();
  void whatAModelLacksIsGreyedWithADash_data();
  void whatAModelLacksIsGreyedWithADash();
  void loggingWindowSuspendsThePollWhileItIsOpen();
  void dialogsOpenCentredOnTheConsole_data();
  void dialogsOpenCentredOnTheConsole();

  void baudChangeReopensThePortWithoutAScan();
  void baudChangeLeavesThePortClosedWhenItCannotReopen();
  void baudChosenBeforeAnyPortTakesEffectWithThePort();
  void choosingTheOpenPortAgainReopensAndRescans();
  void portThatCannotOpenIsReportedByItsName();
  void noPortChosenIsCom0();
  void portListShowsWhatEachEntryMapsTo();

  void scanFieldsTakeSignedNumbersAndShowThemUnsigned();
  void tickLeavesAScanFieldBeingTypedIn_data();
  void tickLeavesAScanFieldBeingTypedIn();
  void hiddenControlsArePresentHiddenAndInert();
  void escapeClosesWithoutCheckingTheFields();
  void shutDownClosesThePortAndTheTraceWindow();

};

void CommandsTest::resetKwhAsksFirst_data() {
  QTest::addColumn<bool>("yes");  // yes: the reset is written
  QTest::addColumn<int>("ticks");  // polls before the click: none, no reading to name
  QTest::addColumn<QString>("question");
  const QString now = QStringLiteral("Reset the kWh of meter 09 (QM4B), now 21,809.2 kWh, to 0? This cannot be undone.");
  QTest::newRow("no leaves it") << false << 1 << now;
  QTest::newRow("yes resets") << true << 1 << now;
  QTest::newRow("no reading yet") << true << 0
                                  << QStringLiteral("Reset the kWh of meter 09 (QM4B) to 0? This cannot be undone.");
}

// One click must not erase a billing counter.
void CommandsTest::resetKwhAsksFirst() {
  QFETCH(bool, yes);
  QFETCH(int, ticks);
  QFETCH(QString, question);
  SimProcess sim({"--static", "--meter", "9:QM4B"});
  QCOMPARE(sim.Command("setfloat 9 258 21809.2"), std::string("ok"));
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 9, 9);
  for (int tick = 0; tick < ticks; ++tick) console.Tick();
  sim.TakeEvents(0, 0);
  MessageLog messages;
  SetQuestionHook([yes](const QString&) { return yes; });
  Click(&console, IDC_RESET_KWH);
  SetQuestionHook({});
  QCOMPARE(messages.texts, QStringList{question});
  const Events expected = yes ? Events{"write 9 128 30078"} : Events{};
  QCOMPARE(sim.TakeEvents(expected.size(), yes ? 2000 : 300), expected);
}

void CommandsTest::failedWriteIsSaidOnTheStatusLine_data() {
  QTest::addColumn<int>("button");
  QTest::addColumn<QString>("fault");
  QTest::addColumn<QString>("said");
  const QString clock = QStringLiteral("Set Clock failed\n"), reset = QStringLiteral("Reset kWH failed\n");
  const QString timeout = QStringLiteral("Err #1, Timeout Waiting For Response");
  QTest::newRow("set clock, meter silent") << int(IDC_SET_CLOCK) << QStringLiteral("silent") << clock + timeout;
  QTest::newRow("reset, meter silent") << int(IDC_RESET_KWH) << QStringLiteral("silent") << reset + timeout;
  QTest::newRow("set clock refused") << int(IDC_SET_CLOCK) << QStringLiteral("exception")
                                     << clock + QStringLiteral("Err #4, Exception Response from Modbus Device");
  QTest::newRow("set clock done") << int(IDC_SET_CLOCK) << QStringLiteral("none") << QString();
  QTest::newRow("gateway takes no writes") << int(IDC_RESET_KWH) << QStringLiteral("gateway")
                                           << reset + QStringLiteral("the gateway at %1 refused the write (exception "
                                                                     "01): it serves reads only; its monitor needs "
                                                                     "--gateway-writes");
}

// A failed write that looks done is a failure reported as success.
void CommandsTest::failedWriteIsSaidOnTheStatusLine() {
  QFETCH(int, button);
  QFETCH(QString, fault);
  QFETCH(QString, said);
  SimProcess sim({"--meter", "3:QM4C"});
  // A monitor's gateway that serves reads only, reached as COM1.
  std::unique_ptr<GatewayMonitor> monitor;
  if (fault == QLatin1String("gateway")) monitor = std::make_unique<GatewayMonitor>(sim.LinkPath(), "1", false);
  TestConsole console;
  StartConsole(console);
  if (monitor) {
    QVERIFY(monitor->Ready());
    OpenSimulatorPort(console, monitor->PortName(), 3, 3);
    said = said.arg(QString::fromStdString(monitor->Address()));
  } else {
    OpenSimulatorPort(console, sim, 3, 3);
    QCOMPARE(sim.Command("fault 3 " + fault.toStdString()), std::string("ok"));
  }
  SetQuestionHook([](const QString&) { return true; });
  MessageLog questions;
  Click(&console, button);
  SetQuestionHook({});
  // Whole in the tooltip; on the line, cut where it does not fit.
  QCOMPARE(console.findChild<QLabel*>(QStringLiteral("lineStatus"))->toolTip(), said);
  QCOMPARE(LineStatus(&console).section(QLatin1Char('\n'), 0, 0), said.section(QLatin1Char('\n'), 0, 0));
  const QString shown = LineStatus(&console).section(QLatin1Char('\n'), 1).remove(QChar(0x2026));
  QVERIFY(said.section(QLatin1Char('\n'), 1).startsWith(shown));
}

void CommandsTest::setClockWritesThePcTimeInThreeWrites() {
  SimProcess sim({"--meter", "3:QM4C"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 3);
  sim.TakeEvents(0, 0);
  const time_t before = time(nullptr);
  Click(&console, IDC_SET_CLOCK);
  const time_t after = time(nullptr);
  const Events writes = sim.TakeEvents(3, 2000);
  QCOMPARE(writes.size(), size_t(3));
  const int dayMonth = WrittenValue(writes[0], "write 3 154 ");
  const int hourYear = WrittenValue(writes[1], "write 3 155 ");
  const int secondMinute = WrittenValue(writes[2], "write 3 156 ");
  QVERIFY(dayMonth >= 0 && hourYear >= 0 && secondMinute >= 0);
  const time_t written = WrittenTime(dayMonth, hourYear, secondMinute);
  QVERIFY(written >= before && written <= after);
}

void CommandsTest::setClockForAFixedTimeWritesItsThreeValues() {
  SimProcess sim({"--meter", "3:QM4C"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 3);
  sim.TakeEvents(0, 0);
  tm local{};
  local.tm_year = 2009 - 1900;
  local.tm_mon = 5;
  local.tm_mday = 15;
  local.tm_hour = 14;
  local.tm_min = 3;
  local.tm_sec = 7;
  SetClockFrom(console.Session().link, console.Session().pickedMeter, local);
  QCOMPARE(sim.TakeEvents(3, 2000), (Events{"write 3 154 3846", "write 3 155 3593", "write 3 156 1795"}));
}

void CommandsTest::commandsWithoutTheirNeedsSendNothing() {
  SimProcess sim({"--meter", "3:QM4C", "--meter", "4:QM4B", "--meter", "5:QM4A", "--meter", "7:QM4A"});
  QCOMPARE(sim.Command("idtext 5 Foreign device"), std::string("ok"));
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 7);
  QListWidget* devices = Control<QListWidget>(&console, IDC_DEVICES);

  // A QM4B and a QM4A: no clock to set, no log to set up; their buttons
  // take no click.
  for (const int item : {1, 3}) {
    QTest::mouseClick(devices->viewport(), Qt::LeftButton, {}, devices->visualItemRect(devices->item(item)).center());
    sim.TakeEvents(0, 0);
    Click(&console, IDC_SET_CLOCK);
    Click(&console, IDC_LOGGING);
    QCOMPARE(QApplication::activeModalWidget(), &console);  // no logging window over it
    QVERIFY(sim.TakeEvents(0, 0).empty());
  }

  // A device that names no model: nothing to reset either.
  QTest::mouseClick(devices->viewport(), Qt::LeftButton, {}, devices->visualItemRect(devices->item(2)).center());
  QCOMPARE(console.Session().pickedMeter.model, 0);
  Click(&console, IDC_RESET_KWH);
  QVERIFY(sim.TakeEvents(0, 0).empty());

  // The port closed: a QM4C picked, and still nothing goes out.
  QTest::mouseClick(devices->viewport(), Qt::LeftButton, {}, devices->visualItemRect(devices->item(0)).center());
  QCOMPARE(console.Session().pickedMeter.model, 3);
  console.Session().ports.Set(2, "/nonexistent/tty");
  MessageLog messages;
  ChooseFromList(Control<CCloseUpComboBox>(&console, IDC_COM_PORT), 1);
  QVERIFY(!console.Session().link.IsOpen());
  Click(&console, IDC_RESET_KWH);
  Click(&console, IDC_SET_CLOCK);
  QVERIFY(sim.TakeEvents(0, 0).empty());
}

void CommandsTest::whatAModelLacksIsGreyedWithADash_data() {
  QTest::addColumn<QString>("model");
  QTest::addColumn<QString>("lacks");  // PF, Volts L-L, Volts L-N, Amps, Clock, Log Entries: "-" greyed with a dash
  QTest::newRow("QM4A") << QStringLiteral("QM4A") << QStringLiteral("------");
  QTest::newRow("QM4B") << QStringLiteral("QM4B") << QStringLiteral("....--");
  QTest::newRow("QM4C") << QStringLiteral("QM4C") << QStringLiteral("......");
}

// Picked after a QM4C: what the model lacks is greyed with a dash, the
// commands it does not take disabled with a tooltip saying why.
void CommandsTest::whatAModelLacksIsGreyedWithADash() {
  QFETCH(QString, model);
  QFETCH(QString, lacks);
  SimProcess sim({"--meter", "3:QM4C", "--meter", "5:" + model.toStdString(), "--prefill", "20"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 5);
  console.Tick();
  QListWidget* devices = Control<QListWidget>(&console, IDC_DEVICES);
  QTest::mouseClick(devices->viewport(), Qt::LeftButton, {}, devices->visualItemRect(devices->item(1)).center());
  console.Tick();
  const int ids[] = {IDC_PF, IDC_VOLTS_LL, IDC_VOLTS_LN, IDC_AMPS, IDC_CLOCK, IDC_LOG_ENTRIES};
  for (int i = 0; i < 6; ++i) {  // a reading where it has one
    const auto* field = Control<QLineEdit>(&console, ids[i]);
    QCOMPARE(field->isEnabled() ? QString(field->text().isEmpty() ? '?' : '.') : field->text(), QString(lacks[i]));
  }
  QVERIFY(Control<QWidget>(&console, IDC_KW_ALL)->isEnabled());
  for (int id = IDC_KW_ALL + 1; id < IDC_PF_ALL + 4; ++id)
    QCOMPARE(Control<QWidget>(&console, id)->isEnabled(), lacks[0] == QLatin1Char('.'));
  const std::pair<int, QString> buttons[] = {
      {IDC_SET_CLOCK, "Set Clock needs a QM4C: a %1 has no clock."},
      {IDC_LOGGING, "Logging Setup and Download needs a QM4C: a %1 keeps no log."}};
  for (const auto& [id, tip] : buttons) {
    const QString why = model == QLatin1String("QM4C") ? QString() : tip.arg(model);
    QCOMPARE(Control<QPushButton>(&console, id)->isEnabled(), why.isEmpty());
    QCOMPARE(Control<QPushButton>(&console, id)->toolTip(), why);
  }
  QVERIFY(Control<QWidget>(&console, IDC_BAUD_RATE)->isEnabled());  // a serial port's
}

void CommandsTest::loggingWindowSuspendsThePollWhileItIsOpen() {
  SimProcess sim({"--meter", "3:QM4C"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 3);
  console.Tick();
  bool suspendedWhileOpen = false;
  bool tickReadNothing = false;
  QString saidWhileOpen;
  bool greyWhileOpen = false;
  WhenModalOpens<CLoggingDlg>([&](CLoggingDlg* logging) {
    suspendedWhileOpen = console.Session().pollState.suspended;
    saidWhileOpen = LineStatus(&console);
    greyWhileOpen = Control<QLineEdit>(&console, IDC_KWH)->property("stale").toBool();
    sim.TakeEvents(0, 300);
    const int ok = console.Session().pollState.ok;
    console.Tick();
    tickReadNothing = console.Session().pollState.ok == ok && sim.TakeEvents(0, 0).empty();
    QTest::keyClick(logging, Qt::Key_Escape);
  });
  Click(&console, IDC_LOGGING);
  QVERIFY(suspendedWhileOpen);
  QVERIFY(tickReadNothing);
  QCOMPARE(saidWhileOpen, QStringLiteral("Poll paused while the logging window is open"));
  QVERIFY(greyWhileOpen);
  QVERIFY(!console.Session().pollState.suspended);
  QCOMPARE(LineStatus(&console), QString());
  console.Tick();
  QVERIFY(!Control<QLineEdit>(&console, IDC_KWH)->property("stale").toBool());
}

void CommandsTest::dialogsOpenCentredOnTheConsole_data() {
  QTest::addColumn<bool>("logging");  // else the about box
  QTest::newRow("logging window") << true;
  QTest::newRow("about box") << false;
}

// Placed by the program, not left to the window manager, wherever the user
// has moved the console.
void CommandsTest::dialogsOpenCentredOnTheConsole() {
  QFETCH(bool, logging);
  SimProcess sim({"--meter", "3:QM4C"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 3);
  console.move(console.screen()->availableGeometry().topLeft() + QPoint(250, 180));
  QPoint centre, consoleCentre;
  bool placed = false;
  WhenModalOpens<QDialog>([&](QDialog* dialog) {
    centre = dialog->geometry().center();
    consoleCentre = console.geometry().center();
    placed = dialog->testAttribute(Qt::WA_Moved);
    QTest::keyClick(dialog, Qt::Key_Escape);
  });
  if (logging)
    Click(&console, IDC_LOGGING);
  else
    console.OnSysCommand(CMeterConsoleDlg::kIdmAboutBox);
  QVERIFY(placed);
  QVERIFY((centre - consoleCentre).manhattanLength() <= 1);
}

void CommandsTest::baudChangeReopensThePortWithoutAScan() {
  SimProcess sim({"--meter", "3:QM4C"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 3);
  QCOMPARE(PortSpeed(console.Session().link), speed_t(B38400));
  sim.TakeEvents(0, 0);

  ChooseFromList(Control<CCloseUpComboBox>(&console, IDC_BAUD_RATE), 2);
  QCOMPARE(console.BaudRate(), 9600);
  QVERIFY(console.Session().link.IsOpen());
  QCOMPARE(PortSpeed(console.Session().link), speed_t(B9600));
  QVERIFY(sim.TakeEvents(0, 0).empty());  // no scan
  QCOMPARE(console.Session().pickedMeter.address, 3);
  QCOMPARE(console.Session().pickedMeter.model, 3);

  // The same rate again still closes and reopens the port.
  MarkPortDescriptor(console.Session().link);
  ChooseFromList(Control<CCloseUpComboBox>(&console, IDC_BAUD_RATE), 2);
  QVERIFY(console.Session().link.IsOpen());
  QVERIFY(!PortDescriptorMarked(console.Session().link));

  ChooseFromList(Control<CCloseUpComboBox>(&console, IDC_BAUD_RATE), 5);
  QCOMPARE(console.BaudRate(), 1200);
  QCOMPARE(PortSpeed(console.Session().link), speed_t(B1200));
}

void CommandsTest::baudChangeLeavesThePortClosedWhenItCannotReopen() {
  MessageLog messages;
  TestConsole console;
  StartConsole(console);
  {
    SimProcess sim({"--meter", "3:QM4C"});
    OpenSimulatorPort(console, sim, 3, 3);
  }  // the simulator and its device are gone
  ChooseFromList(Control<CCloseUpComboBox>(&console, IDC_BAUD_RATE), 1);
  QCOMPARE(console.BaudRate(), 19200);
  QVERIFY(!console.Session().link.IsOpen());
  QVERIFY(messages.texts.isEmpty());
}

void CommandsTest::baudChosenBeforeAnyPortTakesEffectWithThePort() {
  SimProcess sim({"--meter", "3:QM4C"});
  TestConsole console;
  StartConsole(console);
  ChooseFromList(Control<CCloseUpComboBox>(&console, IDC_BAUD_RATE), 3);
  QCOMPARE(console.BaudRate(), 4800);
  QVERIFY(!console.Session().link.IsOpen());
  OpenSimulatorPort(console, sim, 3, 3);
  QCOMPARE(PortSpeed(console.Session().link), speed_t(B4800));
}

void CommandsTest::choosingTheOpenPortAgainReopensAndRescans() {
  SimProcess sim({"--meter", "3:QM4C"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 3);
  QCOMPARE(sim.TakeEvents(1, 2000), Events{"id 3"});
  MarkPortDescriptor(console.Session().link);
  ChooseFromList(Control<CCloseUpComboBox>(&console, IDC_COM_PORT), 0);
  QVERIFY(console.Session().link.IsOpen());
  QVERIFY(!PortDescriptorMarked(console.Session().link));
  QCOMPARE(sim.TakeEvents(1, 2000), Events{"id 3"});
  QCOMPARE(Control<QListWidget>(&console, IDC_DEVICES)->count(), 1);
}

void CommandsTest::portThatCannotOpenIsReportedByItsName() {
  MessageLog messages;
  TestConsole console;
  StartConsole(console);
  console.Session().ports.Set(7, "/nonexistent/ttyUSB7");
  ChooseFromList(Control<CCloseUpComboBox>(&console, IDC_COM_PORT), 6);
  QCOMPARE(messages.texts.size(), 1);
  QCOMPARE(messages.texts.front().section(QLatin1Char('\n'), 0, 0), QStringLiteral("Unable to open COM7:"));
  QCOMPARE(messages.icons.front(), MessageIcon::None);
  QVERIFY(!console.Session().link.IsOpen());
  QCOMPARE(Control<QListWidget>(&console, IDC_DEVICES)->count(), 0);  // no scan
}

void CommandsTest::noPortChosenIsCom0() {
  MessageLog messages;
  TestConsole console;
  StartConsole(console);
  ChooseFromList(Control<CCloseUpComboBox>(&console, IDC_COM_PORT), -1);
  QCOMPARE(messages.texts.size(), 1);
  QCOMPARE(messages.texts.front().section(QLatin1Char('\n'), 0, 0), QStringLiteral("Unable to open COM0:"));
}

void CommandsTest::portListShowsWhatEachEntryMapsTo() {
  TestConsole console;
  StartConsole(console);
  console.Session().ports.Set(4, "/dev/null");
  CCloseUpComboBox* ports = Control<CCloseUpComboBox>(&console, IDC_COM_PORT);
  QTest::keyClick(ports, Qt::Key_F4);  // the list says what each entry is as it opens
  QCOMPARE(ports->itemText(3), QStringLiteral("COM4"));
  QVERIFY2(ports->itemData(3, Qt::ToolTipRole).toString().startsWith(QStringLiteral("/dev/null")),
           qPrintable(ports->itemData(3, Qt::ToolTipRole).toString()));
  QVERIFY(ports->view()->width() > ports->width());  // room for the devices beside the names
  QTest::keyClick(ports->view(), Qt::Key_Escape);
}

void CommandsTest::scanFieldsTakeSignedNumbersAndShowThemUnsigned() {
  MessageLog messages;
  TestConsole console;
  StartConsole(console);
  const auto refresh = [&console] {
    // Rescan without a port ends with a display refresh.
    Click(&console, IDC_RESCAN);
  };

  TypeInto(&console, IDC_SCAN_START, QStringLiteral("abc"));
  QCOMPARE(console.ScanStart(), 0u);
  TypeInto(&console, IDC_SCAN_END, QStringLiteral("-1"));
  QCOMPARE(console.ScanEnd(), 4294967295u);
  refresh();
  QCOMPARE(FieldText(&console, IDC_SCAN_START), QStringLiteral("0"));
  QCOMPARE(FieldText(&console, IDC_SCAN_END), QStringLiteral("4294967295"));
  QCOMPARE(console.ScanEnd(), 4294967295u);  // what the refresh wrote reads back the same

  TypeInto(&console, IDC_SCAN_START, QStringLiteral("300"));
  QCOMPARE(console.ScanStart(), 300u);  // no range check until the OK path
  TypeInto(&console, IDC_SCAN_END, QStringLiteral("99999999999"));
  QCOMPARE(console.ScanEnd(), 0u);
  TypeInto(&console, IDC_SCAN_END, QStringLiteral("-2147483648"));
  QCOMPARE(console.ScanEnd(), 2147483648u);
  TypeInto(&console, IDC_SCAN_END, QStringLiteral("12x"));
  QCOMPARE(console.ScanEnd(), 0u);
  TypeInto(&console, IDC_SCAN_END, QString());
  QCOMPARE(console.ScanEnd(), 0u);
  refresh();
  QCOMPARE(FieldText(&console, IDC_SCAN_START), QStringLiteral("300"));
  QCOMPARE(FieldText(&console, IDC_SCAN_END), QStringLiteral("0"));
}

void CommandsTest::tickLeavesAScanFieldBeingTypedIn_data() {
  QTest::addColumn<int>("field");
  QTest::addColumn<QStringList>("typed");  // into the emptied field, a tick after each part
  QTest::addColumn<unsigned>("value");
  QTest::newRow("End emptied, then 12") << int(IDC_SCAN_END) << QStringList{QStringLiteral("12")} << 12u;
  QTest::newRow("letters in Start") << int(IDC_SCAN_START) << QStringList{QStringLiteral("a"), QStringLiteral("b")} << 0u;
  QTest::newRow("a minus sign first") << int(IDC_SCAN_START) << QStringList{QStringLiteral("-"), QStringLiteral("1")}
                                      << 4294967295u;
}

// The poll refreshes every field each second; one being typed in keeps what
// is typed, and shows the value taken from it once the user has left it.
void CommandsTest::tickLeavesAScanFieldBeingTypedIn() {
  QFETCH(int, field);
  QFETCH(QStringList, typed);
  QFETCH(unsigned, value);
  SimProcess sim({"--meter", "3:QM4B"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 3);
  QLineEdit* edit = Control<QLineEdit>(&console, field);
  edit->setFocus();
  QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(edit, Qt::Key_Delete);
  console.Tick();
  QString soFar;
  for (const QString& part : typed) {
    QTest::keyClicks(edit, part);
    soFar += part;
    QCOMPARE(edit->text(), soFar);
    console.Tick();
    QCOMPARE(edit->text(), soFar);
  }
  QCOMPARE(field == IDC_SCAN_END ? console.ScanEnd() : console.ScanStart(), value);
  QVERIFY(FieldText(&console, IDC_KWH) != QString());  // the ticks did refresh

  QTest::keyClick(edit, Qt::Key_Tab);
  console.Tick();
  QCOMPARE(edit->text(), QString::number(value));
}

void CommandsTest::hiddenControlsArePresentHiddenAndInert() {
  SimProcess sim({"--meter", "3:QM4C"});
  MessageLog messages;
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 3);
  sim.TakeEvents(0, 0);
  for (int id : {IDC_START_KWH, IDC_PULSE_COUNT, IDC_PULSE_ENABLE, IDC_PULSE_RESET}) {
    QWidget* control = Control(&console, id);
    QVERIFY2(control, qPrintable(QString::number(id)));
    QVERIFY(control->isHidden());
  }
  Control<QCheckBox>(&console, IDC_PULSE_ENABLE)->click();
  Control<QPushButton>(&console, IDC_PULSE_RESET)->click();
  QVERIFY(messages.texts.isEmpty());
  QVERIFY(sim.TakeEvents(0, 0).empty());
  QVERIFY(console.isVisible());
}

void CommandsTest::escapeClosesWithoutCheckingTheFields() {
  MessageLog messages;
  TestConsole console;
  StartConsole(console);
  TypeInto(&console, IDC_SCAN_START, QStringLiteral("300"));
  QTest::keyClick(Control<QLineEdit>(&console, IDC_SCAN_START), Qt::Key_Escape);
  QVERIFY(messages.texts.isEmpty());
  QVERIFY(!console.isVisible());
  QCOMPARE(console.result(), int(QDialog::Rejected));
}

void CommandsTest::shutDownClosesThePortAndTheTraceWindow() {
  SimProcess sim({"--meter", "3:QM4C"});
  TestConsole console;
  WhenModalOpens<CDisclaimerDlg>(
      [](CDisclaimerDlg* terms) { QTest::mouseClick(Control<QPushButton>(terms, IDOK), Qt::LeftButton); });
  bool portWasOpen = false;
  bool traceWasOpen = false;
  WhenModalOpens<CMeterConsoleDlg>([&](CMeterConsoleDlg* shown) {
    auto* running = static_cast<TestConsole*>(shown);
    OpenSimulatorPort(*running, sim, 3, 3);
    portWasOpen = console.Session().link.IsOpen();
    Click(running, IDC_SHOW_COMM);
    traceWasOpen = console.CommTrace().IsWindowOpen();
    Click(running, IDC_QUIT);
  });
  QCOMPARE(console.DoModal(), int(IDOK));
  QVERIFY(portWasOpen);
  QVERIFY(traceWasOpen);
  QVERIFY(!console.Session().link.IsOpen());
  QVERIFY(!console.CommTrace().IsWindowOpen());
  QCOMPARE(console.Session().link.Trace().live, 0);
}

QTEST_MAIN(CommandsTest)
#include "test_commands.moc"
