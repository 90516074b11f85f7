#include "monitor/http_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <httplib.h>

namespace {
constexpr const char* kText = "text/plain; charset=utf-8";
// How long an answer may wait for its client to take more of it.
constexpr int kWriteMs = 5000;
// Connections taken at once, so that the heads already arriving are read
// between bursts.
constexpr int kAcceptsAtOnce = 64;

// httplib's own socket options add SO_REUSEPORT, with which a second monitor
// binds the same port without a word and the kernel splits the requests
// between the two. SO_REUSEADDR alone refuses a port another program
// listens on, and still lets a restart bind while the last run's
// connections linger in TIME_WAIT.
void ListenAlone(int socket) {
  const int on = 1;
  setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

// The host part of a Host header: "127.0.0.1:9464", "[::1]:9464", "localhost".
std::string HostOf(const std::string& header) {
  if (!header.empty() && header.front() == '[') return header.substr(1, header.find(']') - 1);
  return header.substr(0, header.find(':'));
}

// Where the head ends (past its blank line), npos while it has not.
size_t HeadEnd(const std::string& head) {
  const size_t crlf = head.find("\r\n\r\n"), lf = head.find("\n\n");
  return std::min(crlf == std::string::npos ? crlf : crlf + 4, lf == std::string::npos ? lf : lf + 2);
}

std::string AddressText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address.ss_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
  else
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text, sizeof text);
  return text;
}

httplib::Server::HandlerResponse Refuse(httplib::Response& response, int status, const std::string& text) {
  response.status = status;
  response.set_content(text + "\n", kText);
  return httplib::Server::HandlerResponse::Handled;
}

// The answer to a head that came too slowly or too big, written if the
// socket takes it at once.
void RefuseHead(int socket, const char* status, const std::string& text) {
  const std::string answer = std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " + kText +
                             "\r\nContent-Length: " + std::to_string(text.size() + 1) +
                             "\r\nConnection: close\r\n\r\n" + text + "\n";
  send(socket, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

// The request's head as our loop read it, then nothing: no route takes a
// body, so none is read.
class HeadStream : public httplib::Stream {
 public:
  HeadStream(int socket, const std::string& head, const std::string& client)
      : socket_(socket), head_(head), client_(client) {}
  bool is_readable() const override { return read_ < head_.size(); }
  bool is_writable() const override {
    pollfd polled{socket_, POLLOUT, 0};
    return poll(&polled, 1, kWriteMs) == 1 && (polled.revents & (POLLERR | POLLHUP)) == 0;
  }
  ssize_t read(char* ptr, size_t size) override {
    const size_t n = std::min(size, head_.size() - read_);
    std::memcpy(ptr, head_.data() + read_, n);
    read_ += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    size_t sent = 0;
    while (sent < size && is_writable()) {
      const ssize_t n = send(socket_, ptr + sent, size - sent, MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN && errno != EINTR) return -1;
      sent += static_cast<size_t>(std::max<ssize_t>(n, 0));
    }
    return sent == size ? static_cast<ssize_t>(size) : -1;
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = client_;
    port = 0;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip.clear();
    port = 0;
  }
  socket_t socket() const override { return socket_; }

 private:
  const int socket_;
  const std::string& head_;
  const std::string& client_;
  size_t read_ = 0;
};
}  // namespace

// httplib's routing, fed one request at a time.
class HttpListener::Routes : public httplib::Server {
 public:
  int Listening() const { return svr_sock_; }
  void Answer(httplib::Stream& stream) {
    bool closed = false;
    process_request(stream, true, closed, nullptr);
  }
};

HttpListener::HttpListener() : server_(std::make_unique<Routes>()) { Check(nullptr); }

HttpListener::~HttpListener() {
  Stop();
  if (listening_ >= 0) close(listening_);
  if (wake_ >= 0) close(wake_);
}

httplib::Server& HttpListener::Server() { return *server_; }

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
  listening_ = server_->Listening();
  listen(listening_, SOMAXCONN);  // httplib's backlog of 5 drops a burst of connections
  fcntl(listening_, F_SETFL, O_NONBLOCK);
  return true;
}

// The listener's own checks, on every request before the server's: a web
// site that makes its own name resolve to 127.0.0.1 would otherwise read a
// loopback listener through its visitors' browsers; and a body is refused
// unread, since nothing served takes one.
void HttpListener::Check(std::function<bool(const httplib::Request&, httplib::Response&)> check) {
  server_->set_pre_routing_handler([this, check](const httplib::Request& request, httplib::Response& response) {
    if (OnLoopback() && !IsLoopbackHost(HostOf(request.get_header_value("Host"))))
      return Refuse(response, 403, "This listener answers to the loopback's names only (127.0.0.1, localhost, [::1]).");
    if (check && check(request, response)) return httplib::Server::HandlerResponse::Handled;
    if (request.has_header("Transfer-Encoding") || (request.has_header("Content-Length") && request.get_header_value("Content-Length") != "0"))
      return Refuse(response, 413, "Nothing here takes a request body.");
    return httplib::Server::HandlerResponse::Unhandled;
  });
}

