#pragma once
// What an outside party can cause (a refused write, a refused client, an
// unknown command, a refused action) is said once per source and minute; the
// rest of that minute is counted and said as one line when it ends. Anyone
// who can reach a port or the broker could otherwise fill the journal.
// Counters elsewhere (/metrics) keep the full count; this only paces words.

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class MessagePace {
 public:
  using Clock = std::chrono::steady_clock;
  using SayFunction = std::function<void(const std::string&)>;

  // say: where lines go (the monitor's Say). window: one minute but in tests.
  explicit MessagePace(SayFunction say, Clock::duration window = std::chrono::minutes(1));

  // Says message unless source has been heard from in its current window;
  // then counts it. Ended windows are summed up first. Safe from any thread.
  void Say(const std::string& source, const std::string& message, Clock::time_point now = Clock::now());
  // Says "MESSAGE … and N more in the last minute" for each window that has
  // ended by now with messages held back (the monitor calls it each round).
  void Flush(Clock::time_point now = Clock::now());

 private:
  struct Window {
    Clock::time_point began;
    std::string last;  // the newest message held back
    long held = 0;
  };
  std::vector<std::string> TakeEnded(Clock::time_point now);

  SayFunction say_;
  Clock::duration window_;
  std::mutex mutex_;
  std::map<std::string, Window> windows_;
};

// n with a comma between thousands: 1998 -> "1,998".
std::string GroupedCount(long n);
