#pragma once
// One HTTP listener of the monitor: /metrics and the web page share it when
// --prometheus and --http name the same address. Routes are added between
// Bind and Start.
//
// httplib's routing answers the requests, but its own accept loop does not:
// it gives each connection a thread while the request is still arriving,
// with a timeout per read rather than for the whole request, and no bound
// on the header block, the body or the connections. So our own loop
// accepts, reads each request's head under a deadline and a size bound,
// and only a complete head goes to a thread, which never reads more.

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "modbus/host_port.h"

namespace httplib {
class Server;
class ThreadPool;
struct Request;
struct Response;
}  // namespace httplib

class HttpListener {
 public:
  // A request head as a whole: within this many bytes and seconds of the
  // connection, else 431 or 408 and the connection closed.
  static constexpr size_t kHeadBytes = 16 * 1024;
  static constexpr int kHeadSeconds = 5;
  // Connections open at once, of the listener and of one client address.
  static constexpr int kConnections = 256;
  static constexpr int kConnectionsPerClient = 32;

  HttpListener();
  ~HttpListener();  // Stop()
  HttpListener(const HttpListener&) = delete;
  HttpListener& operator=(const HttpListener&) = delete;

  // ADDR:PORT ("127.0.0.1:9464", "[::1]:9464"; a bare port is on the
  // loopback) as parsed, or false with *problem.
  static bool ParseAddress(const std::string& address, HostPort* parts, std::string* problem);
  // Binds the address; false with *error saying why, option naming the
  // option given and serves what it was to serve ("/metrics").
  bool Bind(const std::string& address, const std::string& option, const std::string& serves, std::string* error);
  // A server's own check of each request before its route (a password, a
  // method): Handled when it answered. The listener's checks come first.
  void Check(std::function<bool(const httplib::Request&, httplib::Response&)> check);
  // Serves with up to threads requests at once (an event stream holds one
  // for as long as it is open).
  void Start(int threads);
  // Ends at once whatever the clients do: their sockets are shut.
  void Stop();

  httplib::Server& Server();
  const HostPort& Address() const { return address_; }
  // Both name one address (a bare port as the loopback's).
  static bool SameAddress(const std::string& a, const std::string& b);
  // Bound to a loopback address (127.0.0.0/8, ::1, localhost).
  bool OnLoopback() const;

 private:
  class Routes;
  struct Connection {
    int socket = -1;
    std::string client;  // its address
    std::string head;
    std::chrono::steady_clock::time_point deadline;
  };
  void Loop();
  void Accept();
  bool MakeRoom(const std::string& client);
  // Reads what the connection sent: false when it is done with here.
  bool Read(Connection& connection);
  void Answer(Connection connection);
  void Release(const Connection& connection);

  std::unique_ptr<Routes> server_;
  std::unique_ptr<httplib::ThreadPool> pool_;
  HostPort address_;
  int listening_ = -1;
  int wake_ = -1;  // an eventfd: readable when the loop is to end
  std::thread thread_;
  std::deque<Connection> pending_;  // heads still arriving, oldest first: the loop's own

  std::mutex mutex_;  // what the loop and the threads answering share
  std::map<std::string, int> perClient_;
  int connections_ = 0;
  std::map<int, std::string> answering_;  // sockets handed to a thread
};
