#include "monitor/actions.h"

#include <algorithm>
#include <utility>

#include "archive/archive.h"
#include "bus/poll_json.h"
#include "util/utc_text.h"

namespace {
constexpr ActionKind kKinds[] = {ActionKind::SetClock, ActionKind::SyncLog};
}

const char* ActionName(ActionKind kind) { return kind == ActionKind::SetClock ? "set-clock" : "sync-log"; }

std::optional<ActionKind> ActionOfName(std::string_view name) {
  for (const ActionKind kind : kKinds)
    if (name == ActionName(kind)) return kind;
  return std::nullopt;
}

std::string ActionOutcome::Json() const {
  return JsonObject({{"action", JsonString(ActionName(kind))},
                     {"time", JsonString(UtcText(when))},
                     {"ok", ok ? "true" : "false"},
                     {"result", JsonString(result)}});
}

const char* CommandOutcomeName(CommandOutcome outcome) {
  static const char* const kNames[kCommandOutcomes] = {"taken", "ignored", "malformed", "unknown_meter", "too_soon"};
  return kNames[static_cast<int>(outcome)];
}

void ActionQueue::Push(const Action& action) {
  std::lock_guard<std::mutex> hold(mutex_);
  ++counts_[static_cast<int>(CommandOutcome::Taken)];
  if (std::find(waiting_.begin(), waiting_.end(), action) == waiting_.end()) waiting_.push_back(action);
}

void ActionQueue::Refuse(CommandOutcome why, const std::string& source, const std::string& message) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    ++counts_[static_cast<int>(why)];
  }
  pace_.Say(source, message);
}

CommandCounts ActionQueue::Counts() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return counts_;
}

std::vector<Action> ActionQueue::TakeAll() {
  std::lock_guard<std::mutex> hold(mutex_);
  return std::exchange(waiting_, {});
}
