#pragma once
// pylaxctl monitor owning a simulated bus and serving it as a Modbus TCP
// gateway (writes on unless asked otherwise) at a free loopback port, for the tests of the masters
// that reach the bus through it. Ended (SIGTERM, then waited for) with the
// object, on every path.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback.h"

extern char** environ;

class GatewayMonitor {
 public:
  // Polls the bus at device every interval seconds; ready once the gateway
  // takes connections (false from Ready() when it never did).
  GatewayMonitor(const std::string& device, const std::string& interval, bool writes = true) : port_(FreePort()) {
    std::vector<std::string> args{PYLAXCTL_PATH, "--port", device, "monitor", "--interval", interval,
                                  "--end", "9", "--gateway", "127.0.0.1:" + std::to_string(port_)};
    if (writes) args.push_back("--gateway-writes");
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, PYLAXCTL_PATH, nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
    for (int k = 0; k < 100 && pid_ > 0 && !ready_; ++k) {
      ready_ = LoopbackAccepts(port_);
      if (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  ~GatewayMonitor() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  GatewayMonitor(const GatewayMonitor&) = delete;
  GatewayMonitor& operator=(const GatewayMonitor&) = delete;

  bool Ready() const { return ready_; }
  std::string PortName() const { return "mbtcp://" + Address(); }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  int port_;
  pid_t pid_ = -1;
  bool ready_ = false;
};
