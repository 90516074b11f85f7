#include "monitor/modbus_gateway.h"

#include <fcntl.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "modbus/gateway.h"
#include "modbus/mbap.h"
#include "util/utc_text.h"

namespace {

using Clock = std::chrono::steady_clock;

// A whole frame is at most 260 bytes; a client may send the next while we
// answer. What a client does not take of our answers is bounded too.
constexpr size_t kInputBytes = 2 * (6 + 254);
constexpr size_t kMostPendingOutput = 64 * 1024;
// How often the thread looks for a stop and for clients past their time.
constexpr int kTickMs = 200;

constexpr uint8_t kIllegalFunction = 0x01;
constexpr uint8_t kIllegalDataValue = 0x03;
constexpr uint8_t kServerBusy = 0x06;
constexpr uint8_t kPathUnavailable = 0x0A;
constexpr uint8_t kTargetFailedToRespond = 0x0B;

std::string PeerName(int fd) {
  sockaddr_storage peer{};
  socklen_t size = sizeof peer;
  char host[64] = "?";
  int port = 0;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0) {
    if (peer.ss_family == AF_INET6) {
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&peer);
      ::inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
      port = ntohs(in6->sin6_port);
    } else {
      const auto* in = reinterpret_cast<const sockaddr_in*>(&peer);
      ::inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
      port = ntohs(in->sin_port);
    }
  }
  return JoinHostPort(host, std::to_string(port));
}

double SecondsSince(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

}  // namespace

struct ModbusGateway::Client {
  int fd = -1;
  int id = 0;        // as the log window knows it
  std::string name;  // HOST:PORT, for what is said about it
  std::vector<uint8_t> in;
  std::vector<uint8_t> out;
  Clock::time_point lastHeard = Clock::now();
  Clock::time_point frameBegun{};  // when the request now coming in began; {} none
  ~Client() {
    if (fd >= 0) ::close(fd);
  }
};

const char* GatewayOutcomeName(GatewayOutcome outcome) {
  static const char* const kNames[kGatewayOutcomes] = {"answered", "exception", "no_answer",
                                                       "port_gone", "refused",   "malformed", "busy"};
  return kNames[static_cast<int>(outcome)];
}

ModbusGateway::ModbusGateway(ModbusLink& link, GatewaySettings settings, SayFunction say)
    : link_(link), settings_(std::move(settings)), say_(std::move(say)), pace_(say_) {}

ModbusGateway::~ModbusGateway() { Stop(); }

bool ModbusGateway::Start(std::string* error) {
  constexpr int kBacklog = 16;
  std::string host;
  int port = 0;
  listener_ = ListenAt(settings_.address, kBacklog, &host, &port, error);
  if (listener_ < 0) return false;
  ::fcntl(listener_, F_SETFL, ::fcntl(listener_, F_GETFL) | O_NONBLOCK);
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = "cannot start the gateway: " + std::string(std::strerror(errno));
    return false;
  }
  bound_ = JoinHostPort(host, std::to_string(port));
  stats_.address = bound_;
  stats_.writes = settings_.writes;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void ModbusGateway::Stop() {
  if (thread_.joinable()) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1);
    thread_.join();
  }
  clients_.clear();
  for (int* fd : {&listener_, &wake_[0], &wake_[1]}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

GatewayStats ModbusGateway::Stats() const {
  std::lock_guard<std::mutex> hold(statsLock_);
  return stats_;
}

void ModbusGateway::Count(GatewayOutcome outcome, double waitSeconds, bool waited) {
  std::lock_guard<std::mutex> hold(statsLock_);
  ++stats_.requests[static_cast<int>(outcome)];
  stats_.clients = static_cast<int>(clients_.size());
  if (!waited) return;
  waitTotal_ += waitSeconds;
  ++waits_;
  stats_.longestWaitSeconds = std::max(stats_.longestWaitSeconds, waitSeconds);
  stats_.meanWaitSeconds = waitTotal_ / static_cast<double>(waits_);
}

// Each turn: every client with a whole request gets one served, in the
// order they connected, then the sockets are waited on again.
void ModbusGateway::Run() {
  for (;;) {
    std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
    for (const auto& client : clients_)
      fds.push_back({client->fd, static_cast<short>(POLLIN | (client->out.empty() ? 0 : POLLOUT)), 0});
    if (::poll(fds.data(), fds.size(), kTickMs) < 0 && errno != EINTR) return;
    if (fds[0].revents != 0) return;
    if (fds[1].revents & POLLIN) Accept();
    const auto now = Clock::now();
    pace_.Flush(now);
    for (size_t k = 0; k < clients_.size(); ++k) {
      Client& client = *clients_[k];
      const short events = k + 2 < fds.size() && fds[k + 2].fd == client.fd ? fds[k + 2].revents : 0;
      bool keep = !(events & (POLLERR | POLLNVAL)) && (!(events & POLLIN) || ReadFrom(client));
      keep = keep && ServeOne(client);
      if (keep && !client.out.empty()) {
        const ssize_t n = ::send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) client.out.erase(client.out.begin(), client.out.begin() + n);
        keep = (n >= 0 || errno == EAGAIN) && client.out.size() <= kMostPendingOutput;
      }
      const bool stalled = client.frameBegun != Clock::time_point{} &&
                           now - client.frameBegun > std::chrono::seconds(settings_.requestSeconds);
      const bool idle = now - client.lastHeard > std::chrono::seconds(settings_.idleSeconds);
      if (keep && !stalled && !idle) continue;
      window_.Closed(client.id);
      clients_.erase(clients_.begin() + static_cast<long>(k--));
      std::lock_guard<std::mutex> hold(statsLock_);
      stats_.clients = static_cast<int>(clients_.size());
    }
  }
}

