#include "sim/sim_launcher.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "modbus/port_map.h"

namespace {
// qm4sim prints its ready line within milliseconds and ends within
// milliseconds of SIGTERM; generous bounds keep a loaded machine from failing.
constexpr int kReadyTimeoutMs = 10000;
constexpr int kExitWaitMs = 3000;

std::string ExecutableDirectory() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return std::string();
  path[length] = '\0';
  std::string full(path);
  const auto slash = full.rfind('/');
  return slash == std::string::npos ? std::string() : full.substr(0, slash);
}

bool IsExecutable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

[[noreturn]] void ExecSimulator(const std::string& program, const std::vector<std::string>& arguments,
                                pid_t parent, int in, int out) {
  // Ends with us even if we die without cleaning up; a parent that died
  // before this took hold is caught by the check after it.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(127);
  dup2(in, STDIN_FILENO);
  dup2(out, STDOUT_FILENO);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  execvp(program.c_str(), argv.data());
  _exit(127);
}

// Waits up to timeoutMs for the child to end; true once it has been reaped.
bool Reaped(pid_t pid, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    usleep(5000);
  }
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}
}  // namespace

std::vector<std::string> DemoBusArguments() {
  return {"--meter", "3:QM4C", "--meter", "7:QM4A", "--meter", "9:QM4B", "--prefill", std::to_string(kDemoPrefillEntries)};
}

std::string FindQm4sim() {
  const std::string dir = ExecutableDirectory();
  if (!dir.empty()) {
    if (IsExecutable(dir + "/qm4sim")) return dir + "/qm4sim";
    if (IsExecutable(dir + "/../sim/qm4sim")) return dir + "/../sim/qm4sim";
  }
  return "qm4sim";
}

SimLauncher::~SimLauncher() { Stop(); }

bool SimLauncher::Start(const std::vector<std::string>& arguments, std::string* error, const std::string& program,
                        Output output) {
  char dirTemplate[] = "/tmp/pylax-sim-XXXXXX";
  if (mkdtemp(dirTemplate) == nullptr) {
    *error = std::string("cannot create a temporary directory: ") + std::strerror(errno);
    return false;
  }
  dir_ = dirTemplate;
  linkPath_ = dir_ + "/com1";
  int toChild[2] = {-1, -1};
  int fromChild[2] = {-1, -1};
  if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) {
    *error = std::string("cannot create pipes: ") + std::strerror(errno);
    for (int& fd : toChild) CloseFd(fd);
    return false;
  }
  std::vector<std::string> all{"--link", linkPath_};
  all.insert(all.end(), arguments.begin(), arguments.end());
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) ExecSimulator(program, all, parent, toChild[0], fromChild[1]);
  close(toChild[0]);
  close(fromChild[1]);
  toSim_ = toChild[1];
  fromSim_ = fromChild[0];
  if (pid_ < 0) {
    *error = std::string("cannot start qm4sim: ") + std::strerror(errno);
    return false;
  }
  if (!WaitForReady(error)) return false;
  if (output == Output::Drained) {
    const int fd = fromSim_;
    drain_ = std::thread([fd] {
      char buffer[4096];
      while (read(fd, buffer, sizeof buffer) > 0) {
      }
    });
  }
  return true;
}

// Reads a byte at a time, so that nothing after the ready line is taken from
// a caller that keeps the output.
bool SimLauncher::WaitForReady(std::string* error) {
  std::string line;
  for (;;) {
    pollfd readable{fromSim_, POLLIN, 0};
    if (poll(&readable, 1, kReadyTimeoutMs) <= 0) {
      *error = "qm4sim did not get ready";
      return false;
    }
    char c;
    if (read(fromSim_, &c, 1) != 1) {
      *error = "qm4sim ended before it was ready (is it installed beside pylaxctl or on the PATH?)";
      return false;
    }
    if (c != '\n') {
      line += c;
      continue;
    }
    if (line.rfind("ready ", 0) == 0) {
      portName_ = line.substr(6);
      return true;
    }
    line.clear();
  }
}

void SimLauncher::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    if (!Reaped(pid_, kExitWaitMs)) {
      kill(pid_, SIGKILL);
      Reaped(pid_, kExitWaitMs);
    }
    pid_ = -1;
  }
  CloseFd(toSim_);
  if (drain_.joinable()) drain_.join();
  CloseFd(fromSim_);
  if (!dir_.empty()) {
    unlink(linkPath_.c_str());  // qm4sim removes it; this covers a killed one
    rmdir(dir_.c_str());
    dir_.clear();
  }
}

bool StartSimulatedCom1(SimLauncher& launcher, PortMap& ports, std::string* error) {
  if (!launcher.Start(DemoBusArguments(), error)) return false;
  ports.Set(1, launcher.LinkPath());
  return true;
}
