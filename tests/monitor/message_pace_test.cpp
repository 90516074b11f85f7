// The pace of what an outside party can cause: once per source and minute,
// the rest counted into one line when the minute ends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/message_pace.h"

TEST(MessagePace, SaysOncePerSourceAndMinuteAndCountsTheRest) {
  struct Event {
    int second, times;   // when, from the start; how often
    const char* source;  // nullptr: a Flush
  };
  const struct {
    std::vector<Event> events;
    std::vector<std::string> said;
  } cases[] = {
      {{{0, 1, "a"}, {61, 1, nullptr}}, {"a0"}},
      {{{0, 1, "a"}, {1, 1, "a"}, {59, 1, "a"}, {59, 1, nullptr}, {60, 1, nullptr}},
       {"a0", "a59 \xE2\x80\xA6 and 2 more in the last minute"}},
      {{{0, 1, "a"}, {5, 1, "b"}, {6, 1, "a"}, {7, 1, "b"}, {60, 1, nullptr}, {65, 1, nullptr}},
       {"a0", "b5", "a6 \xE2\x80\xA6 and 1 more in the last minute", "b7 \xE2\x80\xA6 and 1 more in the last minute"}},
      {{{0, 2000, "a"}, {61, 1, "a"}}, {"a0", "a0 \xE2\x80\xA6 and 1,999 more in the last minute", "a61"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> said;
    MessagePace pace([&](const std::string& line) { said.push_back(line); });
    for (const Event& e : c.events)
      for (int n = 0; n < e.times; ++n) {
        const auto at = MessagePace::Clock::time_point{} + std::chrono::seconds(e.second);
        if (e.source) pace.Say(e.source, e.source + std::to_string(e.second), at);
        else pace.Flush(at);
      }
    EXPECT_EQ(said, c.said) << c.said.front();
  }
}
