// The logging window against qm4sim on a pseudo terminal: what a person sees
// and what reaches the meter when they type, click and press keys.

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <QtTest>
#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>

#include "widgets/message_box.h"
#include "logging/CLoggingDlg.h"
#include "bus/logging_start.h"
#include "tests/support/gateway_monitor.h"
#include "tests/support/sim_process.h"

namespace {

constexpr int kMeter = 3;
const QString kIllegalSlots =
    QStringLiteral("Illegal \"Registers to log\" value.  Must be 0-42, 146, or 155-157, 257-336.");
const QString kIllegalSubInterval = QStringLiteral("Illegal \"Subinterval Length\" value must be 10-32767.");
const QString kStartError = QStringLiteral("Error starting logging.");
const QString kStarted = QStringLiteral("Logging Started Successfully");
const QString kSlotRange = QStringLiteral("Please enter an integer between 0 and 336.");
const QString kSubIntervalRange = QStringLiteral("Please enter an integer between 0 and 32767.");
const QString kNotANumber = QStringLiteral("Please enter a positive integer.");

// Dialog units of template 142 to pixels, edge by edge as the dialog
// manager maps a rectangle: 1.5 px a horizontal unit, 1.625 a vertical one.
QRect FromDialogUnits(int x, int y, int w, int h) {
  auto px = [](double units, double scale) { return int(std::floor(units * scale + 0.5)); };
  const int left = px(x, 1.5), top = px(y, 1.625);
  return QRect(left, top, px(x + w, 1.5) - left, px(y + h, 1.625) - top);
}

const QRegularExpression kStamp(QStringLiteral("^\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d: "));

QStringList FileLines(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
  if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
  return lines;
}

QStringList WithoutStamps(QStringList lines) {
  for (QString& line : lines) line.remove(kStamp);
  return lines;
}

// A window that reports each progress step and each safe point (before each
// transaction of a start or a download) to the test as it happens.
class ProbedLoggingDlg : public CLoggingDlg {
 public:
  using CLoggingDlg::CLoggingDlg;
  void AtSafePoint() override {
    if (onSafePoint) onSafePoint(++safePoints);
    CLoggingDlg::AtSafePoint();
  }
  size_t safePoints = 0;
  std::function<void(size_t count)> onSafePoint;

  struct Step {
    bool visible;
    int value;
    int maximum;
    QString text;
  };
  void Progress(long done, long total) override {
    CLoggingDlg::Progress(done, total);
    auto* bar = findChild<QProgressBar*>(QStringLiteral("downloadProgress"));
    steps.push_back({bar->isVisible(), bar->value(), bar->maximum(), bar->text()});
    if (onStep) onStep(steps.size());
  }
  std::vector<Step> steps;
  std::function<void(size_t count)> onStep;
};

// What the console hands the window: its link, picked meter and poll, and
// the program's stop, with what the window keeps between its openings.
struct ConsoleParts {
  ModbusLink link;
  Meter pickedMeter;
  PollState pollState;
  StopToken stop;
  LoggingSession session{link, pickedMeter, pollState, stop};
};

}  // namespace

class LoggingWindowTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void init();
  void cleanup();

  void layoutMatchesTheTemplate_data();
  void layoutMatchesTheTemplate();
  void captionsAndLegendTexts();

  void opensWithTheMeterAnswering();
  void opensWithTheMeterSilent();
  void plotOfferedForAnExistingDataFile_data();
  void plotOfferedForAnExistingDataFile();

  void refusesUnloggableSlots_data();
  void refusesUnloggableSlots();
  void refusesSubIntervals_data();
  void refusesSubIntervals();
  void unreadableFieldStartsNothing_data();
  void unreadableFieldStartsNothing();
  void startsWithEdgeValues_data();
  void startsWithEdgeValues();
  void remembersOneShotAfterRefusedStart();
  void failedWriteInTheMiddle_data();
  void failedWriteInTheMiddle();

  void downloadMatchesPylaxctl();
  void downloadsThroughTheMonitorsGateway();
  void aReadOnlyGatewaysRefusalIsTheStatus();
  void downloadTakesNoInputButShowsProgress();
  void failedDownloadNamesItsCause_data();
  void failedDownloadNamesItsCause();
  void logFileUnwritable();
  void dataFileUnwritable();
  void quitDuringADownloadWaitsForASafePoint_data();
  void quitDuringADownloadWaitsForASafePoint();
  void closingWhileBusyAsksWhetherToStop_data();
  void closingWhileBusyAsksWhetherToStop();

  void enterTransfersFieldsAndEnds();
  void enterWithARefusedFieldStaysOpen();
  void escapeAndCloseBoxSendNothing();

 private:
  // Shows the window as the console's exec() would (its initialisation
  // reads the slots), active so that focus and keys behave as for a person.
  void Open(CLoggingDlg& dlg);
  QLineEdit* Edit(CLoggingDlg& dlg, const QString& name);
  QLineEdit* Slot(CLoggingDlg& dlg, int n) { return Edit(dlg, QStringLiteral("slot%1Edit").arg(n)); }
  QPushButton* Button(CLoggingDlg& dlg, const char* name);
  void TypeInto(QLineEdit* field, const QString& text);
  void Click(QWidget* widget) { QTest::mouseClick(widget, Qt::LeftButton); }
  // The message list, newest first, stamps checked and taken off.
  QStringList Messages(CLoggingDlg& dlg);
  QStringList StampedMessages(CLoggingDlg& dlg);
  QString Status(CLoggingDlg& dlg) { return Edit(dlg, QStringLiteral("statusEdit"))->text(); }

  QString Sim(const QString& command);
  // The requests the meter has seen since the last call ("read 3 168 10",
  // "write 3 128 16640"), in order.
  QStringList Requests();
  void SetSlotsOnMeter(const std::array<int, 10>& slots);
  // pylaxctl's download of the meter, straight from the line, into folder.
  void DownloadWithPylaxctl(const QString& folder);
  static QStringList StartWrites(const std::array<int, 10>& slots, int control, int subInterval);

  std::unique_ptr<QTemporaryDir> dir_;
  QString previousDir_;
  std::unique_ptr<SimProcess> sim_;
  QStringList boxes_;
  std::unique_ptr<ConsoleParts> console_;
};

