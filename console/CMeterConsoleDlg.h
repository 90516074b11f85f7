#pragma once
// The console (template 102): the program's main window. It lists the meters
// the scan found, polls the picked one each second and sends the commands.
// The scan, the poll and the commands live in the Qt-free core (scan.h,
// poll.h, commands.h); this window moves their texts to and from its fields.

#include <QDialog>
#include <QIcon>
#include <QPointer>
#include <QString>
#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "bus/line_watch.h"
#include "charts/trend_store.h"
#include "console/CCommTraceDlg.h"
#include "console/console_session.h"
#include "modbus/result.h"

class QLabel;
class QLineEdit;
class QMenu;
class QRadioButton;
class QListWidget;
class CCloseUpComboBox;
class CTrendDlg;
struct PollFields;

namespace Ui {
class CMeterConsoleDlg;
}

class CMeterConsoleDlg : public QDialog {
  Q_OBJECT

 public:
  // Works with session's link and picked meter; session outlives the console.
  explicit CMeterConsoleDlg(ConsoleSession& session, QWidget* parent = nullptr);
  ~CMeterConsoleDlg() override;

  // Runs the console: OnInitDialog (which runs the terms dialog), the modal
  // loop unless the start-up has already ended the console, then
  // DestroyWindow. Returns IDOK or IDCANCEL.
  int DoModal();

  // Shut-down: stops the poll timer (once the console has started), closes
  // the port and the trace window, and hides the window. Runs once.
  virtual void DestroyWindow();

  // Enter (outside a push button), the Quit button and Escape arrive here as
  // the dialog's IDOK and IDCANCEL.
  void accept() override { OnOK(); }
  void reject() override { OnCancel(); }

  // Chooses entry of the port list as the user would (the port opened, the
  // bus scanned, the first meter polled), once the console is on the
  // screen, where the scan's progress shows. pylax --simulate: COM1.
  void ChoosePortOnceShown(int entry);

  // The settings as the console holds them.
  int BaudRate() const { return m_baudRate; }
  unsigned ScanStart() const { return m_scanStart; }
  unsigned ScanEnd() const { return m_scanEnd; }

  // System commands of the console's menu (the window's context menu, as the
  // window manager keeps the title-bar menu to itself).
  enum : unsigned { kIdmAboutBox = 0x0010, kIdmTrend = 0x0020, kScMinimize = 0xF020, kScClose = 0xF060 };

  // The trend window (Trend... in the menu, Ctrl+T), while it is open.
  CTrendDlg* TrendWindow() const;
  const TrendStore& TrendData() const { return m_trendStore; }

  ConsoleSession& Session() const { return m_session; }
  // The trace window object (Show Comm), for tests.
  CCommTraceDlg& CommTrace() { return m_commTraceDlg; }

 protected:
  // Members to controls (false: a display refresh) or controls to members
  // with the scan range checked (true). False when a field was refused: its
  // message has been shown and the focus is on it.
  bool UpdateData(bool saveAndValidate);
  bool DoDataExchange(bool saveAndValidate);

  virtual bool OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();
  // Window timer 1 every 1000 ms; returns the timer's id, 0 when it could
  // not be set up.
  virtual int SetTimer(int elapseMs);

  void OnTimer(int timerId);
  void OnRescan();
  void OnSelchangeDevices();
  void OnPhaseClicked(PhaseRow row, int column);
  void OnSysCommand(unsigned id);
  void OnPaint(QPaintEvent* event);

  void OnResetKwh();
  void OnSetClock();
  void OnLoggingSetup();
  void OnShowComm();
  void OnTrend();
  void OnCloseupBaudRate();
  void OnCloseupComPort();
  void OnDropdownComPort();
  void OnChangeScanStart();
  void OnChangeScanEnd();

