// The master against qm4sim serving its bus as an Ethernet gateway on
// loopback, under both TCP forms: every result code from a real answer, the
// trace as it went over the socket, a split answer, the late answer, a
// gateway that never answers, open failures, the connection lost and found
// again, MBAP headers that do not belong, and a download written alike.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bus/download.h"
#include "modbus/port_map.h"
#include "tests/bus/recording_log.h"
#include "tests/support/core_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Form {
  const char* option;  // qm4sim's
  bool mbap;
};
constexpr Form kForms[] = {{"--tcp", false}, {"--mbtcp", true}};

long MillisecondsSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::unique_ptr<SimProcess> StartGatewaySim(const Form& form, const std::string& port = "0") {
  return std::make_unique<SimProcess>(std::vector<std::string>{
      form.option, "127.0.0.1:" + port, "--meter", "1:QM4C", "--meter", "2:QM4A", "--static"});
}

// A listening socket on a free loopback port that never accepts: the kernel
// completes each connect, and nothing ever answers.
class SilentListener {
 public:
  SilentListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd_, reinterpret_cast<sockaddr*>(&address), size);
    listen(fd_, 4);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
  }
  ~SilentListener() { close(fd_); }
  std::string Port() const { return std::to_string(port_); }
  int Fd() const { return fd_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

class OverGateway : public ::testing::Test {
 protected:
  enum class Call { Read4, Read8, Read48, ReadMissing, ReadRefused, Write, Id };

  // The link reads with silence framing: the sockets read by length all the same.
  void Open(const std::string& name) { ASSERT_TRUE(link_.Open(name, 38400)) << link_.OpenFailureText(); }
  std::string NewestEntry() const { return link_.Trace().entries[link_.Trace().newest]; }
  ModbusResult Transact(Call call);

  PortMap ports_;
  ModbusLink link_{LinkSettings{}, &ports_};
};

ModbusResult OverGateway::Transact(Call call) {
  int values[48] = {};
  int id = 0;
  char text[kSlaveIdTextSize] = "";
  switch (call) {
    case Call::Read4: return link_.ReadHoldingRegisters(1, 258, 4, values);
    case Call::Read8: return link_.ReadHoldingRegisters(1, 149, 8, values);
    case Call::Read48: return link_.ReadHoldingRegisters(1, 258, 48, values);
    case Call::ReadMissing: return link_.ReadHoldingRegisters(1, 5000, 4, values);
    case Call::ReadRefused: return link_.ReadHoldingRegisters(1, 258, 0, values);
    case Call::Write: return link_.WriteSingleRegister(1, 149, 61);
    case Call::Id: return link_.ReportSlaveId(1, &id, text);
  }
  return ResultOk;
}

}  // namespace

// RTU over TCP passes every frame through, so every code comes as on the
// line. The Modbus TCP gateway drops an answer that fails its CRC or its
// length (there is no CRC in MBAP to carry the fault on): no answer, Err #1.
TEST_F(OverGateway, EveryResultCodeUnderBothForms) {
  const struct {
    const char* fault;
    Call call;
    ModbusResult rtu, mbap;
  } cases[] = {
      {"none", Call::Read48, ResultOk, ResultOk},
      {"none", Call::Write, ResultOk, ResultOk},
      {"none", Call::Id, ResultOk, ResultOk},
      {"pause:80", Call::Read48, ResultOk, ResultOk},  // an answer in two segments, 80 ms apart
      {"silent", Call::Read4, ResultTimeout, ResultTimeout},
      {"noise", Call::Read4, ResultTooLarge, ResultTimeout},
      // Whole at 13 bytes, as under the length framing; what follows is drained.
      {"oversize", Call::Read4, ResultOk, ResultTimeout},
      {"cut", Call::Read48, ResultBadLength, ResultTimeout},
      {"exception", Call::Read48, ResultException, ResultException},
      {"exception", Call::Write, ResultException, ResultException},
      {"none", Call::ReadMissing, ResultException, ResultException},
      {"badcrc", Call::Read48, ResultCrc, ResultTimeout},
      {"wrongaddr", Call::Read48, ResultWrongAddress, ResultWrongAddress},
      {"wrongfunc", Call::Read48, ResultWrongFunction, ResultWrongFunction},
      {"badcount", Call::Read48, ResultBadByteCount, ResultBadByteCount},
      {"echo", Call::Write, ResultWriteMismatch, ResultWriteMismatch},
      {"none", Call::ReadRefused, ResultBadParameter, ResultBadParameter},
  };
  for (const Form& form : kForms) {
    const auto sim = StartGatewaySim(form);
    Open(sim->PortName());
    for (const auto& c : cases) {
      ASSERT_EQ(sim->Command(std::string("fault 1 ") + c.fault).substr(0, 2), "ok");
      EXPECT_EQ(Transact(c.call), form.mbap ? c.mbap : c.rtu) << form.option << " " << c.fault << " " << NewestEntry();
    }
    link_.Close();
  }
}

