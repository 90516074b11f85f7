#pragma once
// What the monitor's tests run against, each a real program ended on every
// path (by its destructor, so that a failed check leaves nothing running):
// pylaxctl itself, a mosquitto broker, an MQTT subscriber, an HTTP client.

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <map>
#include <mutex>
#include <regex>
#include <thread>

#include <httplib.h>

#include "tests/support/core_fixture.h"
#include "tests/support/loopback.h"

extern char** environ;

inline bool WaitUntil(const std::function<bool()>& done, int seconds = 20) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}


// A program with stderr in NAME.err and stdout in NAME.out of the current
// directory (or on the descriptor out), the environment's variables plus env.
class Child {
 public:
  static constexpr int kHung = -1;
  Child(const std::string& program, const std::vector<std::string>& args, const std::string& name, int out = -1,
        const std::vector<std::string>& env = {}) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    if (out >= 0)
      posix_spawn_file_actions_adddup2(&files, out, 1);
    else
      posix_spawn_file_actions_addopen(&files, 1, (name + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, 2, (name + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&pid_, program.c_str(), &files, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&files);
    EXPECT_GT(pid_, 0) << program;
  }
  ~Child() { End(SIGKILL, 10); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Sends signal (0: none) and waits up to seconds for the end: the exit
  // status, 128 + the signal that ended it, or kHung (it is then killed).
  int End(int signal = 0, int seconds = 30) {
    if (pid_ <= 0) return status_;
    if (signal != 0) kill(pid_, signal);
    int status = 0;
    if (!WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, seconds)) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      status_ = kHung;
    } else {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    pid_ = -1;
    return status_;
  }
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int status_ = kHung;
};

// The whole run of a short program: its exit status, or Child::kHung.
inline int RunToEnd(const std::string& program, const std::vector<std::string>& args, const std::string& name,
               int seconds = 30) {
  return Child(program, args, name).End(0, seconds);
}

// mosquitto on a loopback port; only pylax with its password gets in, and
// the users given with the password "pw". More lines of configuration may
// follow (another listener, TLS, an ACL).
class Broker {
 public:
  explicit Broker(int port, const std::string& more = "", const std::vector<std::string>& users = {}) : port_(port) {
    EXPECT_EQ(RunToEnd(MOSQUITTO_PASSWD_PATH, {"-b", "-c", "passwd", "pylax", "s3cret"}, "passwd"), 0);
    for (const std::string& user : users) EXPECT_EQ(RunToEnd(MOSQUITTO_PASSWD_PATH, {"-b", "passwd", user, "pw"}, "passwd"), 0);
    std::ofstream("mosquitto.conf") << "per_listener_settings false\nallow_anonymous false\n"
                                    << "password_file " << Here("passwd") << "\n"
                                    // Run as root, it would change to a user who cannot read our directory.
                                    << "user " << getpwuid(getuid())->pw_name << "\n"
                                    << "listener " << port << " 127.0.0.1\n" << more;
    Start();
  }
  static std::string Here(const std::string& file) { return std::filesystem::current_path().string() + "/" + file; }
  void Start() {
    process_ = std::make_unique<Child>(MOSQUITTO_PATH, std::vector<std::string>{"-c", "mosquitto.conf"}, "mosquitto");
    ASSERT_TRUE(WaitUntil([this] { return LoopbackAccepts(port_); })) << ReadWholeFile("mosquitto.err");
  }
  void Stop() {
    if (process_) process_->End(SIGTERM);
    process_.reset();
  }

