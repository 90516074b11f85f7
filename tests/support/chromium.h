#pragma once
// Debian's chromium, headless, driven through its DevTools protocol on a
// pipe (--remote-debugging-pipe: commands in on descriptor 3, answers and
// events out on 4, each a JSON text ending in NUL), so that neither a
// WebDriver nor a WebSocket client is needed. A fresh profile in its own
// temporary folder; the browser is ended (and its folder removed) by the
// destructor, and never outlives the program that started it.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

class Chromium {
 public:
  explicit Chromium(const std::string& program) {
    char pattern[] = "/tmp/pylax-chromium-XXXXXX";
    dir_ = mkdtemp(pattern);
    int commands[2], answers[2];
    if (pipe(commands) != 0 || pipe(answers) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      setpgid(0, 0);  // its helpers end with it
      dup2(commands[0], 3);
      dup2(answers[1], 4);
      const int log = open((dir_ + "/chromium.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      dup2(log, 1);
      dup2(log, 2);
      for (int fd = 5; fd < 1024; ++fd) close(fd);
      const std::string profile = "--user-data-dir=" + dir_ + "/profile";
      // The machine's network is closed: nothing is fetched, nothing waits for it.
      execl(program.c_str(), "chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
            "--no-first-run", "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--disable-extensions", "--remote-debugging-pipe", "--window-size=1366,768", profile.c_str(),
            "about:blank", nullptr);
      _exit(127);
    }
    close(commands[0]);
    close(answers[1]);
    out_ = commands[1];
    in_ = answers[0];
  }
  ~Chromium() {
    if (out_ >= 0) close(out_);
    if (in_ >= 0) close(in_);
    if (pid_ > 0) {
      kill(-pid_, SIGTERM);
      for (int tries = 0; tries < 50 && waitpid(pid_, nullptr, WNOHANG) == 0; ++tries) usleep(100000);
      kill(-pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    std::filesystem::remove_all(dir_);
  }
  Chromium(const Chromium&) = delete;
  Chromium& operator=(const Chromium&) = delete;

  // A command's result; {"error": ...} when it failed or no answer came in
  // time (a bound against hangs only).
  nlohmann::json Call(const std::string& method, const nlohmann::json& params = nlohmann::json::object(),
                      const std::string& session = "") {
    const int id = ++lastId_;
    nlohmann::json message{{"id", id}, {"method", method}, {"params", params}};
    if (!session.empty()) message["sessionId"] = session;
    const std::string text = message.dump() + std::string(1, '\0');
    for (size_t done = 0; done < text.size();) {
      const ssize_t n = write(out_, text.data() + done, text.size() - done);
      if (n <= 0) return {{"error", "the browser is gone"}};
      done += static_cast<size_t>(n);
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < until) {
      nlohmann::json received;
      if (!Receive(&received, 200)) continue;
      if (received.contains("id") && received["id"] == id)
        return received.contains("error") ? nlohmann::json{{"error", received["error"]}} : received["result"];
      events_.push_back(received);
    }
    return {{"error", "no answer to " + method}};
  }

  // A page of its own to drive: the session id.
  std::string OpenPage() {
    const nlohmann::json target = Call("Target.createTarget", {{"url", "about:blank"}});
    const nlohmann::json attached =
        Call("Target.attachToTarget", {{"targetId", target.value("targetId", "")}, {"flatten", true}});
    const std::string session = attached.value("sessionId", "");
    for (const char* domain : {"Page.enable", "Runtime.enable", "Log.enable"}) Call(domain, {}, session);
    Call("Emulation.setDeviceMetricsOverride",
         {{"width", 1366}, {"height", 768}, {"deviceScaleFactor", 1}, {"mobile", false}}, session);
    return session;
  }

  // The value of a script's last expression (by value), or null.
  nlohmann::json Evaluate(const std::string& session, const std::string& expression) {
    const nlohmann::json result =
        Call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}}, session);
    return result.contains("result") && result["result"].contains("value") ? result["result"]["value"]
                                                                          : nlohmann::json();
  }

  // Every event received so far, and any that wait on the pipe now.
  const std::vector<nlohmann::json>& Events() {
    for (nlohmann::json received; Receive(&received, 0);) events_.push_back(received);
    return events_;
  }
  std::string LogPath() const { return dir_ + "/chromium.log"; }

 private:
  bool Receive(nlohmann::json* message, int timeoutMs) {
    for (;;) {
      const size_t end = pending_.find('\0');
      if (end != std::string::npos) {
        *message = nlohmann::json::parse(pending_.substr(0, end), nullptr, false);
        pending_.erase(0, end + 1);
        return true;
      }
      pollfd ready{in_, POLLIN, 0};
      if (poll(&ready, 1, timeoutMs) <= 0) return false;
      char buffer[65536];
      const ssize_t n = read(in_, buffer, sizeof buffer);
      if (n <= 0) return false;
      pending_.append(buffer, static_cast<size_t>(n));
    }
  }

  std::string dir_;
  pid_t pid_ = -1;
  int out_ = -1;
  int in_ = -1;
  int lastId_ = 0;
  std::string pending_;
  std::vector<nlohmann::json> events_;
};
