#pragma once
// What people ask of a QM4C from where they look (Home Assistant's buttons):
// heard on another thread, run by the polling thread between rounds, and
// the outcome published.

#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class ActionKind { SetClock, SyncLog };

// "set-clock", "sync-log": the last level of a command topic.
const char* ActionName(ActionKind kind);
std::optional<ActionKind> ActionOfName(std::string_view name);

struct Action {
  std::string meterId;
  ActionKind kind = ActionKind::SetClock;
  bool operator==(const Action&) const = default;
};

struct ActionOutcome {
  ActionKind kind = ActionKind::SetClock;
  time_t when = 0;
  bool ok = false;
  std::string result;  // what was done, or why not
  // {"action", "time", "ok", "result"}: the last-action sensor's state.
  std::string Json() const;
};

// The hand-over between the threads. An action already waiting is not
// queued twice, so a burst of presses runs once and costs no memory.
class ActionQueue {
 public:
  void Push(const Action& action);
  std::vector<Action> TakeAll();

 private:
  std::mutex mutex_;
  std::vector<Action> waiting_;
};