void LoggingWindowTest::init() {
  console_ = std::make_unique<ConsoleParts>();
  boxes_.clear();
  SetMessageHook([this](const QString&, const QString& text, MessageIcon) { boxes_ << text; });

  dir_ = std::make_unique<QTemporaryDir>();
  QVERIFY(dir_->isValid());
  previousDir_ = QDir::currentPath();
  QVERIFY(QDir::setCurrent(dir_->path()));

  sim_ = std::make_unique<SimProcess>(std::vector<std::string>{"--meter", "3:QM4C"});
  QVERIFY2(console_->link.Open(sim_->LinkPath().c_str(), 38400), console_->link.OpenFailureText().c_str());
  console_->pickedMeter.address = kMeter;
  console_->pickedMeter.model = 3;
  console_->pollState.subIntervalSeconds = 900;
  Requests();
}

void LoggingWindowTest::cleanup() {
  SetQuestionHook({});
  console_->link.Close();
  sim_.reset();
  SetMessageHook({});
  QDir::setCurrent(previousDir_);
  dir_.reset();
}

void LoggingWindowTest::Open(CLoggingDlg& dlg) {
  dlg.show();
  dlg.activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(&dlg));
}

QLineEdit* LoggingWindowTest::Edit(CLoggingDlg& dlg, const QString& name) {
  auto* edit = dlg.findChild<QLineEdit*>(name);
  if (!edit) qFatal("no field %s", qPrintable(name));
  return edit;
}

QPushButton* LoggingWindowTest::Button(CLoggingDlg& dlg, const char* name) {
  auto* button = dlg.findChild<QPushButton*>(QLatin1String(name));
  if (!button) qFatal("no button %s", name);
  return button;
}

void LoggingWindowTest::TypeInto(QLineEdit* field, const QString& text) {
  Click(field);
  QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(field, Qt::Key_Delete);
  QTest::keyClicks(field, text);
}

QStringList LoggingWindowTest::StampedMessages(CLoggingDlg& dlg) {
  auto* list = dlg.findChild<QListWidget*>(QStringLiteral("messageList"));
  QStringList lines;
  for (int i = 0; i < list->count(); ++i) lines << list->item(i)->text();
  return lines;
}

QStringList LoggingWindowTest::Messages(CLoggingDlg& dlg) {
  QStringList lines = StampedMessages(dlg);
  // A line without its stamp cannot equal any expected message.
  for (QString& line : lines)
    line = kStamp.match(line).hasMatch() ? line.remove(kStamp) : QStringLiteral("<no stamp> ") + line;
  return lines;
}

QString LoggingWindowTest::Sim(const QString& command) {
  const QString reply = QString::fromStdString(sim_->Command(command.toStdString()));
  if (!reply.startsWith(QLatin1String("ok"))) qWarning("qm4sim: %s -> %s", qPrintable(command), qPrintable(reply));
  return reply;
}

QStringList LoggingWindowTest::Requests() {
  // A control round trip first: every request answered before it has had
  // its event printed by then.
  sim_->Command("get 3 157");
  QStringList requests;
  for (const std::string& event : sim_->TakeEvents(0, 0)) {
    const QString text = QString::fromStdString(event);
    if (text.startsWith(QLatin1String("read ")) || text.startsWith(QLatin1String("write "))) requests << text;
  }
  return requests;
}

void LoggingWindowTest::DownloadWithPylaxctl(const QString& folder) {
  QVERIFY(QDir().mkdir(folder));
  QProcess cli;
  cli.setWorkingDirectory(QDir::current().filePath(folder));
  cli.start(QStringLiteral(PYLAXCTL_PATH), {"--port", QString::fromStdString(sim_->LinkPath()), "--slave", "3", "log",
                                            "download"});
  QVERIFY(cli.waitForFinished(120000));
  QCOMPARE(cli.exitCode(), 0);
}

void LoggingWindowTest::SetSlotsOnMeter(const std::array<int, 10>& slots) {
  for (int i = 0; i < 10; ++i) Sim(QStringLiteral("set 3 %1 %2").arg(168 + i).arg(slots[i]));
}

QStringList LoggingWindowTest::StartWrites(const std::array<int, 10>& slots, int control, int subInterval) {
  QStringList writes{QStringLiteral("write 3 128 16640")};
  for (int i = 0; i < 10; ++i) writes << QStringLiteral("write 3 %1 %2").arg(168 + i).arg(slots[i]);
  writes << QStringLiteral("write 3 158 %1").arg(control) << QStringLiteral("write 3 149 %1").arg(subInterval)
         << QStringLiteral("write 3 157 0");
  return writes;
}

// --- The template ---------------------------------------------------------

void LoggingWindowTest::layoutMatchesTheTemplate_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<int>("id");
  QTest::addColumn<QRect>("units");
  auto row = [](const char* name, int id, QRect units) { QTest::newRow(name) << QString::fromLatin1(name) << id << units; };
  row("subIntervalLabel", 0, {39, 7, 95, 8});
  row("subIntervalEdit", 1058, {155, 7, 40, 14});
  row("registersLabel", 0, {39, 26, 54, 8});
  const int xs[5] = {113, 155, 199, 242, 285}, ys[5] = {26, 26, 26, 25, 25};
  static const char* const names[10] = {"slot1Edit", "slot2Edit", "slot3Edit", "slot4Edit", "slot5Edit",
                                        "slot6Edit", "slot7Edit", "slot8Edit", "slot9Edit", "slot10Edit"};
  for (int i = 0; i < 5; ++i) {
    row(names[i], 1059 + i, {xs[i], ys[i], 40, 14});
    row(names[i + 5], 1064 + i, {xs[i], 42, 40, 14});
  }
  row("pauseButton", 1100, {13, 42, 27, 21});
  row("methodLabel", 0, {113, 60, 54, 8});
  row("continuousRadio", 1077, {177, 59, 51, 10});
  row("oneShotRadio", 1078, {227, 59, 46, 10});
  row("downloadButton", 1093, {40, 76, 91, 39});
  row("startButton", 1091, {234, 76, 91, 39});
  row("statusLabel", 0, {14, 126, 21, 8});
  row("statusEdit", 1081, {42, 123, 308, 14});
  row("messageList", 1096, {7, 185, 342, 191});
  const int legendY[6] = {7, 94, 158, 214, 286, 335}, legendH[6] = {88, 64, 56, 72, 48, 41};
  static const char* const legends[6] = {"legend1", "legend2", "legend3", "legend4", "legend5", "legend6"};
  for (int i = 0; i < 6; ++i) row(legends[i], 0, {352, legendY[i], 121, legendH[i]});
}

