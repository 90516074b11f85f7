#include "monitor/message_pace.h"

namespace {
// Beyond this many sources at once (a spread of addresses) they share one
// window, so the map stays bounded whoever calls.
constexpr size_t kMaxSources = 256;
constexpr const char* kOtherSources = "(other sources)";
}  // namespace

std::string GroupedCount(long n) {
  std::string digits = std::to_string(n < 0 ? -n : n);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<size_t>(at), ",");
  return n < 0 ? "-" + digits : digits;
}

MessagePace::MessagePace(SayFunction say, Clock::duration window) : say_(std::move(say)), window_(window) {}

std::vector<std::string> MessagePace::TakeEnded(Clock::time_point now) {
  std::vector<std::string> lines;
  for (auto it = windows_.begin(); it != windows_.end();) {
    if (now - it->second.began < window_) {
      ++it;
      continue;
    }
    if (it->second.held > 0)
      lines.push_back(it->second.last + " \xE2\x80\xA6 and " + GroupedCount(it->second.held) +
                      " more in the last minute");
    it = windows_.erase(it);
  }
  return lines;
}

void MessagePace::Say(const std::string& source, const std::string& message, Clock::time_point now) {
  std::vector<std::string> lines;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    lines = TakeEnded(now);
    const bool known = windows_.count(source) != 0;
    const std::string& key = known || windows_.size() < kMaxSources ? source : kOtherSources;
    const auto [it, fresh] = windows_.try_emplace(key, Window{now, {}, 0});
    if (fresh) {
      lines.push_back(message);
    } else {
      it->second.last = message;
      ++it->second.held;
    }
  }
  // Outside the lock: say_ may block on stderr.
  for (const std::string& line : lines) say_(line);
}

void MessagePace::Flush(Clock::time_point now) {
  std::vector<std::string> lines;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    lines = TakeEnded(now);
  }
  for (const std::string& line : lines) say_(line);
}
