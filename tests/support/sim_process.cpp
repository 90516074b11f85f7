#include "tests/support/sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

constexpr int kReadyTimeoutMs = 5000;
constexpr int kReplyTimeoutMs = 5000;
constexpr int kExitWaitMs = 3000;

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Waits up to timeoutMs for the child to end; true when it has been reaped.
bool WaitForExit(int pid, int timeoutMs) {
  const int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    int status = 0;
    const int r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) return true;
    if (NowMs() >= deadline) return false;
    usleep(5000);
  }
}

// Ends the simulator (SIGTERM, SIGKILL if it hangs) and frees what the
// instance holds; safe to call twice.
void Stop(int& pid, int& toSim, int& fromSim, std::string& dir, const std::string& link) {
  if (pid > 0) {
    kill(pid, SIGTERM);
    if (!WaitForExit(pid, kExitWaitMs)) {
      kill(pid, SIGKILL);
      WaitForExit(pid, kExitWaitMs);
    }
    pid = -1;
  }
  CloseFd(toSim);
  CloseFd(fromSim);
  if (!dir.empty()) {
    unlink(link.c_str());  // qm4sim removes it; this covers a killed one
    rmdir(dir.c_str());
    dir.clear();
  }
}

}  // namespace

const char* Qm4simPath() { return QM4SIM_PATH; }

SimProcess::SimProcess(const std::vector<std::string>& extraArgs) {
  // A simulator that died must fail the next Command, not kill the test
  // binary with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  char dirTemplate[] = "/tmp/qm4sim-test-XXXXXX";
  if (!mkdtemp(dirTemplate)) {
    ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    throw std::runtime_error("qm4sim: no temporary directory");
  }
  dir_ = dirTemplate;
  linkPath_ = dir_ + "/tty";

  int toChild[2] = {-1, -1}, fromChild[2] = {-1, -1};
  if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    for (int& fd : toChild) CloseFd(fd);
    Stop(pid_, toSim_, fromSim_, dir_, linkPath_);
    throw std::runtime_error("qm4sim: no pipe");
  }
  std::vector<std::string> args = {Qm4simPath(), "--link", linkPath_};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  const int parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    // The simulator must not outlive a test binary that crashes.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    dup2(toChild[0], STDIN_FILENO);
    dup2(fromChild[1], STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(toChild[0]);
  close(fromChild[1]);
  toSim_ = toChild[1];
  fromSim_ = fromChild[0];
  if (pid_ < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    Stop(pid_, toSim_, fromSim_, dir_, linkPath_);
    throw std::runtime_error("qm4sim: fork failed");
  }

  const std::string ready = ReadLine(kReadyTimeoutMs);
  if (ready != "ready " + linkPath_) {
    ADD_FAILURE() << "qm4sim did not get ready (got \"" << ready << "\")";
    Stop(pid_, toSim_, fromSim_, dir_, linkPath_);
    throw std::runtime_error("qm4sim did not start");
  }
}

SimProcess::~SimProcess() { Stop(pid_, toSim_, fromSim_, dir_, linkPath_); }

// One line without its newline; "" when none came within timeoutMs or the
// simulator's output ended.
std::string SimProcess::ReadLine(int timeoutMs) {
  const int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    if (const size_t eol = pending_.find('\n'); eol != std::string::npos) {
      std::string line = pending_.substr(0, eol);
      pending_.erase(0, eol + 1);
      return line;
    }
    const int64_t left = deadline - NowMs();
    if (left < 0 || fromSim_ < 0) return "";
    pollfd p = {fromSim_, POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return "";
    char buf[4096];
    const ssize_t n = read(fromSim_, buf, sizeof buf);
    if (n <= 0) {
      CloseFd(fromSim_);  // the simulator has ended
      return "";
    }
    pending_.append(buf, static_cast<size_t>(n));
  }
}

std::string SimProcess::Command(const std::string& line) {
  const std::string out = line + "\n";
  if (write(toSim_, out.data(), out.size()) != static_cast<ssize_t>(out.size())) {
    ADD_FAILURE() << "qm4sim: cannot send \"" << line << "\"";
    return "err not sent";
  }
  const int64_t deadline = NowMs() + kReplyTimeoutMs;
  for (;;) {
    const int64_t left = deadline - NowMs();
    std::string reply = ReadLine(static_cast<int>(left > 0 ? left : 0));
    if (reply.empty()) {
      ADD_FAILURE() << "qm4sim: no reply to \"" << line << "\"";
      return "err no reply";
    }
    if (reply.rfind("event ", 0) == 0)
      events_.push_back(reply.substr(6));
    else
      return reply;
  }
}

std::vector<std::string> SimProcess::TakeEvents(size_t minCount, int waitMs) {
  const int64_t deadline = NowMs() + waitMs;
  for (;;) {
    // Everything already written, then wait only while too few have come.
    const bool enough = events_.size() >= minCount;
    const int64_t left = deadline - NowMs();
    const std::string line = ReadLine(enough ? 0 : static_cast<int>(left > 0 ? left : 0));
    if (line.empty()) {
      if (enough || NowMs() >= deadline || fromSim_ < 0) break;
      continue;
    }
    if (line.rfind("event ", 0) == 0)
      events_.push_back(line.substr(6));
    else
      ADD_FAILURE() << "qm4sim: unexpected line \"" << line << "\"";
  }
  std::vector<std::string> taken;
  taken.swap(events_);
  return taken;
}
