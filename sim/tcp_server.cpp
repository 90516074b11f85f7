#include "sim/tcp_server.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "modbus/frame.h"
#include "modbus/host_port.h"
#include "modbus/mbap.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

void SendAll(int fd, const uint8_t* bytes, size_t count) {
  while (count > 0) {
    const ssize_t n = ::send(fd, bytes, count, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the client has gone; its next read finds that out
    bytes += n;
    count -= static_cast<size_t>(n);
  }
}

// The RTU frame a gateway puts on its bus for an MBAP request: the unit id
// as the address, the PDU, a CRC of its own. A protocol id other than 0 is
// not Modbus: its CRC is inverted, so the meters take it for noise.
Bytes RtuForBus(const Bytes& mbap) {
  Bytes rtu(mbap.begin() + 6, mbap.end());
  const uint16_t crc = static_cast<uint16_t>(Crc16(rtu.data(), rtu.size()) ^ (mbap[2] != 0 || mbap[3] != 0 ? 0xFFFF : 0));
  rtu.push_back(static_cast<uint8_t>(crc & 0xFF));
  rtu.push_back(static_cast<uint8_t>(crc >> 8));
  return rtu;
}

class Gateway {
 public:
  Gateway(int listener, int line, Transport transport, std::shared_ptr<std::atomic<int>> answersToHold)
      : listener_(listener), line_(line), transport_(transport), answersToHold_(std::move(answersToHold)) {}
  void Run();

 private:
  // A Modbus TCP request on the bus, and what the meter has answered so far.
  struct OnBus {
    Bytes request;  // RTU form
    uint16_t transactionId = 0;
    Clock::time_point sentAt, lastByteAt;
    Bytes answer;
    size_t splitAt = 0;  // answer bytes before a pause of kGatewaySplitGapMs or more
    Clock::duration pause{};
  };

  void Accept();
  void DropClient();
  void FromClient();
  bool FromLine();
  void PutNextOnBus();
  void FinishAnswer(Clock::time_point now);
  void SendAnswer(const OnBus& onBus);

  int listener_;
  int line_;
  Transport transport_;
  std::shared_ptr<std::atomic<int>> answersToHold_;  // SimGateway::HoldModbusTcpAnswers
  int client_ = -1;
  Bytes unframed_;               // Modbus TCP bytes not yet a whole frame
  std::deque<Bytes> waiting_;    // Modbus TCP requests not yet on the bus, RTU form
  std::deque<uint16_t> waitingIds_;
  std::optional<OnBus> onBus_;
  Bytes held_;  // an MBAP answer held back until the next request comes in
};

void Gateway::Run() {
  for (;;) {
    pollfd fds[3] = {{client_ < 0 ? listener_ : -1, POLLIN, 0}, {client_, POLLIN, 0}, {line_, POLLIN, 0}};
    if (::poll(fds, 3, onBus_ ? 5 : -1) < 0 && errno != EINTR) return;
    if (fds[0].revents & POLLIN) Accept();
    if (fds[1].revents) FromClient();
    if (fds[2].revents && !FromLine()) return;  // the simulator has ended
    FinishAnswer(Clock::now());
  }
}

// A gateway serves one master: further connections wait in the backlog
// until this one ends.
void Gateway::Accept() {
  client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (client_ < 0) return;
  const int on = 1;
  ::setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Answers still to come from the bus belong to nobody now and are dropped.
void Gateway::DropClient() {
  ::close(client_);
  client_ = -1;
  unframed_.clear();
  waiting_.clear();
  waitingIds_.clear();
  onBus_.reset();
  held_.clear();
}

void Gateway::FromClient() {
  uint8_t buffer[1024];
  const ssize_t n = ::recv(client_, buffer, sizeof buffer, 0);
  if (n <= 0) {
    if (n == 0 || errno != EINTR) DropClient();
    return;
  }
  if (transport_ == Transport::RtuOverTcp) {
    [[maybe_unused]] ssize_t w = ::write(line_, buffer, static_cast<size_t>(n));
    return;
  }
  unframed_.insert(unframed_.end(), buffer, buffer + n);
  for (;;) {
    const int got = static_cast<int>(unframed_.size());
    const int length = MbapLengthSoFar(unframed_.data(), got);
    if (length > got) break;
    Bytes frame(unframed_.begin(), unframed_.begin() + length);
    unframed_.erase(unframed_.begin(), unframed_.begin() + length);
    if (length <= kMbapHeaderLength) continue;  // no function: nothing to put on the bus
    waitingIds_.push_back(MbapTransactionId(frame.data()));
    waiting_.push_back(RtuForBus(frame));
    SendAll(client_, held_.data(), held_.size());
    held_.clear();
  }
  PutNextOnBus();
}

// False once the simulator's end of the line has closed.
bool Gateway::FromLine() {
  uint8_t buffer[1024];
  const ssize_t n = ::read(line_, buffer, sizeof buffer);
  if (n <= 0) return n < 0 && (errno == EINTR || errno == EAGAIN);
  if (transport_ == Transport::RtuOverTcp) {
    if (client_ >= 0) SendAll(client_, buffer, static_cast<size_t>(n));
    return true;
  }
  if (!onBus_) return true;  // late bytes nobody waits for
  const auto now = Clock::now();
  OnBus& onBus = *onBus_;
  if (!onBus.answer.empty() && onBus.splitAt == 0 && now - onBus.lastByteAt >= std::chrono::milliseconds(kGatewaySplitGapMs)) {
    onBus.splitAt = onBus.answer.size();
    onBus.pause = now - onBus.lastByteAt;
  }
  onBus.answer.insert(onBus.answer.end(), buffer, buffer + n);
  onBus.lastByteAt = now;
  return true;
}

// One request on the bus at a time, as on the line behind a real gateway.
void Gateway::PutNextOnBus() {
  if (onBus_ || waiting_.empty()) return;
  OnBus onBus;
  onBus.request = std::move(waiting_.front());
  onBus.transactionId = waitingIds_.front();
  waiting_.pop_front();
  waitingIds_.pop_front();
  onBus.sentAt = Clock::now();
  [[maybe_unused]] ssize_t w = ::write(line_, onBus.request.data(), onBus.request.size());
  onBus_ = std::move(onBus);
}

// A whole answer with a right CRC goes on at once. Anything else is dropped
// once the bus has been quiet a while, as a gateway drops a frame that fails
// its CRC: an MBAP frame has no CRC of its own, so a garbled answer passed on
// would reach the master as sound. A silent meter gets no answer either.
void Gateway::FinishAnswer(Clock::time_point now) {
  if (!onBus_) return;
  const OnBus& onBus = *onBus_;
  const int got = static_cast<int>(onBus.answer.size());
  const bool whole = got > 0 && AnswerLengthSoFar(onBus.request.data(), onBus.answer.data(), got) == got &&
                     Crc16(onBus.answer.data(), onBus.answer.size()) == 0;
  if (whole) {
    SendAnswer(onBus);
  } else if (got == 0 ? now - onBus.sentAt < std::chrono::milliseconds(kGatewayAnswerTimeoutMs)
                      : now - onBus.lastByteAt < std::chrono::milliseconds(kGatewayGarbleQuietMs)) {
    return;
  }
  onBus_.reset();
  PutNextOnBus();
}

void Gateway::SendAnswer(const OnBus& onBus) {
  Bytes frame(onBus.answer.size() + kMbapExtraLength + 2);
  const int length = MbapFromRtu(onBus.answer.data(), static_cast<int>(onBus.answer.size()), onBus.transactionId, frame.data());
  if (*answersToHold_ > 0) {
    --*answersToHold_;
    held_.assign(frame.begin(), frame.begin() + length);
    return;
  }
  // The answer's first splitAt bytes are the unit id and the 6 header bytes
  // before it, and splitAt - 1 bytes of the PDU.
  const size_t first = onBus.splitAt == 0 ? static_cast<size_t>(length) : std::min<size_t>(6 + onBus.splitAt, static_cast<size_t>(length));
  SendAll(client_, frame.data(), first);
  if (first == static_cast<size_t>(length)) return;
  std::this_thread::sleep_for(onBus.pause);
  SendAll(client_, frame.data() + first, static_cast<size_t>(length) - first);
}

}  // namespace

bool SimGateway::HoldModbusTcpAnswers(int count) {
  if (!modbusTcpRuns_) return false;
  *answersToHold_ = count;
  return true;
}

int SimGateway::Start(const std::string& hostPort, Transport transport, std::string* served, std::string* error) {
  std::string host;
  int port = 0;
  const int listener = ListenAt(hostPort, 4, &host, &port, error);
  if (listener < 0) return -1;
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    *error = std::string("socketpair: ") + std::strerror(errno);
    ::close(listener);
    return -1;
  }
  // The simulator's end is non-blocking, as its pseudo terminal is.
  ::fcntl(pair[0], F_SETFL, ::fcntl(pair[0], F_GETFL) | O_NONBLOCK);
  modbusTcpRuns_ = transport == Transport::ModbusTcp;
  std::thread([listener, line = pair[1], transport, held = answersToHold_] {
    Gateway(listener, line, transport, held).Run();
  }).detach();
  *served = std::string(transport == Transport::ModbusTcp ? "mbtcp://" : "tcp://") + JoinHostPort(host, std::to_string(port));
  return pair[0];
}
