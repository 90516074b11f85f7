// The monitor's Modbus TCP gateway as other masters use it: raw MBAP
// requests, mbpoll (libmodbus) and pylaxctl against a real monitor polling
// qm4sim.

#include <poll.h>

#include <future>

#include "tests/monitor/monitor_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A Modbus TCP client of our own, bytes as they go over the socket.
class RawClient {
 public:
  explicit RawClient(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawClient() { close(fd_); }
  bool Connected() const { return connected_; }
  void Send(const Bytes& bytes) { EXPECT_EQ(send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size())); }
  // What came within seconds, up to a whole MBAP frame; empty when the
  // gateway closed the connection or said nothing.
  Bytes Receive(int seconds = 5) {
    Bytes got;
    for (size_t want = 7; got.size() < want;) {
      pollfd p{fd_, POLLIN, 0};
      uint8_t buffer[300];
      if (poll(&p, 1, seconds * 1000) <= 0) break;
      const ssize_t n = recv(fd_, buffer, std::min(sizeof buffer, want - got.size()), 0);
      if (n <= 0) break;
      got.insert(got.end(), buffer, buffer + n);
      if (got.size() >= 6) want = 6 + (got[4] << 8 | got[5]);
    }
    return got;
  }
  // True once the gateway has closed the connection.
  bool Closed() {
    pollfd p{fd_, POLLIN, 0};
    uint8_t byte;
    return poll(&p, 1, 5000) > 0 && recv(fd_, &byte, 1, 0) <= 0;
  }

 private:
  int fd_;
  bool connected_ = false;
};

Bytes Request(uint16_t id, uint8_t unit, const Bytes& pdu) {
  Bytes frame{uint8_t(id >> 8), uint8_t(id), 0, 0, 0, uint8_t(pdu.size() + 1), unit};
  frame.insert(frame.end(), pdu.begin(), pdu.end());
  return frame;
}

class Gateway : public ::testing::Test {
 protected:
  // The monitor polling three meters and serving them at gateway_.
  void StartMonitor(std::vector<std::string> more = {}) {
    std::vector<std::string> args{"--port", sim_->LinkPath(), "monitor", "--interval", "2", "--end", "9",
                                  "--gateway", "127.0.0.1:" + std::to_string(gatewayPort_), "--prometheus",
                                  "127.0.0.1:" + std::to_string(metricsPort_)};
    args.insert(args.end(), more.begin(), more.end());
    monitor_ = std::make_unique<Child>(PYLAXCTL_PATH, args, "monitor");
    ASSERT_TRUE(WaitUntil([&] { return Lines("monitor.err", "found 09") == 1; })) << ReadWholeFile("monitor.err");
  }
  TempCurrentDirectory cwd_;
  // Where the monitor says it holds the port, for every program the test runs.
  const int runtimeDir_ = setenv("PYLAX_RUNTIME_DIR", cwd_.Path().c_str(), 1);
  std::unique_ptr<SimProcess> sim_ = std::make_unique<SimProcess>(std::vector<std::string>{
      "--static", "--log-sequence", "--prefill", "130", "--baud", "38400", "--meter", "3:QM4C", "--meter", "7:QM4A",
      "--meter", "9:QM4B"});
  int gatewayPort_ = FreePort();
  int metricsPort_ = FreePort();
  std::unique_ptr<Child> monitor_;
};

// Every request gets the meter's answer under its own transaction id, or the
// exception that says why there is none; a write while writes are off
// reaches no meter.
TEST_F(Gateway, AnswersEachRequestOrSaysWhyWithItsException) {
  ASSERT_EQ(sim_->Command("setfloat 3 258 1234.5"), "ok");
  StartMonitor();
  RawClient client(gatewayPort_);
  ASSERT_TRUE(client.Connected());
  const struct {
    uint8_t unit;
    Bytes pdu;
    Bytes answer;
  } cases[] = {
      {3, {3, 1, 2, 0, 2}, {3, 4, 0x44, 0x9A, 0x50, 0x00}},  // 1234.5 at 258
      {7, {3, 1, 20, 0, 2}, {0x83, 0x02}},                     // a QM4A has no 276: the meter's own exception
      {5, {3, 1, 2, 0, 2}, {0x83, 0x0B}},                      // no meter at 5
      {3, {3, 1, 2, 0, 0}, {0x83, 0x03}},                      // no register asked for
      {3, {3, 1, 2, 0, 126}, {0x83, 0x03}},                    // more than a frame holds
      {3, {4, 1, 2, 0, 2}, {0x84, 0x01}},                      // a function the meters do not know
      {3, {6, 0, 149, 0, 60}, {0x86, 0x01}},                   // writes are off
      {9, {17}, {17, 25, 0x42, 0xFF, 'O', 'r', 'v', 'a', 'n', 't', ' ', 'Q', 'M', '4', 'B', ' ', 'P', 'o', 'w', 'e',
                 'r', ' ', 'M', 'e', 't', 'e', 'r'}},
  };
  uint16_t id = 0x1200;
  sim_->TakeEvents(0, 0);
  for (const auto& c : cases) {
    client.Send(Request(++id, c.unit, c.pdu));
    EXPECT_EQ(client.Receive(), Request(id, c.unit, c.answer)) << "unit " << int(c.unit) << " function " << int(c.pdu[0]);
  }
  for (const std::string& event : sim_->TakeEvents(0, 100)) EXPECT_NE(event.rfind("write", 0), 0u) << event;
  EXPECT_EQ(Lines("monitor.err", "a write from 127.0.0.1:"), 1) << ReadWholeFile("monitor.err");
  sim_.reset();  // the port goes away under the monitor
  client.Send(Request(++id, 3, {17}));
  EXPECT_EQ(client.Receive(), Request(id, 3, {0x91, 0x0A}));
}