void LoggingWindowTest::layoutMatchesTheTemplate() {
  QFETCH(QString, name);
  QFETCH(int, id);
  QFETCH(QRect, units);
  CLoggingDlg dlg(console_->session);
  QWidget* control = dlg.findChild<QWidget*>(name);
  QVERIFY(control);
  QCOMPARE(control->geometry(), FromDialogUnits(units.x(), units.y(), units.width(), units.height()));
  if (id != 0) QCOMPARE(control->property("controlId").toInt(), id);
}

void LoggingWindowTest::captionsAndLegendTexts() {
  CLoggingDlg dlg(console_->session);
  Open(dlg);
  QCOMPARE(dlg.windowTitle(), QStringLiteral("Logging Setup and Download"));
  QCOMPARE(dlg.size(), FromDialogUnits(0, 0, 480, 383).size());
  QCOMPARE(dlg.minimumSize(), dlg.maximumSize());
  auto label = [&](const char* name) { return dlg.findChild<QLabel*>(QLatin1String(name))->text(); };
  QCOMPARE(label("subIntervalLabel"), QStringLiteral("SubInterval Length (Seconds)"));
  QCOMPARE(label("registersLabel"), QStringLiteral("Registers to Log:"));
  QCOMPARE(label("methodLabel"), QStringLiteral("Logging Method:"));
  QCOMPARE(label("statusLabel"), QStringLiteral("Status"));
  QCOMPARE(dlg.findChild<QRadioButton*>("continuousRadio")->text(), QStringLiteral("Continuous"));
  QCOMPARE(dlg.findChild<QRadioButton*>("oneShotRadio")->text(), QStringLiteral("One-Shot"));
  QCOMPARE(Button(dlg, "downloadButton")->text(), QStringLiteral("Download Logged Data\n (No Data Erased)"));
  QCOMPARE(Button(dlg, "startButton")->text(), QStringLiteral("Start/Restart Logging\n(Erases All Data!)"));
  QVERIFY(!Button(dlg, "pauseButton")->isVisible());
  QVERIFY(!dlg.findChild<QProgressBar*>("downloadProgress")->isVisible());
  // No button is a default button: Enter in a field must never start or
  // download anything.
  for (QPushButton* button : dlg.findChildren<QPushButton*>()) QVERIFY(!button->isDefault());

  QCOMPARE(label("legend1"),
           QStringLiteral("LOGGABLE REGISTERS:\nInt Reg. - Float Regs. - Description\n\n 1 - 257/258 - kWh MSW\n 2 - "
                          "257/258 - kWh LSW\n 3 - 261/262 - kW\n 4 - 263/264 - kVAr\n 5 - 265/266 - kVA\n 6 - 267/268 "
                          "- Pf\n 7 - 269/270 - Voltage L-L\n 8 - 271/272 - Voltage L-N\n"));
  QCOMPARE(label("legend2"),
           QStringLiteral(" 9 - 273/274 - Current Avg\n 10 - 275/276 - kW Phase A\n 11 - 277/278 - kW Phase B\n 12 - "
                          "279/280 - kW Phase C\n 13 - 281/282 - Pf Phase A\n 14 - 283/284 - Pf Phase B\n 15 - 285/286 "
                          "- Pf Phase C\n 16 - 287/288 - Voltage A-B\n "));
  QCOMPARE(label("legend3"),
           QStringLiteral(" 17 - 289/290 - Voltage B-C\n 18 - 291/292 - Voltage A-C\n 19 - 293/294 - Voltage A-N\n 20 "
                          "- 295/296 - Voltage B-N\n 21 - 297/298 - Voltage C-N\n 22 - 299/300 - Current Phase A\n 23 - "
                          "301/302 - Current Phase B\n"));
  QCOMPARE(label("legend4"),
           QStringLiteral(" 24 - 303/304 - Current Phase C\n 26 - 307/308 - Frequency\n 27 - 309/310 - kVAh MSW\n 28 - "
                          "309/310 - kVAh LSW\n 29 - 311/312 - kVArh MSW\n 30 - 311/312 - kVArh LSW\n 31 - 313/314 - "
                          "kVA Phase A\n 32 - 315/316 - kVA Phase B\n 33 - 317/318 - kVA Phase C\n"));
  QCOMPARE(label("legend5"),
           QStringLiteral(" 34 - 319/320 - kVAr Phase A\n 35 - 321/322 - kVAr Phase B\n 36 - 323/324 - kVAr Phase C\n "
                          "37 - 325/326 - kW Present Demand\n 38 - 327/328 - kVAr Present Demand\n 39 - 329/330 - kVA "
                          "Present Demand\n"));
  QCOMPARE(label("legend6"),
           QStringLiteral(" 40 - 331/332 - kW Max Demand\n 41 - 333/334 - kVAr Max Demand\n 42 - 335/336 - kVA Max "
                          "Demand\n 146 - Error\n 155/156/157 - Date/Time"));

  // Whatever face stands in for MS Sans Serif, no caption is cut.
  for (QLabel* label : dlg.findChildren<QLabel*>())
    QVERIFY2(label->sizeHint().width() <= label->width(), qPrintable(label->objectName()));
  for (QRadioButton* radio : dlg.findChildren<QRadioButton*>())
    QVERIFY2(radio->sizeHint().width() <= radio->width(), qPrintable(radio->objectName()));
}

// --- Opening ---------------------------------------------------------------

