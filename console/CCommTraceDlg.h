#pragma once
// The trace window (template 129), "Modbus Protocol Communication": the last
// twelve exchanges of the trace ring as hexadecimal lines, oldest first, and
// the poll's counters. The console keeps one for as long as it lives; Show
// Comm creates a window from it when none is open, else brings that one
// forward, and each closing destroys only that window.

#include <QPointer>
#include <QString>

#include "meter/meter.h"
#include "modbus/link.h"

class QWidget;
class CCommTraceWindow;

class CCommTraceDlg {
 public:
  // Shows link's trace ring (its live flag is the window's freeze) and
  // poll's counters.
  CCommTraceDlg(ModbusLink& link, const PollState& poll);
  virtual ~CCommTraceDlg();
  CCommTraceDlg(const CCommTraceDlg&) = delete;
  CCommTraceDlg& operator=(const CCommTraceDlg&) = delete;

  // Creates the window, owned by owner, and shows it in front.
  void Create(QWidget* owner);
  // Sets the ring's live flag to 0 and destroys the window, if there is one.
  virtual void DestroyWindow();

  bool IsWindowOpen() const { return !m_window.isNull(); }
  // Brings the window forward, restored if minimised, its size otherwise
  // as the user left it (maximised stays maximised).
  void BringToFront();
  // Asks for a paint when the thread is next idle (each transaction, while live).
  void RequestRepaint();
  // Paints the window before returning (the scan, after each address).
  void RepaintNow();
  // The window, while there is one (tests).
  QWidget* Window() const;

  // Handlers, called by the window.
  bool OnInitDialog();
  void OnOK();
  void OnClose();
  void OnPaint();
  void OnFreeze();

  QString m_traceText;
  QString m_okText;
  QString m_badText;
  QString m_lastErrText;

 protected:
  // Members to controls; the other direction is never used.
  void DoDataExchange();

 private:
  ModbusLink& m_link;
  const PollState& m_poll;
  QPointer<CCommTraceWindow> m_window;
};
