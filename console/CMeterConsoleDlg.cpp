#include "console/CMeterConsoleDlg.h"

#include <QAbstractItemView>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QScreen>
#include <QShortcut>
#include <QSignalBlocker>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTimer>
#include <algorithm>
#include <ctime>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <utility>

#include "dialogs/CAboutDlg.h"
#include "dialogs/CDisclaimerDlg.h"
#include "charts/CTrendDlg.h"
#include "console/CCommTraceDlg.h"
#include "console/CCloseUpComboBox.h"
#include "bus/commands.h"
#include "bus/console_commands.h"
#include "bus/write_failure.h"
#include "widgets/field_validation.h"
#include "widgets/message_box.h"
#include "widgets/set_text.h"
#include "bus/poll.h"
#include "bus/scan.h"
#include "logging/CLoggingDlg.h"
#include "modbus/model.h"
#include "modbus/bus_owner.h"
#include "modbus/port_map.h"
#include "resources/app_resources.h"
#include "resources/resource.h"
#include "ui_console.h"

namespace {

// Baud-rate list entries, top to bottom.

constexpr unsigned kScanFieldMin = 1;
constexpr unsigned kScanFieldMax = 256;

// The device a COM entry maps to: shown beside the entry in the open list,
// and as the entry's tooltip where a long by-id name does not fit.
constexpr int kPortDescriptionRole = Qt::ToolTipRole;

class PortItemDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
    QStyledItemDelegate::initStyleOption(option, index);
    const QString description = index.data(kPortDescriptionRole).toString();
    if (!description.isEmpty()) option->text += QStringLiteral("   ") + description;
  }
};

// The scan-range fields take what is typed as a signed 32-bit number, with
// no range check: "-1" becomes 4294967295. The refresh writes that back as
// "4294967295", which must read back as the same value, so anything from
// -2147483648 to 4294967295 is taken modulo 2^32. Text that is no number,
// or a number no 32-bit field holds, gives 0.
unsigned ScanFieldValue(const QString& text) {
  bool ok = false;
  const qlonglong value = text.trimmed().toLongLong(&ok, 10);
  if (!ok || value < -2147483648LL || value > 4294967295LL) return 0;
  return static_cast<unsigned>(value);
}

// While it lives, every key, mouse and other input event of the program is
// dropped before it reaches a widget.
class InputDiscard : public QObject {
 public:
  InputDiscard() { QCoreApplication::instance()->installEventFilter(this); }
  ~InputDiscard() override { QCoreApplication::instance()->removeEventFilter(this); }
  InputDiscard(const InputDiscard&) = delete;
  InputDiscard& operator=(const InputDiscard&) = delete;

 protected:
  bool eventFilter(QObject* /*watched*/, QEvent* event) override { return event->isInputEvent(); }
};

// At most this long to empty the event queue after a scan: enough for what
// queued while it ran, and no trap for input made after it.
constexpr int kQueueDrainMs = 100;

// A scan holds the thread for its whole length: a click or key made
// meanwhile waits in the queue and, handled afterwards, would act on a list
// that has changed under it (the click made on 07 picks 09). The queue is
// emptied with its input dropped; paints and the rest are handled. Timers
// wait for the event loop: a poll tick would only hold the emptying up.
void DiscardInputQueuedMeanwhile() {
  const InputDiscard discard;
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::X11ExcludeTimers, kQueueDrainMs);
}

}  // namespace

// Shows the scan's progress in the device list, painting each step at once:
// the scan holds the thread, so these paints are its only sign of life.
class CMeterConsoleDlg::ScanProgress : public ScanSink {
 public:
  explicit ScanProgress(CMeterConsoleDlg& console) : console_(console) {}

  void Progress(const std::string& line) override {
    delete console_.m_deviceList->takeItem(0);
    console_.m_deviceList->insertItem(0, QString::fromStdString(line));
    console_.RepaintNow();
  }

  void MeterFound(const Meter& meter, bool first) override {
    console_.m_scannedMeters.push_back(meter);
    console_.m_deviceList->addItem(QString::fromStdString(DeviceLine(meter)));
    if (first) {
      console_.RepaintNow();
      console_.m_deviceList->setCurrentRow(1);  // the new entry; the progress line is entry 0
    }
    console_.RepaintNow();
  }

