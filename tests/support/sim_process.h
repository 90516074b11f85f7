#pragma once
// Runs the real qm4sim binary on a pseudo terminal for a test, and talks to
// its control channel (stdin commands, stdout replies and events).

#include <string>
#include <vector>

class SimProcess {
 public:
  // extraArgs go to qm4sim after --link, e.g. {"--meter", "3:QM4C", "--meter", "7:QM4A"}.
  // Waits until qm4sim prints "ready PATH"; aborts the test on failure.
  explicit SimProcess(const std::vector<std::string>& extraArgs);
  ~SimProcess();  // SIGTERM, then waits for the process
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // The symlink to the pseudo terminal's slave side: what the master opens.
  const std::string& LinkPath() const { return linkPath_; }
  // Sends one control line ("set 3 160 1") and returns its reply line
  // ("ok", "ok 42", "err ..."), events that arrive meanwhile are kept.
  std::string Command(const std::string& line);
  // The "event ..." lines (without the "event " prefix) since the last call,
  // in order. Waits up to waitMs for at least minCount of them.
  std::vector<std::string> TakeEvents(size_t minCount = 0, int waitMs = 2000);
  int Pid() const { return pid_; }

 private:
  std::string ReadLine(int timeoutMs);
  int pid_ = -1;
  int toSim_ = -1;
  int fromSim_ = -1;
  std::string linkPath_;
  std::string pending_;
  std::vector<std::string> events_;
  std::string dir_;
};

// The path of the built qm4sim binary.
const char* Qm4simPath();
