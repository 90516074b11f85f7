#include "app/run_console.h"

#include <QApplication>

#include "console/CMeterConsoleDlg.h"

void RunConsole(int& argc, char** argv, QWidget*& mainWindow) {
  // Its name, the title of every message box, is the executable's file name.
  QApplication application(argc, argv);
  CMeterConsoleDlg dlg;
  mainWindow = &dlg;
  dlg.DoModal();  // its result changes nothing here
  mainWindow = nullptr;
}
