#pragma once
// The gateway's requests that need a meter wait here, in the order they
// came, and one thread asks the line on their behalf (the link's turn,
// first come first served) and relays them. Once it has the line it serves
// every request waiting by then, so a request waits behind at most one of
// the monitor's transactions (an empty address of a scan) and the requests
// that came before it.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "modbus/link.h"
#include "monitor/gateway_cache.h"
#include "monitor/log_window.h"
#include "monitor/message_pace.h"
#include "monitor/modbus_gateway.h"
#include "util/stop_token.h"

// A client's request, its bytes its own (the client's buffer moves on).
struct GatewayRequest {
  int client = 0;    // the connection it came on, as the log window knows it
  std::string from;     // that connection's HOST:PORT
  uint16_t transactionId = 0;
  uint8_t unit = 0;
  std::array<uint8_t, 253> pdu{};
  int pduLength = 0;
  std::chrono::steady_clock::time_point whole;  // when it was all in
};

enum class CacheUse { None, Hit, Miss };

// How a request was answered, and the MBAP frame that goes back.
enum class WriteFate { None, Passed, Refused };

struct GatewayReply {
  int client = 0;
  GatewayOutcome outcome = GatewayOutcome::Answered;
  CacheUse cache = CacheUse::None;
  WriteFate write = WriteFate::None;  // a write: passed to the meter or refused (writes off, busy)
  std::optional<double> waitedSeconds;  // for the line; none when it was not asked
  std::vector<uint8_t> frame;
};

// What a request gets without the line: a refusal (a function the meters do
// not know, a write while writes are off, a count out of range) or an
// answer from the monitor's last round; none when it needs the line.
// now: when it is asked (the age of a kept answer is judged by it).
std::optional<GatewayReply> AnswerWithoutLine(const GatewayRequest& request, const GatewaySettings& settings,
                                              const GatewayCache& cache, MessagePace& pace,
                                              std::chrono::steady_clock::time_point now);

class GatewayLine {
 public:
  using Deliver = std::function<void(const GatewayRequest&, GatewayReply)>;
  // deliver is called on the line's thread with each reply. Once stop is
  // asked no request goes on the line. window: asked, under the turn,
  // whether a request may go on the line, and told of each answer.
  GatewayLine(ModbusLink& link, const GatewaySettings& settings, const GatewayCache& cache, LogWindow& window,
              MessagePace& pace, const StopToken* stop, Deliver deliver);
  ~GatewayLine();
  GatewayLine(const GatewayLine&) = delete;
  GatewayLine& operator=(const GatewayLine&) = delete;

  void Add(GatewayRequest request);

 private:
  void Run();
  bool Ending() const { return ending_.load() || (stop_ != nullptr && stop_->Requested()); }
  GatewayReply Relay(const GatewayRequest& request);

  ModbusLink& link_;
  const GatewaySettings& settings_;
  const GatewayCache& cache_;
  LogWindow& window_;
  MessagePace& pace_;
  const StopToken* stop_;
  Deliver deliver_;
  std::mutex lock_;
  std::condition_variable added_;
  std::deque<GatewayRequest> queue_;
  std::atomic<bool> ending_{false};
  std::thread thread_;
};