 private:
  int port_;
  std::unique_ptr<Child> process_;
};

// A libmosquitto client subscribed to pylax/# and homeassistant/#, keeping
// every message, reconnecting by itself.
class Subscriber {
 public:
  explicit Subscriber(int port) {
    mosquitto_lib_init();
    client_ = mosquitto_new(nullptr, true, this);
    mosquitto_connect_callback_set(client_, [](mosquitto* m, void*, int) {
      mosquitto_subscribe(m, nullptr, "pylax/#", 1);
      mosquitto_subscribe(m, nullptr, "homeassistant/#", 1);
    });
    mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* message) {
      auto* me = static_cast<Subscriber*>(self);
      std::lock_guard<std::mutex> hold(me->mutex_);
      me->messages_.emplace_back(message->topic,
                                 std::string(static_cast<const char*>(message->payload), message->payloadlen));
    });
    mosquitto_reconnect_delay_set(client_, 1, 1, false);
    mosquitto_username_pw_set(client_, "pylax", "s3cret");
    mosquitto_connect(client_, "127.0.0.1", port, 30);
    mosquitto_loop_start(client_);
  }
  ~Subscriber() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, true);
    mosquitto_destroy(client_);
  }
  // The last payload on topic, "" when none came.
  std::string Last(const std::string& topic) {
    std::lock_guard<std::mutex> hold(mutex_);
    for (auto it = messages_.rbegin(); it != messages_.rend(); ++it)
      if (it->first == topic) return it->second;
    return "";
  }
  // Messages on topics that start with topicPrefix.
  size_t Count(const std::string& topicPrefix) {
    std::lock_guard<std::mutex> hold(mutex_);
    return std::count_if(messages_.begin(), messages_.end(),
                         [&](const auto& m) { return m.first.rfind(topicPrefix, 0) == 0; });
  }
  // Messages on exactly topic with exactly payload.
  size_t Count(const std::string& topic, const std::string& payload) {
    std::lock_guard<std::mutex> hold(mutex_);
    return std::count(messages_.begin(), messages_.end(), std::pair(topic, payload));
  }
  bool WaitFor(const std::string& topic, const std::string& payload, int seconds = 20) {
    return WaitUntil([&] { return Last(topic) == payload; }, seconds);
  }
  void Clear() {
    std::lock_guard<std::mutex> hold(mutex_);
    messages_.clear();
  }

 private:
  mosquitto* client_;
  std::mutex mutex_;
  std::vector<std::pair<std::string, std::string>> messages_;
};

// GET /metrics, checked line by line against the text exposition format:
// HELP and TYPE before a family's samples, names and labels well formed,
// numbers that parse. The samples by "name{labels}".
inline std::map<std::string, double> Scrape(int port, const std::string& host = "127.0.0.1") {
  std::map<std::string, double> samples;
  const auto response = httplib::Client(host, port).Get("/metrics");
  EXPECT_TRUE(response && response->status == 200);
  if (!response) return samples;
  EXPECT_EQ(response->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  static const std::regex help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) .+)");
  static const std::regex type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (gauge|counter|histogram))");
  static const std::regex histogramPart("_(bucket|sum|count)$");
  static const std::regex sample(R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-z_]+="[^"\\]*",?)*\})? (\S+))");
  std::string typed;
  bool histogram = false;
  for (const std::string& line : SplitLines(response->body)) {
    std::smatch m;
    if (std::regex_match(line, m, help)) continue;
    if (std::regex_match(line, m, type)) {
      typed = m[1];
      histogram = m[2] == "histogram";
      EXPECT_EQ(m[2] == "counter", typed.size() > 6 && typed.substr(typed.size() - 6) == "_total") << line;
      continue;
    }
    EXPECT_TRUE(std::regex_match(line, m, sample)) << line;
    EXPECT_EQ(histogram ? std::regex_replace(m[1].str(), histogramPart, "") : m[1].str(), typed)
        << "a sample outside its family: " << line;
    size_t used = 0;
    samples[line.substr(0, line.rfind(' '))] = std::stod(m[4].str(), &used);
    EXPECT_EQ(used, m[4].length()) << line;
  }
  return samples;
}

// Lines of file that hold text.
inline int Lines(const std::string& file, const std::string& text) {
  int count = 0;
  for (const std::string& line : SplitLines(ReadWholeFile(file))) count += line.find(text) != std::string::npos;
  return count;
}
