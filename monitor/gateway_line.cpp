#include "monitor/gateway_line.h"

#include "modbus/mbap.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kIllegalFunction = 0x01;
constexpr uint8_t kIllegalDataValue = 0x03;
constexpr uint8_t kServerBusy = 0x06;
constexpr uint8_t kPathUnavailable = 0x0A;
constexpr uint8_t kTargetFailedToRespond = 0x0B;
constexpr int kMostRelayedRegisters = 125;

GatewayReply Reply(const GatewayRequest& request, GatewayOutcome outcome, const uint8_t* pdu, int pduLength) {
  const MbapRequest header{request.transactionId, request.unit, request.pdu.data(), request.pduLength};
  GatewayReply reply{request.client, outcome, CacheUse::None, WriteFate::None, std::nullopt,
                     std::vector<uint8_t>(static_cast<size_t>(kMbapHeaderLength + pduLength))};
  MbapAnswerFrame(header, pdu, pduLength, reply.frame.data());
  return reply;
}

GatewayReply Exception(const GatewayRequest& request, GatewayOutcome outcome, uint8_t code) {
  const uint8_t pdu[2] = {static_cast<uint8_t>(request.pdu[0] | 0x80), code};
  return Reply(request, outcome, pdu, 2);
}

int Word(const GatewayRequest& request, int at) {
  return request.pdu[static_cast<size_t>(at)] << 8 | request.pdu[static_cast<size_t>(at) + 1];
}

}  // namespace

std::optional<GatewayReply> AnswerWithoutLine(const GatewayRequest& request, const GatewaySettings& settings,
                                              const GatewayCache& cache, MessagePace& pace, Clock::time_point now) {
  const uint8_t function = request.pdu[0];
  if (function != 3 && function != 6 && function != 17)
    return Exception(request, GatewayOutcome::Refused, kIllegalFunction);
  if (function == 6 && !settings.writes) {
    pace.Say(request.from.substr(0, request.from.rfind(':')),
             "gateway: a write from " + request.from + " refused: writes are off (--gateway-writes)");
    GatewayReply reply = Exception(request, GatewayOutcome::Refused, kIllegalFunction);
    reply.write = WriteFate::Refused;
    return reply;
  }
  if (function != 3) return std::nullopt;
  const int first = Word(request, 1), count = Word(request, 3);
  if (count < 1 || count > kMostRelayedRegisters) return Exception(request, GatewayOutcome::Refused, kIllegalDataValue);
  uint8_t pdu[kMaxRelayAnswer];
  int pduLength = 0;
  if (!cache.Answer(request.unit, first, count, now, pdu, &pduLength)) return std::nullopt;
  GatewayReply reply = Reply(request, GatewayOutcome::Answered, pdu, pduLength);
  reply.cache = CacheUse::Hit;
  return reply;
}

GatewayLine::GatewayLine(ModbusLink& link, const GatewaySettings& settings, const GatewayCache& cache,
                         LogWindow& window, MessagePace& pace, const StopToken* stop, Deliver deliver)
    : link_(link),
      settings_(settings),
      cache_(cache),
      window_(window),
      pace_(pace),
      stop_(stop),
      deliver_(std::move(deliver)) {
  thread_ = std::thread([this] { Run(); });
}

GatewayLine::~GatewayLine() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    ending_ = true;
  }
  added_.notify_all();
  thread_.join();
}

void GatewayLine::Add(GatewayRequest request) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    queue_.push_back(std::move(request));
  }
  added_.notify_one();
}

// The turn is asked for before the waiting requests are taken, so those
// that come while it is waited for go in the same turn.
void GatewayLine::Run() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    added_.wait(hold, [&] { return ending_.load() || !queue_.empty(); });
    if (Ending()) return;
    hold.unlock();
    {
      const std::unique_lock<TurnLock> turn = link_.WaitForTurn();
      hold.lock();
      std::deque<GatewayRequest> waiting;
      waiting.swap(queue_);
      hold.unlock();
      for (const GatewayRequest& request : waiting) {
        if (Ending()) return;
        std::optional<GatewayReply> reply = AnswerWithoutLine(request, settings_, cache_, pace_, Clock::now());
        deliver_(request, reply ? std::move(*reply) : Relay(request));
      }
    }
    hold.lock();
  }
}

// The meter's answer, or the exception that says why there is none. Under
// the turn: the log window's holder is asked first and told of the answer.
GatewayReply GatewayLine::Relay(const GatewayRequest& request) {
  const auto now = Clock::now();
  const double waited = std::chrono::duration<double>(now - request.whole).count();
  const bool write = request.pdu[0] == 6;
  GatewayReply reply;
  if (!window_.Admits(request.client, request.unit, request.pdu.data(), request.pduLength, now)) {
    reply = Exception(request, GatewayOutcome::Busy, kServerBusy);
    reply.write = write ? WriteFate::Refused : WriteFate::None;
    reply.waitedSeconds = waited;
    return reply;
  }
  uint8_t pdu[kMaxRelayAnswer];
  int pduLength = 0;
  const ModbusResult result = !link_.IsOpen() || link_.DeviceGone()
                                  ? ResultBadParameter
                                  : link_.Relay(request.unit, request.pdu.data(), request.pduLength, pdu, &pduLength);
  if (result == ResultOk)
    window_.Answered(request.client, request.unit, request.pdu.data(), request.pduLength, Clock::now());
  if (!link_.IsOpen() || link_.DeviceGone())
    reply = Exception(request, GatewayOutcome::PortGone, kPathUnavailable);
  else if (result == ResultOk || result == ResultException)
    reply = Reply(request, result == ResultOk ? GatewayOutcome::Answered : GatewayOutcome::Exception, pdu, pduLength);
  else if (result == ResultBadParameter && request.unit >= 1 && request.unit <= 247)
    reply = Exception(request, GatewayOutcome::Refused, kIllegalDataValue);
  else
    reply = Exception(request, GatewayOutcome::NoAnswer, kTargetFailedToRespond);
  reply.waitedSeconds = waited;
  if (request.pdu[0] == 3) reply.cache = CacheUse::Miss;
  if (write && result != ResultBadParameter) reply.write = WriteFate::Passed;
  return reply;
}
