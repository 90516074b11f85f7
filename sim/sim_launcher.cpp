#include "sim/sim_launcher.h"

#include <cerrno>
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
// qm4sim prints its ready line within milliseconds; a generous bound keeps a
// loaded machine from failing the start.
constexpr int kReadyTimeoutMs = 10000;

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

[[noreturn]] void ExecSimulator(const std::string& program, const std::vector<std::string>& arguments, int in,
                                int out) {
  // Ends with us even if we die without cleaning up.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  dup2(in, STDIN_FILENO);
  dup2(out, STDOUT_FILENO);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  execvp(program.c_str(), argv.data());
  _exit(127);
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

bool SimLauncher::Start(const std::vector<std::string>& arguments, std::string* error, const std::string& program) {
  char dirTemplate[] = "/tmp/pylax-sim-XXXXXX";
  if (mkdtemp(dirTemplate) == nullptr) {
    *error = std::string("cannot create a temporary directory: ") + std::strerror(errno);
    return false;
  }
  dir_ = dirTemplate;
  linkPath_ = dir_ + "/com1";
  int input[2];
  int output[2];
  if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) {
    *error = std::string("cannot create pipes: ") + std::strerror(errno);
    return false;
  }
  std::vector<std::string> all{"--link", linkPath_};
  all.insert(all.end(), arguments.begin(), arguments.end());
  pid_ = fork();
  if (pid_ == 0) ExecSimulator(program, all, input[0], output[1]);
  close(input[0]);
  close(output[1]);
  toSim_ = input[1];
  fromSim_ = output[0];
  if (pid_ < 0) {
    *error = std::string("cannot start qm4sim: ") + std::strerror(errno);
    return false;
  }
  return WaitForReady(error);
}

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
    if (line.rfind("ready", 0) == 0) break;
    line.clear();
  }
  // From here on its replies and events are read and dropped, so that a long
  // session never fills the pipe and stalls the simulated meters.
  const int fd = fromSim_;
  drain_ = std::thread([fd] {
    char buffer[4096];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
  });
  return true;
}

void SimLauncher::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
  if (toSim_ >= 0) close(toSim_);
  toSim_ = -1;
  if (drain_.joinable()) drain_.join();
  if (fromSim_ >= 0) close(fromSim_);
  fromSim_ = -1;
  if (!dir_.empty()) {
    unlink(linkPath_.c_str());
    rmdir(dir_.c_str());
    dir_.clear();
  }
}

bool StartSimulatedCom1(SimLauncher& launcher, std::string* error) {
  if (!launcher.Start(DemoBusArguments(), error)) return false;
  SetPortOverride(1, launcher.LinkPath());
  return true;
}
