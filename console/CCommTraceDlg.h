#pragma once
// The trace window (template 129), "Modbus Protocol Communication": the last
// twelve exchanges of the trace ring as hexadecimal lines, oldest first, and
// the poll's counters. g_commTraceDlg lives for the whole process; each Show
// Comm creates a new window from it and each closing destroys only that
// window. The object holds no Qt object of its own, so it can be constructed
// at program load, before the application object.

#include <QPointer>
#include <QString>

class QWidget;
class CCommTraceWindow;

class CCommTraceDlg {
 public:
  CCommTraceDlg();
  virtual ~CCommTraceDlg();
  CCommTraceDlg(const CCommTraceDlg&) = delete;
  CCommTraceDlg& operator=(const CCommTraceDlg&) = delete;

  // Creates the window, owned by owner, and shows it in front.
  void Create(QWidget* owner);
  // Sets g_traceLive to 0 and destroys the window, if there is one.
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
  QPointer<CCommTraceWindow> m_window;
};

extern CCommTraceDlg g_commTraceDlg;
