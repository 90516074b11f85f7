#include "tests/support/sim_process.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace {

constexpr int kReplyTimeoutMs = 5000;

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

const char* Qm4simPath() { return QM4SIM_PATH; }

SimProcess::SimProcess(const std::vector<std::string>& extraArgs) {
  // A simulator that died must fail the next Command, not kill the test
  // binary with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  std::string error;
  if (!launcher_.Start(extraArgs, &error, Qm4simPath(), SimLauncher::Output::Kept)) {
    launcher_.Stop();
    ADD_FAILURE() << "qm4sim did not get ready (" << error << ")";
  }
}

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
    // A deadline already passed still takes what is there to read: with a
    // timeout of 0 the clock may tick between taking the deadline and here.
    const int64_t left = std::max<int64_t>(deadline - NowMs(), 0);
    if (outputEnded_) return "";
    pollfd p = {launcher_.OutputFd(), POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return "";
    char buf[4096];
    const ssize_t n = read(launcher_.OutputFd(), buf, sizeof buf);
    if (n <= 0) {
      outputEnded_ = true;  // the simulator has ended
      return "";
    }
    pending_.append(buf, static_cast<size_t>(n));
  }
}

std::string SimProcess::Command(const std::string& line) {
  const std::string out = line + "\n";
  if (write(launcher_.ControlFd(), out.data(), out.size()) != static_cast<ssize_t>(out.size())) {
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
      if (enough || NowMs() >= deadline || outputEnded_) break;
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