// The trace shows what went over the socket: the RTU frames under RTU over
// TCP, the MBAP frames under Modbus TCP (6 header bytes, the unit id, the PDU,
// no CRC), each answer's id echoing its request's.
TEST_F(OverGateway, TraceShowsTheBytesOnTheSocket) {
  for (const Form& form : kForms) {
    const auto sim = StartGatewaySim(form);
    ASSERT_EQ(sim->Command("set 1 149 900").substr(0, 2), "ok");
    Open(sim->PortName());
    EXPECT_EQ(Transact(Call::Read8), ResultOk);
    const std::string entry = NewestEntry();
    if (!form.mbap) {
      EXPECT_EQ(entry.substr(0, 31), "Send->01 03 00 95 00 08 54 20\r\n");
      EXPECT_EQ(entry.substr(31, 24), "Recv->01 03 10 03 84 00 ");  // 21 bytes, CRC last
      EXPECT_EQ(entry.size(), 31u + 3 * 21 + 7);
    } else {
      const std::string id = entry.substr(6, 5);
      EXPECT_EQ(entry.substr(11, 32), " 00 00 00 06 01 03 00 95 00 08\r\n");
      EXPECT_EQ(entry.substr(43, 42), "Recv->" + id + " 00 00 00 13 01 03 10 03 84 00 ");
      EXPECT_EQ(entry.size(), 43u + 6 + 3 * 25 + 1);  // 25 bytes: 7 + 2 + 16
    }
    link_.Close();
  }
}

// A late answer (the meter 800 ms slow, the read given up at 608 ms) is
// drained before the next request, or dropped by the Modbus TCP gateway; the
// next read of another size gets its own answer.
TEST_F(OverGateway, LateAnswerIsNotTakenForTheNext) {
  for (const Form& form : kForms) {
    const auto sim = StartGatewaySim(form);
    Open(sim->PortName());
    ASSERT_EQ(sim->Command("fault 1 delay:800 1").substr(0, 2), "ok");
    EXPECT_EQ(Transact(Call::Read4), ResultTimeout) << form.option;
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(Transact(Call::Read8), ResultOk) << form.option << " " << NewestEntry();
    link_.Close();
  }
}

// A gateway slower than the read's timeout: its answer to one request comes
// only once the next request has gone out. That answer carries the earlier
// transaction id and is dropped; the read goes on for its own answer, so one
// slow answer costs one transaction (Err #1), never the ones after it.
// Registers 0 and 1 hold 111 and 222, so a late answer taken for the next
// one would give the wrong value. The requests carry transaction ids 1 to 7.
TEST_F(OverGateway, LateModbusTcpAnswerIsDroppedAndTheReadWaitsForItsOwn) {
  const struct {
    int hold;  // answers the gateway holds back from here on
    int reg;
    ModbusResult expected;
    int value;
    const char* note;
  } steps[] = {
      {1, 0, ResultTimeout, -1, ""},
      {0, 1, ResultOk, 222, "Note->dropped an answer with transaction id 00 01\r\n"},
      {0, 0, ResultOk, 111, ""},
      {2, 0, ResultTimeout, -1, ""},
      {0, 1, ResultTimeout, -1, "Note->dropped an answer with transaction id 00 04\r\n"},
      {0, 0, ResultOk, 111, "Note->dropped an answer with transaction id 00 05\r\n"},
      {0, 1, ResultOk, 222, ""},
  };
  const auto sim = StartGatewaySim(kForms[1]);
  ASSERT_EQ(sim->Command("set 1 0 111").substr(0, 2), "ok");
  ASSERT_EQ(sim->Command("set 1 1 222").substr(0, 2), "ok");
  Open(sim->PortName());
  for (const auto& step : steps) {
    if (step.hold > 0) {
      ASSERT_EQ(sim->Command("gateway late " + std::to_string(step.hold)), "ok");
    }
    int value = -1;
    EXPECT_EQ(link_.ReadHoldingRegisters(1, step.reg, 1, &value), step.expected) << NewestEntry();
    EXPECT_EQ(value, step.value) << NewestEntry();
    const std::string entry = NewestEntry();
    const size_t note = entry.find("Note->");
    EXPECT_EQ(note == std::string::npos ? "" : entry.substr(note), step.note);
  }
}

