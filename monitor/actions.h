#pragma once
// What people ask of a QM4C from where they look (Home Assistant's buttons):
// heard on another thread, run by the polling thread between rounds, and
// the outcome published.

#include <array>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "monitor/message_pace.h"

enum class ActionKind { SetClock, SyncLog };

// "set-clock", "sync-log": the last level of a command topic.
const char* ActionName(ActionKind kind);
std::optional<ActionKind> ActionOfName(std::string_view name);

struct Action {
  std::string meterId;
  ActionKind kind = ActionKind::SetClock;
  std::string source;  // "MQTT", or the page's client address
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

// How a command from outside ended, as /metrics counts them.
enum class CommandOutcome {
  Taken,         // queued (a press while the same one waits is taken once)
  Ignored,       // an MQTT payload other than PRESS (an empty one clears a retained message)
  Malformed,     // an MQTT command topic of no address or action
  UnknownMeter,  // no QM4C this monitor polls (or a log sync without archives)
  TooSoon,       // the page's second action of a meter within kPageActionSpacing: 429
};
constexpr int kCommandOutcomes = 5;
const char* CommandOutcomeName(CommandOutcome outcome);
using CommandCounts = std::array<unsigned long, kCommandOutcomes>;

// The hand-over between the threads. An action already waiting is not
// queued twice, so a burst of presses runs once and costs no memory. What
// is refused is counted, and said once per source and minute: anyone who
// can publish to the broker could otherwise fill the journal.
class ActionQueue {
 public:
  explicit ActionQueue(MessagePace::SayFunction say) : pace_(std::move(say)) {}
  void Push(const Action& action);
  std::vector<Action> TakeAll();
  void Refuse(CommandOutcome why, const std::string& source, const std::string& message);
  // Says what the minutes just ended held back (the monitor, each round).
  void Flush() { pace_.Flush(); }
  CommandCounts Counts() const;

 private:
  mutable std::mutex mutex_;
  std::vector<Action> waiting_;
  CommandCounts counts_{};
  MessagePace pace_;
};
