#pragma once
// A real influxd for a test or a benchmark: Debian's InfluxDB 1.x with its
// own config in a temporary folder, on free loopback ports, ended (and its
// folder removed) by the destructor, and never outliving the program that
// started it.

#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "tests/support/loopback.h"

class InfluxServer {
 public:
  // withAuthentication: requests need a user, as a site's server does.
  explicit InfluxServer(const char* program, bool withAuthentication = false) : program_(program) {
    char pattern[] = "/tmp/pylax-influx-XXXXXX";
    dir_ = mkdtemp(pattern);
    port_ = FreePort();
    std::ofstream(dir_ + "/influxdb.conf")
        << "reporting-disabled = true\nbind-address = \"127.0.0.1:" << FreePort() << "\"\n"
        << "[meta]\n  dir = \"" << dir_ << "/meta\"\n"
        << "[data]\n  dir = \"" << dir_ << "/data\"\n  wal-dir = \"" << dir_ << "/wal\"\n  query-log-enabled = false\n"
        << "[http]\n  bind-address = \"127.0.0.1:" << port_ << "\"\n  log-enabled = false\n"
        << "  auth-enabled = " << (withAuthentication ? "true" : "false") << "\n"
        << "[monitor]\n  store-enabled = false\n[continuous_queries]\n  enabled = false\n";
  }
  ~InfluxServer() {
    Stop();
    std::filesystem::remove_all(dir_);
  }
  // Started afresh on the same port and data; true once it answers /ping.
  bool Start() {
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a test program that crashed
      const int log = open((dir_ + "/influxd.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      dup2(log, 1);
      dup2(log, 2);
      execl(program_.c_str(), "influxd", "-config", (dir_ + "/influxdb.conf").c_str(), nullptr);
      _exit(127);
    }
    httplib::Client client("127.0.0.1", port_);
    for (int tries = 0; tries < 300; ++tries) {
      if (auto ping = client.Get("/ping"); ping && ping->status == 204) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int tries = 0; tries < 100 && waitpid(pid_, nullptr, WNOHANG) == 0; ++tries)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  int Port() const { return port_; }
  // The user the queries below go as.
  void UseCredentials(const std::string& user, const std::string& password) {
    user_ = user;
    password_ = password;
  }
  nlohmann::json Query(const std::string& database, const std::string& statement) const {
    httplib::Client client("127.0.0.1", port_);
    if (!user_.empty()) client.set_basic_auth(user_, password_);
    const auto result = client.Get("/query", httplib::Params{{"db", database}, {"q", statement}, {"epoch", "s"}},
                                    httplib::Headers{});
    return result ? nlohmann::json::parse(result->body) : nlohmann::json();
  }
  // A statement that changes the server (users, databases); true when taken.
  bool Execute(const std::string& statement) const {
    httplib::Client client("127.0.0.1", port_);
    if (!user_.empty()) client.set_basic_auth(user_, password_);
    const auto result = client.Post("/query", httplib::Params{{"q", statement}});
    return result && result->status == 200 && result->body.find("error") == std::string::npos;
  }

 private:
  std::string program_;
  std::string dir_;
  int port_ = 0;
  pid_t pid_ = -1;
  std::string user_;
  std::string password_;
};