  void AddressDone() override {
    if (console_.m_session.link.Trace().live == 1) console_.m_commTraceDlg.RepaintNow();
  }

 private:
  CMeterConsoleDlg& console_;
};

CMeterConsoleDlg::CMeterConsoleDlg(ConsoleSession& session, QWidget* parent)
    : QDialog(parent),
      ui(std::make_unique<Ui::CMeterConsoleDlg>()),
      m_session(session),
      m_commTraceDlg(session.link, session.pollState),
      m_hIcon(AppIcon()) {
  ui->setupUi(this);
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  // Run modally, yet blocking no other window (it has no parent): the trace
  // window takes input beside it.
  setWindowModality(Qt::WindowModal);
  m_baudList = ui->baudList;
  m_portList = ui->portList;
  m_deviceList = ui->deviceList;
  m_allButtons = {ui->kwPhaseAll, ui->pfPhaseAll, ui->voltsLLPhaseAll, ui->voltsLNPhaseAll, ui->ampsPhaseAll};
  m_portList->setItemDelegate(new PortItemDelegate(m_portList));
  m_portList->setCurrentIndex(-1);  // nothing chosen until the user picks a port
  // Kept from the meter's older front panel: present, never shown, no handlers.
  for (QWidget* unused : std::initializer_list<QWidget*>{ui->pulseCounterGroup, ui->pulseCount, ui->pulseEnable,
                                                          ui->pulseResetCount, ui->startKwhLabel, ui->startKwh})
    unused->hide();
  ConnectControls();
}

CMeterConsoleDlg::~CMeterConsoleDlg() { DestroyWindow(); }

void CMeterConsoleDlg::ConnectControls() {
  connect(ui->rescan, &QPushButton::clicked, this, &CMeterConsoleDlg::OnRescan);
  connect(ui->showComm, &QPushButton::clicked, this, &CMeterConsoleDlg::OnShowComm);
  connect(ui->quit, &QPushButton::clicked, this, &CMeterConsoleDlg::OnOK);
  connect(ui->resetKwh, &QPushButton::clicked, this, &CMeterConsoleDlg::OnResetKwh);
  connect(ui->setClock, &QPushButton::clicked, this, &CMeterConsoleDlg::OnSetClock);
  connect(ui->logging, &QPushButton::clicked, this, &CMeterConsoleDlg::OnLoggingSetup);
  connect(m_deviceList, &QListWidget::itemSelectionChanged, this, &CMeterConsoleDlg::OnSelchangeDevices);
  connect(m_baudList, &CCloseUpComboBox::closeUp, this, &CMeterConsoleDlg::OnCloseupBaudRate);
  connect(m_portList, &CCloseUpComboBox::closeUp, this, &CMeterConsoleDlg::OnCloseupComPort);
  connect(m_portList, &CCloseUpComboBox::dropDown, this, &CMeterConsoleDlg::OnDropdownComPort);
  connect(ui->scanStart, &QLineEdit::textChanged, this, &CMeterConsoleDlg::OnChangeScanStart);
  connect(ui->scanEnd, &QLineEdit::textChanged, this, &CMeterConsoleDlg::OnChangeScanEnd);

  const QRadioButton* const phases[kPhaseRows][kPhaseColumns] = {
      {ui->kwPhaseAll, ui->kwPhaseA, ui->kwPhaseB, ui->kwPhaseC},
      {ui->pfPhaseAll, ui->pfPhaseA, ui->pfPhaseB, ui->pfPhaseC},
      {ui->voltsLLPhaseAll, ui->voltsLLPhaseA, ui->voltsLLPhaseB, ui->voltsLLPhaseC},
      {ui->voltsLNPhaseAll, ui->voltsLNPhaseA, ui->voltsLNPhaseB, ui->voltsLNPhaseC},
      {ui->ampsPhaseAll, ui->ampsPhaseA, ui->ampsPhaseB, ui->ampsPhaseC},
  };
  for (int row = 0; row < kPhaseRows; ++row)
    for (int column = 0; column < kPhaseColumns; ++column)
      connect(phases[row][column], &QRadioButton::clicked, this,
              [this, row, column] { OnPhaseClicked(static_cast<PhaseRow>(row), column); });
}

