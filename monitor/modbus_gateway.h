#pragma once
// The monitor's Modbus TCP gateway: other masters (the console, pylaxctl, a
// SCADA, mbpoll) reach the bus the monitor owns through it. Each request of
// a function the meters know goes on the line between the monitor's own
// transactions, first come first served (the link's TurnLock), and the
// meter's answer goes back under the client's transaction id. One thread
// serves every client in turn, one request each per turn, so none starves.
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
#include "monitor/gateway_writes.h"
#include "monitor/log_window.h"
#include "monitor/message_pace.h"

struct GatewaySettings {
  std::string address;        // HOST:PORT to listen at; empty: no gateway
  bool writes = false;        // function 6 reaches the meters only when set
  int maxClients = 8;         // more are closed as they connect
  int idleSeconds = 60;       // a client silent this long is closed
  int requestSeconds = 5;     // a request begun must be whole within this
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

struct GatewayStats {
  std::string address;  // HOST:PORT it listens at
  bool writes = false;
  int clients = 0;
  std::array<unsigned long, kGatewayOutcomes> requests{};
  double longestWaitSeconds = 0;  // for the line, from a request whole to its turn
  double meanWaitSeconds = 0;
  // Writes by WriteClass: passed to a meter, refused (writes off, busy).
  std::array<unsigned long, kWriteClasses> writesPassed{};
  std::array<unsigned long, kWriteClasses> writesRefused{};
  std::vector<std::string> writesSaid;  // the newest kWritesSaidKept said, oldest first, with their UTC time
  static constexpr size_t kWritesSaidKept = 20;
};

class ModbusGateway {
 public:
  using SayFunction = std::function<void(const std::string&)>;
  ModbusGateway(ModbusLink& link, GatewaySettings settings, SayFunction say);
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
  // Who holds each meter's log window; the monitor takes its own hold here.
  LogWindow& Window() { return window_; }

 private:
  struct Client;
  void Run();
  void Accept();
  bool ReadFrom(Client& client);
  bool ServeOne(Client& client);
  void Answer(Client& client, const MbapRequest& request);
  void Execute(Client& client, const MbapRequest& request, uint8_t* pdu, int* pduLength);
  void Count(GatewayOutcome outcome, double waitSeconds, bool waited);
  void CountWrite(const Client& client, const MbapRequest& request, bool passed);

  ModbusLink& link_;
  GatewaySettings settings_;
  SayFunction say_;
  MessagePace pace_;  // what clients cause: once per address and minute
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  std::string bound_;
  std::thread thread_;
  std::vector<std::unique_ptr<Client>> clients_;  // the serving thread's alone
  int lastClientId_ = LogWindow::kMonitor;
  LogWindow window_;

  mutable std::mutex statsLock_;
  GatewayStats stats_;
  double waitTotal_ = 0;
  unsigned long waits_ = 0;
};
