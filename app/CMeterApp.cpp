#include "app/CMeterApp.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>

#include "app/command_line.h"
#include "app/run_console.h"
#include "app/server_module.h"
#include "app/step_log.h"
#include "cli/sim_launcher.h"

namespace {

// SIGINT and SIGTERM end a windowless run. A handler may only do
// async-signal-safe work, so it writes a byte to a pipe and the event loop,
// watching the pipe's other end, quits in its own time.
int g_quitPipe[2] = {-1, -1};

void OnQuitSignal(int) {
  int savedErrno = errno;
  char byte = 'q';
  ssize_t written = ::write(g_quitPipe[1], &byte, 1);
  (void)written;  // a full pipe already holds a quit request
  errno = savedErrno;
}

void SetQuitSignalHandler(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

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
  RunConsole(m_argc, m_argv, m_pMainWnd);
  return false;
}

int CMeterApp::ExitInstance() {
  RecordStep("ExitInstance");
  if (m_bServerStarted) {
    g_serverModule.WithdrawClassObjects();
    g_serverModule.Shutdown();
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
  g_serverModule.Initialize(g_classTable, m_hInstance);
  switch (FindRegistrationSwitch(m_commandLine)) {
    case RegistrationSwitch::Unregister:
      RunUnregistration(g_serverModule);
      break;
    case RegistrationSwitch::Register:
      RunRegistration(g_serverModule);
      break;
    case RegistrationSwitch::None:
      if (SUCCEEDED(g_serverModule.PublishClassObjects())) return true;
      m_bServerStarted = false;
      CoUninitialize();
      return false;
  }
  m_bServerStarted = false;
  g_serverModule.Shutdown();
  CoUninitialize();
  return false;
}

// --simulate: qm4sim's meters on COM1, ended with the program.
bool CMeterApp::StartSimulator() {
  m_simulator = std::make_unique<SimLauncher>();
  std::string error;
  if (StartSimulatedCom1(*m_simulator, &error)) return true;
  std::fprintf(stderr, "pylax: cannot start the simulated meters: %s\n", error.c_str());
  m_simulator.reset();
  m_exitCode = 1;
  return false;
}

// A windowless server run offers no class objects and nothing inside the
// program ends it, so it waits for the outside to ask: SIGINT or SIGTERM.
int CMeterApp::RunWindowlessServer() {
  QCoreApplication application(m_argc, m_argv);
  if (::pipe2(g_quitPipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  QSocketNotifier notifier(g_quitPipe[0], QSocketNotifier::Read);
  QObject::connect(&notifier, &QSocketNotifier::activated, &application, [] {
    char byte;
    while (::read(g_quitPipe[0], &byte, 1) > 0) {
    }
    QCoreApplication::quit();
  });
  SetQuitSignalHandler(OnQuitSignal);
  RecordStep("WindowlessRun");
  int code = application.exec();
  SetQuitSignalHandler(SIG_DFL);
  ::close(g_quitPipe[0]);
  ::close(g_quitPipe[1]);
  g_quitPipe[0] = g_quitPipe[1] = -1;
  return code;
}