int CMeterConsoleDlg::DoModal() {
  OnInitDialog();
  if (!m_ended) exec();
  DestroyWindow();
  return result() == QDialog::Accepted ? IDOK : IDCANCEL;
}

void CMeterConsoleDlg::done(int result) {
  m_ended = true;
  QDialog::done(result);
}

bool CMeterConsoleDlg::OnInitDialog() {
  UpdateData(false);
  m_baudList->setCurrentIndex(0);
  BuildSystemMenu();
  setWindowIcon(m_hIcon);

  CDisclaimerDlg terms;
  if (terms.DoModal() == IDCANCEL) {
    OnOK();
    return true;
  }

  m_timerId = SetTimer(1000);
  if (m_timerId == 0) ShowAppMessage(this, QStringLiteral("Error: couldn't set up timer, try closing other programs"));
  m_session.consoleStarted = true;
  for (QRadioButton* all : m_allButtons) all->setChecked(true);
  return true;
}

int CMeterConsoleDlg::SetTimer(int elapseMs) { return startTimer(elapseMs); }

void CMeterConsoleDlg::BuildSystemMenu() {
  m_systemMenu = new QMenu(this);
  const auto addCommand = [this](const QString& text, unsigned id) {
    m_systemMenu->addAction(text)->setData(id);
  };
  addCommand(tr("Mi&nimize"), kScMinimize);
  addCommand(tr("&Close"), kScClose);
  const QString aboutText = LoadResourceString(IDS_ABOUTBOX);
  if (!aboutText.isEmpty()) {
    m_systemMenu->addSeparator();
    addCommand(aboutText, kIdmAboutBox);
  }
  addCommand(tr("&Trend...\tCtrl+T"), kIdmTrend);
  new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_T), this, this, &CMeterConsoleDlg::OnTrend);
  connect(m_systemMenu, &QMenu::triggered, this, [this](QAction* action) { OnSysCommand(action->data().toUInt()); });
}

void CMeterConsoleDlg::contextMenuEvent(QContextMenuEvent* event) {
  if (m_systemMenu) m_systemMenu->exec(event->globalPos());
}

void CMeterConsoleDlg::OnSysCommand(unsigned id) {
  // The low four bits of a system command are the system's own.
  switch (id & 0xFFF0) {
    case kIdmAboutBox: {
      CAboutDlg about(this);
      PlaceOverConsole(about);
      about.DoModal();
      break;
    }
    case kIdmTrend:
      OnTrend();
      break;
    case kScMinimize:
      showMinimized();
      break;
    case kScClose:
      close();
      break;
    default:
      break;
  }
}

void CMeterConsoleDlg::PlaceOverConsole(QDialog& dialog) {
  // An explicit position: left to Qt, a dialog's placement is only a hint
  // that some desktops leave to the window manager, which may put it in a
  // corner of the screen.
  QRect placed(QPoint(), dialog.size());
  placed.moveCenter(geometry().center());
  const QRect screenArea = screen()->availableGeometry();
  placed.moveTopLeft(QPoint(std::max(placed.left(), screenArea.left()), std::max(placed.top(), screenArea.top())));
  dialog.setGeometry(placed);
  dialog.setWindowModality(Qt::WindowModal);
}

void CMeterConsoleDlg::ChoosePortOnceShown(int entry) { m_portToChoose = entry; }

void CMeterConsoleDlg::paintEvent(QPaintEvent* event) {
  OnPaint(event);
  // The first paint puts the console on the screen; the choice follows from
  // the event loop, as the user's own would.
  if (const std::optional<int> entry = std::exchange(m_portToChoose, std::nullopt))
    QTimer::singleShot(0, this, [this, entry] {
      m_portList->setCurrentIndex(*entry);
      OnCloseupComPort();
    });
}

void CMeterConsoleDlg::OnPaint(QPaintEvent* event) {
  if (!isMinimized()) {
    QDialog::paintEvent(event);
    return;
  }
  // Where a window system still paints iconic windows: the icon, centred.
  QPainter painter(this);
  painter.fillRect(rect(), palette().window());
  const int iconSize = style()->pixelMetric(QStyle::PM_LargeIconSize);
  const int x = (width() - iconSize + 1) / 2;
  const int y = (height() - iconSize + 1) / 2;
  m_hIcon.paint(&painter, x, y, iconSize, iconSize);
}

