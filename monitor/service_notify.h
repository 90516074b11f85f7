#pragma once
// Tells systemd how the monitor is when it runs as a Type=notify service
// (pylax-monitor@.service): ready once it has settled into its loop, a
// status line each round, and that it is alive, so that the watchdog
// (WatchdogSec=) restarts a monitor stuck in a driver call. Outside systemd
// (no NOTIFY_SOCKET) every call does nothing.

#include <chrono>
#include <string>

class ServiceNotify {
 public:
  ServiceNotify();  // takes the watchdog's period from WATCHDOG_USEC
  // READY=1 and STATUS= in one message; later calls send the status only.
  void Ready(const std::string& status);
  // STATUS=, the line `systemctl status` shows.
  void Status(const std::string& status);
  // WATCHDOG=1, once ready and at most every quarter of the watchdog's
  // period (60 s: every 15 s). Called wherever the monitor moves on (each
  // poll, each scanned address, each look at the signals while it waits),
  // so it falls silent only when the monitor is stuck.
  void Alive();

 private:
  using Clock = std::chrono::steady_clock;
  bool ready_ = false;
  Clock::duration pingEvery_{};  // zero: no watchdog
  Clock::time_point lastPing_{};
};

// "meters online: 3 of 4; last round 0.97 s, ended 2026-12-07T12:49:28Z".
std::string RoundStatus(int online, int meters, double seconds, const std::string& ended);
