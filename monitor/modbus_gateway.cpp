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
#include "modbus/host_port.h"
#include "modbus/mbap.h"
#include "monitor/gateway_line.h"
#include "util/utc_text.h"

namespace {

using Clock = std::chrono::steady_clock;

// A whole frame is at most 260 bytes; a client may send the next while we
// answer. What a client does not take of our answers is bounded too, and so
// are its requests waiting for the line.
constexpr size_t kInputBytes = 2 * (6 + 254);
constexpr size_t kMostPendingOutput = 64 * 1024;
constexpr int kMostWaitingPerClient = 4;
// How often the thread looks for clients past their time when nothing
// else wakes it.
constexpr int kTickMs = 100;

// The client's address and port, "?" and 0 when the socket has none.
std::pair<std::string, int> PeerOf(int fd) {
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
  return {host, port};
}

// --gateway 1502 listens on the loopback, as --http 8080 does.
std::string ListenAddress(const std::string& address) {
  const bool barePort = !address.empty() && address.find_first_not_of("0123456789") == std::string::npos;
  return barePort ? "127.0.0.1:" + address : address;
}

}  // namespace

struct ModbusGateway::Client {
  int id = 0;  // as the log window knows it
  int fd = -1;
  std::string host;  // the address alone: places are shared per address
  std::string name;  // HOST:PORT, for what is said about it
  std::vector<uint8_t> in;
  std::vector<uint8_t> out;
  Clock::time_point connected = Clock::now();
  Clock::time_point lastHeard = connected;
  bool heard = false;              // has sent a whole request
  Clock::time_point frameBegun{};  // when the request now coming in began; {} none
  int waiting = 0;                 // requests queued for the line, not yet answered
  ~Client() {
    if (fd >= 0) ::close(fd);
  }
};

const char* GatewayOutcomeName(GatewayOutcome outcome) {
  static const char* const kNames[kGatewayOutcomes] = {"answered", "exception", "no_answer",
                                                       "port_gone", "refused",   "malformed", "busy"};
  return kNames[static_cast<int>(outcome)];
}

ModbusGateway::ModbusGateway(ModbusLink& link, GatewaySettings settings, SayFunction say, const StopToken* stop)
    : link_(link), settings_(std::move(settings)), say_(std::move(say)), pace_(say_), cache_(settings_.cacheSeconds) {
  line_ = std::make_unique<GatewayLine>(
      link_, settings_, cache_, window_, pace_, stop,
      [this](const GatewayRequest& request, GatewayReply reply) { Deliver(request, std::move(reply)); });
}

ModbusGateway::~ModbusGateway() { Stop(); }

bool ModbusGateway::Start(std::string* error) {
  constexpr int kBacklog = 16;
  std::string host;
  int port = 0;
  listener_ = ListenAt(ListenAddress(settings_.address), kBacklog, &host, &port, error);
  if (listener_ < 0) return false;
  ::fcntl(listener_, F_SETFL, ::fcntl(listener_, F_GETFL) | O_NONBLOCK);
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = "cannot start the gateway: " + std::string(std::strerror(errno));
    return false;
  }
  bound_ = JoinHostPort(host, std::to_string(port));
  stats_.address = bound_;
  stats_.writes = settings_.writes;
  link_.Watch(&cache_);
  thread_ = std::thread([this] { Run(); });
  return true;
}