void LoggingWindowTest::opensWithTheMeterAnswering() {
  SetSlotsOnMeter({3, 26, 146, 155, 156, 157, 0, 42, 257, 258});
  Requests();
  console_->pollState.subIntervalSeconds = 600;
  console_->session.logSetup.logControl = 1;
  {
    CLoggingDlg dlg(console_->session);
    Open(dlg);
    QCOMPARE(Requests(), QStringList{QStringLiteral("read 3 168 10")});
    const QStringList expected{"3", "26", "146", "155", "156", "157", "0", "42", "257", "258"};
    for (int i = 1; i <= 10; ++i) QCOMPARE(Slot(dlg, i)->text(), expected[i - 1]);
    QCOMPARE(Edit(dlg, "subIntervalEdit")->text(), QStringLiteral("600"));
    QVERIFY(dlg.findChild<QRadioButton*>("oneShotRadio")->isChecked());
    QVERIFY(!dlg.findChild<QRadioButton*>("continuousRadio")->isChecked());
    QCOMPARE(Button(dlg, "pauseButton")->text(), QStringLiteral("PAUSE"));
    QCOMPARE(console_->session.logSetup.logSlots[9], int16_t(258));
    QVERIFY(Messages(dlg).isEmpty());
  }
  // The paused bit turns the hidden button's caption; the method follows bit 0.
  console_->session.logSetup.logControl = 2;
  CLoggingDlg dlg(console_->session);
  Open(dlg);
  QCOMPARE(Button(dlg, "pauseButton")->text(), QStringLiteral("RESUME"));
  QVERIFY(dlg.findChild<QRadioButton*>("continuousRadio")->isChecked());
}