// mbpoll (libmodbus), pylaxctl and raw clients at once, some of them badly
// behaved, while the monitor keeps its rounds; the port itself names the
// monitor and its gateway to whoever tries to open it.
TEST_F(Gateway, ServesEveryClientInTurnWhileTheMonitorKeepsItsRounds) {
  ASSERT_EQ(RunToEnd(PYLAXCTL_PATH, {"--port", sim_->LinkPath(), "--slave", "3", "log", "download"}, "direct"), 0);
  std::rename("03-data.csv", "direct.csv");
  for (const std::string slave : {"7", "9"})
    ASSERT_EQ(RunToEnd(PYLAXCTL_PATH, {"--port", sim_->LinkPath(), "--slave", slave, "read", "--json"}, "direct" + slave), 0);
  StartMonitor({"--gateway-writes"});  // a download selects the slot it reads
  const std::string gateway = "mbtcp://127.0.0.1:" + std::to_string(gatewayPort_);

  EXPECT_EQ(RunToEnd(PYLAXCTL_PATH, {"--port", sim_->LinkPath(), "scan"}, "refused"), 3);
  EXPECT_NE(ReadWholeFile("refused.err").find("is in use by pylaxctl monitor (pid " + std::to_string(monitor_->Pid()) +
                                               "), which serves the bus at " + gateway),
            std::string::npos)
      << ReadWholeFile("refused.err");

  RawClient garbage(gatewayPort_);
  garbage.Send({0, 1, 0, 1, 0, 6, 3, 3, 1, 2, 0, 2});  // protocol id 1: no Modbus
  EXPECT_TRUE(garbage.Closed());
  RawClient(gatewayPort_).Send({0, 1, 0, 0, 0, 6, 3});  // half a request, then gone
  std::vector<std::future<int>> runs;
  for (const auto& [name, args] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {"download", {"--slave", "3", "log", "download"}},
           {"read7", {"--slave", "7", "read", "--json"}},
           {"read9", {"--slave", "9", "read", "--json"}}}) {
    std::vector<std::string> all{"--port", gateway};
    all.insert(all.end(), args.begin(), args.end());
    runs.push_back(std::async(std::launch::async, [all, name = name] { return RunToEnd(PYLAXCTL_PATH, all, name, 120); }));
  }
  Child mbpoll(MBPOLL_PATH, {"-m", "tcp", "-a", "9", "-r", "259", "-c", "2", "-t", "4", "-1", "-p",
                             std::to_string(gatewayPort_), "127.0.0.1"}, "mbpoll");
  for (auto& run : runs) EXPECT_EQ(run.get(), 0);
  EXPECT_EQ(mbpoll.End(0, 30), 0) << ReadWholeFile("mbpoll.out");
  EXPECT_EQ(ReadWholeFile("03-data.csv"), ReadWholeFile("direct.csv"));
  EXPECT_EQ(ReadWholeFile("read7.out"), ReadWholeFile("direct7.out"));
  EXPECT_EQ(ReadWholeFile("read9.out"), ReadWholeFile("direct9.out"));
  EXPECT_EQ(Lines("mbpoll.out", "[259]:"), 1) << ReadWholeFile("mbpoll.out");

  // More clients than the limit: those beyond it are closed, the others served.
  std::vector<std::unique_ptr<RawClient>> crowd;
  for (int k = 0; k < 9; ++k) crowd.push_back(std::make_unique<RawClient>(gatewayPort_));
  EXPECT_TRUE(crowd.back()->Closed());
  crowd.front()->Send(Request(7, 3, {3, 1, 2, 0, 2}));
  EXPECT_EQ(crowd.front()->Receive().size(), 13u);

  std::map<std::string, double> metrics;
  ASSERT_TRUE(WaitUntil([&] {
    metrics = Scrape(metricsPort_);
    return metrics["pylax_gateway_requests_total{result=\"answered\"}"] > 10;
  }, 30));
  EXPECT_EQ(metrics["pylax_poll_overruns_total"], 0);
  EXPECT_EQ(metrics["pylax_gateway_requests_total{result=\"malformed\"}"], 1);
  EXPECT_EQ(metrics["pylax_gateway_requests_total{result=\"no_answer\"}"], 0);
  EXPECT_EQ(monitor_->End(SIGTERM), 0);
}

}  // namespace
