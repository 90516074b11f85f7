#pragma once
// Starts qm4sim, the meter simulator, on a pseudo terminal: the one way a
// program of ours starts it (pylax and pylaxctl for --simulate, so a new user
// sees the program work without a meter, the benchmarks, and the tests'
// SimProcess). No Qt here: all of them link it.

#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "modbus/port_map.h"

// The demo bus: a QM4C at 3, a QM4A at 7 and a QM4B at 9, the QM4C with a
// pre-filled log so that a download has data.
constexpr int kDemoPrefillEntries = 96;  // one day at the simulated 15-minute sub-interval
std::vector<std::string> DemoBusArguments();

// Where qm4sim is: beside the running executable (the installed layout),
// then ../sim/qm4sim from it (the build tree), then "qm4sim" on the PATH.
std::string FindQm4sim();

class SimLauncher {
 public:
  // What becomes of qm4sim's replies and events once it is ready: read and
  // dropped, so that a long session never fills the pipe and stalls the
  // meters; or kept in the pipe for a caller that talks to its control
  // channel (ControlFd, OutputFd).
  enum class Output { Drained, Kept };

  SimLauncher() = default;
  ~SimLauncher();  // Stop()
  SimLauncher(const SimLauncher&) = delete;
  SimLauncher& operator=(const SimLauncher&) = delete;

  // Starts qm4sim with its link in a private temporary directory and the
  // given arguments, and waits for its "ready" line. False (with the reason
  // in *error) when it cannot be started or does not get ready.
  // program: the qm4sim to run (benchmarks and tests name the built one).
  bool Start(const std::vector<std::string>& arguments, std::string* error,
             const std::string& program = FindQm4sim(), Output output = Output::Drained);
  // The symlink to the pseudo terminal the meters answer on.
  const std::string& LinkPath() const { return linkPath_; }
  // What a master opens, as qm4sim's ready line names it: the link, or with
  // --tcp or --mbtcp among the arguments the address it serves at
  // ("tcp://127.0.0.1:41234"; the link is then not made).
  const std::string& PortName() const { return portName_; }
  pid_t Pid() const { return pid_; }
  // Its control channel: commands go to ControlFd; its replies and events,
  // from the line after "ready" on, come from OutputFd (Output::Kept only).
  int ControlFd() const { return toSim_; }
  int OutputFd() const { return fromSim_; }
  // Ends qm4sim (SIGTERM, SIGKILL if it hangs), waits for it and removes the
  // temporary directory; safe to call twice.
  void Stop();

 private:
  bool WaitForReady(std::string* error);
  pid_t pid_ = -1;
  int toSim_ = -1;    // its control channel; kept open while it runs
  int fromSim_ = -1;  // its replies and events
  std::thread drain_;
  std::string dir_;
  std::string linkPath_;
  std::string portName_;
};

// Starts the demo bus and maps COM1 to it in ports.
bool StartSimulatedCom1(SimLauncher& launcher, PortMap& ports, std::string* error);
