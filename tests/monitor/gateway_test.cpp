// The monitor's Modbus TCP gateway as other masters use it: raw MBAP
// requests, mbpoll (libmodbus) and pylaxctl against a real monitor polling
// qm4sim.

#include <poll.h>

#include <future>
#include <thread>

#include "monitor/gateway_line.h"

#include "tests/monitor/monitor_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A Modbus TCP client of our own, bytes as they go over the socket.
class RawClient {
 public:
  // from: the loopback address it connects from (each counts as a host).
  explicit RawClient(int port, const char* from = "127.0.0.1") : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in source{};
    source.sin_family = AF_INET;
    inet_pton(AF_INET, from, &source.sin_addr);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&source), sizeof source), 0) << from;
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
  // True when the gateway has closed the connection, without waiting.
  bool ClosedNow() {
    pollfd p{fd_, POLLIN, 0};
    uint8_t byte;
    return poll(&p, 1, 0) > 0 && recv(fd_, &byte, 1, MSG_DONTWAIT) <= 0;
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
  // gateway: where it listens, by default 127.0.0.1 at gatewayPort_.
  void StartMonitor(std::vector<std::string> more = {}, std::string gateway = "") {
    if (gateway.empty()) gateway = "127.0.0.1:" + std::to_string(gatewayPort_);
    std::vector<std::string> args{"--port", sim_->LinkPath(), "monitor", "--interval", "2", "--end", "9",
                                  "--gateway", gateway, "--prometheus",
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

// One client at a time in a meter's log window, from its slot selection: others'
// log writes and window reads are busy (06) and reach no meter; its 0, its
// connection's end or 5 s of its silence let go. Writes are said and counted.
TEST_F(Gateway, KeepsEachLogWindowToTheClientHoldingIt) {
  StartMonitor({"--gateway-writes"});
  std::map<char, std::unique_ptr<RawClient>> clients;
  for (const char who : {'A', 'B', 'C'}) clients[who] = std::make_unique<RawClient>(gatewayPort_);
  const Bytes busyRead{0x83, 0x06}, busyWrite{0x86, 0x06};
  // An empty pdu closes the client; answers are compared as far as given.
  const struct {
    char who;
    uint8_t unit;
    Bytes pdu;
    Bytes answer;
  } cases[] = {
      {'A', 3, {6, 0, 157, 0, 1}, {6, 0, 157, 0, 1}},   // A selects slot 1: A holds meter 3's window
      {'A', 3, {3, 0x1F, 0x3F, 0, 2}, {3, 4}},           // A reads it
      {'B', 3, {3, 0x1F, 0x3F, 0, 2}, busyRead},         // 7999: the window's first register
      {'B', 3, {3, 0x1F, 0x3E, 0, 2}, busyRead},         // 7998 and 7999
      {'B', 3, {3, 0x1F, 0x3E, 0, 1}, {0x83, 0x02}},     // 7998 alone is no window: the meter's own answer
      {'B', 3, {6, 0, 157, 0, 2}, busyWrite},
      {'B', 3, {6, 0, 128, 0x41, 0}, busyWrite},         // restart logging
      {'B', 3, {6, 0, 149, 0, 60}, busyWrite},
      {'B', 3, {6, 0, 158, 0, 0}, busyWrite},
      {'B', 3, {6, 0, 168, 0, 1}, busyWrite},
      {'B', 3, {6, 0, 177, 0, 1}, busyWrite},
      {'B', 3, {6, 0, 178, 0, 1}, {0x86, 0x02}},         // past the slots: the meter refuses it itself
      {'B', 3, {3, 1, 2, 0, 2}, {3, 4}},                 // the readings go on
      {'B', 9, {6, 0, 149, 0, 60}, {0x86, 0x02}},        // another meter's registers are not held
      {'A', 3, {6, 0, 157, 0, 0}, {6, 0, 157, 0, 0}},    // A lets go
      {'B', 3, {6, 0, 157, 0, 2}, {6, 0, 157, 0, 2}},    // B takes it
      {'A', 3, {3, 0x1F, 0x3F, 0, 2}, busyRead},
      {'A', 3, {6, 0, 149, 0, 60}, busyWrite},
      {'B', 3, {}, {}},                                  // B's connection ends
      {'A', 3, {6, 0, 149, 0, 60}, {6, 0, 149, 0, 60}},  // said: a logging setup
      {'A', 3, {6, 0, 157, 0, 3}, {6, 0, 157, 0, 3}},
      {'C', 3, {6, 0, 157, 0, 1}, busyWrite},            // A was heard on meter 3 just now
  };
  uint16_t id = 0x4000;
  sim_->TakeEvents(0, 0);
  for (const auto& c : cases) {
    if (c.pdu.empty()) {
      clients.erase(c.who);
      std::this_thread::sleep_for(std::chrono::milliseconds(500));  // for the gateway to see the end
      continue;
    }
    clients[c.who]->Send(Request(++id, c.unit, c.pdu));
    const Bytes answer = clients[c.who]->Receive();
    EXPECT_EQ(Bytes(answer.begin() + std::min<size_t>(answer.size(), 7),
                    answer.begin() + std::min<size_t>(answer.size(), 7 + c.answer.size())),
              c.answer)
        << c.who << " at " << int(c.pdu[1] << 8 | c.pdu[2]) << " function " << int(c.pdu[0]);
  }
  // None of the refused reached meter 3 (writes the meter refused are no events).
  std::vector<std::string> reached;
  for (const std::string& event : sim_->TakeEvents(0, 100))
    if (event.rfind("write 3", 0) == 0 || event.rfind("read 3 799", 0) == 0) reached.push_back(event);
  EXPECT_EQ(reached, (std::vector<std::string>{"write 3 157 1", "read 3 7999 2", "read 3 7998 1", "write 3 157 0",
                                               "write 3 157 2", "write 3 149 60", "write 3 157 3"}));
  // A silent on meter 3 for over 5 s (reads of meter 9 do not count) lets go.
  for (int k = 0; k < 7; ++k, std::this_thread::sleep_for(std::chrono::seconds(1)))
    clients['A']->Send(Request(++id, 9, {3, 1, 2, 0, 2})), clients['A']->Receive();
  clients['C']->Send(Request(++id, 3, {6, 0, 157, 0, 1}));
  EXPECT_EQ(clients['C']->Receive(), Request(id, 3, {6, 0, 157, 0, 1}));

  const std::string said = ReadWholeFile("monitor.err");
  EXPECT_EQ(Lines("monitor.err", " wrote 60 to register 149 of meter 03 (logging setup)"), 1) << said;
  EXPECT_EQ(Lines("monitor.err", " wrote 60 to register 149 of meter 09 (logging setup)"), 1) << said;
  EXPECT_EQ(Lines("monitor.err", "register 157"), 0) << said;
  const auto writes = [](const char* kind, const char* outcome) {
    return "pylax_gateway_writes_total{class=\"" + std::string(kind) + "\",outcome=\"" + outcome + "\"}";
  };
  const std::map<std::string, double> counted{
      {writes("slot_selection", "passed"), 5}, {writes("slot_selection", "refused"), 2},
      {writes("logging_setup", "passed"), 2},  {writes("logging_setup", "refused"), 6},
      {writes("other", "passed"), 1},          {"pylax_gateway_requests_total{result=\"busy\"}", 11}};
  std::map<std::string, double> metrics;
  ASSERT_TRUE(WaitUntil([&] { return (metrics = Scrape(metricsPort_))[writes("slot_selection", "passed")] == 5; }, 30));
  for (const auto& [sample, count] : counted) EXPECT_EQ(metrics[sample], count) << sample;
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

// A read within a young enough block a real link read from qm4sim is answered
// from it byte for byte; anything else goes on the line.
TEST_F(Gateway, AnswersReadsFromTheLastRoundOnlyWhileTheyHold) {
  ASSERT_EQ(sim_->Command("setfloat 3 258 1234.5"), "ok");
  ASSERT_EQ(sim_->Command("setfloat 3 260 -2.5"), "ok");
  using Clock = std::chrono::steady_clock;
  const Bytes line;  // no answer at once: the request waits for the line
  const Bytes start{0, 1, 0, 0, 0, 7, 3, 3, 4, 0x44, 0x9A, 0x50, 0x00};  // 1234.5 at 258
  const struct {
    const char* what;
    double cacheSeconds;
    int written;  // the meter written to after the reads; 0 none
    uint8_t unit;
    Bytes pdu;
    double later;  // seconds after the reads
    Bytes answer;
  } cases[] = {
      {"inside, at its start", 1, 0, 3, {3, 1, 2, 0, 2}, 0.5, start},
      {"inside, at its end", 1, 0, 3, {3, 1, 4, 0, 2}, 0.5, {0, 1, 0, 0, 0, 7, 3, 3, 4, 0xC0, 0x20, 0x00, 0x00}},
      {"the block whole", 2, 0, 3, {3, 1, 2, 0, 4}, 1.5,
       {0, 1, 0, 0, 0, 11, 3, 3, 8, 0x44, 0x9A, 0x50, 0x00, 0xC0, 0x20, 0x00, 0x00}},
      {"across its end", 1, 0, 3, {3, 1, 4, 0, 4}, 0.5, line},
      {"past it", 1, 0, 3, {3, 1, 6, 0, 2}, 0.5, line},
      {"before it", 1, 0, 3, {3, 1, 1, 0, 2}, 0.5, line},
      {"another meter", 1, 0, 7, {3, 1, 2, 0, 2}, 0.5, line},
      {"too old", 1, 0, 3, {3, 1, 2, 0, 2}, 1.5, line},
      {"the log window", 1, 0, 3, {3, 0x1F, 0x3F, 0, 2}, 0.5, line},
      {"report slave id", 1, 0, 3, {17}, 0.5, line},
      {"another meter written", 1, 7, 3, {3, 1, 2, 0, 2}, 0.5, start},
      {"this meter written", 1, 3, 3, {3, 1, 2, 0, 2}, 0.5, line},
      {"the cache off", 0, 0, 3, {3, 1, 2, 0, 2}, 0, line},
  };
  ModbusLink link(LinkSettings{Framing::Length, {}, {}});
  ASSERT_TRUE(link.Open(sim_->LinkPath(), 38400));
  MessagePace pace([](const std::string&) {});
  for (const auto& c : cases) {
    GatewaySettings settings;
    settings.cacheSeconds = c.cacheSeconds;
    GatewayCache cache(c.cacheSeconds);
    link.Watch(&cache);
    int values[4];
    ASSERT_EQ(link.ReadHoldingRegisters(3, 258, 4, values), ResultOk);
    ASSERT_EQ(link.ReadHoldingRegisters(3, 7999, 2, values), ResultOk);
    const auto read = Clock::now();
    if (c.written != 0) link.WriteSingleRegister(c.written, 1000, 0);
    link.Watch(nullptr);
    GatewayRequest request{9, "127.0.0.1:4000", 1, c.unit, {}, int(c.pdu.size()), read};
    std::copy(c.pdu.begin(), c.pdu.end(), request.pdu.begin());
    const auto later = read + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(c.later));
    const std::optional<GatewayReply> reply = AnswerWithoutLine(request, settings, cache, pace, later);
    EXPECT_EQ(reply ? reply->frame : line, c.answer) << c.what;
  }
}

// Eight silent sockets from one address, reopened as they close, take at most
// half the places; a newcomer displaces one that never sent, not a real client;
// real clients are served throughout (hits), refusals counted and said once.
TEST_F(Gateway, SilentSocketsLockNoClientOut) {
  StartMonitor({"--gateway-cache", "10"});  // every read after the first round: from the last round
  std::atomic<bool> done{false};
  std::thread silent([&] {
    std::vector<std::unique_ptr<RawClient>> sockets;
    for (int k = 0; k < 8; ++k) sockets.push_back(std::make_unique<RawClient>(gatewayPort_, "127.0.0.2"));
    for (int rounds = 0; !done && rounds < 3000; ++rounds) {
      for (auto& socket : sockets)
        if (socket->ClosedNow()) socket = std::make_unique<RawClient>(gatewayPort_, "127.0.0.2");
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::vector<std::unique_ptr<RawClient>> real;
  for (int k = 0; k < 4; ++k) real.push_back(std::make_unique<RawClient>(gatewayPort_));
  uint16_t id = 0;
  const auto readAll = [&] {
    for (auto& client : real) {
      client->Send(Request(++id, 9, {3, 1, 2, 0, 2}));
      EXPECT_EQ(client->Receive().size(), 13u) << "request " << id;
    }
  };
  readAll();
  // The silent sockets, closed after 5 s and reopened, are now silent longest.
  std::this_thread::sleep_for(std::chrono::seconds(7));
  RawClient third(gatewayPort_, "127.0.0.3");  // the places are full: one never heard from makes room
  third.Send(Request(++id, 7, {3, 1, 2, 0, 2}));
  EXPECT_EQ(third.Receive().size(), 13u);
  for (int round = 0; round < 5; ++round) readAll();
  done = true;
  silent.join();
  std::map<std::string, double> metrics;
  const std::string hits = "pylax_gateway_cache_total{result=\"hit\"}",
                    misses = "pylax_gateway_cache_total{result=\"miss\"}";
  EXPECT_TRUE(WaitUntil([&] { return (metrics = Scrape(metricsPort_)), metrics[hits] + metrics[misses] == 25; }));
  EXPECT_GE(metrics[hits], 20);  // the 5 rounds after the wait at least
  EXPECT_GT(metrics["pylax_gateway_clients_refused_total"], 0);
  EXPECT_EQ(Lines("monitor.err", "gateway: a connection from 127.0.0.2:"), 1) << ReadWholeFile("monitor.err");
  EXPECT_EQ(Lines("monitor.err", "refused: 127.0.0.2 holds 4 of the 8 places already (at most half for one address)"),
            1);
}

// SIGTERM while eight clients queue reads of an absent meter (0.6 s each): the
// monitor ends within 3 s.
TEST_F(Gateway, EndsAtOnceWhileClientsWaitForAnAbsentMeter) {
  StartMonitor();
  std::vector<std::unique_ptr<RawClient>> clients;
  uint16_t id = 0;
  for (const char* from : {"127.0.0.1", "127.0.0.2"})
    for (int k = 0; k < 4; ++k) {
      clients.push_back(std::make_unique<RawClient>(gatewayPort_, from));
      for (int request = 0; request < 4; ++request) clients.back()->Send(Request(++id, 5, {3, 1, 2, 0, 2}));
    }
  EXPECT_EQ(clients.front()->Receive(), Request(1, 5, {0x83, 0x0B}));  // the line is theirs now
  EXPECT_EQ(monitor_->End(SIGTERM, 3), 0) << ReadWholeFile("monitor.err");
}

// A bare port listens on the loopback; a program refused the port is told an
// address it can reach, the loopback for a wildcard.
TEST_F(Gateway, TellsAnAddressAClientCanReach) {
  const std::string port = std::to_string(gatewayPort_);
  for (const auto& [given, served] : {std::pair{port, "127.0.0.1"}, std::pair{"0.0.0.0:" + port, "0.0.0.0"}}) {
    StartMonitor({}, given);
    EXPECT_EQ(Lines("monitor.err", "served to other masters at mbtcp://" + std::string(served) + ":" + port + " ("), 1)
        << ReadWholeFile("monitor.err");
    EXPECT_EQ(RunToEnd(PYLAXCTL_PATH, {"--port", sim_->LinkPath(), "scan"}, "refused"), 3);
    EXPECT_EQ(Lines("refused.err", "serves the bus at mbtcp://127.0.0.1:" + port + ":"), 1)
        << ReadWholeFile("refused.err");
    EXPECT_EQ(monitor_->End(SIGTERM), 0);
  }
}

}  // namespace