void CMeterConsoleDlg::keyPressEvent(QKeyEvent* event) {
  // Enter reaches the dialog only when no push button has taken it: the
  // dialog's default command, the OK path.
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    OnOK();
    return;
  }
  QDialog::keyPressEvent(event);
}

std::array<CMeterConsoleDlg::TextBinding, 15> CMeterConsoleDlg::TextBindings() {
  return {{{ui->amps, &m_amps},
           {ui->kw, &m_kw},
           {ui->kwh, &m_kwh},
           {ui->pf, &m_pf},
           {ui->voltsLL, &m_voltsLL},
           {ui->voltsLN, &m_voltsLN},
           {ui->bufferStatus, &m_bufferStatus},
           {ui->clock, &m_clock},
           {ui->daysToRollover, &m_daysToRollover},
           {ui->logEntries, &m_logEntries},
           {ui->rollovers, &m_rollovers},
           {ui->startKwh, &m_startKwh},
           {ui->newestEntry, &m_newestEntry},
           {ui->subInterval, &m_subInterval},
           {ui->pulseCount, &m_pulseCount}}};
}

bool CMeterConsoleDlg::UpdateData(bool saveAndValidate) { return DoDataExchange(saveAndValidate); }

bool CMeterConsoleDlg::DoDataExchange(bool saveAndValidate) {
  for (const TextBinding& binding : TextBindings()) {
    if (saveAndValidate)
      *binding.member = binding.field->text();
    else
      SetTextIfChanged(binding.field, *binding.member);
  }
  return ExchangeScanField(saveAndValidate, ui->scanStart, m_scanStart) &&
         ExchangeScanField(saveAndValidate, ui->scanEnd, m_scanEnd);
}

bool CMeterConsoleDlg::ExchangeScanField(bool saveAndValidate, QLineEdit* field, unsigned& value) {
  if (!saveAndValidate) {
    if (!BeingTypedIn(field)) SetTextIfChanged(field, QString::number(value));
    return true;
  }
  const FieldReading typed = ReadUnsignedField(field->text(), kScanFieldMin, kScanFieldMax);
  if (typed.check != FieldCheck::NotANumber) value = typed.value;
  if (typed.check == FieldCheck::Ok) return true;
  RefuseField(this, field, typed.check, kScanFieldMin, kScanFieldMax);
  return false;
}

bool CMeterConsoleDlg::BeingTypedIn(const QLineEdit* field) const {
  // Text on its way to a number ("", "-", "1" of "12") would be replaced by
  // the member's value each second; the member has the value all the same.
  return field == focusWidget() && field->isModified();
}

void CMeterConsoleDlg::ClearReadings() {
  for (QString* reading : {&m_kwh, &m_kw, &m_pf, &m_voltsLL, &m_voltsLN, &m_amps}) reading->clear();
}

void CMeterConsoleDlg::ClearLogFieldsUnlessQm4c(int model) {
  // Only a QM4C has a clock and a log: a QM4A or QM4B would otherwise show
  // the QM4C's last values as its own.
  if (model == ModelQM4C) return;
  for (QString* field :
       {&m_subInterval, &m_clock, &m_bufferStatus, &m_rollovers, &m_daysToRollover, &m_logEntries, &m_newestEntry})
    field->clear();
}

void CMeterConsoleDlg::RepaintNow() {
  // The list lays its items out lazily, from the event loop this window is
  // not running while it scans; lay them out before the paint.
  m_deviceList->doItemsLayout();
  repaint();
}

void CMeterConsoleDlg::timerEvent(QTimerEvent* event) { OnTimer(event->timerId()); }

