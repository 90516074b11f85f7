#include "logging/CLoggingDlg.h"

#include <QApplication>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QTimer>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>
#include <utility>

#include "widgets/field_validation.h"
#include "widgets/message_box.h"
#include "charts/CLogPlotDlg.h"
#include "bus/download.h"
#include "bus/logging_start.h"
#include "ui_logging.h"

namespace {

// Field ranges: a slot holds a register number up to the last float
// register, 336; the sub-interval register is signed 16-bit on the meter.
constexpr unsigned kHighestSlotValue = 336;
constexpr unsigned kHighestSubInterval = 32767;

constexpr unsigned kPausedBit = 0x2;  // bit 1 of the logging control word

// The narrowest the dialog font is condensed to (see FitFontToTemplate).
constexpr int kNarrowestStretch = 76;

// True when every static text and radio caption fits the width its
// control has in the template.
bool CaptionsFit(const QWidget& dialog) {
  for (const QWidget* caption : dialog.findChildren<QWidget*>()) {
    const bool hasCaption = qobject_cast<const QLabel*>(caption) || qobject_cast<const QRadioButton*>(caption);
    if (hasCaption && caption->sizeHint().width() > caption->width()) return false;
  }
  return true;
}

}  // namespace

// One run of the field transfer: its direction and whether a field was
// refused, after which every later field is left alone.
struct CLoggingDlg::DataExchange {
  QWidget* dialog;
  bool saveAndValidate;
  bool failed = false;
  bool unreadable = false;  // the refused field held no number at all

  void UnsignedInRange(QLineEdit* field, unsigned& value, unsigned low, unsigned high) {
    if (failed) return;
    if (!saveAndValidate) {
      field->setText(QString::number(value));
      return;
    }
    const FieldReading read = ReadUnsignedField(field->text(), low, high);
    if (read.check == FieldCheck::NotANumber) {
      unreadable = true;
    } else {
      value = read.value;  // kept even when out of range: the caller goes on with it
    }
    if (read.check != FieldCheck::Ok) {
      RefuseField(dialog, field, read.check, low, high);
      failed = true;
    }
  }

  // value: index of the checked button, -1 when none is checked.
  void Radio(const std::array<QRadioButton*, 2>& group, int& value) {
    if (failed) return;
    if (saveAndValidate) {
      value = -1;
      for (int i = 0; i < int(group.size()); ++i)
        if (group[i]->isChecked()) value = i;
      return;
    }
    // Auto-exclusive buttons cannot all be unchecked, yet a value outside
    // the group must show none checked.
    for (QRadioButton* button : group) button->setAutoExclusive(false);
    for (int i = 0; i < int(group.size()); ++i) group[i]->setChecked(i == value);
    for (QRadioButton* button : group) button->setAutoExclusive(true);
  }
};

// While a start or a download holds the thread: no input reaches the window
// but its close box and Escape, which ask the stop question; the cursor says
// it is busy, and the download shows its progress bar. A quit asked for
// meanwhile (SIGINT, SIGTERM) has stopped the operation at a safe point;
// once it has returned, the windows close as the quit asked. A stop the user
// asked for closes this window alone, and says how the operation ended.
class CLoggingDlg::BusyScope {
 public:
  BusyScope(CLoggingDlg& dialog, QProgressBar* progress, QString stopQuestion)
      : dialog_(dialog), progress_(progress) {
    dialog_.m_busy = true;
    dialog_.m_stopQuestion = std::move(stopQuestion);
    dialog_.m_stopAsked = false;
    ++dialog_.m_session.busyWindows;
    qApp->installEventFilter(&dialog_);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    if (progress_) {
      progress_->setRange(0, 0);  // busy until the first section gives the total
      progress_->show();
      progress_->repaint();
    }
  }
  ~BusyScope() {
    if (progress_) progress_->hide();
    QApplication::restoreOverrideCursor();
    qApp->removeEventFilter(&dialog_);
    dialog_.m_busy = false;
    --dialog_.m_session.busyWindows;
    if (dialog_.m_session.stop.Requested())
      QTimer::singleShot(0, qApp, [] { QApplication::closeAllWindows(); });
    else if (std::exchange(dialog_.m_stopAsked, false))
      dialog_.CloseOnStop();
  }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  CLoggingDlg& dialog_;
  QProgressBar* progress_;
};

CLoggingDlg::CLoggingDlg(LoggingSession& session, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::CLoggingDlg>()), m_session(session) {
  ui->setupUi(this);
  FitFontToTemplate();
  // Modal frame with title bar, system menu, minimise, maximise and help
  // boxes. Whether a transient dialog gets a taskbar entry is the window
  // manager's choice on X11.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinMaxButtonsHint | Qt::WindowContextHelpButtonHint | Qt::WindowCloseButtonHint);
  // The hidden "Pause" button (1100) has no command: nothing sets the
  // paused bit, so pausing is not offered.
  connect(ui->startButton, &QPushButton::clicked, this, &CLoggingDlg::OnStartRestart);
  connect(ui->downloadButton, &QPushButton::clicked, this, &CLoggingDlg::OnDownload);
  connect(ui->plotButton, &QPushButton::clicked, this, &CLoggingDlg::OnPlot);
}

