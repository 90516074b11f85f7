#include "app/run_console.h"

#include <QApplication>

#include "app/quit_signal.h"
#include "console/CMeterConsoleDlg.h"

void RunConsole(int& argc, char** argv, QWidget*& mainWindow, bool simulated) {
  QApplication application(argc, argv);
  // Ctrl+C in the terminal, or the session ending, closes the windows as
  // their close boxes do (the terms dialog declines, the console cancels):
  // the port is closed and the simulated meters are stopped.
  QuitOnSignal quitOnSignal([] { QApplication::closeAllWindows(); });
  CMeterConsoleDlg dlg;
  // The simulated meters answer on COM1: the demo starts as if the user had
  // picked it, rather than waiting for a choice a new user cannot know.
  if (simulated) dlg.ChoosePortOnceShown(0);
  mainWindow = &dlg;
  dlg.DoModal();  // its result changes nothing here
  mainWindow = nullptr;
}
