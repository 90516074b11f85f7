#include "app/CMeterApp.h"

#include <QCoreApplication>
#include <cstdio>

#include "app/standins/command_line.h"
#include "app/quit_signal.h"
#include "app/run_console.h"
#include "app/standins/server_module.h"
#include "app/standins/step_log.h"
#include "sim/sim_launcher.h"

CMeterApp::CMeterApp() : m_hInstance(GetModuleHandle()) {}

CMeterApp::~CMeterApp() = default;

int CMeterApp::Run(int argc, char** argv, const LaunchOptions& options) {
  m_argc = argc;
  m_argv = argv;
  m_options = options;
  m_commandLine = JoinCommandLine(argc, argv);
  if (InitInstance()) m_exitCode = RunWindowlessServer();
  return ExitInstance();
}

bool CMeterApp::InitInstance() {
  RecordStep("InitInstance");
  if (!StartServer()) return false;
  if (m_options.simulate && !StartSimulator()) return false;
  CCommandLineInfo cmdInfo = ParseCommandLine(m_argc, m_argv);
  if (cmdInfo.m_bRunEmbedded || cmdInfo.m_bRunAutomated) return true;
  // Qt draws every dialog in the platform's own style: there is no separate
  // three-dimensional look to switch on.
  RecordStep("RunConsole");
  RunConsole(m_argc, m_argv, m_pMainWnd, m_options);
  return false;
}

int CMeterApp::ExitInstance() {
  RecordStep("ExitInstance");
  if (m_bServerStarted) {
    m_serverModule.WithdrawClassObjects();
    m_serverModule.Shutdown();
    CoUninitialize();
  }
  m_simulator.reset();
  return m_exitCode;
}

bool CMeterApp::StartServer() {
  m_bServerStarted = true;
  if (FAILED(CoInitialize(nullptr))) {
    m_bServerStarted = false;
    return false;
  }
  m_serverModule.Initialize(m_classTable, m_hInstance);
  switch (FindRegistrationSwitch(m_commandLine)) {
    case RegistrationSwitch::Unregister:
      RunUnregistration(m_serverModule);
      break;
    case RegistrationSwitch::Register:
      RunRegistration(m_serverModule);
      break;
    case RegistrationSwitch::None:
      if (SUCCEEDED(m_serverModule.PublishClassObjects())) return true;
      m_bServerStarted = false;
      CoUninitialize();
      return false;
  }
  m_bServerStarted = false;
  m_serverModule.Shutdown();
  CoUninitialize();
  return false;
}

// --simulate: qm4sim's meters on COM1, ended with the program.
bool CMeterApp::StartSimulator() {
  m_simulator = std::make_unique<SimLauncher>();
  std::string error;
  if (StartSimulatedCom1(*m_simulator, m_options.ports, &error)) return true;
  std::fprintf(stderr, "pylax: cannot start the simulated meters: %s\n", error.c_str());
  m_simulator.reset();
  m_exitCode = 1;
  return false;
}

// A windowless server run offers no class objects and nothing inside the
// program ends it, so it waits for the outside to ask: SIGINT or SIGTERM.
int CMeterApp::RunWindowlessServer() {
  QCoreApplication application(m_argc, m_argv);
  QuitOnSignal quitOnSignal([] { QCoreApplication::quit(); });
  RecordStep("WindowlessRun");
  return application.exec();
}
