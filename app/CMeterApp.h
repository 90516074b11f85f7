#pragma once
// The application object: the order of start-up and shut-down. It starts the
// server module (which ends a registration run at once), then either waits
// windowless for a quit request ("Embedding"/"Automation") or runs the
// console modally, and stops the server module when all that is over.
//
// There is no framework on Linux to drive it: Run() does what the framework
// does around these members (InitInstance, the message loop when it returned
// TRUE, ExitInstance, whose result is the exit code). The framework's Help
// command has no help file to open here, so the object handles no commands.

#include <memory>
#include <string>

#include "app/standins/com_standins.h"
#include "app/standins/server_module.h"
#include "app/launch_options.h"

class QWidget;
class SimLauncher;

class CMeterApp {
 public:
  CMeterApp();
  virtual ~CMeterApp();
  CMeterApp(const CMeterApp&) = delete;
  CMeterApp& operator=(const CMeterApp&) = delete;

  // FALSE: the process ends (through ExitInstance) without a message loop.
  virtual bool InitInstance();
  // The process exit code: 0 after a registration run, a failed start or a
  // windowless run ended by SIGINT/SIGTERM; 1 when --simulate could not start.
  virtual int ExitInstance();
  // TRUE when the start goes on; FALSE after a registration or unregistration
  // run, or when the apartment or the class objects fail.
  bool StartServer();

  // argv without pylax's own options (TakeLaunchOptions has taken them).
  int Run(int argc, char** argv, const LaunchOptions& options);

  bool m_bServerStarted = false;
  HINSTANCE m_hInstance;         // the module: the running executable
  QWidget* m_pMainWnd = nullptr;  // the console while it runs

 private:
  bool StartSimulator();
  int RunWindowlessServer();

  int m_argc = 0;
  char** m_argv = nullptr;
  std::string m_commandLine;
  LaunchOptions m_options;
  std::unique_ptr<SimLauncher> m_simulator;
  // The program's server module, all zeros until StartServer, and the class
  // table it works on (its rows keep what publishing them gave).
  CServerModule m_serverModule;
  ClassTableEntry m_classTable[1] = {kClassTableEnd};
  int m_exitCode = 0;
};