CLoggingDlg::~CLoggingDlg() = default;

// The template's sizes were made for MS Sans Serif 8, whose average
// character is 6 px wide; the sans-serif faces Linux puts in its place are
// wider (DejaVu Sans 8: 6.8 px, "SubInterval Length (Seconds)" 163 px in a
// 142 px label). Rather than cut captions, condense the font just enough
// that every caption fits, keeping its height and so the line spacing the
// legend's 13 px lines rely on.
void CLoggingDlg::FitFontToTemplate() {
  QFont condensed = font();
  for (int stretch = 100; stretch >= kNarrowestStretch && !CaptionsFit(*this); stretch -= 2) {
    condensed.setStretch(stretch);
    setFont(condensed);
  }
}

bool CLoggingDlg::UpdateData(bool saveAndValidate) { return !ExchangeFields(saveAndValidate).failed; }

CLoggingDlg::DataExchange CLoggingDlg::ExchangeFields(bool saveAndValidate) {
  DataExchange dx{this, saveAndValidate};
  DoDataExchange(dx);
  return dx;
}

void CLoggingDlg::DoDataExchange(DataExchange& dx) {
  m_pauseButton = ui->pauseButton;
  m_statusField = ui->statusEdit;
  m_messageList = ui->messageList;
  dx.UnsignedInRange(ui->slot1Edit, m_slot1, 0, kHighestSlotValue);
  dx.UnsignedInRange(ui->slot2Edit, m_slot2, 0, kHighestSlotValue);
  dx.UnsignedInRange(ui->slot3Edit, m_slot3, 0, kHighestSlotValue);
  dx.UnsignedInRange(ui->subIntervalEdit, m_subInterval, 0, kHighestSubInterval);
  dx.Radio({ui->continuousRadio, ui->oneShotRadio}, m_loggingMethod);
  dx.UnsignedInRange(ui->slot4Edit, m_slot4, 0, kHighestSlotValue);
  dx.UnsignedInRange(ui->slot5Edit, m_slot5, 0, kHighestSlotValue);
  dx.UnsignedInRange(ui->slot6Edit, m_slot6, 0, kHighestSlotValue);
  dx.UnsignedInRange(ui->slot7Edit, m_slot7, 0, kHighestSlotValue);
  dx.UnsignedInRange(ui->slot8Edit, m_slot8, 0, kHighestSlotValue);
  dx.UnsignedInRange(ui->slot9Edit, m_slot9, 0, kHighestSlotValue);
  dx.UnsignedInRange(ui->slot10Edit, m_slot10, 0, kHighestSlotValue);
}

bool CLoggingDlg::OnInitDialog() {
  UpdateData(false);
  // A silent meter leaves the slots of the last opening.
  ReadLogSlots(m_session.link, m_session.pickedMeter, m_session.logSetup);
  SetMembers(CurrentLoggingSettings(m_session.pollState.subIntervalSeconds, m_session.logSetup));
  m_pauseButton->setText((unsigned(m_session.logSetup.logControl) & kPausedBit) ? QStringLiteral("RESUME")
                                                               : QStringLiteral("PAUSE"));
  // A data file an earlier download left, in this run or another, can be
  // plotted at once.
  ui->plotButton->setEnabled(QFileInfo(DataFilePath()).isFile());
  UpdateData(false);
  return true;
}

void CLoggingDlg::showEvent(QShowEvent* event) {
  // The first showing is the dialog's initialisation: the fields are filled
  // before the window reaches the screen.
  if (!m_initialised) {
    m_initialised = true;
    OnInitDialog();
  }
  QDialog::showEvent(event);
}

void CLoggingDlg::OnStartRestart() {
  // A refused field has had its message box. An out-of-range number stays
  // in its member, and the core refuses it with its own two messages. A
  // field holding no number leaves its member, and every later one, at
  // what the window last held: settings the user no longer sees. Starting
  // with those would erase the meter's log for a setup nobody asked for,
  // so the box is the only answer then and nothing is sent.
  if (ExchangeFields(true).unreadable) return;
  LoggingSettings settings = SettingsFromMembers();
  BusyScope busy(*this, nullptr,
                 QStringLiteral("Stop the logging start and close the window? "
                                "The settings written so far stay on the meter."));
  StartLogging(m_session.link, m_session.pickedMeter, settings, m_session.logSetup, *this);
  m_loggingMethod = settings.method;
}