  void done(int result) override;
  void timerEvent(QTimerEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  class ScanProgress;
  struct TextBinding {
    QLineEdit* field;
    QString* member;
  };
  // A field a poll fills: the poll's text for it, its member, the field.
  struct PolledField {
    const std::optional<std::string>* text;
    QString* member;
    QLineEdit* field;
  };

  void ConnectControls();
  void BuildSystemMenu();
  // Centres a dialog on the console (within the screen) and makes it modal
  // to the console alone, as the original's dialogs disabled their owner
  // only: the modeless trace window goes on taking input.
  void PlaceOverConsole(QDialog& dialog);
  std::array<TextBinding, 15> TextBindings();
  void ClearReadings();
  // Empties the clock, sub-interval and log fields for any model but a QM4C.
  void ClearLogFieldsUnlessQm4c(int model);
  // The meter a row of the device list lists (none for a row the scan did
  // not fill), and as a selection of the row picks it.
  const Meter* ScannedMeter(int row) const;
  Meter PickedMeter(int row) const;
  std::array<PolledField, 13> PolledFields(const PollFields& fields);
  // The poll's texts to the members; each field greyed while its text is
  // older than the last tick that polled.
  void ApplyPollFields(const PollFields& fields);
  static void ShowStale(QLineEdit* field, bool stale);
  // Every polled field greyed: nothing they show is current.
  void ShowAllStale();
  // While the logging window holds the poll.
  void ShowPollPaused();
  // Before each poll: a lost port is tried again when due, and one back
  // (by the try or a new baud rate) is no longer said to be lost.
  void TryLostPortAgain(bool now = false);
  // After each poll: whether the port went away and the meter answered.
  void WatchLine(bool polled, const PollFields& fields);
  void ShowLineStatus();
  static void ShowTrouble(QLabel* line, bool trouble);
  // A write's result on the status line: a failure said with its text.
  void SayCommandResult(const char* command, ModbusResult result);
  // What the model lacks greyed with a dash, the commands it does not take
  // disabled with a tooltip saying why.
  void ShowModelFeatures(int model);
  void ShowLacking(const TextBinding& binding, bool lacking);
  // After a refused open of name: said on the status line and in a box,
  // which offers a monitor's gateway where a monitor holds the port. True
  // when the port is open through it.
  bool OpenThroughMonitorsGateway(const char* name);
  void ShowBaudRateUse();
  // Carries out every pending paint of the window before going on.
  void RepaintNow();
  // A display refresh leaves a scan field alone while the user is typing in
  // it (it has the focus and was changed); leaving it lets the next refresh
  // show the value taken from it.
  bool ExchangeScanField(bool saveAndValidate, QLineEdit* field, unsigned& value);
  bool BeingTypedIn(const QLineEdit* field) const;

  std::unique_ptr<Ui::CMeterConsoleDlg> ui;
  ConsoleSession& m_session;
  CCommTraceDlg m_commTraceDlg;
  LineWatch m_lineWatch;  // what the status line under the device list says

  int m_baudRate = 38400;
  unsigned m_scanStart = 1;
  unsigned m_scanEnd = 10;

  // The fifteen texts of the edit fields, in the order they are bound.
  QString m_amps;            // 1015
  QString m_kw;              // 1011
  QString m_kwh;             // 1010
  QString m_pf;              // 1013
  QString m_voltsLL;         // 1014
  QString m_voltsLN;         // 1035
  QString m_bufferStatus;    // 1082
  QString m_clock;           // 1092
  QString m_daysToRollover;  // 1087
  QString m_logEntries;      // 1090
  QString m_rollovers;       // 1081
  QString m_startKwh;        // 1089, hidden
  QString m_newestEntry;     // 1088
  QString m_subInterval;     // 1091
  QString m_pulseCount;      // 1093, hidden

  QIcon m_hIcon;
  CCloseUpComboBox* m_baudList = nullptr;
  CCloseUpComboBox* m_portList = nullptr;
  QListWidget* m_deviceList = nullptr;
  std::vector<Meter> m_scannedMeters;  // the meters m_deviceList lists, row for row
  std::array<QRadioButton*, kPhaseRows> m_allButtons{};
  QMenu* m_systemMenu = nullptr;

  // Each poll tick's readings, kept for the trend window whether or not it
  // is open, so that it shows the past when it opens.
  TrendStore m_trendStore;
  QPointer<CTrendDlg> m_trendDlg;

  std::optional<int> m_portToChoose;  // ChoosePortOnceShown, until the first paint
  int m_timerId = 0;
  bool m_ended = false;             // the modal loop has been ended (possibly before it ran)
  bool m_windowDestroyed = false;
};