// Connected, and then nothing: Err #1 after the read's total timeout, 600 +
// 33 ms for a read of 4 (bounds kept wide for a busy machine).
TEST_F(OverGateway, GatewayThatNeverAnswersTimesOut) {
  const SilentListener listener;
  for (const char* scheme : {"tcp://", "mbtcp://"}) {
    Open(scheme + std::string("127.0.0.1:") + listener.Port());
    const auto start = Clock::now();
    EXPECT_EQ(Transact(Call::Read4), ResultTimeout) << scheme;
    const long elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 620) << scheme;
    EXPECT_LT(elapsed, 3000) << scheme;
    EXPECT_FALSE(link_.DeviceGone());
    link_.Close();
  }
}

TEST_F(OverGateway, OpenFailuresSayWhy) {
  std::string closedPort;
  {
    const SilentListener gone;
    closedPort = gone.Port();
  }
  ports_.Set(5, "mbtcp://127.0.0.1:" + closedPort);
  const struct {
    const char* name;
    std::string why;
  } cases[] = {
      {"COM5:", "mbtcp://127.0.0.1:" + closedPort + ": connection refused"},
      {"tcp://127.0.0.1", "tcp://127.0.0.1 is not of the form tcp://HOST:PORT or mbtcp://HOST:PORT"},
      {"tcp://127.0.0.1:99999", "tcp://127.0.0.1:99999 is not of the form"},
      {"tcp://no-such-host.invalid:502", "tcp://no-such-host.invalid:502: "},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(link_.Open(c.name, 38400)) << c.name;
    EXPECT_EQ(link_.OpenFailureText().rfind(c.why, 0), 0u) << c.name << ": " << link_.OpenFailureText();
  }
  EXPECT_EQ(ports_.Description(5), "mbtcp://127.0.0.1:" + closedPort);
}

// The gateway ends (the connection drops). The next transaction tries once
// to connect again; when that fails, the transactions fail at once (Err #1)
// for a back-off of 5 s, even once the gateway is back, and the trace says
// why. After it the next one connects again. A connection lost while the
// gateway is already back is found again at the next transaction.
TEST_F(OverGateway, LostConnectionIsTriedAgainOncePerBackOff) {
  for (const Form& form : kForms) {
    auto sim = StartGatewaySim(form);
    const std::string name = sim->PortName();
    const std::string port = name.substr(name.rfind(':') + 1);
    Open(name);
    EXPECT_EQ(Transact(Call::Read4), ResultOk);
    sim.reset();
    const struct {
      bool gatewayBack;
      ModbusResult expected;
      std::string note;  // how the entry's note begins
    } steps[] = {
        {false, ResultTimeout, "Note->connecting again failed: " + name + ": connection refused (nothing listens at that port); next try in 5 s\r\n"},
        {false, ResultTimeout, "Note->not connected; next try in "},
        {true, ResultTimeout, "Note->not connected; next try in "},
    };
    for (const auto& step : steps) {
      if (step.gatewayBack && !sim) sim = StartGatewaySim(form, port);
      EXPECT_EQ(Transact(Call::Read4), step.expected) << form.option;
      const std::string entry = NewestEntry();
      EXPECT_EQ(entry.substr(entry.find("Recv->")).substr(0, 8 + step.note.size()), "Recv->\r\n" + step.note) << entry;
      EXPECT_TRUE(link_.DeviceGone());
    }
    EXPECT_TRUE(link_.Reconnects());
    EXPECT_EQ(link_.GoneText(), name + ": the connection to the gateway was lost; it is opened again at the next transaction");
    std::this_thread::sleep_for(std::chrono::milliseconds(5200));
    EXPECT_EQ(Transact(Call::Read4), ResultOk) << form.option << " " << NewestEntry();
    EXPECT_FALSE(link_.DeviceGone());

    sim.reset();
    sim = StartGatewaySim(form, port);
    EXPECT_EQ(Transact(Call::Read4), ResultOk) << form.option << " " << NewestEntry();
    link_.Close();
  }
}

