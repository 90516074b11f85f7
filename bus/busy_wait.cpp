#include "bus/busy_wait.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {
constexpr int kFirstPauseMs = 500;
constexpr int kLongestPauseMs = 5000;
constexpr int kSafePointMs = 100;  // how often a waiting window handles its events

// Pauses for ms, visiting the safe point every kSafePointMs; false when a
// stop was asked for meanwhile.
bool Pause(int ms, StatusLog& log) {
  for (int left = ms; left > 0; left -= kSafePointMs) {
    log.AtSafePoint();
    if (log.StopRequested()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(left, kSafePointMs)));
  }
  return !log.StopRequested();
}

std::string MeterName(int slave) {
  char name[16];
  std::snprintf(name, sizeof name, "%02d", slave);
  return name;
}
}  // namespace

Attempt AttemptOutcome(const ModbusLink& link, bool ok) {
  if (ok) return Attempt::Done;
  return link.LastExceptionCode() == kExceptionCodeBusy ? Attempt::Busy : Attempt::Failed;
}

int BusyBackoffMs(int tries) {
  int pause = kFirstPauseMs;
  for (int k = 1; k < tries && pause < kLongestPauseMs; ++k) pause *= 2;
  return std::min(pause, kLongestPauseMs);
}

std::string BusyWaitText(int slave) {
  return "meter " + MeterName(slave) + "'s log is being read by another master; waiting";
}

std::string BusyGaveUpText(int slave, int waitedMs) {
  return "meter " + MeterName(slave) + "'s log was still being read by another master after " +
         std::to_string((waitedMs + 500) / 1000) + " s; giving up";
}

bool WaitWhileBusy(ModbusLink& link, int slave, StatusLog& log, const std::function<Attempt()>& attempt) {
  const int boundMs = link.Settings().timeouts.busyWaitMs;
  int waitedMs = 0;
  for (int tries = 1;; ++tries) {
    Attempt outcome = Attempt::Failed;
    {
      const auto turn = link.WaitForTurn();
      outcome = attempt();
    }
    if (outcome != Attempt::Busy) return outcome == Attempt::Done;
    if (tries == 1) log.Waiting(BusyWaitText(slave));
    if (waitedMs >= boundMs) {
      log.GaveUpWaiting(BusyGaveUpText(slave, waitedMs));
      return false;
    }
    const int pause = std::min(BusyBackoffMs(tries), boundMs - waitedMs);
    if (!Pause(pause, log)) return false;
    waitedMs += pause;
  }
}
