#pragma once
// The modal window "Logging Setup and Download" (template 142). It only moves
// the logging settings between its fields and the core (logging_start.h,
// download.h) and shows each message of a start or a download the moment the
// core logs it.

#include <QDialog>
#include <array>
#include <memory>
#include <string>

#include "bus/download_progress.h"
#include "bus/status_log.h"
#include "logging/logging_session.h"
#include "meter/register_map.h"

class QLineEdit;
class QListWidget;
class QPushButton;
struct LoggingSettings;

namespace Ui {
class CLoggingDlg;
}

class CLoggingDlg : public QDialog, public StatusLog {
  Q_OBJECT

 public:
  // Works on session's link and picked meter; session outlives the window.
  explicit CLoggingDlg(LoggingSession& session, QWidget* parent = nullptr);
  ~CLoggingDlg() override;

  // Fills the fields from the members (false) or reads them back (true).
  // Reading stops at the first refused field, after its message box, with
  // the focus on that field; returns false then.
  bool UpdateData(bool saveAndValidate = true);

  // StatusLog: where LogStatus puts each message, painted at once.
  void Show(const std::string& message, const std::string& stampedLine) override;
  void ClearMessages() override;
  void ShowStatusOnly(const std::string& message) override;
  void Progress(long done, long total) override;
  // Before each transaction of a start or a download: the window paints and
  // takes its close box and Escape, which ask whether to stop.
  void AtSafePoint() override;
  // The program's stop (SIGINT, SIGTERM), or the user's yes to that question.
  bool StopRequested() const override;

  // The program's quit (SIGINT, SIGTERM): closes every window, the console
  // with its port included. A start or a download under way is asked to stop
  // at its next safe point first, and the windows close once it has, so the
  // port is not closed under it.
  static void StopAndCloseAllWindows(LoggingSession& session);

  // The OK path (Enter): the field transfer, then the end of the window if
  // it succeeded. Nothing goes to the meter.
  void accept() override;
  // Escape and the close box: the end of the window, nothing sent. While a
  // start or a download runs they ask whether to stop it; yes stops it at
  // its next safe point, as SIGINT does, and the window then ends, its last
  // message shown in a box.
  void reject() override;

 protected:
  struct DataExchange;
  // One field transfer; the result tells whether a field was refused and
  // whether it held no number at all.
  DataExchange ExchangeFields(bool saveAndValidate);
  void DoDataExchange(DataExchange& dx);
  bool OnInitDialog();
  void OnOK();
  void OnCancel();

  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  class BusyScope;

  // The members, in the order the field transfer binds them.
  QPushButton* m_pauseButton = nullptr;
  QLineEdit* m_statusField = nullptr;
  QListWidget* m_messageList = nullptr;
  unsigned m_slot1 = 0;
  unsigned m_slot2 = 0;
  unsigned m_slot3 = 0;
  unsigned m_subInterval = 0;
  int m_loggingMethod = 0;  // 0 Continuous, 1 One-Shot
  unsigned m_slot4 = 0;
  unsigned m_slot5 = 0;
  unsigned m_slot6 = 0;
  unsigned m_slot7 = 0;
  unsigned m_slot8 = 0;
  unsigned m_slot9 = 0;
  unsigned m_slot10 = 0;

  void OnStartRestart();
  void OnDownload();
  // Opens the plot of the picked meter's data file.
  void OnPlot();
  // "NN-data.csv" of the picked meter, in the current directory.
  QString DataFilePath() const;
  // The end of the window on a stop the user asked for; its last message
  // then shows in a box.
  void CloseOnStop();

  void FitFontToTemplate();
  std::array<unsigned*, reg::kSlotCount> SlotMembers();
  LoggingSettings SettingsFromMembers();
  void SetMembers(const LoggingSettings& settings);
  // Lets paint events and the window manager's pings through while a long
  // operation holds the thread; eventFilter drops user input meanwhile.
  void KeepPainting();

  std::unique_ptr<Ui::CLoggingDlg> ui;
  LoggingSession& m_session;
  bool m_initialised = false;
  bool m_busy = false;
  QString m_stopQuestion;    // asked by the close box and Escape while busy
  bool m_stopAsked = false;  // the user answered it yes
  DownloadPace m_pace;       // of the download under way
};