void CMeterConsoleDlg::OnTimer(int /*timerId*/) {
  TryLostPortAgain();
  PollFields fields;
  const bool polled =
      PollMeter(m_session.link, m_session.pickedMeter, m_session.pollState, fields, m_session.phaseOffset);
  WatchLine(polled, fields);
  ShowLineStatus();
  if (!polled) {
    // The picked meter's port has closed (a reopen at another baud rate or
    // another port failed to open): nothing shown is current any more.
    if (!m_session.link.IsOpen() && m_session.pickedMeter.model != ModelNone) ShowAllStale();
    return;
  }
  const Meter* shown = ScannedMeter(m_deviceList->currentRow());
  m_trendStore.Add(QDateTime::currentMSecsSinceEpoch(), shown ? *shown : Meter{},
                   TrendValuesOf(fields.pairs.data(), fields.pairsRead));
  if (m_trendDlg) m_trendDlg->Refresh();
  ApplyPollFields(fields);
  UpdateData(false);
}

std::array<CMeterConsoleDlg::PolledField, 13> CMeterConsoleDlg::PolledFields(const PollFields& fields) {
  return {{{&fields.kwh, &m_kwh, ui->kwh},
           {&fields.kw, &m_kw, ui->kw},
           {&fields.pf, &m_pf, ui->pf},
           {&fields.voltsLL, &m_voltsLL, ui->voltsLL},
           {&fields.voltsLN, &m_voltsLN, ui->voltsLN},
           {&fields.amps, &m_amps, ui->amps},
           {&fields.subInterval, &m_subInterval, ui->subInterval},
           {&fields.clock, &m_clock, ui->clock},
           {&fields.bufferStatus, &m_bufferStatus, ui->bufferStatus},
           {&fields.rollovers, &m_rollovers, ui->rollovers},
           {&fields.daysToRollover, &m_daysToRollover, ui->daysToRollover},
           {&fields.logEntries, &m_logEntries, ui->logEntries},
           {&fields.newestEntry, &m_newestEntry, ui->newestEntry}}};
}

void CMeterConsoleDlg::ApplyPollFields(const PollFields& fields) {
  for (const PolledField& polled : PolledFields(fields)) {
    if (polled.text->has_value()) *polled.member = QString::fromStdString(**polled.text);
    ShowStale(polled.field, LeftStale(fields, *polled.text));
  }
}

void CMeterConsoleDlg::ShowStale(QLineEdit* field, bool stale) {
  // The text stays as it was, greyed as a disabled field's text is; the
  // field itself stays enabled, so its text can still be selected and copied.
  if (field->property("stale").toBool() == stale) return;
  field->setProperty("stale", stale);
  QPalette palette;  // no role set: the field's own palette again
  if (stale) {
    const QColor grey = field->palette().color(QPalette::Disabled, QPalette::Text);
    palette.setColor(QPalette::Active, QPalette::Text, grey);
    palette.setColor(QPalette::Inactive, QPalette::Text, grey);
  }
  field->setPalette(palette);
}

void CMeterConsoleDlg::ShowAllStale() {
  const PollFields none;
  for (const PolledField& polled : PolledFields(none)) ShowStale(polled.field, true);
}

void CMeterConsoleDlg::ShowPollPaused() {
  ShowAllStale();
  ShowLineStatus();
}

void CMeterConsoleDlg::TryLostPortAgain(bool now) {
  ModbusLink& link = m_session.link;
  if (m_lineWatch.RetryDue(LineWatch::Clock::now()) || now) link.Reopen(m_baudRate);
  if (link.IsOpen() && !link.DeviceGone()) m_lineWatch.PortBack();
}

void CMeterConsoleDlg::WatchLine(bool polled, const PollFields& fields) {
  const ModbusLink& link = m_session.link;
  if (link.DeviceGone()) m_lineWatch.PortLost(link.Name(), link.GoneText(), LineWatch::Clock::now());
  if (polled) m_lineWatch.PollEnded(m_session.pickedMeter.address, fields.answered, std::time(nullptr));
}

void CMeterConsoleDlg::ShowLineStatus() {
  QLabel* line = ui->lineStatus;
  const LineStatusText status = m_lineWatch.Status(m_session.pollState.suspended);
  // The state on the first line, the device's words on the second; what
  // does not fit a line ends in "...", and the tooltip has the whole text.
  const int width = line->contentsRect().width();
  QString shown = line->fontMetrics().elidedText(QString::fromStdString(status.state), Qt::ElideRight, width);
  if (!status.detail.empty())
    shown += QLatin1Char('\n') +
             line->fontMetrics().elidedText(QString::fromStdString(status.detail), Qt::ElideRight, width);
  if (line->text() != shown) line->setText(shown);
  line->setToolTip(QString::fromStdString(status.Whole()));
  ShowTrouble(line, status.trouble);
}