// Beyond the limit a client is closed at once: it sees the connection end
// rather than a request that waits for ever.
void ModbusGateway::Accept() {
  for (;;) {
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    if (static_cast<int>(clients_.size()) >= settings_.maxClients) {
      ::close(fd);
      continue;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    auto client = std::make_unique<Client>();
    client->fd = fd;
    client->id = ++lastClientId_;
    client->name = PeerName(fd);
    clients_.push_back(std::move(client));
    std::lock_guard<std::mutex> hold(statsLock_);
    stats_.clients = static_cast<int>(clients_.size());
  }
}

// False when the client closed the connection.
bool ModbusGateway::ReadFrom(Client& client) {
  uint8_t buffer[kInputBytes];
  const size_t room = kInputBytes - client.in.size();
  if (room == 0) return true;  // served one at a time; the rest waits in the socket
  const ssize_t n = ::recv(client.fd, buffer, room, 0);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
  if (n < 0) return true;
  if (client.in.empty()) client.frameBegun = Clock::now();
  client.in.insert(client.in.end(), buffer, buffer + n);
  client.lastHeard = Clock::now();
  return true;
}

// Serves the first whole request the client sent, if there is one; false
// when its bytes are no Modbus request (the connection is closed).
bool ModbusGateway::ServeOne(Client& client) {
  MbapRequest request;
  int used = 0;
  const MbapRead read = ReadMbapRequest(client.in.data(), static_cast<int>(client.in.size()), &request, &used);
  if (read == MbapRead::Malformed) {
    Count(GatewayOutcome::Malformed, 0, false);
    return false;
  }
  if (read == MbapRead::NeedMore) return true;
  Answer(client, request);
  client.in.erase(client.in.begin(), client.in.begin() + used);
  client.frameBegun = client.in.empty() ? Clock::time_point{} : Clock::now();
  return true;
}

void ModbusGateway::Answer(Client& client, const MbapRequest& request) {
  uint8_t pdu[kMaxRelayAnswer];
  int pduLength = 0;
  Execute(client, request, pdu, &pduLength);
  uint8_t frame[kMbapHeaderLength + kMaxRelayAnswer];
  const int length = MbapAnswerFrame(request, pdu, pduLength, frame);
  client.out.insert(client.out.end(), frame, frame + length);
}

// The meter's answer, or the exception that says why there is none.
void ModbusGateway::Execute(Client& client, const MbapRequest& request, uint8_t* pdu, int* pduLength) {
  const uint8_t function = request.pdu[0];
  const auto refuse = [&](GatewayOutcome outcome, uint8_t code, double waited, bool counted) {
    pdu[0] = static_cast<uint8_t>(function | 0x80);
    pdu[1] = code;
    *pduLength = 2;
    Count(outcome, waited, counted);
  };
  if (function != 3 && function != 6 && function != 17) return refuse(GatewayOutcome::Refused, kIllegalFunction, 0, false);
  if (function == 6 && !settings_.writes) {
    pace_.Say(client.name.substr(0, client.name.rfind(':')),
              "gateway: a write from " + client.name + " refused: writes are off (--gateway-writes)");
    CountWrite(client, request, false);
    return refuse(GatewayOutcome::Refused, kIllegalFunction, 0, false);
  }
  const auto asked = Clock::now();
  const std::unique_lock<TurnLock> turn = link_.WaitForTurn();
  const double waited = SecondsSince(asked);
  if (!window_.Admits(client.id, request.unit, request.pdu, request.pduLength, Clock::now())) {
    if (function == 6) CountWrite(client, request, false);
    return refuse(GatewayOutcome::Busy, kServerBusy, waited, true);
  }
  if (!link_.IsOpen() || link_.DeviceGone()) return refuse(GatewayOutcome::PortGone, kPathUnavailable, waited, true);
  const ModbusResult result = link_.Relay(request.unit, request.pdu, request.pduLength, pdu, pduLength);
  if (result == ResultOk) window_.Answered(client.id, request.unit, request.pdu, request.pduLength, Clock::now());
  if (function == 6 && result != ResultBadParameter) CountWrite(client, request, true);
  if (result == ResultOk || result == ResultException)
    return Count(result == ResultOk ? GatewayOutcome::Answered : GatewayOutcome::Exception, waited, true);
  if (result == ResultBadParameter && request.unit >= 1 && request.unit <= 247)
    return refuse(GatewayOutcome::Refused, kIllegalDataValue, waited, true);
  if (link_.DeviceGone()) return refuse(GatewayOutcome::PortGone, kPathUnavailable, waited, true);
  return refuse(GatewayOutcome::NoAnswer, kTargetFailedToRespond, waited, true);
}

// Slot selections come by the dozen in a download: counted, never said.
void ModbusGateway::CountWrite(const Client& client, const MbapRequest& request, bool passed) {
  const int address = request.pdu[1] << 8 | request.pdu[2];
  const int value = request.pdu[3] << 8 | request.pdu[4];
  const WriteClass kind = WriteClassOf(address, value);
  const std::string text = WriteText(client.name, request.unit, address, value);
  if (passed && kind != WriteClass::SlotSelection) say_("gateway: " + text);
  std::lock_guard<std::mutex> hold(statsLock_);
  ++(passed ? stats_.writesPassed : stats_.writesRefused)[static_cast<size_t>(kind)];
  if (!passed || kind == WriteClass::SlotSelection) return;
  stats_.writesSaid.push_back(UtcText(std::time(nullptr)) + " " + text);
  if (stats_.writesSaid.size() > GatewayStats::kWritesSaidKept) stats_.writesSaid.erase(stats_.writesSaid.begin());
}
