#include "app/run_console.h"

#include <QApplication>

#include "app/launch_options.h"
#include "app/quit_signal.h"
#include "console/CMeterConsoleDlg.h"
#include "console/console_session.h"
#include "logging/CLoggingDlg.h"

void RunConsole(int& argc, char** argv, QWidget*& mainWindow, const LaunchOptions& options) {
  QApplication application(argc, argv);
  StopToken stop;
  ConsoleSession session(stop);
  session.ports = options.ports;
  session.link.SetSettings(LinkSettings{options.framing, options.line, {}});
  // Ctrl+C in the terminal, or the session ending, closes the windows as
  // their close boxes do (the terms dialog declines, the console cancels):
  // the port is closed and the simulated meters are stopped. A logging
  // start or download under way stops at its next safe point first, and the
  // logging window then closes the windows.
  QuitOnSignal quitOnSignal([&session] { CLoggingDlg::StopAndCloseAllWindows(session.logging); });
  CMeterConsoleDlg dlg(session);
  // The simulated meters answer on COM1: the demo starts as if the user had
  // picked it, rather than waiting for a choice a new user cannot know.
  if (options.simulate) dlg.ChoosePortOnceShown(0);
  mainWindow = &dlg;
  dlg.DoModal();  // its result changes nothing here
  mainWindow = nullptr;
}
