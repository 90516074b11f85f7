// The pace of what an outside party can cause: once per source and minute,
// the rest counted into one line when the minute ends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/message_pace.h"

namespace {
struct Event {
  int second;          // when, from the start
  const char* source;  // nullptr: a Flush, no message
  const char* message;
};

struct PaceCase {
  const char* name;
  std::vector<Event> events;
  std::vector<std::string> said;
};

TEST(MessagePace, SaysOncePerSourceAndMinuteAndCountsTheRest) {
  const std::vector<PaceCase> cases = {
      {"one alone", {{0, "a", "refused a"}, {61, nullptr, nullptr}}, {"refused a"}},
      {"held ones counted at the minute's end",
       {{0, "a", "one"}, {1, "a", "two"}, {59, "a", "three"}, {59, nullptr, nullptr}, {60, nullptr, nullptr}},
       {"one", "three \xE2\x80\xA6 and 2 more in the last minute"}},
      {"each source its own minute",
       {{0, "a", "a1"}, {5, "b", "b1"}, {6, "a", "a2"}, {7, "b", "b2"}, {60, nullptr, nullptr}, {65, nullptr, nullptr}},
       {"a1", "b1", "a2 \xE2\x80\xA6 and 1 more in the last minute", "b2 \xE2\x80\xA6 and 1 more in the last minute"}},
      {"a message after the minute sums up first, then is said",
       {{0, "a", "x"}, {30, "a", "y"}, {60, "a", "z"}, {61, "a", "w"}},
       {"x", "y \xE2\x80\xA6 and 1 more in the last minute", "z"}},
  };
  for (const PaceCase& c : cases) {
    std::vector<std::string> said;
    MessagePace pace([&](const std::string& line) { said.push_back(line); });
    const MessagePace::Clock::time_point start{};
    for (const Event& e : c.events) {
      const auto at = start + std::chrono::seconds(e.second);
      if (e.source) pace.Say(e.source, e.message, at);
      else pace.Flush(at);
    }
    EXPECT_EQ(said, c.said) << c.name;
  }
}

TEST(MessagePace, GroupsThousands) {
  const std::vector<std::pair<long, std::string>> cases = {
      {0, "0"}, {999, "999"}, {1000, "1,000"}, {1998, "1,998"}, {1234567, "1,234,567"}};
  for (const auto& [n, text] : cases) EXPECT_EQ(GroupedCount(n), text) << n;
}
}  // namespace