void LoggingWindowTest::opensWithTheMeterSilent() {
  Sim("fault 3 silent");
  {
    // A new process has read nothing yet: every slot shows 0.
    CLoggingDlg dlg(console_->session);
    Open(dlg);
    for (int i = 1; i <= 10; ++i) QCOMPARE(Slot(dlg, i)->text(), QStringLiteral("0"));
  }
  Sim("fault 3 none");
  SetSlotsOnMeter({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  { CLoggingDlg answered(console_->session); Open(answered); }
  SetSlotsOnMeter({20, 20, 20, 20, 20, 20, 20, 20, 20, 20});
  Sim("fault 3 silent");
  CLoggingDlg dlg(console_->session);
  Open(dlg);
  for (int i = 1; i <= 10; ++i) QCOMPARE(Slot(dlg, i)->text(), QString::number(i));
  QVERIFY(boxes_.isEmpty());
  QVERIFY(Messages(dlg).isEmpty());
  QCOMPARE(Status(dlg), QString());
}

void LoggingWindowTest::plotOfferedForAnExistingDataFile_data() {
  QTest::addColumn<QString>("file");  // made before the opening
  QTest::addColumn<bool>("offered");
  QTest::newRow("none") << QString() << false;
  QTest::newRow("the meter's") << QStringLiteral("03-data.csv") << true;
  QTest::newRow("another meter's") << QStringLiteral("07-data.csv") << false;
}

// The file of an earlier run's download can be plotted at once.
void LoggingWindowTest::plotOfferedForAnExistingDataFile() {
  QFETCH(QString, file);
  QFETCH(bool, offered);
  QFile csv(file);
  QVERIFY(file.isEmpty() || csv.open(QIODevice::WriteOnly));
  csv.close();
  CLoggingDlg dlg(console_->session);
  Open(dlg);
  QCOMPARE(Button(dlg, "plotButton")->isEnabled(), offered);
}

// --- Start/Restart ------------------------------------------------------------

void LoggingWindowTest::refusesUnloggableSlots_data() {
  QTest::addColumn<int>("slot");
  QTest::addColumn<QString>("value");
  QTest::addColumn<QStringList>("expectedBoxes");
  QTest::newRow("43") << 1 << "43" << QStringList{};
  QTest::newRow("145") << 2 << "145" << QStringList{};
  QTest::newRow("147") << 3 << "147" << QStringList{};
  QTest::newRow("154") << 4 << "154" << QStringList{};
  QTest::newRow("158") << 6 << "158" << QStringList{};
  QTest::newRow("256") << 9 << "256" << QStringList{};
  QTest::newRow("337 range") << 10 << "337" << QStringList{kSlotRange};
  QTest::newRow("400 range") << 5 << "400" << QStringList{kSlotRange};
  // Too large for 32 bits is still a number: out of range, not unreadable.
  QTest::newRow("beyond 32 bits") << 7 << "4294967296" << QStringList{kSlotRange};
}

void LoggingWindowTest::refusesUnloggableSlots() {
  QFETCH(int, slot);
  QFETCH(QString, value);
  QFETCH(QStringList, expectedBoxes);
  CLoggingDlg dlg(console_->session);
  Open(dlg);
  Requests();
  TypeInto(Edit(dlg, "subIntervalEdit"), "900");
  TypeInto(Slot(dlg, slot), value);
  Click(Button(dlg, "startButton"));
  QCOMPARE(boxes_, expectedBoxes);
  if (!expectedBoxes.isEmpty()) QVERIFY(Slot(dlg, slot)->hasFocus());
  QCOMPARE(Messages(dlg), (QStringList{kStartError, kIllegalSlots}));
  QCOMPARE(Status(dlg), kStartError);
  QCOMPARE(Requests(), QStringList{});
  QCOMPARE(console_->session.logSetup.logControl, int16_t(0));
}

void LoggingWindowTest::refusesSubIntervals_data() {
  QTest::addColumn<QString>("value");
  QTest::addColumn<QStringList>("expectedBoxes");
  QTest::newRow("0") << "0" << QStringList{};
  QTest::newRow("9") << "9" << QStringList{};
  QTest::newRow("32768 range") << "32768" << QStringList{kSubIntervalRange};
}

void LoggingWindowTest::refusesSubIntervals() {
  QFETCH(QString, value);
  QFETCH(QStringList, expectedBoxes);
  CLoggingDlg dlg(console_->session);
  Open(dlg);
  Requests();
  TypeInto(Edit(dlg, "subIntervalEdit"), value);
  Click(Button(dlg, "startButton"));
  QCOMPARE(boxes_, expectedBoxes);
  if (!expectedBoxes.isEmpty()) QVERIFY(Edit(dlg, "subIntervalEdit")->hasFocus());
  QCOMPARE(Messages(dlg), (QStringList{kStartError, kIllegalSubInterval}));
  QCOMPARE(Status(dlg), kStartError);
  QCOMPARE(Requests(), QStringList{});
}

void LoggingWindowTest::unreadableFieldStartsNothing_data() {
  QTest::addColumn<QString>("value");
  QTest::newRow("letters") << "x7";
  QTest::newRow("negative") << "-5";
  QTest::newRow("empty") << "";
}

void LoggingWindowTest::unreadableFieldStartsNothing() {
  // The members behind an unreadable field still hold the settings the
  // window opened with (all valid here): a start with them would erase the
  // meter's log for settings the user never saw. The box is the answer.
  QFETCH(QString, value);
  CLoggingDlg dlg(console_->session);
  Open(dlg);
  Requests();
  TypeInto(Edit(dlg, "subIntervalEdit"), "900");
  TypeInto(Slot(dlg, 1), "12");
  TypeInto(Slot(dlg, 5), value);
  Click(Button(dlg, "startButton"));
  QCOMPARE(boxes_, QStringList{kNotANumber});
  QVERIFY(Slot(dlg, 5)->hasFocus());
  QCOMPARE(Slot(dlg, 5)->selectedText(), value);
  QCOMPARE(Messages(dlg), QStringList{});
  QCOMPARE(Requests(), QStringList{});
}

void LoggingWindowTest::startsWithEdgeValues_data() {
  QTest::addColumn<QString>("subInterval");
  QTest::addColumn<bool>("oneShot");
  QTest::addColumn<QList<int>>("slotValues");
  QTest::newRow("10 s, all slots 0") << "10" << false << QList<int>(10, 0);
  QTest::newRow("32767 s, one-shot, range edges")
      << "32767" << true << QList<int>{0, 42, 146, 155, 157, 257, 336, 1, 2, 156};
}

void LoggingWindowTest::startsWithEdgeValues() {
  QFETCH(QString, subInterval);
  QFETCH(bool, oneShot);
  QFETCH(QList<int>, slotValues);
  std::array<int, 10> slots;
  std::copy(slotValues.begin(), slotValues.end(), slots.begin());
  Sim("prefill 3 40");
  CLoggingDlg dlg(console_->session);
  Open(dlg);
  Requests();
  TypeInto(Edit(dlg, "subIntervalEdit"), subInterval);
  for (int i = 0; i < 10; ++i) TypeInto(Slot(dlg, i + 1), QString::number(slots[i]));
  Click(dlg.findChild<QRadioButton*>(oneShot ? "oneShotRadio" : "continuousRadio"));
  Click(Button(dlg, "startButton"));
  QCOMPARE(boxes_, QStringList{});
  QCOMPARE(Requests(), StartWrites(slots, oneShot ? 1 : 0, subInterval.toInt()));
  QCOMPARE(Messages(dlg), QStringList{kStarted});
  QCOMPARE(Status(dlg), kStarted);
  QCOMPARE(Sim("get 3 162"), QStringLiteral("ok 0"));  // the restart erased the log
  QCOMPARE(FileLines("log.txt").size(), 1);
}

void LoggingWindowTest::remembersOneShotAfterRefusedStart() {
  {
    CLoggingDlg dlg(console_->session);
    Open(dlg);
    Click(dlg.findChild<QRadioButton*>("oneShotRadio"));
    TypeInto(Edit(dlg, "subIntervalEdit"), "5");
    Requests();
    Click(Button(dlg, "startButton"));
    QCOMPARE(Messages(dlg), (QStringList{kStartError, kIllegalSubInterval}));
    QCOMPARE(Requests(), QStringList{});
    QTest::keyClick(&dlg, Qt::Key_Escape);
  }
  CLoggingDlg reopened(console_->session);
  Open(reopened);
  QVERIFY(reopened.findChild<QRadioButton*>("oneShotRadio")->isChecked());
}

void LoggingWindowTest::failedWriteInTheMiddle_data() {
  QTest::addColumn<QString>("fault");
  QTest::addColumn<bool>("controlWriteApplied");
  QTest::addColumn<QString>("said");
  QTest::newRow("exception at 158")
      << "fault 3 exception 1 at 158" << false
      << QStringLiteral("Error starting logging: the meter refused a request (exception response).");
  QTest::newRow("wrong echo at 158") << "fault 3 echo 1 at 158" << true << kStartError;
}

void LoggingWindowTest::failedWriteInTheMiddle() {
  QFETCH(QString, fault);
  QFETCH(bool, controlWriteApplied);
  QFETCH(QString, said);
  Sim("prefill 3 40");
  const std::array<int, 10> slots{3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  CLoggingDlg dlg(console_->session);
  Open(dlg);
  TypeInto(Edit(dlg, "subIntervalEdit"), "60");
  for (int i = 0; i < 10; ++i) TypeInto(Slot(dlg, i + 1), QString::number(slots[i]));
  Sim(fault);
  Requests();
  Click(Button(dlg, "startButton"));
  QStringList expected = StartWrites(slots, 0, 60).mid(0, controlWriteApplied ? 12 : 11);
  QCOMPARE(Requests(), expected);
  QCOMPARE(Messages(dlg), QStringList{said});
  QCOMPARE(Status(dlg), said);
  QCOMPARE(Sim("get 3 162"), QStringLiteral("ok 0"));
  QCOMPARE(Sim("get 3 177"), QStringLiteral("ok 12"));
}

// --- Download ---------------------------------------------------------------

void LoggingWindowTest::downloadMatchesPylaxctl() {
  // 130 entries: two sections a slot. Paused, so no entry is added between
  // the window's download and pylaxctl's.
  SetSlotsOnMeter({3, 26, 146, 155, 156, 157, 1, 2, 257, 258});
  Sim("prefill 3 130");
  Sim("set 3 158 2");
  CLoggingDlg dlg(console_->session);
  Open(dlg);
  // A refused start first: the download must clear its lines away.
  TypeInto(Slot(dlg, 1), "43");
  Click(Button(dlg, "startButton"));
  QCOMPARE(Messages(dlg).size(), 2);
  Click(Button(dlg, "downloadButton"));

  const QString last = QStringLiteral("Data written to file \"03-data.csv\". Log available at \"log.txt\"");
  QCOMPARE(Status(dlg), last);
  const QStringList stamped = StampedMessages(dlg);
  QStringList fileLines = FileLines("log.txt");
  std::reverse(fileLines.begin(), fileLines.end());
  QCOMPARE(stamped, fileLines);
  const QStringList messages = Messages(dlg);
  QCOMPARE(messages.first(), last);
  QCOMPARE(messages.last(), QStringLiteral("\"Download Logged Data\" button pressed."));
  QVERIFY(!messages.contains(QStringLiteral("Starting Download.")));
  QVERIFY(!messages.contains(kStartError));
  QVERIFY(!dlg.findChild<QProgressBar*>("downloadProgress")->isVisible());
  const QStringList csv = FileLines("03-data.csv");
  QCOMPARE(csv.size(), 131);  // the header and one row an entry
  QVERIFY(csv.first().endsWith(QLatin1String(",Error,Date/Time")));

  // pylaxctl on the same meter, in a directory of its own.
  console_->link.Close();
  DownloadWithPylaxctl("cli");
  QFile ours("03-data.csv"), theirs("cli/03-data.csv");
  QVERIFY(ours.open(QIODevice::ReadOnly) && theirs.open(QIODevice::ReadOnly));
  QCOMPARE(ours.readAll(), theirs.readAll());
  QStringList cliMessages = WithoutStamps(FileLines("cli/log.txt"));
  std::reverse(cliMessages.begin(), cliMessages.end());
  QCOMPARE(messages, cliMessages);
}

// The bus owned by a polling monitor: the window's download goes through the
// monitor's gateway between its rounds and gives the file a direct one gives.
void LoggingWindowTest::downloadsThroughTheMonitorsGateway() {
  Sim("prefill 3 130");
  Sim("set 3 158 2");
  console_->link.Close();
  DownloadWithPylaxctl("direct");

  GatewayMonitor monitor(sim_->LinkPath(), "1");
  QVERIFY(monitor.Ready());
  QVERIFY2(console_->link.Open(monitor.PortName().c_str(), 38400), console_->link.OpenFailureText().c_str());
  CLoggingDlg dlg(console_->session);
  Open(dlg);
  Click(Button(dlg, "downloadButton"));
  QCOMPARE(Status(dlg), QStringLiteral("Data written to file \"03-data.csv\". Log available at \"log.txt\""));
  QFile ours("03-data.csv"), direct("direct/03-data.csv");
  QVERIFY(ours.open(QIODevice::ReadOnly) && direct.open(QIODevice::ReadOnly));
  QCOMPARE(ours.readAll(), direct.readAll());
}

// Through a monitor's gateway that serves reads only, the download and the
// logging start end with the gateway's refusal in the status, asked once.
void LoggingWindowTest::aReadOnlyGatewaysRefusalIsTheStatus() {
  console_->link.Close();
  GatewayMonitor monitor(sim_->LinkPath(), "1", false);
  QVERIFY(monitor.Ready());
  QVERIFY2(console_->link.Open(monitor.PortName().c_str(), 38400), console_->link.OpenFailureText().c_str());
  CLoggingDlg dlg(console_->session);
  Open(dlg);
  for (const char* button : {"downloadButton", "startButton"}) {
    Click(Button(dlg, button));
    QCOMPARE(Status(dlg), QStringLiteral("the gateway at %1 refused the write (exception 01): it serves reads only; "
                                         "its monitor needs --gateway-writes").arg(monitor.Address().c_str()));
  }
}

void LoggingWindowTest::downloadTakesNoInputButShowsProgress() {
  Sim("prefill 3 130");
  Sim("set 3 158 2");
  ProbedLoggingDlg dlg(console_->session);
  Open(dlg);
  // Mid-download a person clicks Start and presses Escape and Enter: none
  // of it may act.
  dlg.onStep = [&](size_t count) {
    if (count == 1) {
      Click(Button(dlg, "startButton"));
      QTest::keyClick(Edit(dlg, "subIntervalEdit"), Qt::Key_Escape);
      QTest::keyClick(Edit(dlg, "subIntervalEdit"), Qt::Key_Return);
    }
    // PYLAX_SCREENSHOT=/absolute/path.png keeps a picture of the window half way.
    const QString shot = qEnvironmentVariable("PYLAX_SCREENSHOT");
    if (count == 10 && !shot.isEmpty()) QVERIFY(dlg.grab().save(shot));
  };
  Requests();
  Click(Button(dlg, "downloadButton"));
  QVERIFY(dlg.isVisible());
  for (const QString& request : Requests())
    QVERIFY2(request.startsWith(QLatin1String("read")) || request.startsWith(QLatin1String("write 3 157 ")),
             qPrintable(request));
  QVERIFY(!Messages(dlg).contains(kStarted) && !Messages(dlg).contains(kStartError));

  QCOMPARE(int(dlg.steps.size()), 20);  // two sections for each of ten slots
  for (const auto& step : dlg.steps) {
    QVERIFY(step.visible);
    QCOMPARE(step.maximum, 1300);
  }
  QCOMPARE(dlg.steps.front().value, 125);
  QCOMPARE(dlg.steps.back().value, 1300);
  // Entries of the slot being read, and the time left once the pace is known.
  const std::pair<size_t, QString> said[] = {{0, "slot 1 of 10: 125 of 130 entries"},
                                              {1, "slot 1 of 10: 130 of 130 entries, about "},
                                              {2, "slot 2 of 10: 125 of 130 entries, about "},
                                              {19, "slot 10 of 10: 130 of 130 entries, about 0 s left"}};
  for (const auto& [step, text] : said) QVERIFY2(dlg.steps[step].text.startsWith(text), qPrintable(dlg.steps[step].text));
  QVERIFY(dlg.steps[1].text.endsWith(QLatin1String(" s left")));
  QVERIFY(!dlg.findChild<QProgressBar*>("downloadProgress")->isVisible());
  QVERIFY(Button(dlg, "startButton")->isEnabled());
}

void LoggingWindowTest::failedDownloadNamesItsCause_data() {
  QTest::addColumn<QString>("fault");  // "end": the simulator ends, its port goes
  QTest::addColumn<QString>("cause");  // after "Error while reading data: "
  QTest::newRow("meter silent") << "fault 3 silent" << QStringLiteral("the meter did not answer.");
  QTest::newRow("read refused") << "fault 3 exception"
                                << QStringLiteral("the meter refused a request (exception response).");
  QTest::newRow("port lost") << "end" << QStringLiteral("the port was lost: %1 has gone away (unplugged, or the program "
                                                        "behind it ended).");
}

void LoggingWindowTest::failedDownloadNamesItsCause() {
  QFETCH(QString, fault);
  QFETCH(QString, cause);
  Sim("prefill 3 20");
  CLoggingDlg dlg(console_->session);
  Open(dlg);
  const QString path = QString::fromStdString(sim_->LinkPath());
  fault == QLatin1String("end") ? sim_.reset() : void(Sim(fault));
  Click(Button(dlg, "downloadButton"));
  QCOMPARE(Status(dlg), "Error while reading data: " + (cause.contains(QLatin1String("%1")) ? cause.arg(path) : cause));
}

void LoggingWindowTest::quitDuringADownloadWaitsForASafePoint_data() {
  QTest::addColumn<bool>("earlierStop");  // an earlier stop's log is there
  QTest::addColumn<QString>("setAside");
  QTest::newRow("first stop") << false << QStringLiteral("log-stopped.txt");
  QTest::newRow("second stop") << true << QStringLiteral("log-stopped-2.txt");
}

void LoggingWindowTest::quitDuringADownloadWaitsForASafePoint() {
  QFETCH(bool, earlierStop);
  QFETCH(QString, setAside);
  // Ctrl+C in the terminal while a download of 11 sections a slot runs: the
  // download ends after the transaction under way, releases the slot, keeps
  // yesterday's file, and only then do the windows close.
  QFile earlier("log-stopped.txt");
  if (earlierStop) QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write("first stop\n") == 11);
  earlier.close();
  Sim("prefill 3 1300");
  Sim("set 3 158 2");
  QFile old("03-data.csv");
  QVERIFY(old.open(QIODevice::WriteOnly));
  old.write("yesterday\n");
  old.close();
  ProbedLoggingDlg dlg(console_->session);
  Open(dlg);
  dlg.onStep = [this](size_t count) {
    if (count == 2) CLoggingDlg::StopAndCloseAllWindows(console_->session);  // as the signal's notifier calls it
  };
  Requests();
  Click(Button(dlg, "downloadButton"));
  QVERIFY2(dlg.steps.size() <= 3, qPrintable(QString::number(dlg.steps.size())));
  QCOMPARE(Requests().constLast(), QStringLiteral("write 3 157 0"));
  QTRY_VERIFY(!dlg.isVisible());
  QCOMPARE(FileLines("03-data.csv"), QStringList{QStringLiteral("yesterday")});
  // No log.txt came with yesterday's file: the stopped run's log is set
  // aside, an earlier stop's kept, and the message names where.
  QStringList files{"03-data.csv", setAside};
  if (earlierStop) files << QStringLiteral("log-stopped.txt");
  QCOMPARE(QDir().entryList(QDir::Files), files);
  QCOMPARE(WithoutStamps(FileLines(setAside)).constLast(),
           QStringLiteral("Download stopped; \"03-data.csv\" was not written. Its log is in \"%1\".").arg(setAside));
  if (earlierStop) QCOMPARE(FileLines("log-stopped.txt"), QStringList{QStringLiteral("first stop")});
}

namespace {
enum class Answer { Yes, No, QuitMeanwhile };
}  // namespace

void LoggingWindowTest::closingWhileBusyAsksWhetherToStop_data() {
  QTest::addColumn<bool>("download");  // else Start/Restart
  QTest::addColumn<bool>("escape");    // else the close box
  QTest::addColumn<int>("answer");
  QTest::addColumn<QString>("lastMessage");
  QTest::addColumn<QStringList>("lastRequests");
  QTest::addColumn<int>("requestCount");
  QTest::addColumn<int>("csvLines");  // 1: yesterday's file kept
  QTest::addColumn<QString>("runLog");  // the file holding this run's log
  // Asked before the fourth exchange: the download has selected slot 1, the
  // start has written the restart and slots 1 and 2.
  const QString stopped =
      QStringLiteral("Download stopped; \"03-data.csv\" was not written. Its log is in \"log-stopped.txt\".");
  const QStringList released{"write 3 157 1", "write 3 157 0"};
  const QString log = QStringLiteral("log.txt"), setAside = QStringLiteral("log-stopped.txt");
  QTest::newRow("download, Escape, yes") << true << true << int(Answer::Yes) << stopped << released << 4 << 1
                                         << setAside;
  QTest::newRow("download, close box, no")
      << true << false << int(Answer::No)
      << QStringLiteral("Data written to file \"03-data.csv\". Log available at \"log.txt\"")
      << QStringList{"write 3 157 0", "read 3 137 4", "read 3 168 10"} << 64 << 131 << log;
  QTest::newRow("start, close box, yes")
      << false << false << int(Answer::Yes) << QStringLiteral("Logging start stopped before all settings were written.")
      << QStringList{"write 3 128 16640", "write 3 168 1", "write 3 169 2"} << 3 << 1 << log;
  QTest::newRow("start, Escape, no") << false << true << int(Answer::No) << kStarted
                                     << QStringList{"write 3 149 900", "write 3 157 0"} << 14 << 1 << log;
  // SIGTERM while the real box waits for an answer: the box goes, the
  // download stops for the quit and the windows close.
  QTest::newRow("download, close box, quit meanwhile")
      << true << false << int(Answer::QuitMeanwhile) << stopped << released << 4 << 1 << setAside;
}

// The close box and Escape while a start or a download runs ask whether to
// stop it; yes stops it at its next safe point as SIGINT does (the slot
// released, yesterday's file kept with its log, the same message) and closes
// the window, whose last message then shows in a box; no carries on.
void LoggingWindowTest::closingWhileBusyAsksWhetherToStop() {
  QFETCH(bool, download);
  QFETCH(bool, escape);
  QFETCH(int, answer);
  QFETCH(QString, lastMessage);
  QFETCH(QStringList, lastRequests);
  QFETCH(int, requestCount);
  QFETCH(int, csvLines);
  QFETCH(QString, runLog);
  Sim("prefill 3 130");
  Sim("set 3 158 2");
  QFile old("03-data.csv");
  QVERIFY(old.open(QIODevice::WriteOnly) && old.write("yesterday\n") == 10);
  old.close();
  QFile oldLog("log.txt");
  QVERIFY(oldLog.open(QIODevice::WriteOnly) && oldLog.write("yesterday's log\n") == 16);
  oldLog.close();
  SetQuestionHook([answer](const QString&) { return answer == int(Answer::Yes); });
  if (answer == int(Answer::QuitMeanwhile)) SetMessageHook({});
  ProbedLoggingDlg dlg(console_->session);
  Open(dlg);
  bool boxOutlivedQuit = false;
  // A key press or a click on the close box, taken when the window next
  // lets input through; the quit comes from within the box's own loop.
  dlg.onSafePoint = [&](size_t count) {
    if (count != 4) return;
    QMetaObject::invokeMethod(&dlg, [&] {
      escape ? QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape) : void(dlg.windowHandle()->close());
    }, Qt::QueuedConnection);
    if (answer == int(Answer::QuitMeanwhile))
      QTimer::singleShot(100, &dlg, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        boxes_ << box->text();
        CLoggingDlg::StopAndCloseAllWindows(console_->session);  // as the signal's notifier calls it
        boxOutlivedQuit = box->isVisible();
        if (boxOutlivedQuit) box->close();  // a fault fails the row rather than hanging it
      });
  };
  Requests();
  Click(Button(dlg, download ? "downloadButton" : "startButton"));
  QStringList expectedBoxes{download ? QStringLiteral("Stop the download and close the window? "
                                                      "\"03-data.csv\" stays as it was.")
                                     : QStringLiteral("Stop the logging start and close the window? "
                                                      "The settings written so far stay on the meter.")};
  if (answer == int(Answer::Yes)) expectedBoxes << lastMessage;
  QCOMPARE(boxes_, expectedBoxes);
  QVERIFY(!boxOutlivedQuit);
  const QStringList requests = Requests();
  QCOMPARE(requests.size(), requestCount);
  QCOMPARE(requests.mid(requests.size() - lastRequests.size()), lastRequests);
  QCOMPARE(Messages(dlg).constFirst(), lastMessage);
  QCOMPARE(WithoutStamps(FileLines(runLog)).constLast(), lastMessage);
  QTRY_COMPARE(dlg.isVisible(), answer == int(Answer::No));
  QCOMPARE(int(FileLines("03-data.csv").size()), csvLines);
  QStringList files{"03-data.csv", "log.txt"};
  if (runLog != files.last()) {
    QCOMPARE(FileLines("log.txt"), QStringList{QStringLiteral("yesterday's log")});
    files.insert(1, runLog);
  }
  QCOMPARE(QDir().entryList(QDir::Files), files);
}

