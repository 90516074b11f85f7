#pragma once
// One HTTP listener of the monitor (cpp-httplib on a thread of its own):
// /metrics and the web page share it when --prometheus and --http name the
// same address. Routes are added between Bind and Start.

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "modbus/host_port.h"

namespace httplib {
class Server;
}

class HttpListener {
 public:
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
  // Serves with up to threads requests at once (an event stream holds one
  // for as long as it is open).
  void Start(int threads);
  void Stop();

  httplib::Server& Server() { return *server_; }
  const HostPort& Address() const { return address_; }
  // Both name one address (a bare port as the loopback's).
  static bool SameAddress(const std::string& a, const std::string& b);
  // Bound to a loopback address (127.0.0.0/8, ::1, localhost).
  bool OnLoopback() const;

 private:
  std::unique_ptr<httplib::Server> server_;
  HostPort address_;
  std::thread thread_;
  std::atomic<bool> listenerEnded_{false};
};