void CLoggingDlg::OnDownload() {
  // A new pace and no text until its first section: none of the last download's.
  m_pace = DownloadPace();
  ui->downloadProgress->setFormat(QString());
  BusyScope busy(*this, ui->downloadProgress,
                 QStringLiteral("Stop the download and close the window? \"%1\" stays as it was.").arg(DataFilePath()));
  if (DownloadLoggedData(m_session.link, m_session.pickedMeter, *this)) ui->plotButton->setEnabled(true);
}

void CLoggingDlg::OnPlot() {
  // Beside the console rather than inside this window, so the plot stays
  // open when this window closes.
  CLogPlotDlg::Open(parentWidget(), DataFilePath());
}

QString CLoggingDlg::DataFilePath() const {
  return QString::fromStdString(DataFileName(m_session.pickedMeter.address));
}

void CLoggingDlg::OnOK() {
  if (UpdateData(true)) QDialog::accept();
}

void CLoggingDlg::OnCancel() {
  if (!m_busy) {
    QDialog::reject();
    return;
  }
  if (!m_stopAsked) m_stopAsked = AskAppQuestion(this, m_stopQuestion);
}

void CLoggingDlg::CloseOnStop() {
  // The last message says how the operation ended; the window that showed
  // it is gone, so a box over the console keeps it in sight.
  const QString ending = m_statusField->text();
  QDialog::reject();
  ShowAppMessage(parentWidget(), ending, MessageIcon::Information);
}

void CLoggingDlg::StopAndCloseAllWindows(LoggingSession& session) {
  session.stop.Request();
  if (session.busyWindows == 0) {
    QApplication::closeAllWindows();
    return;
  }
  // The quit answers a stop question left open: its box goes (as No, its
  // Escape answer), and the operation stops for the quit itself.
  if (auto* question = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) question->close();
}

void CLoggingDlg::accept() { OnOK(); }

void CLoggingDlg::reject() { OnCancel(); }

void CLoggingDlg::keyPressEvent(QKeyEvent* event) {
  // Enter presses the focused button, as in any dialog; from any other
  // control it takes the OK path. No button is a default button, so Enter
  // in a field never starts or downloads anything.
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    if (auto* button = qobject_cast<QPushButton*>(focusWidget()))
      button->click();
    else
      OnOK();
    return;
  }
  QDialog::keyPressEvent(event);
}

bool CLoggingDlg::eventFilter(QObject* watched, QEvent* event) {
  if (!m_busy || !watched->isWidgetType() || static_cast<QWidget*>(watched)->window() != this)
    return QDialog::eventFilter(watched, event);
  switch (event->type()) {
    case QEvent::KeyPress:
      if (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) OnCancel();
      return true;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
      return true;
    default:
      return QDialog::eventFilter(watched, event);
  }
}

void CLoggingDlg::Show(const std::string& message, const std::string& stampedLine) {
  m_statusField->setText(QString::fromStdString(message));
  m_statusField->repaint();
  m_messageList->insertItem(0, QString::fromStdString(stampedLine));
  m_messageList->doItemsLayout();
  m_messageList->repaint();
  KeepPainting();
}

void CLoggingDlg::ClearMessages() {
  m_messageList->clear();
  m_messageList->repaint();
}

void CLoggingDlg::ShowStatusOnly(const std::string& message) {
  m_statusField->setText(QString::fromStdString(message));
  m_statusField->repaint();
}

void CLoggingDlg::Progress(long done, long total) {
  // A full log is 10 slots x 5760 entries = 57600, well inside an int.
  const long range = std::max(total, 1L);
  ui->downloadProgress->setRange(0, int(range));
  ui->downloadProgress->setValue(int(std::clamp(done, 0L, range)));
  ui->downloadProgress->setFormat(
      QString::fromStdString(m_pace.Report(done, total, reg::kSlotCount, DownloadPace::Clock::now())));
  ui->downloadProgress->repaint();
  KeepPainting();
}

void CLoggingDlg::KeepPainting() {
  if (m_busy) QCoreApplication::processEvents();
}

void CLoggingDlg::AtSafePoint() { KeepPainting(); }

bool CLoggingDlg::StopRequested() const { return m_session.stop.Requested() || m_stopAsked; }

std::array<unsigned*, reg::kSlotCount> CLoggingDlg::SlotMembers() {
  return {&m_slot1, &m_slot2, &m_slot3, &m_slot4, &m_slot5, &m_slot6, &m_slot7, &m_slot8, &m_slot9, &m_slot10};
}

LoggingSettings CLoggingDlg::SettingsFromMembers() {
  LoggingSettings settings;
  const auto slots = SlotMembers();
  for (int i = 0; i < reg::kSlotCount; ++i) settings.slots[i] = *slots[i];
  settings.subInterval = m_subInterval;
  settings.method = m_loggingMethod;
  return settings;
}

void CLoggingDlg::SetMembers(const LoggingSettings& settings) {
  const auto slots = SlotMembers();
  for (int i = 0; i < reg::kSlotCount; ++i) *slots[i] = settings.slots[i];
  m_subInterval = settings.subInterval;
  m_loggingMethod = settings.method;
}