void CMeterConsoleDlg::ShowTrouble(QLabel* line, bool trouble) {
  // Red that reads on the window's own background: dark on a light theme,
  // light on a dark one.
  QPalette palette;  // no role set: the label's own palette again
  if (trouble) {
    const bool darkTheme = palette.color(QPalette::Window).lightness() < 128;
    palette.setColor(QPalette::WindowText, darkTheme ? QColor(255, 120, 110) : QColor(176, 0, 0));
  }
  line->setPalette(palette);
}

void CMeterConsoleDlg::OnRescan() {
  // A scan asked for while the port is lost is most likely the user's check
  // that the adapter is back: it is tried at once. Still gone, nothing is
  // scanned, so the list and the picked meter wait for its return.
  if (m_lineWatch.PortIsLost()) TryLostPortAgain(true);
  if (m_lineWatch.PortIsLost()) {
    m_lineWatch.RescanWaits();
    ShowLineStatus();
    return;
  }
  if (!m_session.link.IsOpen() && m_lineWatch.OpenWasRefused()) {
    // The port is picked; asking for one would be no answer.
    ShowAppMessage(this, QString::fromStdString(m_lineWatch.CannotScanText()));
    return;
  }
  if (!m_session.link.IsOpen()) {
    ShowAppMessage(this, QStringLiteral("Please select a COM port"));
    UpdateData(false);
    return;
  }
  // Every change the scan makes to the list is the program's own: none of
  // them is a selection by the user.
  const QSignalBlocker programChanges(m_deviceList);
  m_deviceList->clear();
  m_scannedMeters.clear();
  ClearReadings();
  m_deviceList->insertItem(0, QStringLiteral("Searching..."));
  UpdateData(false);
  RepaintNow();

  ScanProgress progress(*this);
  ScanBus(m_session.link, m_scanStart, m_scanEnd, progress, m_session.pickedMeter);
  delete m_deviceList->takeItem(0);
  // A meter no longer listed is neither shown nor polled.
  if (m_deviceList->count() == 0) m_session.pickedMeter = Meter{};
  ClearLogFieldsUnlessQm4c(m_session.pickedMeter.model);
  ShowModelFeatures(m_session.pickedMeter.model);
  m_lineWatch.ScanEnded(m_deviceList->count(), m_scanStart, m_scanEnd, m_baudRate);
  ShowLineStatus();
  RepaintNow();
  UpdateData(false);
  DiscardInputQueuedMeanwhile();
}

const Meter* CMeterConsoleDlg::ScannedMeter(int row) const {
  return row >= 0 && row < static_cast<int>(m_scannedMeters.size()) ? &m_scannedMeters[static_cast<size_t>(row)]
                                                                    : nullptr;
}

// No address beyond the meters' own range, although the scan lists whatever
// address answered.
Meter CMeterConsoleDlg::PickedMeter(int row) const {
  const Meter* scanned = ScannedMeter(row);
  if (scanned == nullptr) return {};
  Meter meter = *scanned;
  if (!SelectableAddress(meter.address)) meter.address = -1;
  return meter;
}

void CMeterConsoleDlg::OnSelchangeDevices() {
  const QList<QListWidgetItem*> selected = m_deviceList->selectedItems();
  if (selected.isEmpty()) {
    m_session.pickedMeter.address = -1;
    return;
  }
  const Meter meter = PickedMeter(m_deviceList->row(selected.front()));
  ClearReadings();
  ClearLogFieldsUnlessQm4c(meter.model);
  ShowModelFeatures(meter.model);
  UpdateData(false);
  RepaintNow();
  m_session.pickedMeter.model = meter.model;
  m_session.pickedMeter.address = meter.address;
}

void CMeterConsoleDlg::OnPhaseClicked(PhaseRow row, int column) {
  m_session.phaseOffset[row] = PhaseOffset(row, column);
  QString* const rowText[kPhaseRows] = {&m_kw, &m_pf, &m_voltsLL, &m_voltsLN, &m_amps};
  rowText[row]->clear();
}

