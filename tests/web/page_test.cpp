// The monitor's page in a real browser: pylaxctl monitor against qm4sim,
// the page opened by Debian's chromium, headless, through its DevTools
// protocol. One browser session for every check: browsers are slow to start.

#include "meter/register_map.h"
#include "tests/monitor/monitor_support.h"
#include "tests/support/chromium.h"

namespace {
using nlohmann::json;

// Text of an element, "" when there is none.
std::string TextOf(const std::string& selector) {
  return "(document.querySelector(" + json(selector).dump() + ") || {textContent: ''}).textContent";
}

class Page : public ::testing::Test {
 protected:
  bool WaitFor(const std::string& session, const std::string& condition) {
    return WaitUntil([&] { return browser_.Evaluate(session, condition) == true; }, 30);
  }
  void Navigate(const std::string& session, const std::string& path) {
    browser_.Call("Page.navigate", {{"url", "http://127.0.0.1:" + std::to_string(port_) + path}}, session);
  }
  TempCurrentDirectory cwd_;
  int port_ = FreePort();
  Chromium browser_{CHROMIUM_PATH};
};
}  // namespace

// Three simulated meters: the served values on both pages with the
// console's texts (0.0625 shows as the console's "0.062", where a script's
// toFixed would say "0.063"); a change in the simulator on the page within
// two rounds, without a reload; a silent meter offline, its values marked
// stale; an identification text of markup shown as those characters, with
// nothing run; nothing the page does refused by its own policy.
TEST_F(Page, ShowsTheServedValuesLiveOfflineAndMarkupAsText) {
  // A text that names no model is no QM4 to the monitor: listed, not polled.
  const std::string markup = "QM4B <img src=x onerror=alert(1)>";
  SimProcess sim({"--static", "--subinterval", "60", "--prefill", "100", "--meter", "3:QM4C", "--meter", "5:QM4B",
                  "--meter", "7:QM4A", "--meter", "9:QM4B"});
  for (const std::string& command : std::vector<std::string>{"setfloat 3 258 1234.5", "setfloat 3 260 101.25", "setfloat 3 266 0.0625", "setfloat 3 270 231.5",
        "setfloat 3 272 11.75", "setfloat 3 276 2.25", "setfloat 3 290 401.25", "setfloat 7 258 42.5",
        "setfloat 7 260 42.75", "setfloat 9 266 -0.5", "setfloat 9 272 17.5", "idtext 9 " + markup,
                                                              "idtext 5 <img src=x onerror=alert(2)>"})
    ASSERT_EQ(sim.Command(command), "ok") << command;
  Child monitor(PYLAXCTL_PATH,
                {"--port", sim.LinkPath(), "monitor", "--bus-id", "web", "--start", "3", "--end", "9", "--interval",
                 "0.5", "--http", "127.0.0.1:" + std::to_string(port_), "--prometheus", std::to_string(port_),
                 "--archive", "sqlite:archive.sqlite"},
                "monitor");
  const std::string page = browser_.OpenPage();
  ASSERT_FALSE(page.empty()) << ReadWholeFile(browser_.LogPath());
  ASSERT_TRUE(WaitUntil([&] { return httplib::Client("127.0.0.1", port_).Get("/"); })) << ReadWholeFile("monitor.err");

  Navigate(page, "/");
  ASSERT_TRUE(WaitFor(page, TextOf("#meter-web_9 td:nth-child(10)") + " === '17.500' && " +
                                TextOf("#meter-web_7 td:nth-child(7)") + " === '42.750'"))
      << ReadWholeFile("monitor.err");
  const struct {
    const char* cell;
    std::string text;
  } cells[] = {
      {"#meter-web_3 td:nth-child(1)", "web_3"},   {"#meter-web_3 td:nth-child(2)", "QM4C"},
      {"#meter-web_3 td:nth-child(3)", "Orvant QM4C Power Meter"},
      {"#meter-web_3 td:nth-child(4)", "online"},  {"#meter-web_3 td:nth-child(6)", "1234.500"},
      {"#meter-web_3 td:nth-child(7)", "101.250"}, {"#meter-web_3 td:nth-child(8)", "0.062"},
      {"#meter-web_3 td:nth-child(9)", "231.500"}, {"#meter-web_3 td:nth-child(10)", "11.750"},
      {"#meter-web_7 td:nth-child(2)", "QM4A"},    {"#meter-web_7 td:nth-child(6)", "42.500"},
      {"#meter-web_7 td:nth-child(8)", ""},        {"#meter-web_9 td:nth-child(3)", markup},
      {"#meter-web_9 td:nth-child(8)", "-0.500"},  {"#bus dd:nth-of-type(3)", "length"},
      {"#foreign li", "05 - <img src=x onerror=alert(2)>"},
  };
  for (const auto& c : cells) EXPECT_EQ(browser_.Evaluate(page, TextOf(c.cell)), c.text) << c.cell;
  EXPECT_EQ(browser_.Evaluate(page, "document.querySelectorAll('img').length"), 0);
  EXPECT_EQ(browser_.Evaluate(page, "document.querySelectorAll('#meters tbody tr').length"), 3);
  EXPECT_TRUE(std::regex_match(browser_.Evaluate(page, TextOf("#meter-web_3 td:nth-child(5)")).get<std::string>(),
                               std::regex(R"(\d s ago)")));

  // The page notes, at the moment the cell changes, how many rounds it has
  // heard of: a test that polls the page may itself be late.
  browser_.Evaluate(page, "window.roundsAtChange = null; new MutationObserver(() => {"
                          "  if (window.roundsAtChange === null && " + TextOf("#meter-web_3 td:nth-child(7)") +
                          " === '12.500') window.roundsAtChange = Number(" + TextOf("#bus dd:nth-of-type(5)") + ");"
                          "}).observe(document.getElementById('meters'), {subtree: true, childList: true, "
                          "characterData: true}); true");
  const int roundsBefore = std::stoi(browser_.Evaluate(page, TextOf("#bus dd:nth-of-type(5)")).get<std::string>());
  ASSERT_EQ(sim.Command("setfloat 3 260 12.5"), "ok");
  ASSERT_TRUE(WaitFor(page, "window.roundsAtChange !== null"));
  EXPECT_LE(browser_.Evaluate(page, "window.roundsAtChange").get<int>() - roundsBefore, 2);

  ASSERT_EQ(sim.Command("fault 7 silent"), "ok");
  ASSERT_TRUE(WaitFor(page, TextOf("#meter-web_7 td:nth-child(4)") + " === 'offline'"));
  EXPECT_EQ(browser_.Evaluate(page, "document.getElementById('meter-web_7').className"), "stale");
  EXPECT_EQ(browser_.Evaluate(page, TextOf("#meter-web_7 td:nth-child(5)")).get<std::string>().rfind("stale: read ", 0),
            0u);
  EXPECT_EQ(browser_.Evaluate(page, TextOf("#meter-web_7 td:nth-child(7)")), "42.750");  // kept, marked stale
  EXPECT_EQ(browser_.Evaluate(page, "document.getElementById('meter-web_3').className"), "");
  const auto silent = httplib::Client("127.0.0.1", port_).Get("/api/meters/web_7");
  ASSERT_TRUE(silent);
  const json api = json::parse(silent->body);
  EXPECT_EQ(api["last_poll_ok"], false);
  EXPECT_EQ(api["failure"], "Err #1, Timeout Waiting For Response");
  EXPECT_EQ(api["KW"], 42.75);

  // A click on the row (its identification, not the link) opens the meter's page.
  const json box = browser_.Evaluate(page, "(() => { const r = document.querySelector('#meter-web_3 td:nth-child(3)')"
                                           ".getBoundingClientRect(); return [r.x + r.width / 2, r.y + r.height / 2]; })()");
  ASSERT_TRUE(box.is_array());
  for (const char* type : {"mousePressed", "mouseReleased"})
    browser_.Call("Input.dispatchMouseEvent",
                  {{"type", type}, {"x", box[0]}, {"y", box[1]}, {"button", "left"}, {"clickCount", 1}}, page);
  ASSERT_TRUE(WaitFor(page, "location.pathname === '/meter/web_3'"));
  ASSERT_TRUE(WaitFor(page, TextOf("#reading-KW") + " === '12.500' && " + TextOf("#archive td:nth-child(3)") +
                                ".startsWith('run 1: 100 entries')"));
  const std::pair<const char*, const char*> readings[] = {
      {"#reading-KWH", "1234.500"}, {"#reading-KW-B", "2.250"},  {"#reading-PF", "0.062"},
      {"#reading-V-AC", "401.250"}, {"#reading-AMPS-AVG", "11.750"}, {"#title", "web_3 - QM4C"},
      {"#log dd:nth-of-type(2)", "60"}, {"#log dd:nth-of-type(5)", "NOT FULL"},
      {"#archive td:nth-child(1)", "sqlite:archive.sqlite"},
  };
  for (const auto& [cell, text] : readings) EXPECT_EQ(browser_.Evaluate(page, TextOf(cell)), text) << cell;
  // The chart: from the history the kW before the page was opened, and the
  // kW polled since.
  EXPECT_TRUE(WaitFor(page, "Chart.getChart('kw-chart').data.datasets[0].data.some((p) => p.y === 101.25)"));
  ASSERT_EQ(sim.Command("setfloat 3 260 7.25"), "ok");
  EXPECT_TRUE(WaitFor(page, TextOf("#reading-KW") + " === '7.250'"));
  EXPECT_TRUE(WaitFor(page, "Chart.getChart('kw-chart').data.datasets[0].data.some((p) => p.y === 7.25)"));
  // docs/web.png (scripts/screenshots.sh): the values let go, a few
  // minutes of them on the chart.
  if (const char* shot = std::getenv("PYLAX_WEB_SCREENSHOT")) {
    for (const char* command : {"unset 3 all", "static 3 off"}) EXPECT_EQ(sim.Command(command), "ok");
    std::this_thread::sleep_for(std::chrono::seconds(std::atoi(std::getenv("PYLAX_WEB_SCREENSHOT_SECONDS") ?: "150")));
    browser_.Evaluate(page, "const span = document.getElementById('span'); span.value = '5';"
                            "span.dispatchEvent(new Event('change')); true");
    const json picture = browser_.Call("Page.captureScreenshot", {{"format", "png"}}, page);
    std::ofstream(shot) << picture.value("data", "");
  }

  // /metrics beside the page, on the same port.
  const auto metrics = httplib::Client("127.0.0.1", port_).Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_NE(metrics->body.find(R"(pylax_up{meter="web_3",model="QM4C"} 1)"), std::string::npos);

  for (const json& event : browser_.Events()) {
    const std::string method = event.value("method", "");
    EXPECT_NE(method, "Page.javascriptDialogOpening") << event.dump();
    EXPECT_NE(method, "Runtime.exceptionThrown") << event.dump();
    if (method == "Log.entryAdded" || method == "Runtime.consoleAPICalled") {
      EXPECT_EQ(event.dump().find("Content Security Policy"), std::string::npos) << event.dump();
    }
  }
  EXPECT_EQ(monitor.End(SIGTERM), 0);
}

