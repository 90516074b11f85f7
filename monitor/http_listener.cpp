#include "monitor/http_listener.h"

#include <sys/socket.h>

#include <chrono>

#include <httplib.h>

namespace {
// httplib's own socket options add SO_REUSEPORT, with which a second monitor
// binds the same port without a word and the kernel splits the requests
// between the two. SO_REUSEADDR alone refuses a port another program
// listens on, and still lets a restart bind while the last run's
// connections linger in TIME_WAIT.
void ListenAlone(int socket) {
  const int on = 1;
  setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}
}  // namespace

HttpListener::HttpListener() : server_(std::make_unique<httplib::Server>()) {}

HttpListener::~HttpListener() { Stop(); }

bool HttpListener::ParseAddress(const std::string& address, HostPort* parts, std::string* problem) {
  const bool barePort = !address.empty() && address.find_first_not_of("0123456789") == std::string::npos;
  return ParseHostPort(barePort ? "127.0.0.1:" + address : address, parts, problem);
}

bool HttpListener::Bind(const std::string& address, const std::string& option, const std::string& serves,
                        std::string* error) {
  std::string problem;
  if (!ParseAddress(address, &address_, &problem)) {
    *error = option + " wants ADDR:PORT, not \"" + address + "\": " + problem;
    return false;
  }
  server_->set_socket_options(ListenAlone);
  if (!server_->bind_to_port(address_.host, std::stoi(address_.port))) {
    *error = "cannot listen on " + address + " for " + serves +
             " (another program, perhaps another monitor, listens there, or it is not an address of this machine)";
    return false;
  }
  return true;
}

void HttpListener::Start(int threads) {
  server_->new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<size_t>(threads)); };
  thread_ = std::thread([this] {
    server_->listen_after_bind();
    listenerEnded_ = true;
  });
}

// httplib's stop() does nothing until the listener has entered its loop, and
// that loop then never ends: a monitor failing right after Start (a bad
// --mqtt) waited in join() for ever, deaf to SIGTERM. So the loop is waited
// for first (a matter of microseconds), or the listener's end.
void HttpListener::Stop() {
  if (!thread_.joinable()) return;
  while (!server_->is_running() && !listenerEnded_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  server_->stop();
  thread_.join();
}

bool HttpListener::SameAddress(const std::string& a, const std::string& b) {
  HostPort first, second;
  std::string problem;
  return ParseAddress(a, &first, &problem) && ParseAddress(b, &second, &problem) && first.host == second.host &&
         first.port == second.port;
}

bool HttpListener::OnLoopback() const { return IsLoopbackHost(address_.host); }