// The sockets' thread ends first, then the line's (after the transaction
// under way), whose last replies find the wake pipe still open.
void ModbusGateway::Stop() {
  if (thread_.joinable()) {
    const char byte = 0;  // a stop, where a reply writes 1
    [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1);
    thread_.join();
    link_.Watch(nullptr);
  }
  line_.reset();
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

std::string ModbusGateway::ReachableAddress() const {
  HostPort where;
  std::string ignored;
  if (!ParseHostPort(bound_, &where, &ignored)) return bound_;
  if (where.host == "0.0.0.0") return JoinHostPort("127.0.0.1", where.port);
  if (where.host == "::") return JoinHostPort("::1", where.port);
  return bound_;
}

void ModbusGateway::CountMalformed() {
  std::lock_guard<std::mutex> hold(statsLock_);
  ++stats_.requests[static_cast<size_t>(GatewayOutcome::Malformed)];
}

void ModbusGateway::Count(const GatewayRequest& request, const GatewayReply& reply) {
  if (reply.write != WriteFate::None) CountWrite(request, reply.write == WriteFate::Passed);
  std::lock_guard<std::mutex> hold(statsLock_);
  ++stats_.requests[static_cast<size_t>(reply.outcome)];
  stats_.cacheHits += reply.cache == CacheUse::Hit ? 1 : 0;
  stats_.cacheMisses += reply.cache == CacheUse::Miss ? 1 : 0;
  if (!reply.waitedSeconds) return;
  const double waited = *reply.waitedSeconds;
  const auto bucket = std::lower_bound(kGatewayWaitBuckets.begin(), kGatewayWaitBuckets.end(), waited);
  ++stats_.waits[static_cast<size_t>(bucket - kGatewayWaitBuckets.begin())];
  stats_.waitSumSeconds += waited;
  stats_.longestWaitSeconds = std::max(stats_.longestWaitSeconds, waited);
}

// Slot selections come by the dozen in a download: counted, never said.
void ModbusGateway::CountWrite(const GatewayRequest& request, bool passed) {
  const int address = request.pdu[1] << 8 | request.pdu[2];
  const int value = request.pdu[3] << 8 | request.pdu[4];
  const WriteClass kind = WriteClassOf(address, value);
  const std::string text = WriteText(request.from, request.unit, address, value);
  if (passed && kind != WriteClass::SlotSelection) say_("gateway: " + text);
  std::lock_guard<std::mutex> hold(statsLock_);
  ++(passed ? stats_.writesPassed : stats_.writesRefused)[static_cast<size_t>(kind)];
  if (!passed || kind == WriteClass::SlotSelection) return;
  stats_.writesSaid.push_back(UtcText(std::time(nullptr)) + " " + text);
  if (stats_.writesSaid.size() > GatewayStats::kWritesSaidKept) stats_.writesSaid.erase(stats_.writesSaid.begin());
}

// On the line's thread: the reply waits for the serving thread, woken.
void ModbusGateway::Deliver(const GatewayRequest& request, GatewayReply reply) {
  Count(request, reply);
  {
    std::lock_guard<std::mutex> hold(repliesLock_);
    replies_.push_back(std::move(reply));
  }
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1);
}

// The sockets' loop: it never waits for the line, only for the sockets, a
// reply from the line or the tick.
void ModbusGateway::Run() {
  for (;;) {
    std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
    for (const auto& client : clients_) {
      const bool takes = client->in.size() < kInputBytes && client->waiting < kMostWaitingPerClient;
      fds.push_back({client->fd, static_cast<short>((takes ? POLLIN : 0) | (client->out.empty() ? 0 : POLLOUT)), 0});
    }
    if (::poll(fds.data(), fds.size(), kTickMs) < 0 && errno != EINTR) return;
    if (fds[0].revents != 0) {
      char bytes[64];
      bool stop = false;
      for (ssize_t n; (n = ::read(wake_[0], bytes, sizeof bytes)) > 0;)
        stop = stop || std::memchr(bytes, 0, static_cast<size_t>(n));
      if (stop) return;
      TakeReplies();
    }
    if (fds[1].revents & POLLIN) Accept();
    const auto now = Clock::now();
    pace_.Flush(now);
    for (size_t k = 0; k < clients_.size(); ++k) {
      Client& client = *clients_[k];
      const short events = k + 2 < fds.size() && fds[k + 2].fd == client.fd ? fds[k + 2].revents : 0;
      bool keep = !(events & (POLLERR | POLLNVAL)) && (!(events & POLLIN) || ReadFrom(client)) && Admit(client);
      if (keep && !client.out.empty()) {
        const ssize_t n = ::send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) client.out.erase(client.out.begin(), client.out.begin() + n);
        keep = (n >= 0 || errno == EAGAIN) && client.out.size() <= kMostPendingOutput;
      }
      if (!keep || OutOfTime(client, now)) Close(k--);
    }
  }
}

void ModbusGateway::TakeReplies() {
  std::vector<GatewayReply> replies;
  {
    std::lock_guard<std::mutex> hold(repliesLock_);
    replies.swap(replies_);
  }
  for (GatewayReply& reply : replies) {
    const auto client =
        std::find_if(clients_.begin(), clients_.end(), [&](const auto& c) { return c->id == reply.client; });
    if (client == clients_.end()) continue;  // closed while its request waited
    --(*client)->waiting;
    (*client)->out.insert((*client)->out.end(), reply.frame.begin(), reply.frame.end());
  }
}

// A client that has not sent its first request in time, has begun one and
// not finished it, or has been silent long with nothing waiting.
bool ModbusGateway::OutOfTime(const Client& client, Clock::time_point now) const {
  const bool mute = !client.heard && client.in.empty() &&
                    now - client.connected > std::chrono::seconds(settings_.firstRequestSeconds);
  const bool stalled = client.frameBegun != Clock::time_point{} &&
                       now - client.frameBegun > std::chrono::seconds(settings_.requestSeconds);
  const bool idle = client.waiting == 0 && now - client.lastHeard > std::chrono::seconds(settings_.idleSeconds);
  return mute || stalled || idle;
}

