#include "monitor/service_notify.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstdio>

ServiceNotify::ServiceNotify() {
  std::uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0) pingEvery_ = std::chrono::microseconds(usec / 4);
}

void ServiceNotify::Ready(const std::string& status) {
  if (ready_) {
    Status(status);
    return;
  }
  ready_ = true;
  sd_notify(0, ("READY=1\nSTATUS=" + status).c_str());
}

void ServiceNotify::Status(const std::string& status) { sd_notify(0, ("STATUS=" + status).c_str()); }

void ServiceNotify::Alive() {
  if (!ready_ || pingEvery_ == Clock::duration::zero()) return;
  const Clock::time_point now = Clock::now();
  if (now - lastPing_ < pingEvery_) return;
  lastPing_ = now;
  sd_notify(0, "WATCHDOG=1");
}

std::string RoundStatus(int online, int meters, double seconds, const std::string& ended) {
  char text[128];
  std::snprintf(text, sizeof text, "meters online: %d of %d; last round %.2f s, ended %s", online, meters, seconds,
                ended.c_str());
  return text;
}
