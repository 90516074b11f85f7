// Home Assistant's buttons: a real mosquitto with an ACL, the button's
// command topic as discovery gave it, pressed by two users.

#include <nlohmann/json.hpp>

#include "meter/register_map.h"
#include "tests/monitor/monitor_support.h"

// The "Set clock" button sets the meter's clock when Home Assistant's user
// presses it, and the outcome is published; the same press from a user the
// ACL refuses changes nothing.
TEST(MonitorActions, SetClockButtonPressedOnlyByTheUserTheAclLets) {
  TempCurrentDirectory cwd;
  const int port = FreePort();
  std::ofstream("acl") << "user pylax\ntopic readwrite pylax/#\ntopic readwrite homeassistant/#\n"
                       << "user ha\ntopic write pylax/+/command/#\n";
  Broker broker(port, "acl_file " + Broker::Here("acl") + "\n", {"ha", "intruder"});
  Subscriber subscriber(port);
  SimProcess sim({"--meter", "3:QM4C"});
  ASSERT_EQ(sim.Command("clock 3 2030 01 01 00 00 00"), "ok");
  std::ofstream("password") << "s3cret\n";
  Child monitor(PYLAXCTL_PATH,
                {"--port", sim.LinkPath(), "monitor", "--bus-id", "act", "--start", "3", "--end", "3", "--interval",
                 "0.3", "--mqtt", "mqtt://127.0.0.1:" + std::to_string(port), "--mqtt-user", "pylax",
                 "--mqtt-password-file", "password", "--mqtt-commands", "--json"},
                "monitor");
  std::string topic;
  ASSERT_TRUE(WaitUntil([&] {
    const auto config = nlohmann::json::parse(subscriber.Last("homeassistant/button/act_3/set_clock/config"), nullptr, false);
    topic = config.is_object() ? config.value("command_topic", "") : "";
    return !topic.empty();
  })) << ReadWholeFile("monitor.err");
  EXPECT_EQ(topic, "pylax/act/command/3/set-clock");
  const auto press = [&](const char* user) {
    RunToEnd(MOSQUITTO_PUB_PATH, {"-h", "127.0.0.1", "-p", std::to_string(port), "-u", user, "-P", "pw", "-q", "1",
                                  "-t", topic, "-m", "PRESS"}, "press");
  };
  const auto clockWrites = [&] {
    const std::vector<std::string> events = sim.TakeEvents(0, 0);
    return std::count_if(events.begin(), events.end(), [](const std::string& e) { return e.rfind("write 3 15", 0) == 0; });
  };
  press("intruder");
  const int polls = Lines("monitor.out", R"("meter":"act_3")");
  ASSERT_TRUE(WaitUntil([&] { return Lines("monitor.out", R"("meter":"act_3")") >= polls + 3; }));
  EXPECT_EQ(clockWrites(), 0);
  press("ha");
  ASSERT_TRUE(WaitUntil([&] { return !subscriber.Last("pylax/act_3/action").empty(); })) << ReadWholeFile("monitor.err");
  const auto outcome = nlohmann::json::parse(subscriber.Last("pylax/act_3/action"));
  EXPECT_EQ(outcome["action"], "set-clock");
  EXPECT_EQ(outcome["result"], "set");
  EXPECT_EQ(clockWrites(), 3);
  int clock[3];
  for (int i = 0; i < 3; ++i) clock[i] = std::stoi(sim.Command("get 3 " + std::to_string(reg::kClock + i)).substr(3));
  EXPECT_LE(std::labs(MeterTimeValue(clock[0], clock[1], clock[2]) - std::time(nullptr)), 2);
  EXPECT_EQ(monitor.End(SIGTERM), 0);
}
