#pragma once
// The link's lock: whoever asked first goes first. A plain mutex lets the
// thread that just let go take it again before a waiter wakes, so a monitor
// polling back to back could keep a gateway client off the line for a whole
// round; with tickets each waiter gets the line after at most the
// transaction in progress. Recursive, as the callers that hold it across
// several transactions need.

#include <atomic>
#include <thread>

class TurnLock {
 public:
  void lock() {
    const std::thread::id me = std::this_thread::get_id();
    if (owner_.load(std::memory_order_relaxed) == me) {
      ++depth_;
      return;
    }
    const unsigned ticket = next_.fetch_add(1);
    for (unsigned serving = serving_.load(); serving != ticket; serving = serving_.load()) serving_.wait(serving);
    owner_.store(me, std::memory_order_relaxed);
    depth_ = 1;
  }
  void unlock() {
    if (--depth_ > 0) return;
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    serving_.fetch_add(1);
    serving_.notify_all();
  }

 private:
  std::atomic<unsigned> next_{0};
  std::atomic<unsigned> serving_{0};
  std::atomic<std::thread::id> owner_{};
  int depth_ = 0;  // only the owner touches it
};
