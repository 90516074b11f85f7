#pragma once
// Runs the real qm4sim binary on a pseudo terminal for a test, and talks to
// its control channel (stdin commands, stdout replies and events).

#include <string>
#include <vector>

#include "sim/sim_launcher.h"

class SimProcess {
 public:
  // extraArgs go to qm4sim after --link, e.g. {"--meter", "3:QM4C", "--meter", "7:QM4A"}.
  // Waits until qm4sim prints "ready PATH". One that does not get ready is
  // ended at once and reported as a GoogleTest failure; the test's own checks
  // then fail as well (its link cannot be opened, commands are not sent). No
  // exception: QtTest ends the whole program on one, so the window tests
  // after it would not run.
  explicit SimProcess(const std::vector<std::string>& extraArgs);
  ~SimProcess() = default;  // the launcher ends qm4sim and waits for it
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // The symlink to the pseudo terminal's slave side: what the master opens.
  const std::string& LinkPath() const { return launcher_.LinkPath(); }
  // The link, or the address qm4sim serves at with --tcp or --mbtcp.
  const std::string& PortName() const { return launcher_.PortName(); }
  // Sends one control line ("set 3 160 1") and returns its reply line
  // ("ok", "ok 42", "err ..."), events that arrive meanwhile are kept.
  std::string Command(const std::string& line);
  // The "event ..." lines (without the "event " prefix) since the last call,
  // in order. Waits up to waitMs for at least minCount of them.
  std::vector<std::string> TakeEvents(size_t minCount = 0, int waitMs = 2000);
  int Pid() const { return launcher_.Pid(); }

 private:
  std::string ReadLine(int timeoutMs);
  SimLauncher launcher_;
  bool outputEnded_ = false;
  std::string pending_;
  std::vector<std::string> events_;
};

// The path of the built qm4sim binary.
const char* Qm4simPath();
