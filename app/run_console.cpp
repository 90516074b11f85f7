#include "app/run_console.h"

#include <QApplication>

#include "app/quit_signal.h"
#include "console/CMeterConsoleDlg.h"
#include "logging/CLoggingDlg.h"

void RunConsole(int& argc, char** argv, QWidget*& mainWindow) {
  // Its name, the title of every message box, is the executable's file name.
  QApplication application(argc, argv);
  // Ctrl+C in the terminal, or the session ending, closes the windows as
  // their close boxes do (the terms dialog declines, the console cancels):
  // the port is closed and the simulated meters are stopped. A logging
  // start or download under way stops at its next safe point first, and the
  // logging window then closes the windows.
  QuitOnSignal quitOnSignal(CLoggingDlg::StopAndCloseAllWindows);
  CMeterConsoleDlg dlg;
  mainWindow = &dlg;
  dlg.DoModal();  // its result changes nothing here
  mainWindow = nullptr;
}
