// pylaxctl monitor as systemd runs it for a Type=notify unit: NOTIFY_SOCKET
// names a datagram socket of the test's own, which reads what the monitor
// says there, in order.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>

#include "tests/support/core_fixture.h"

extern char** environ;

namespace {
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
  }
  ~NotifySocket() {
    close(fd_);
    unlink(path_.c_str());
  }
  // The next message, or "" when none comes within waitMs.
  std::string Next(int waitMs) {
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, waitMs) != 1) return "";
    char message[4096];
    const ssize_t got = recv(fd_, message, sizeof message, 0);
    return got > 0 ? std::string(message, got) : "";
  }

 private:
  std::string path_;
  int fd_ = -1;
};

// pylaxctl with more environment; ended with SIGTERM, as systemd stops it.
class Monitor {
 public:
  Monitor(const std::vector<std::string>& args, const std::vector<std::string>& environment) {
    std::vector<std::string> argv{PYLAXCTL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> argp, envp;
    for (std::string& arg : argv) argp.push_back(arg.data());
    argp.push_back(nullptr);
    std::vector<std::string> env(environment);
    for (char** entry = environ; *entry != nullptr; ++entry) env.push_back(*entry);
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, 2, "monitor.err", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_EQ(posix_spawn(&pid_, argp[0], &files, nullptr, argp.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&files);
  }
  ~Monitor() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_ = -1;
};

class ServiceNotify : public ::testing::Test {
 protected:
  TempCurrentDirectory cwd_;
};

TEST_F(ServiceNotify, SaysReadyThenEachRoundsStatusAndThatItIsAliveInOrder) {
  const std::string round = R"(STATUS=meters online: 2 of 2; last round \d+\.\d\d s, ended \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)";
  const struct {
    std::string name;
    bool portThere;
    bool watchdog;                  // WatchdogSec= set: WATCHDOG_USEC in the environment
    std::vector<std::string> says;  // what comes, in this order (other messages may come between)
  } cases[] = {
      {"a bus that answers", true, true,
       {"READY=1\nSTATUS=meters found: 2 at addresses 3 to 7", round, "WATCHDOG=1"}},
      {"a port missing at start", false, true,
       {"READY=1\nSTATUS=Unable to open missing-tty: missing-tty does not exist; trying again every 5 s",
        "WATCHDOG=1"}},
      {"no watchdog asked for", true, false,
       {"READY=1\nSTATUS=meters found: 2 at addresses 3 to 7", round, round}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimProcess sim({"--meter", "3:QM4C", "--meter", "7:QM4A"});
    NotifySocket socket(cwd_.Path().string() + "/notify");
    std::vector<std::string> environment{"NOTIFY_SOCKET=" + cwd_.Path().string() + "/notify"};
    if (c.watchdog) environment.push_back("WATCHDOG_USEC=200000");
    Monitor monitor({"--port", c.portThere ? sim.LinkPath() : "missing-tty", "monitor", "--start", "3", "--end", "7", "--interval", "0.2",
                     "--rescan-minutes", "0"},
                    environment);
    std::vector<std::string> heard;
    size_t matched = 0;
    // A generous bound that only catches a monitor that never says it.
    for (int quiet = 0; matched < c.says.size() && quiet < 60;) {
      const std::string message = socket.Next(1000);
      if (message.empty()) {
        ++quiet;
        continue;
      }
      heard.push_back(message);
      if (std::regex_match(message, std::regex(c.says[matched]))) ++matched;
    }
    ASSERT_EQ(matched, c.says.size()) << "heard: " << ::testing::PrintToString(heard) << "\n"
                                      << ReadWholeFile("monitor.err");
    EXPECT_EQ(heard.front(), c.says.front()) << "nothing comes before READY";
    if (!c.watchdog) {
      EXPECT_EQ(std::count(heard.begin(), heard.end(), "WATCHDOG=1"), 0) << ::testing::PrintToString(heard);
    }
  }
}
}  // namespace