// With a password, the meter page's "Set clock" sets the meter's clock and
// shows the outcome; a POST from another origin, or without the page's
// token, is refused and sets nothing, and so is a second action of the
// meter within 10 s (429). Without a password the page offers
// no action and a POST is refused.
TEST_F(Page, ActsOnlyWithAPasswordAndFromItsOwnPage) {
  SimProcess sim({"--meter", "3:QM4C"});
  ASSERT_EQ(sim.Command("clock 3 2030 01 01 00 00 00"), "ok");
  std::ofstream("password") << "s3cret\n";
  const std::vector<std::string> args{"--port", sim.LinkPath(), "monitor", "--bus-id", "web", "--start", "3", "--end",
                                      "3", "--interval", "0.3", "--http", "127.0.0.1:" + std::to_string(port_)};
  const httplib::Headers auth{{"Authorization", "Basic cHlsYXg6czNjcmV0"}};  // pylax:s3cret
  const std::string self = "http://127.0.0.1:" + std::to_string(port_);
  httplib::Client client("127.0.0.1", port_);
  const auto polls = [&] {
    const auto answer = client.Get("/api/meters/web_3", auth);
    return answer && answer->status == 200 ? json::parse(answer->body)["polls"].get<int>() : 0;
  };
  const auto clockWrites = [&] {
    const std::vector<std::string> events = sim.TakeEvents(0, 0);
    return std::count_if(events.begin(), events.end(), [](const std::string& e) { return e.rfind("write 3 15", 0) == 0; });
  };
  const std::string page = browser_.OpenPage();
  ASSERT_FALSE(page.empty()) << ReadWholeFile(browser_.LogPath());
  browser_.Call("Network.enable", json::object(), page);
  browser_.Call("Network.setExtraHTTPHeaders", {{"headers", {{"Authorization", "Basic cHlsYXg6czNjcmV0"}}}}, page);
  {
    std::vector<std::string> withPassword = args;
    withPassword.insert(withPassword.end(), {"--http-password-file", "password"});
    Child monitor(PYLAXCTL_PATH, withPassword, "monitor");
    ASSERT_TRUE(WaitUntil([&] { return polls() > 0; })) << ReadWholeFile("monitor.err");
    const std::string token = json::parse(client.Get("/api/actions", auth)->body)["token"];
    const auto post = [&](const std::string& origin, const std::string& withToken) {
      httplib::Headers headers = auth;
      headers.emplace("Origin", origin);
      if (!withToken.empty()) headers.emplace("X-Pylax-Token", withToken);
      return client.Post("/api/meters/web_3/set-clock", headers, "", "text/plain")->status;
    };
    EXPECT_EQ(post("http://evil.example", token), 403);
    EXPECT_EQ(post(self, ""), 403);
    const int seen = polls();
    ASSERT_TRUE(WaitUntil([&] { return polls() >= seen + 3; }));
    EXPECT_EQ(clockWrites(), 0);
    Navigate(page, "/meter/web_3");
    ASSERT_TRUE(WaitFor(page, "!document.getElementById('actions').hidden"));
    browser_.Evaluate(page, "document.querySelector('[data-action=set-clock]').click(); true");
    ASSERT_TRUE(WaitFor(page, TextOf("#action-result") + ".endsWith(': set')")) << ReadWholeFile("monitor.err");
    EXPECT_EQ(clockWrites(), 3);
    int clock[3];
    for (int i = 0; i < 3; ++i) clock[i] = std::stoi(sim.Command("get 3 " + std::to_string(154 + i)).substr(3));
    EXPECT_LE(std::labs(MeterTimeValue(clock[0], clock[1], clock[2]) - std::time(nullptr)), 2);
    // A second action within 10 s of the first (the click's, a moment ago).
    EXPECT_EQ(post(self, token), 429);
    const int now = polls();
    ASSERT_TRUE(WaitUntil([&] { return polls() >= now + 3; }));
    EXPECT_EQ(clockWrites(), 0);
    EXPECT_EQ(Lines("monitor.err", "web_3 from 127.0.0.1 refused: one action a meter every 10 s"), 1);
    EXPECT_EQ(monitor.End(SIGTERM), 0);
  }
  Child monitor(PYLAXCTL_PATH, args, "monitor");
  ASSERT_TRUE(WaitUntil([&] { return polls() > 0; })) << ReadWholeFile("monitor.err");
  EXPECT_EQ(client.Get("/api/actions")->status, 404);
  EXPECT_EQ(client.Post("/api/meters/web_3/set-clock", {{"Origin", self}}, "", "text/plain")->status, 405);
  Navigate(page, "/meter/web_3");
  ASSERT_TRUE(WaitFor(page, TextOf("#title") + " === 'web_3 - QM4C'"));
  EXPECT_EQ(browser_.Evaluate(page, "document.getElementById('actions').hidden"), true);
  EXPECT_EQ(clockWrites(), 0);
  EXPECT_EQ(monitor.End(SIGTERM), 0);
}