void ModbusGateway::Close(size_t index) {
  window_.Closed(clients_[index]->id);
  clients_.erase(clients_.begin() + static_cast<long>(index));
  std::lock_guard<std::mutex> hold(statsLock_);
  stats_.clients = static_cast<int>(clients_.size());
}

void ModbusGateway::Accept() {
  for (;;) {
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    auto client = std::make_unique<Client>();
    client->fd = fd;
    const auto [host, port] = PeerOf(fd);
    client->host = host;
    client->name = JoinHostPort(host, std::to_string(port));
    if (!MakeRoom(client->host, client->name)) continue;  // closed by client's destructor
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    client->id = ++lastClientId_;
    clients_.push_back(std::move(client));
    std::lock_guard<std::mutex> hold(statsLock_);
    stats_.clients = static_cast<int>(clients_.size());
  }
}

// No one locks the others out: one address holds at most half the places,
// and at the limit the client silent longest (one that never sent a request
// before any that did) is closed to make room, unless every client has a
// request waiting. A client refused sees its connection end at once; it is
// counted, and said once a minute per address.
bool ModbusGateway::MakeRoom(const std::string& host, const std::string& from) {
  const int share = std::max(1, settings_.maxClients / 2);
  const auto sameHost = std::count_if(clients_.begin(), clients_.end(), [&](const auto& c) { return c->host == host; });
  std::string why;
  if (sameHost >= share) {
    why = host + " holds " + std::to_string(share) + " of the " + std::to_string(settings_.maxClients) +
          " places already (at most half for one address)";
  } else if (static_cast<int>(clients_.size()) >= settings_.maxClients) {
    const auto silence = [](const std::unique_ptr<Client>& c) { return std::make_pair(c->heard, c->lastHeard); };
    auto silentLongest = clients_.end();
    for (auto c = clients_.begin(); c != clients_.end(); ++c) {
      if ((*c)->waiting > 0) continue;
      if (silentLongest == clients_.end() || silence(*c) < silence(*silentLongest)) silentLongest = c;
    }
    if (silentLongest != clients_.end()) {
      Close(static_cast<size_t>(silentLongest - clients_.begin()));
      return true;
    }
    why = "all " + std::to_string(settings_.maxClients) + " places have requests waiting";
  } else {
    return true;
  }
  {
    std::lock_guard<std::mutex> hold(statsLock_);
    ++stats_.refusedClients;
  }
  pace_.Say(host, "gateway: a connection from " + from + " refused: " + why);
  return false;
}

// False when the client closed the connection.
bool ModbusGateway::ReadFrom(Client& client) {
  uint8_t buffer[kInputBytes];
  const size_t room = kInputBytes - client.in.size();
  if (room == 0) return true;
  const ssize_t n = ::recv(client.fd, buffer, room, 0);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
  if (n < 0) return true;
  if (client.in.empty()) client.frameBegun = Clock::now();
  client.in.insert(client.in.end(), buffer, buffer + n);
  client.lastHeard = Clock::now();
  return true;
}

// Every whole request the client sent, while it has room in the queue: one
// the gateway can answer at once is, unless an earlier one of the client's
// still waits (its answers keep the order it asked in); the others join the
// line's queue. False when the bytes are no Modbus request (the connection
// is closed).
bool ModbusGateway::Admit(Client& client) {
  while (client.waiting < kMostWaitingPerClient) {
    MbapRequest request;
    int used = 0;
    const MbapRead read = ReadMbapRequest(client.in.data(), static_cast<int>(client.in.size()), &request, &used);
    if (read == MbapRead::Malformed) {
      CountMalformed();
      return false;
    }
    if (read == MbapRead::NeedMore) return true;
    GatewayRequest whole{client.id, client.name, request.transactionId, request.unit, {}, request.pduLength,
                         Clock::now()};
    std::copy(request.pdu, request.pdu + request.pduLength, whole.pdu.begin());
    client.in.erase(client.in.begin(), client.in.begin() + used);
    client.frameBegun = client.in.empty() ? Clock::time_point{} : Clock::now();
    client.heard = true;
    std::optional<GatewayReply> reply =
        client.waiting == 0 ? AnswerWithoutLine(whole, settings_, cache_, pace_, whole.whole) : std::nullopt;
    if (reply) {
      Count(whole, *reply);
      client.out.insert(client.out.end(), reply->frame.begin(), reply->frame.end());
      continue;
    }
    ++client.waiting;
    line_->Add(std::move(whole));
  }
  return true;
}