void CMeterConsoleDlg::OnResetKwh() {
  const Meter& meter = m_session.pickedMeter;
  // A billing counter is not erased by one click: the question names the
  // meter and what it would lose. Nothing to reset, nothing to ask.
  if (m_session.link.IsOpen() && meter.model != ModelNone) {
    bool shown = false;
    const double kwh = m_kwh.toDouble(&shown);
    const std::optional<double> now = shown ? std::optional<double>(kwh) : std::nullopt;
    if (!AskAppQuestion(this, QString::fromStdString(ResetKwhQuestion(meter, now)))) return;
  }
  SayCommandResult("Reset kWH", ResetEnergy(m_session.link, meter));
}

void CMeterConsoleDlg::OnSetClock() { SayCommandResult("Set Clock", SetClockFromPc(m_session.link, m_session.pickedMeter)); }

void CMeterConsoleDlg::SayCommandResult(const char* command, ModbusResult result) {
  // Nothing sent (no port, no meter that takes it) is no failure of a write.
  if (result == ResultBadParameter) return;
  if (result == ResultOk)
    m_lineWatch.CommandSucceeded();
  else
    m_lineWatch.CommandFailed(command, WriteFailureText(m_session.link, result));
  ShowLineStatus();
}

void CMeterConsoleDlg::ShowLacking(const TextBinding& binding, bool lacking) {
  if (lacking)
    *binding.member = QStringLiteral("-");
  else if (!binding.field->isEnabled())
    binding.member->clear();  // the dash of the model picked before
  binding.field->setEnabled(!lacking);
}

void CMeterConsoleDlg::ShowModelFeatures(int model) {
  // What the model lacks is greyed and shows a dash; what it has comes back
  // as it was. A QM4C has everything, so nothing changes for it.
  const ModelFeatures features = FeaturesOf(model);
  for (const TextBinding& reading : {TextBinding{ui->pf, &m_pf}, TextBinding{ui->voltsLL, &m_voltsLL},
                                     TextBinding{ui->voltsLN, &m_voltsLN}, TextBinding{ui->amps, &m_amps}})
    ShowLacking(reading, !features.phaseReadings);
  for (const TextBinding& logField :
       {TextBinding{ui->clock, &m_clock}, TextBinding{ui->subInterval, &m_subInterval},
        TextBinding{ui->bufferStatus, &m_bufferStatus}, TextBinding{ui->rollovers, &m_rollovers},
        TextBinding{ui->daysToRollover, &m_daysToRollover}, TextBinding{ui->logEntries, &m_logEntries},
        TextBinding{ui->newestEntry, &m_newestEntry}})
    ShowLacking(logField, !features.clockAndLog);
  // Without phase readings only the total power is there to show.
  for (QRadioButton* button : findChildren<QRadioButton*>())
    button->setEnabled(features.phaseReadings || button == ui->kwPhaseAll);
  const std::string clockRefusal = SetClockRefusal(model), loggingRefusal = LoggingRefusal(model);
  ui->setClock->setEnabled(clockRefusal.empty());
  ui->setClock->setToolTip(QString::fromStdString(clockRefusal));
  ui->logging->setEnabled(loggingRefusal.empty());
  ui->logging->setToolTip(QString::fromStdString(loggingRefusal));
}

void CMeterConsoleDlg::OnLoggingSetup() {
  // Only a QM4C keeps a log: the button of a QM4A or QM4B is disabled, its
  // tooltip saying so.
  if (m_session.pickedMeter.model != ModelQM4C) return;
  // The logging window runs transactions of its own; the poll must not
  // interleave with them while its modal loop lets the timer through.
  m_session.pollState.suspended = true;
  ShowPollPaused();
  CLoggingDlg logging(m_session.logging, this);
  PlaceOverConsole(logging);
  logging.exec();
  m_session.pollState.suspended = false;
  ShowLineStatus();
}

void CMeterConsoleDlg::OnShowComm() {
  if (m_commTraceDlg.IsWindowOpen()) {
    // Live or frozen, the one window comes forward as it is.
    m_commTraceDlg.BringToFront();
    return;
  }
  m_commTraceDlg.Create(this);
  m_session.link.Trace().live = 1;
}