namespace {
// A local day's text, days from today.
std::string LocalDay(int days, bool monthStart = false, int months = 0) {
  const time_t now = std::time(nullptr);
  struct tm day {};
  localtime_r(&now, &day);
  day.tm_mday = monthStart ? 1 : day.tm_mday + days;
  day.tm_mon += months;
  day.tm_hour = 12;
  day.tm_isdst = -1;
  const time_t moved = mktime(&day);
  localtime_r(&moved, &day);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &day);
  return text;
}

json Report(const std::string& by, const std::string& from, const std::string& to) {
  Child tool(PYLAXCTL_PATH, {"archive", "report", "--archive", "sqlite:archive.sqlite", "--by", by, "--from", from, "--to", to,
                             "--json"}, "report");
  EXPECT_EQ(tool.End(0, 60), 0) << ReadWholeFile("report.err");
  return json::parse(ReadWholeFile("report.out"), nullptr, false);
}

std::string Sum(const json& report, size_t period) {
  double sum = 0;
  for (const json& meter : report) sum += meter["periods"][period]["kwh"].get<double>();
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", sum);
  return text;
}
}  // namespace

// The bus page's consumption of a QM4C's 31-day log and a QM4A's polled
// readings: bars by day and month and the bus's table, each the number
// `pylaxctl archive report` gives for the same archive.
TEST_F(Page, ShowsEachMetersConsumptionAsTheReportHasIt) {
  SimProcess sim({"--meter", "3:QM4C", "--meter", "7:QM4A"});
  for (const char* command : {"energy 3 300000", "prefill 3 3000", "static 7 on", "energy 7 500"})
    ASSERT_EQ(sim.Command(command), "ok") << command;
  Child monitor(PYLAXCTL_PATH,
                {"--port", sim.LinkPath(), "--framing", "length", "monitor", "--bus-id", "use", "--start", "3", "--end",
                 "7", "--interval", "0.3", "--http", "127.0.0.1:" + std::to_string(port_), "--archive",
                 "sqlite:archive.sqlite", "--archive-readings", "0.01"},
                "monitor");
  const auto consumption = [&] {
    const auto got = httplib::Client("127.0.0.1", port_).Get("/api/consumption");
    const json use = got && got->status == 200 ? json::parse(got->body, nullptr, false) : json();
    return use.is_object() ? use : json::object();
  };
  ASSERT_TRUE(WaitUntil([&] { return consumption().value("meters", json::array()).size() == 2; }, 120))
      << ReadWholeFile("monitor.err");
  ASSERT_EQ(sim.Command("energy 7 512.5"), "ok");
  ASSERT_TRUE(WaitUntil([&] { return consumption().value(json::json_pointer("/meters/1/months/12"), "") == "12.500"; }, 30));
  ASSERT_TRUE(WaitUntil([&] { return Lines("monitor.err", "use_3 -> sqlite:archive.sqlite: 3000 new entries") == 1; }));

  const std::string page = browser_.OpenPage();
  ASSERT_FALSE(page.empty()) << ReadWholeFile(browser_.LogPath());
  Navigate(page, "/");
  ASSERT_TRUE(WaitFor(page, TextOf("#use-this_month") + " !== '' && !!document.getElementById('months-use_7')"));
  const json days = Report("day", LocalDay(-30), LocalDay(1));
  const json months = Report("month", LocalDay(0, true, -12), LocalDay(0, true, 1));
  ASSERT_EQ(days.size(), 2u);
  for (const auto& [chart, report, count] : {std::tuple{"days-", days, 31u}, std::tuple{"months-", months, 13u}})
    for (const json& meter : report) {
      const std::string canvas = std::string("Chart.getChart(document.getElementById('") + chart + meter["meter"].get<std::string>() + "'))";
      json labels = json::array(), kwh = json::array();
      for (const json& period : meter["periods"]) labels.push_back(period["period"]), kwh.push_back(period["kwh"]);
      ASSERT_EQ(kwh.size(), count);
      EXPECT_EQ(browser_.Evaluate(page, canvas + ".data.labels"), labels) << chart << meter["meter"];
      EXPECT_EQ(browser_.Evaluate(page, canvas + ".data.datasets[0].data"), kwh) << chart << meter["meter"];
    }
  EXPECT_NE(days[0]["periods"][29]["kwh"], 0.0);  // the QM4C's log reaches yesterday
  EXPECT_EQ(months[1]["periods"][12]["kwh"], 12.5);
  const std::pair<const char*, std::string> table[] = {{"#use-today", Sum(days, 30)},
                                                       {"#use-yesterday", Sum(days, 29)},
                                                       {"#use-this_month", Sum(months, 12)},
                                                       {"#use-last_month", Sum(months, 11)}};
  for (const auto& [cell, text] : table) EXPECT_EQ(browser_.Evaluate(page, TextOf(cell)), text) << cell;
}
