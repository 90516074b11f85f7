#pragma once
// The program's one request to stop (SIGINT, SIGTERM, the windows' quit),
// made by main and handed to whatever can stop: a logging start or download
// at its next safe point, pylaxctl's commands before their next transaction,
// the monitor after the meter it is polling. Once asked it stays asked.
// Lock-free atomics, so a signal handler may ask and any thread may look.

#include <atomic>

class StopToken {
 public:
  // Async-signal-safe. reason: the signal that asked (0 when none did).
  void Request(int reason = 0) {
    reason_.store(reason, std::memory_order_relaxed);
    requested_.store(true, std::memory_order_release);
  }
  bool Requested() const { return requested_.load(std::memory_order_acquire); }
  int Reason() const { return reason_.load(std::memory_order_relaxed); }

 private:
  static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);
  std::atomic<bool> requested_{false};
  std::atomic<int> reason_{0};
};
