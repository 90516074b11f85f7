#pragma once
// The monitor's Modbus TCP gateway: other masters (the console, pylaxctl, a
// SCADA, mbpoll) reach the bus the monitor owns through it. A read the
// monitor's last round answered is answered from it (GatewayCache); any
// other request of a function the meters know waits in one queue, in the
// order requests came, for the line (GatewayLine), and the meter's answer
// goes back under the client's transaction id. The sockets' thread never
// waits for the line: accepting, reading, deadlines and the stop go on
// while a request waits or a meter is slow.
// A meter's log window has one holder at a time (LogWindow): the others'
// requests that would change or read it are answered busy (06).

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "modbus/link.h"
#include "modbus/mbap.h"
#include "monitor/gateway_cache.h"
#include "monitor/gateway_writes.h"
#include "monitor/log_window.h"
#include "monitor/message_pace.h"
#include "util/stop_token.h"

struct GatewaySettings {
  std::string address;        // HOST:PORT to listen at; empty: no gateway
  bool writes = false;        // function 6 reaches the meters only when set
  int maxClients = 8;         // at the limit the client silent longest makes room
  int idleSeconds = 60;       // a client silent this long is closed
  int requestSeconds = 5;     // a request begun must be whole within this
  int firstRequestSeconds = 5;  // a new client must have sent a request by then
  double cacheSeconds = 1;    // --gateway-cache: how old a kept answer may be; 0 none
};

// How a request ended, as /metrics, the state and the page count it.
enum class GatewayOutcome {
  Answered,    // the meter's answer went back
  Exception,   // the meter answered with an exception, which went back
  NoAnswer,    // exception 0x0B: the meter did not answer (or not usably)
  PortGone,    // exception 0x0A: the port is gone or not open
  Refused,     // exception 0x01 (function, writes off) or 0x03 (a count out of range)
  Malformed,   // no Modbus request: the connection was closed
  Busy,        // exception 0x06: another master holds the meter's log window
};
constexpr int kGatewayOutcomes = 7;
const char* GatewayOutcomeName(GatewayOutcome outcome);

// The upper bounds of the wait histogram's buckets, in seconds (a rescan's
// empty address is 0.6 s at any rate; a download holds the line longer).
constexpr std::array<double, 10> kGatewayWaitBuckets{0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5};

struct GatewayStats {
  std::string address;  // HOST:PORT it listens at
  bool writes = false;
  int clients = 0;
  std::array<unsigned long, kGatewayOutcomes> requests{};
  // The wait for the line, from a request whole to its turn: requests in
  // each bucket (not cumulative; the last one beyond the bounds), sum, most.
  std::array<unsigned long, kGatewayWaitBuckets.size() + 1> waits{};
  double waitSumSeconds = 0;
  double longestWaitSeconds = 0;
  unsigned long cacheHits = 0;    // reads answered from the last round
  unsigned long cacheMisses = 0;  // reads that went on the line
  unsigned long refusedClients = 0;  // connections closed at once for want of a place
  // Writes by WriteClass: passed to a meter, refused (writes off, busy).
  std::array<unsigned long, kWriteClasses> writesPassed{};
  std::array<unsigned long, kWriteClasses> writesRefused{};
  std::vector<std::string> writesSaid;  // the newest kWritesSaidKept said, oldest first, with their UTC time
  static constexpr size_t kWritesSaidKept = 20;
};

class GatewayLine;
struct GatewayReply;
struct GatewayRequest;

class ModbusGateway {
 public:
  using Clock = std::chrono::steady_clock;
  using SayFunction = std::function<void(const std::string&)>;
  // stop: once asked, no request goes on the line any more.
  ModbusGateway(ModbusLink& link, GatewaySettings settings, SayFunction say, const StopToken* stop = nullptr);
  ~ModbusGateway();
  ModbusGateway(const ModbusGateway&) = delete;
  ModbusGateway& operator=(const ModbusGateway&) = delete;

  // Listens and starts serving; false with the reason (a bad or taken
  // address).
  bool Start(std::string* error);
  void Stop();
  // Where it listens, HOST:PORT with the port it got.
  const std::string& Address() const { return bound_; }
  GatewayStats Stats() const;
  // HOST:PORT a client on this machine reaches it at: the loopback for a
  // wildcard address.
  std::string ReachableAddress() const;
  // Who holds each meter's log window; the monitor takes its own hold here.
  LogWindow& Window() { return window_; }

 private:
  struct Client;
  void Run();
  void TakeReplies();
  void Accept();
  bool MakeRoom(const std::string& host, const std::string& from);
  bool ReadFrom(Client& client);
  bool Admit(Client& client);
  bool OutOfTime(const Client& client, Clock::time_point now) const;
  void Close(size_t index);
  void Deliver(const GatewayRequest& request, GatewayReply reply);
  void Count(const GatewayRequest& request, const GatewayReply& reply);
  void CountWrite(const GatewayRequest& request, bool passed);
  void CountMalformed();

  ModbusLink& link_;
  GatewaySettings settings_;
  SayFunction say_;
  MessagePace pace_;  // what clients cause: once per address and minute
  GatewayCache cache_;
  LogWindow window_;
  std::unique_ptr<GatewayLine> line_;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  std::string bound_;
  std::thread thread_;
  std::vector<std::unique_ptr<Client>> clients_;  // the serving thread's alone
  int lastClientId_ = LogWindow::kMonitor;  // gateway clients are 1 and up

  std::mutex repliesLock_;
  std::vector<GatewayReply> replies_;  // from the line, for the serving thread to send
  mutable std::mutex statsLock_;
  GatewayStats stats_;
};