void HttpListener::Start(int threads) {
  pool_ = std::make_unique<httplib::ThreadPool>(static_cast<size_t>(threads));
  wake_ = eventfd(0, EFD_CLOEXEC);
  thread_ = std::thread([this] { Loop(); });
}

void HttpListener::Loop() {
  for (;;) {
    std::vector<pollfd> polled{{wake_, POLLIN, 0}, {listening_, POLLIN, 0}};
    for (const Connection& connection : pending_) polled.push_back({connection.socket, POLLIN, 0});
    int timeoutMs = -1;  // until the oldest head is due
    if (!pending_.empty())
      timeoutMs = static_cast<int>(std::max<int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(
                                                            pending_.front().deadline - std::chrono::steady_clock::now())
                                                            .count()));
    poll(polled.data(), polled.size(), timeoutMs);
    if (polled[0].revents != 0) break;
    const auto now = std::chrono::steady_clock::now();
    size_t at = 2;
    for (auto connection = pending_.begin(); connection != pending_.end(); ++at) {
      bool keep = true;
      if (polled[at].revents != 0) {
        keep = Read(*connection);
      } else if (now >= connection->deadline) {
        RefuseHead(connection->socket, "408 Request Timeout",
                   "The request did not come within " + std::to_string(kHeadSeconds) + " s.");
        Release(*connection);
        keep = false;
      }
      connection = keep ? connection + 1 : pending_.erase(connection);
    }
    if (polled[1].revents != 0) Accept();
  }
  for (const Connection& connection : pending_) Release(connection);
  pending_.clear();
}

void HttpListener::Accept() {
  for (int taken = 0; taken < kAcceptsAtOnce; ++taken) {
    sockaddr_storage from{};
    socklen_t size = sizeof from;
    const int socket = accept4(listening_, reinterpret_cast<sockaddr*>(&from), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (socket < 0) return;
    const std::string client = AddressText(from);
    if (!MakeRoom(client)) {
      close(socket);
      continue;
    }
    {
      std::lock_guard<std::mutex> hold(mutex_);
      ++connections_;
      ++perClient_[client];
    }
    pending_.push_back({socket, client, "", std::chrono::steady_clock::now() + std::chrono::seconds(kHeadSeconds)});
  }
}

// Room for one more connection of client: when the listener or the client
// is at its bound, the oldest connection (of the client) still sending its
// head gives way, so that slow clients cannot keep out a quick one.
bool HttpListener::MakeRoom(const std::string& client) {
  bool clientFull = false, full = false;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    const auto ofClient = perClient_.find(client);
    clientFull = ofClient != perClient_.end() && ofClient->second >= kConnectionsPerClient;
    full = connections_ >= kConnections;
  }
  if (!clientFull && !full) return true;
  const auto oldest = std::find_if(pending_.begin(), pending_.end(),
                                   [&](const Connection& c) { return !clientFull || c.client == client; });
  if (oldest == pending_.end()) return false;
  Release(*oldest);
  pending_.erase(oldest);
  return true;
}

bool HttpListener::Read(Connection& connection) {
  char buffer[4096];
  const ssize_t n = recv(connection.socket, buffer, std::min(sizeof buffer, kHeadBytes - connection.head.size()), 0);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  if (n <= 0) {
    Release(connection);
    return false;
  }
  connection.head.append(buffer, static_cast<size_t>(n));
  const size_t end = HeadEnd(connection.head);
  if (end == std::string::npos && connection.head.size() < kHeadBytes) return true;
  if (end == std::string::npos) {
    RefuseHead(connection.socket, "431 Request Header Fields Too Large",
               "The request's head is over " + std::to_string(kHeadBytes / 1024) + " KB.");
    Release(connection);
    return false;
  }
  connection.head.resize(end);
  {
    std::lock_guard<std::mutex> hold(mutex_);
    answering_[connection.socket] = connection.client;
  }
  pool_->enqueue([this, connection] { Answer(connection); });
  return false;
}

void HttpListener::Answer(Connection connection) {
  HeadStream stream(connection.socket, connection.head, connection.client);
  server_->Answer(stream);
  Release(connection);
}

// Forgets the connection and closes its socket (after it left answering_,
// so that Stop never shuts a socket number taken again since).
void HttpListener::Release(const Connection& connection) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    answering_.erase(connection.socket);
    --connections_;
    if (--perClient_[connection.client] == 0) perClient_.erase(connection.client);
  }
  close(connection.socket);
}

// The loop ends first, so that nothing more is handed over; then every
// socket being answered is shut, which ends a read or write waiting on a
// client at once, and the threads end.
void HttpListener::Stop() {
  if (!thread_.joinable()) return;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t woken = write(wake_, &one, sizeof one);  // an eventfd takes it
  thread_.join();
  {
    std::lock_guard<std::mutex> hold(mutex_);
    for (const auto& [socket, client] : answering_) shutdown(socket, SHUT_RDWR);
  }
  pool_->shutdown();
}

bool HttpListener::SameAddress(const std::string& a, const std::string& b) {
  HostPort first, second;
  std::string problem;
  return ParseAddress(a, &first, &problem) && ParseAddress(b, &second, &problem) && first.host == second.host &&
         first.port == second.port;
}

bool HttpListener::OnLoopback() const { return IsLoopbackHost(address_.host); }