void LoggingWindowTest::logFileUnwritable() {
  // As root a read-only file is still writable; a directory is not.
  QVERIFY(QDir().mkdir("log.txt"));
  Sim("prefill 3 20");
  CLoggingDlg dlg(console_->session);
  Open(dlg);
  TypeInto(Slot(dlg, 1), "43");
  Click(Button(dlg, "startButton"));
  QCOMPARE(Messages(dlg), (QStringList{kStartError, kIllegalSlots}));
  QCOMPARE(Status(dlg), kStartError);
  Requests();
  Click(Button(dlg, "downloadButton"));
  QCOMPARE(Status(dlg), QStringLiteral("Cannot create file \"log.txt\"."));
  QCOMPARE(Messages(dlg), QStringList{});
  QCOMPARE(Requests(), QStringList{});
  QVERIFY(!QFile::exists("03-data.csv"));
  QVERIFY(QFileInfo("log.txt").isDir());
}

void LoggingWindowTest::dataFileUnwritable() {
  QVERIFY(QDir().mkdir("03-data.csv"));
  CLoggingDlg dlg(console_->session);
  Open(dlg);
  Requests();
  Click(Button(dlg, "downloadButton"));
  const QString cannotOpen = QStringLiteral("Cannot open file \"03-data.csv\". Make sure it isn't being used.");
  const QStringList expected{cannotOpen, QStringLiteral("\"Download Logged Data\" button pressed.")};
  QCOMPARE(Messages(dlg), expected);
  QCOMPARE(Status(dlg), cannotOpen);
  QStringList logged = WithoutStamps(FileLines("log.txt"));
  std::reverse(logged.begin(), logged.end());
  QCOMPARE(logged, expected);
  QCOMPARE(Requests(), QStringList{});
}