// A scripted Modbus TCP peer answering a read of 4 registers with headers
// that belong to another request, another protocol or another length: each
// one a wrong answer, never a hang, and the trace says what was wrong with
// the header. Its bytes: 11 of header and byte count, 8 of values. The
// requests carry transaction ids 1 to 6.
TEST_F(OverGateway, MbapHeaderThatDoesNotBelongIsAWrongAnswer) {
  enum class Change { None, TransactionId, ProtocolId, LengthField, ShortPdu, Oversize };
  const struct {
    Change change;
    ModbusResult expected;
    const char* note;  // the entry's last line
  } cases[] = {
      {Change::None, ResultOk, ""},
      // Dropped, and nothing else comes before the read's deadline.
      {Change::TransactionId, ResultTimeout, "Note->dropped an answer with transaction id 00 03\r\n"},
      {Change::ProtocolId, ResultCrc, "Note->MBAP header: protocol id 00 01, not 00 00\r\n"},
      {Change::LengthField, ResultCrc, "Note->MBAP header: length 12, but 11 bytes came after it\r\n"},
      {Change::ShortPdu, ResultBadLength, ""},
      {Change::Oversize, ResultTooLarge, ""},
  };
  const SilentListener listener;
  std::thread peer([&] {
    const int client = accept(listener.Fd(), nullptr, nullptr);
    for (const auto& c : cases) {
      uint8_t request[12];
      if (recv(client, request, sizeof request, MSG_WAITALL) != 12) break;
      std::vector<uint8_t> answer = {request[0], request[1], 0, 0, 0, 11, 1, 3, 8};
      answer.resize(answer.size() + 8, 0x11);
      if (c.change == Change::TransactionId) answer[1] ^= 1;
      if (c.change == Change::ProtocolId) answer[3] = 1;
      if (c.change == Change::LengthField) answer[5] = 12;
      if (c.change == Change::ShortPdu) answer[5] = 10, answer.pop_back();
      if (c.change == Change::Oversize) answer[5] = 31, answer.resize(37, 0x22);
      send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
    }
    close(client);
  });
  Open("mbtcp://127.0.0.1:" + listener.Port());
  for (const auto& c : cases) {
    EXPECT_EQ(Transact(Call::Read4), c.expected) << static_cast<int>(c.change) << " " << NewestEntry();
    const std::string entry = NewestEntry();
    const size_t note = entry.find("Note->");
    EXPECT_EQ(note == std::string::npos ? "" : entry.substr(note), c.note) << static_cast<int>(c.change);
  }
  link_.Close();
  peer.join();
}

// The same logged day downloaded over the serial line and over each form:
// the same CSV, byte for byte.
TEST_F(OverGateway, DownloadWritesTheSameCsvOverEachForm) {
  const TempCurrentDirectory cwd;
  std::vector<std::string> csv;
  for (const char* option : {"--link", "--tcp", "--mbtcp"}) {
    std::vector<std::string> args{"--meter", "3:QM4C", "--static"};
    if (std::strcmp(option, "--link") != 0) args.insert(args.begin(), {option, "127.0.0.1:0"});
    SimProcess sim(args);
    for (const char* command : {"set 3 158 2", "clock 3 2026 03 01 12 00 00", "prefill 3 200"})
      ASSERT_EQ(sim.Command(command).substr(0, 2), "ok") << command;
    Open(sim.PortName());
    RecordingLog log;
    ASSERT_TRUE(DownloadLoggedData(link_, Meter{3, ModelQM4C, "", ""}, log)) << option;
    link_.Close();
    csv.push_back(ReadWholeFile("03-data.csv"));
    std::filesystem::remove("03-data.csv");
  }
  EXPECT_EQ(SplitLines(csv[0]).size(), 201u);
  EXPECT_EQ(csv[1], csv[0]);
  EXPECT_EQ(csv[2], csv[0]);
}
