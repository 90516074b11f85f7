#include "modbus/gateway.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "modbus/line_io.h"

namespace {

constexpr const char kRtuOverTcpScheme[] = "tcp://";
constexpr const char kModbusTcpScheme[] = "mbtcp://";

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// getaddrinfo has no timeout of its own: a DNS server that does not answer
// holds it through the resolver's retries, half a minute and more. So the
// lookup runs on a thread of its own, and one that misses the deadline is
// left to finish there; the shared state outlives whichever side ends last.
struct Lookup {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  int status = EAI_AGAIN;
  addrinfo* addresses = nullptr;
  ~Lookup() {
    if (addresses) freeaddrinfo(addresses);
  }
};

// The addresses of host, or nullptr with the reason in *failure.
std::shared_ptr<Lookup> Resolve(const std::string& host, const std::string& port, LinkClock::time_point deadline,
                                std::string* failure) {
  auto lookup = std::make_shared<Lookup>();
  std::thread([lookup, host, port] {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int status = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    std::lock_guard<std::mutex> hold(lookup->mutex);
    lookup->status = status;
    lookup->addresses = found;
    lookup->done = true;
    lookup->finished.notify_all();
  }).detach();
  std::unique_lock<std::mutex> hold(lookup->mutex);
  if (!lookup->finished.wait_until(hold, deadline, [&] { return lookup->done; })) {
    *failure = "looking up " + host + " timed out";
    return nullptr;
  }
  if (lookup->status == 0) return lookup;
  *failure = lookup->status == EAI_NONAME || lookup->status == EAI_NODATA
                 ? "host name " + host + " not found"
                 : "looking up " + host + " failed: " + gai_strerror(lookup->status);
  return nullptr;
}

// One connect to one address, waiting no later than deadline; the socket or
// -1 with errno set (ETIMEDOUT when the deadline passed).
int ConnectOne(const addrinfo& address, LinkClock::time_point deadline) {
  const int fd = ::socket(address.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int error = 0;
  if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
    error = errno;
    if (error == EINPROGRESS) {
      struct pollfd pfd {fd, POLLOUT, 0};
      int n;
      while ((n = ::poll(&pfd, 1, MillisecondsLeft(deadline))) < 0 && errno == EINTR) {
      }
      socklen_t size = sizeof error;
      if (n <= 0) error = ETIMEDOUT;
      else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    }
  }
  if (error != 0) {
    ::close(fd);
    errno = error;
    return -1;
  }
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

std::string ConnectFailureText(int error, int timeoutMs) {
  switch (error) {
    case ECONNREFUSED:
      return "connection refused (nothing listens at that port)";
    case ETIMEDOUT:
      return "timed out (no answer within " + std::to_string(timeoutMs / 1000) + " s)";
    default:
      return std::strerror(error);
  }
}

}  // namespace

Transport TransportOf(const std::string& device) {
  if (StartsWith(device, kRtuOverTcpScheme)) return Transport::RtuOverTcp;
  if (StartsWith(device, kModbusTcpScheme)) return Transport::ModbusTcp;
  return Transport::Serial;
}

int ConnectGateway(const std::string& address, int timeoutMs, std::string* failure) {
  const size_t schemeEnd = address.find("://");
  std::string host, port;
  if (schemeEnd == std::string::npos || !SplitHostPort(address.substr(schemeEnd + 3), &host, &port)) {
    *failure = address + " is not of the form tcp://HOST:PORT or mbtcp://HOST:PORT";
    return -1;
  }
  const auto deadline = LinkClock::now() + std::chrono::milliseconds(timeoutMs);
  std::string reason;
  const std::shared_ptr<Lookup> lookup = Resolve(host, port, deadline, &reason);
  if (!lookup) {
    *failure = address + ": " + reason;
    return -1;
  }
  // Every address the name has (IPv6 and IPv4 alike), in the resolver's
  // order, within the one deadline; the last one's failure is told.
  int error = ETIMEDOUT;
  for (const addrinfo* a = lookup->addresses; a != nullptr && LinkClock::now() < deadline; a = a->ai_next) {
    const int fd = ConnectOne(*a, deadline);
    if (fd >= 0) return fd;
    error = errno;
  }
  *failure = address + ": " + ConnectFailureText(error, timeoutMs);
  return -1;
}

int ListenAt(const std::string& hostPort, int backlog, std::string* host, int* port, std::string* error) {
  std::string service;
  if (!SplitHostPort(hostPort, host, &service)) {
    *error = "'" + hostPort + "' is not HOST:PORT";
    return -1;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (const int status = getaddrinfo(host->c_str(), service.c_str(), &hints, &found); status != 0) {
    *error = *host + ": " + gai_strerror(status);
    return -1;
  }
  const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const bool ok = fd >= 0 && ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, backlog) == 0;
  freeaddrinfo(found);
  if (!ok) {
    *error = "cannot listen at " + hostPort + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return -1;
  }
  sockaddr_storage bound{};
  socklen_t size = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
  *port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  return fd;
}