// --- Ending the window ------------------------------------------------------

void LoggingWindowTest::enterTransfersFieldsAndEnds() {
  CLoggingDlg dlg(console_->session);
  Open(dlg);
  Requests();
  TypeInto(Edit(dlg, "subIntervalEdit"), "300");
  TypeInto(Slot(dlg, 10), "336");
  QTest::keyClick(Slot(dlg, 10), Qt::Key_Return);
  QVERIFY(!dlg.isVisible());
  QCOMPARE(dlg.result(), int(QDialog::Accepted));
  QCOMPARE(boxes_, QStringList{});
  QCOMPARE(Requests(), QStringList{});
  QCOMPARE(Messages(dlg), QStringList{});
}

void LoggingWindowTest::enterWithARefusedFieldStaysOpen() {
  CLoggingDlg dlg(console_->session);
  Open(dlg);
  Requests();
  TypeInto(Slot(dlg, 3), "400");
  QTest::keyClick(Slot(dlg, 3), Qt::Key_Enter);
  QVERIFY(dlg.isVisible());
  QCOMPARE(boxes_, QStringList{kSlotRange});
  QVERIFY(Slot(dlg, 3)->hasFocus());
  QCOMPARE(Requests(), QStringList{});
}

void LoggingWindowTest::escapeAndCloseBoxSendNothing() {
  {
    CLoggingDlg dlg(console_->session);
    QTimer::singleShot(0, &dlg, [&] {
      Requests();
      TypeInto(Slot(dlg, 1), "400");
      QTest::keyClick(Slot(dlg, 1), Qt::Key_Escape);
    });
    QCOMPARE(dlg.exec(), int(QDialog::Rejected));
    QCOMPARE(Requests(), QStringList{});
    QCOMPARE(boxes_, QStringList{});
  }
  CLoggingDlg dlg(console_->session);
  QTimer::singleShot(0, &dlg, [&] {
    Requests();
    dlg.windowHandle()->close();
  });
  QCOMPARE(dlg.exec(), int(QDialog::Rejected));
  QCOMPARE(Requests(), QStringList{});
}

QTEST_MAIN(LoggingWindowTest)
#include "tst_logging_window.moc"