CTrendDlg* CMeterConsoleDlg::TrendWindow() const { return m_trendDlg; }

void CMeterConsoleDlg::OnTrend() {
  if (!m_trendDlg) m_trendDlg = new CTrendDlg(m_trendStore, this);
  m_trendDlg->show();
  m_trendDlg->raise();
  m_trendDlg->activateWindow();
}

void CMeterConsoleDlg::OnCloseupBaudRate() {
  const int index = m_baudList->currentIndex();
  if (index >= 0 && index < static_cast<int>(std::size(kBaudRates))) m_baudRate = kBaudRates[index];
  m_session.link.Reopen(m_baudRate);
}

void CMeterConsoleDlg::OnDropdownComPort() {
  // Adapters come and go: say what each entry maps to now.
  for (int entry = 0; entry < m_portList->count(); ++entry)
    m_portList->setItemData(entry, QString::fromStdString(m_session.ports.Description(entry + 1)), kPortDescriptionRole);
  m_portList->view()->setMinimumWidth(m_portList->view()->sizeHintForColumn(0));
}

void CMeterConsoleDlg::OnCloseupComPort() {
  // The name comes from the entry's index: entry 0 is "COM1:", and no entry
  // chosen (-1) gives "COM0:", which no port answers to.
  char name[] = "COM1:";
  name[3] = static_cast<char>('1' + m_portList->currentIndex());
  // Nothing said of the last port holds for the one chosen now.
  m_lineWatch = LineWatch();
  ShowLineStatus();
  const bool opened = m_session.link.Open(name, m_baudRate) || OpenThroughMonitorsGateway(name);
  ShowBaudRateUse();
  if (opened) OnRescan();
}

bool CMeterConsoleDlg::OpenThroughMonitorsGateway(const char* name) {
  const std::string reason = m_session.link.OpenFailureText();
  m_lineWatch.OpenRefused(name, reason);
  ShowLineStatus();
  QString message = QStringLiteral("Unable to open %1").arg(QString::fromLatin1(name));
  if (!reason.empty()) message += QLatin1Char('\n') + QString::fromStdString(reason);
  // A monitor holding the port serves the same bus through its gateway:
  // offered for this run only, nothing is stored.
  const std::string gateway = BusOwnerGateway(m_session.ports.Resolve(name));
  if (gateway.empty()) {
    ShowAppMessage(this, message);
    return false;
  }
  const int comNumber = ComPortNumber(name);
  message += QStringLiteral("\n\nUse the monitor's gateway as COM%1 for this session (COM%1=%2)?")
                 .arg(comNumber)
                 .arg(QString::fromStdString(gateway));
  if (!AskAppQuestion(this, message)) return false;
  m_session.ports.Set(comNumber, gateway);
  m_lineWatch = LineWatch();
  ShowLineStatus();
  if (m_session.link.Open(name, m_baudRate)) return true;
  m_lineWatch.OpenRefused(name, m_session.link.OpenFailureText());
  ShowLineStatus();
  return false;
}

void CMeterConsoleDlg::ShowBaudRateUse() {
  // A gateway's line runs at the gateway's rate: there is nothing to set here.
  const bool gateway = m_session.link.Reconnects();
  m_baudList->setEnabled(!gateway);
  m_baudList->setToolTip(gateway ? QStringLiteral("The gateway's own line sets the baud rate.") : QString());
}

void CMeterConsoleDlg::OnChangeScanStart() { m_scanStart = ScanFieldValue(ui->scanStart->text()); }

void CMeterConsoleDlg::OnChangeScanEnd() { m_scanEnd = ScanFieldValue(ui->scanEnd->text()); }

void CMeterConsoleDlg::OnOK() {
  if (!UpdateData(true)) return;
  QDialog::accept();
}

void CMeterConsoleDlg::OnCancel() { QDialog::reject(); }

void CMeterConsoleDlg::DestroyWindow() {
  if (m_windowDestroyed) return;
  m_windowDestroyed = true;
  if (m_session.consoleStarted && m_timerId != 0) killTimer(m_timerId);
  m_session.link.Close();
  m_commTraceDlg.DestroyWindow();
  if (m_trendDlg) m_trendDlg->close();
  hide();
}
