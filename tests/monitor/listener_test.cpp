// The monitor's listeners against clients that are slow, many, big or
// foreign, over real loopback sockets.

#include <poll.h>

#include "tests/monitor/monitor_support.h"

namespace {
// Connected to port from 127.0.0.host, so that a flood and a probe are two clients.
int ConnectFrom(int host, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{AF_INET, 0, {htonl(0x7f000000u | static_cast<uint32_t>(host))}, {}};
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  address = {AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  return fd;
}

// The status line the socket gets before it is closed (20 s at most), "" for none.
std::string StatusLine(int fd, const std::string& request = "") {
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string got;
  char buffer[4096];
  for (pollfd p{fd, POLLIN, 0}; got.find("\r\n") == std::string::npos && poll(&p, 1, 20000) == 1;) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got.substr(0, got.find("\r\n"));
}

// Sockets over hosts addresses from 127.0.0.2 that start a request and add a
// header line every second, for 30 s at most.
struct Flood {
  Flood(int port, int count, int hosts) {
    for (int i = 0; i < count; ++i) sockets.push_back(ConnectFrom(2 + i % hosts, port));
    trickle = std::jthread([this](std::stop_token stop) {
      for (int second = 0; second < 30 && !stop.stop_requested(); ++second, std::this_thread::sleep_for(std::chrono::seconds(1)))
        for (const int fd : sockets) send(fd, second == 0 ? "GET / HTTP/1.1\r\n" : "X-Slow: 1\r\n", second == 0 ? 16 : 11, MSG_NOSIGNAL);
    });
  }
  ~Flood() {
    trickle = std::jthread();  // the trickle stopped and joined first
    for (const int fd : sockets) close(fd);
  }
  std::vector<int> sockets;
  std::jthread trickle;
};
}  // namespace

// While each flood is open a probe gets its answer; the flood's newest socket
// gets 408 once its head is 5 s old, its oldest is dropped unanswered when
// it was over a bound. Then SIGTERM ends the monitor while heads trickle.
TEST(Listeners, AnswerTheirClientsWhateverOthersSendAndEndOnSigterm) {
  TempCurrentDirectory cwd;
  const int ports[] = {FreePort(), FreePort()};  // /metrics, the page
  Child monitor(PYLAXCTL_PATH, {"--port", "/dev/pylax-no-such-port", "monitor", "--prometheus", "127.0.0.1:" +
                std::to_string(ports[0]), "--http", "127.0.0.1:" + std::to_string(ports[1])}, "monitor");
  const std::string get = " HTTP/1.1\r\nHost: 127.0.0.1\r\n", ok = "HTTP/1.1 200 OK", tooLarge = "HTTP/1.1 413 Payload Too Large";
  const auto ask = [&](int listener, const std::string& request) {
    const int fd = ConnectFrom(1, ports[listener]);
    const std::string status = StatusLine(fd, request);
    close(fd);
    return status;
  };
  ASSERT_TRUE(WaitUntil([&] { return ask(0, "GET /metrics" + get + "\r\n") == ok; })) << ReadWholeFile("monitor.err");
  const struct {
    int listener, flood, hosts;
    std::string probe, answer, oldestGets;
  } cases[] = {
      {1, 150, 1, "GET /" + get + "\r\n", ok, ""},
      {0, 30, 1, "GET /metrics" + get + "\r\n", ok, "HTTP/1.1 408 Request Timeout"},
      {1, 33, 1, "GET /" + get + "\r\n", ok, ""},
      {1, 500, 1, "GET /" + get + "\r\n", ok, ""},
      {1, 300, 10, "GET /" + get + "\r\n", ok, ""},
      {1, 0, 1, "GET /" + get + "X-Pad: " + std::string(20000, 'X') + "\r\n\r\n", "HTTP/1.1 431 Request Header Fields Too Large", ""},
      {1, 0, 1, "POST /nope" + get + "Content-Length: 268435456\r\n\r\n", tooLarge, ""},
      {0, 0, 1, "GET /metrics" + get + "Transfer-Encoding: chunked\r\n\r\n", tooLarge, ""},
      {0, 0, 1, "GET /metrics HTTP/1.1\r\nHost: rebound.example\r\n\r\n", "HTTP/1.1 403 Forbidden", ""},
      {1, 0, 1, "GET / HTTP/1.1\r\nHost: 127.0.0.1.example\r\n\r\n", "HTTP/1.1 403 Forbidden", ""},
  };
  for (const auto& c : cases) {
    Flood flood(ports[c.listener], c.flood, c.hosts);
    EXPECT_EQ(ask(c.listener, c.probe), c.answer) << c.probe.substr(0, 40) << " beside " << c.flood;
    if (c.flood == 0) continue;
    EXPECT_EQ(StatusLine(flood.sockets.back()), "HTTP/1.1 408 Request Timeout") << c.flood;
    EXPECT_EQ(StatusLine(flood.sockets.front()), c.oldestGets) << c.flood;
  }
  Flood trickling(ports[1], 5, 1);
  EXPECT_EQ(monitor.End(SIGTERM, 20), 0);
}
