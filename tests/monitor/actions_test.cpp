// Home Assistant's buttons: a real mosquitto with an ACL, the button's
// command topic as discovery gave it, pressed by two users.

#include <nlohmann/json.hpp>

#include "meter/register_map.h"
#include "tests/monitor/monitor_support.h"

// "Set clock" sets the meter's clock on Home Assistant's user's PRESS and
// publishes the outcome; a press the ACL refuses, another payload, meter or
// command changes nothing, is counted and said once a minute; a clock within a
// second is not written.
TEST(MonitorActions, ButtonsTakeOnlyTheirOwnPressFromTheUserTheAclLets) {
  TempCurrentDirectory cwd;
  const int port = FreePort(), metricsPort = FreePort();
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
                 "--mqtt-password-file", "password", "--mqtt-commands", "--json", "--prometheus",
                 "127.0.0.1:" + std::to_string(metricsPort)},
                "monitor");
  const auto config = [&](const std::string& topic) {
    return nlohmann::json::parse(subscriber.Last("homeassistant/" + topic + "/config"), nullptr, false);
  };
  ASSERT_TRUE(WaitUntil([&] { return config("sensor/act_3/clock_drift").is_object(); })) << ReadWholeFile("monitor.err");
  const struct { const char* topic; const char* key; const char* value; } discovery[] = {
      {"button/act_3/set_clock", "command_topic", "pylax/act/command/3/set-clock"},
      {"button/act_3/set_clock", "payload_press", "PRESS"},
      {"button/act_3/set_clock", "entity_category", "config"},
      {"sensor/act_3/last_action", "entity_category", "diagnostic"},
      {"sensor/act_3/clock_drift", "entity_category", "diagnostic"},
      {"sensor/act_3/clock_drift", "unit_of_measurement", "s"},
  };
  for (const auto& d : discovery) EXPECT_EQ(config(d.topic).value(d.key, ""), d.value) << d.topic << " " << d.key;
  const auto clockWrites = [&] {
    const std::vector<std::string> events = sim.TakeEvents(0, 0);
    return std::count_if(events.begin(), events.end(), [](const std::string& e) { return e.rfind("write 3 15", 0) == 0; });
  };
  const auto drift = [&] {
    const auto state = nlohmann::json::parse(subscriber.Last("pylax/act_3/state"), nullptr, false);
    return state.is_object() && state.contains("clock-drift") ? state["clock-drift"].get<long>() : 1L << 40;
  };
  const std::string topic = "pylax/act/command/3/set-clock";
  const struct {
    const char* user;
    std::string topic, payload;
    long writes;
    const char* result;  // the last action's, or none for a press that runs nothing
  } presses[] = {
      {"intruder", topic, "PRESS", 0, nullptr},
      {"ha", topic, "", 0, nullptr},
      {"ha", topic, "HELLO", 0, nullptr},
      {"ha", topic, "press", 0, nullptr},
      {"ha", "pylax/act/command/9/set-clock", "PRESS", 0, nullptr},
      {"ha", "pylax/act/command/3/reboot", "PRESS", 0, nullptr},
      {"ha", topic, "PRESS", 3, "set"},
      {"ha", topic, "PRESS", 0, "nothing written: the clock is within a second"},
  };
  for (const auto& p : presses) {
    ASSERT_TRUE(WaitUntil([&] { return drift() < (1L << 40); }));
    const std::string before = subscriber.Last("pylax/act_3/action");
    std::vector<std::string> pub{"-h", "127.0.0.1", "-p", std::to_string(port), "-u", p.user, "-P", "pw", "-q", "1",
                                 "-t", p.topic, "-m", p.payload};
    if (p.payload.empty()) pub.erase(pub.end() - 2, pub.end()), pub.push_back("-n");  // an empty payload
    EXPECT_EQ(RunToEnd(MOSQUITTO_PUB_PATH, pub, "press"), 0);
    if (p.result != nullptr) {
      ASSERT_TRUE(WaitUntil([&] { return subscriber.Last("pylax/act_3/action") != before; }))
          << ReadWholeFile("monitor.err");
      EXPECT_EQ(nlohmann::json::parse(subscriber.Last("pylax/act_3/action"))["result"], p.result);
      ASSERT_TRUE(WaitUntil([&] { return std::labs(drift()) <= 1; })) << subscriber.Last("pylax/act_3/state");
    } else {
      const int polls = Lines("monitor.out", R"("meter":"act_3")");
      ASSERT_TRUE(WaitUntil([&] { return Lines("monitor.out", R"("meter":"act_3")") >= polls + 3; }));
    }
    EXPECT_EQ(clockWrites(), p.writes) << p.user << " " << p.topic << " " << p.payload;
  }
  const std::string counted = "pylax_commands_total{outcome=";
  ASSERT_TRUE(WaitUntil([&] { return Scrape(metricsPort)[counted + R"("taken"})"] == 2; }));
  const auto metrics = Scrape(metricsPort);
  for (const auto& [outcome, times] : std::map<std::string, int>{{"ignored", 3}, {"malformed", 1}, {"unknown_meter", 1}})
    EXPECT_EQ(metrics.at(counted + "\"" + outcome + "\"}"), times) << outcome;
  EXPECT_EQ(Lines("monitor.err", "pylax/act/command") + Lines("monitor.err", "cannot do"), 1)
      << ReadWholeFile("monitor.err");
  EXPECT_EQ(Lines("monitor.err", "MQTT: pylax/act/command/3/set-clock ignored: its payload is not PRESS"), 1);
  EXPECT_EQ(monitor.End(SIGTERM), 0);
}

// A clock of all 255 is "invalid" in the state and /metrics, not 2255 with a
// drift of centuries; --keep-clock sets it and says it was invalid.
TEST(MonitorActions, AnInvalidClockIsNoDateAndKeepClockSetsIt) {
  TempCurrentDirectory cwd;
  const int metricsPort = FreePort();
  SimProcess sim({"--meter", "3:QM4C"});
  ASSERT_EQ(sim.Command("clock 3 invalid"), "ok");
  Child monitor(PYLAXCTL_PATH,
                {"--port", sim.LinkPath(), "monitor", "--bus-id", "inv", "--start", "3", "--end", "3", "--interval", "2",
                 "--keep-clock", "5", "--json", "--prometheus", "127.0.0.1:" + std::to_string(metricsPort)},
                "monitor");
  ASSERT_TRUE(WaitUntil([&] { return Lines("monitor.out", R"("meter":"inv_3")") > 0; })) << ReadWholeFile("monitor.err");
  const auto first = nlohmann::json::parse(SplitLines(ReadWholeFile("monitor.out")).front());
  EXPECT_EQ(first["CLOCK"], "invalid");
  EXPECT_FALSE(first.contains("clock-drift")) << first;
  EXPECT_EQ(Scrape(metricsPort).at(R"(pylax_clock_valid{meter="inv_3",model="QM4C"})"), 0);
  ASSERT_TRUE(WaitUntil([&] { return Lines("monitor.out", R"("clock-set")") > 0; }, 30)) << ReadWholeFile("monitor.err");
  EXPECT_EQ(Lines("monitor.err", "pylaxctl: meter inv_3: clock invalid; set from this computer's clock, now off by"), 1)
      << ReadWholeFile("monitor.err");
  EXPECT_EQ(Lines("monitor.out", R"("before":"invalid")"), Lines("monitor.out", R"("clock-set")"));
  EXPECT_EQ(monitor.End(SIGTERM), 0);
}
