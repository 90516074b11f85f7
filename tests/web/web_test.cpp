// The page's publisher in this process, served by a real listener to a real
// HTTP client: what each request gets, the API's values and keys, basic
// authentication, the event stream, and the history ring's bounds.

#include <httplib.h>

#include <nlohmann/json.hpp>

#include "modbus/model.h"
#include "monitor/http_listener.h"
#include "tests/monitor/monitor_support.h"
#include "web/web_publisher.h"

namespace {
using nlohmann::json;

const Meter kQm4c{3, ModelQM4C, "Orvant QM4C Power Meter", "hall"};
const Meter kQm4a{7, ModelQM4A, "Orvant QM4A Power Meter", "hall"};

// The page of web on a free loopback port, with /metrics beside it as a
// shared listener has it: the port.
int Serve(WebPublisher& web, HttpListener& listener, const WebAccess& access) {
  std::string error;
  const int port = FreePort();
  EXPECT_TRUE(listener.Bind("127.0.0.1:" + std::to_string(port), "--http", "the page", &error)) << error;
  web.Serve(listener, access);
  listener.Server().Get("/metrics", [](const httplib::Request&, httplib::Response& r) { r.set_content("m", "text/plain"); });
  listener.Start(WebPublisher::kMaxEventStreams + 8);
  return port;
}

PollFields Readings(const std::vector<float>& pairs) {
  PollFields fields;
  std::copy(pairs.begin(), pairs.end(), fields.pairs.begin());
  fields.pairsRead = static_cast<int>(pairs.size());
  return fields;
}

MeterState Polled(PollFields fields) {
  MeterState state;
  state.fields = std::move(fields);
  return state;
}

}  // namespace

// Every path and method the page knows, a wrong one of each, and a foreign
// Host: status, type and the policy on every answer.
TEST(WebServer, AnswersEachRequestWithItsStatusAndThePolicy) {
  BusTally tally;
  WebPublisher web(WebBus{"COM1:", 9600, "silence", 5}, false, tally);
  web.MeterFound(kQm4c);
  HttpListener listener;
  const int port = Serve(web, listener, WebAccess{""});
  const struct {
    const char* method;
    const char* path;
    const char* host;
    int status;
    const char* type;
    const char* body;
  } cases[] = {
      {"GET", "/", "127.0.0.1", 200, "text/html; charset=utf-8", "<script src=\"/static/pylax.js\" defer></script>"},
      {"GET", "/meter/hall_3", "localhost", 200, "text/html; charset=utf-8", "<canvas id=\"kw-chart\">"},
      {"GET", "/meter/hall_9", "127.0.0.1", 404, "text/plain; charset=utf-8", "No such meter."},
      {"GET", "/meter/", "127.0.0.1", 404, "text/plain; charset=utf-8", "Not found."},
      {"GET", "/static/pylax.js", "[::1]", 200, "text/javascript; charset=utf-8", "textContent"},
      {"GET", "/static/chart.min.js", "127.0.0.1", 200, "text/javascript; charset=utf-8", "Chart.js v3"},
      {"GET", "/static/pylax.css", "127.0.0.1", 200, "text/css; charset=utf-8", "body {"},
      {"GET", "/static/nope.js", "127.0.0.1", 404, "text/plain; charset=utf-8", "Not found."},
      {"GET", "/index.html", "127.0.0.1", 404, "text/plain; charset=utf-8", "Not found."},
      {"GET", "/api/meters", "127.0.0.1", 200, "application/json", "[{\"meter\":\"hall_3\",\"address\":3,"},
      {"GET", "/api/meters/hall_3", "127.0.0.1", 200, "application/json", "\"model\":\"QM4C\""},
      {"GET", "/api/meters/hall_4", "127.0.0.1", 404, "text/plain; charset=utf-8", "No such meter."},
      {"GET", "/api/meters/hall_3/history", "127.0.0.1", 200, "application/json", "[]"},
      {"GET", "/api/meters/hall_3/history?minutes=60", "127.0.0.1", 200, "application/json", "[]"},
      {"GET", "/api/meters/hall_3/history?minutes=0", "127.0.0.1", 400, "text/plain; charset=utf-8",
       "minutes must be a whole number from 1 to 60."},
      {"GET", "/api/meters/hall_3/history?minutes=61", "127.0.0.1", 400, "text/plain; charset=utf-8", "from 1 to 60"},
      {"GET", "/api/meters/hall_3/history?minutes=5x", "127.0.0.1", 400, "text/plain; charset=utf-8", "from 1 to 60"},
      {"GET", "/api/meters/hall_9/history?minutes=5", "127.0.0.1", 404, "text/plain; charset=utf-8", "No such meter."},
      {"POST", "/", "127.0.0.1", 405, "text/plain; charset=utf-8", "Read-only: GET or HEAD."},
      {"DELETE", "/api/meters/hall_3", "127.0.0.1", 405, "text/plain; charset=utf-8", "Read-only"},
      {"PUT", "/meter/hall_3", "127.0.0.1", 405, "text/plain; charset=utf-8", "Read-only"},
      {"POST", "/nope", "127.0.0.1", 413, "text/plain; charset=utf-8", "Nothing here takes a request body."},
      {"GET", "/", "pylax.example.net", 403, "text/plain; charset=utf-8", "loopback's names only"},
      {"GET", "/api/meters", "127.0.0.1.example.net", 403, "text/plain; charset=utf-8", "loopback's names only"},
  };
  for (const auto& c : cases) {
    httplib::Client client("127.0.0.1", port);
    httplib::Request request;
    request.method = c.method;
    request.path = c.path;
    request.set_header("Host", std::string(c.host) + ":" + std::to_string(port));
    if (std::string(c.method) != "GET") request.body = "x", request.set_header("Content-Type", "text/plain");
    const auto response = client.send(request);
    ASSERT_TRUE(response) << c.method << " " << c.path;
    EXPECT_EQ(response->status, c.status) << c.method << " " << c.path;
    EXPECT_EQ(response->get_header_value("Content-Type"), c.type) << c.path;
    EXPECT_NE(response->body.find(c.body), std::string::npos) << c.path << ": " << response->body.substr(0, 200);
    EXPECT_EQ(response->get_header_value("Content-Security-Policy"),
              "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
              "base-uri 'none'; form-action 'none'; frame-ancestors 'none'")
        << c.path;
    EXPECT_EQ(response->get_header_value("X-Content-Type-Options"), "nosniff") << c.path;
    if (c.status == 405) {
      EXPECT_EQ(response->get_header_value("Allow"), "GET, HEAD") << c.path;
    }
  }
}

// With a password, nothing is served without it: a wrong user, a wrong
// password, none at all; each refusal asks for basic authentication.
TEST(WebServer, AsksForThePasswordBeforeAnything) {
  BusTally tally;
  WebPublisher web(WebBus{"COM1:", 9600, "silence", 5}, false, tally);
  HttpListener listener;
  const int port = Serve(web, listener, WebAccess{"s3cret:x"});
  const struct {
    const char* user;
    const char* password;
    const char* path;
    int status;
  } cases[] = {
      {nullptr, nullptr, "/", 401},          {"pylax", "s3cret", "/", 401},    {"admin", "s3cret:x", "/", 401},
      {"pylax", "s3cret:xx", "/", 401},      {"pylax", "", "/", 401},          {nullptr, nullptr, "/metrics", 401},
      {"pylax", "s3cret:x", "/", 200},       {"pylax", "s3cret:x", "/metrics", 200},
      {"pylax", "s3cret:x", "/api/meters", 200},
  };
  for (const auto& c : cases) {
    httplib::Client client("127.0.0.1", port);
    if (c.user != nullptr) client.set_basic_auth(c.user, c.password);
    const auto response = client.Get(c.path);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, c.status) << (c.user ? c.user : "-") << ":" << (c.password ? c.password : "-");
    if (c.status == 401) {
      EXPECT_EQ(response->get_header_value("WWW-Authenticate"), "Basic realm=\"pylax\", charset=\"UTF-8\"");
    }
  }  // The scheme's name in any case; another scheme with the same credentials is none.
  for (const auto& [header, status] : {std::pair<std::string, int>{"basic cHlsYXg6czNjcmV0Ong=", 200},  // pylax:s3cret:x
                                       {"BASIC cHlsYXg6czNjcmV0Ong=", 200}, {"Bearer cHlsYXg6czNjcmV0Ong=", 401}}) {
    const auto response = httplib::Client("127.0.0.1", port).Get("/", {{"Authorization", header}});
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, status) << header;
  }
}

// The API's meter: the state object's keys and values (read --json's, the
// float's shortest text), the console's texts beside them, a failed poll
// said with its result and the readings kept, a QM4A with its two.
TEST(WebServer, GivesEachMeterWithTheKeysOfReadJsonAndTheConsolesTexts) {
  BusTally tally;
  WebPublisher web(WebBus{"COM1:", 9600, "silence", 5}, false, tally);
  web.MeterFound(kQm4c);
  web.MeterFound(kQm4a);
  PollFields qm4c = Readings({1234.5f, 101.25f, 2.5f, 3.5f, 0.0625f, 401.f, 231.5f, 11.75f, 1.005f, 2.3f, 3.5f, 0.61f,
                              0.62f, 0.63f, 402.f, 403.f, 404.f, 232.f, 233.f, 234.f, 12.f, 13.f, 14.f, 99.f});
  qm4c.subInterval = "60";
  qm4c.bufferStatus = "NOT FULL";
  web.State(kQm4c, Polled(qm4c));
  web.Availability(kQm4c, true);
  web.State(kQm4a, Polled(Readings({42.5f, -0.0005f})));
  PollFields noStatus = qm4c;
  noStatus.subInterval.reset();
  noStatus.pairs[1] = 7.5f;
  web.State(kQm4c, Polled(noStatus));  // the clock block failed: the status texts stay

  const json meter = json::parse(*web.MeterJson("hall_3"));
  const std::pair<const char*, json> keys[] = {
      {"meter", "hall_3"},  {"address", 3},         {"model", "QM4C"},  {"identification", "Orvant QM4C Power Meter"},
      {"online", true},     {"last_poll_ok", true}, {"polls", 2},       {"KWH", 1234.5},
      {"KW", 7.5},          {"PF", 0.0625},         {"KW-A", 1.005},    {"V-AC", 404},
      {"AMPS-C", 14},       {"SUBINTERVAL", "60"},  {"BUFFER", "NOT FULL"},
  };
  for (const auto& [key, value] : keys) EXPECT_EQ(meter[key], value) << key;
  EXPECT_EQ(meter.count("time"), 1u);
  EXPECT_EQ(meter.count("archive"), 0u);  // no --archive
  const std::pair<const char*, const char*> texts[] = {
      {"KWH", "1234.500"}, {"KW", "7.500"}, {"PF", "0.062"}, {"KW-A", "1.005"}, {"KW-B", "2.300"},
      {"V-AN", "232.000"}, {"SUBINTERVAL", "60"},
  };
  for (const auto& [key, text] : texts) EXPECT_EQ(meter["display"][key], text) << key;

  web.PollFailed(kQm4a, ResultTimeout);
  const json qm4a = json::parse(*web.MeterJson("hall_7"));
  EXPECT_EQ(qm4a["last_poll_ok"], false);
  EXPECT_EQ(qm4a["failure"], "Err #1, Timeout Waiting For Response");
  EXPECT_EQ(qm4a["online"], false);  // never said online
  EXPECT_EQ(qm4a["KW"], -0.0005);
  EXPECT_EQ(qm4a["display"]["KW"], "-0.001");
  EXPECT_EQ(qm4a.count("PF"), 0u);
  EXPECT_EQ(json::parse(web.MetersJson()).size(), 2u);
  EXPECT_FALSE(web.MeterJson("hall_9"));

  // The history: each poll with read --json's keys, a failed one with its
  // time alone.
  const json history = json::parse(*web.HistoryJson("hall_7", 1));
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0]["KWH"], 42.5);
  EXPECT_EQ(history[0].size(), 3u);  // time, KWH, KW
  EXPECT_EQ(history[1].size(), 1u);
}

// Polls at various rhythms: which the ring keeps, and that it never holds
// more than its capacity however fast the polls come.
TEST(WebHistory, KeepsAboutOnePollEveryStepAndNoMoreThanItsCapacity) {
  const PollFields read = Readings({1.f, 2.f});
  const struct {
    std::vector<int64_t> times;  // ms; negative: a failed poll at minus that
    std::vector<int64_t> kept;
  } cases[] = {
      {{0, 5000, 10000, 15000}, {0, 5000, 10000, 15000}},
      {{0, 4990, 9980, 14970}, {0, 4990, 9980, 14970}},                  // rounds a few ms early
      {{0, 1000, 2000, 3000, 4000, 5000, 6000}, {0, 4000, 6000}},        // 1 s polls thinned
      {{0, 1000, 2000, 7000}, {0, 2000, 7000}},
      {{0, -5000, 10000}, {0, 5000, 10000}},                             // a failed poll is a sample too
      {{0, 1000, 4999}, {0, 4999}},                                       // a step after the one before the newest
      {{0, 1000, 5000}, {0, 1000, 5000}},
      {{0, 2600, 5200, 7800}, {0, 2600, 5200, 7800}},                    // 2.6 s apart: every poll
  };
  for (const auto& c : cases) {
    MeterHistory history;
    for (int64_t t : c.times) history.Add(t < 0 ? -t : t, t < 0 ? nullptr : &read);
    std::vector<int64_t> kept;
    for (const HistorySample& s : history.Since(0)) kept.push_back(s.timeMs);
    EXPECT_EQ(kept, c.kept) << c.times.size() << " polls, the last at " << c.times.back();
  }
  MeterHistory history;
  for (int64_t t = 0; t < 2 * 3600 * 1000; t += 500) history.Add(t, &read);
  const std::vector<HistorySample> all = history.Since(0);
  EXPECT_EQ(all.size(), MeterHistory::kCapacity);
  EXPECT_EQ(all.back().timeMs, 2 * 3600 * 1000 - 500);
  // The last minute: one every 4.5 s (4500 k for k = 1587 .. 1599) and the newest.
  EXPECT_EQ(history.Since(2 * 3600 * 1000 - 60000).size(), 14u);
}

// A stream gets the whole state at once (the bus, then each meter), then
// each poll as it comes, and ends when the monitor ends, so that the
// listener's stop does not wait on it.
TEST(WebEvents, SendTheStateAtOnceThenEachPollAndEndWithTheMonitor) {
  BusTally tally;
  WebPublisher web(WebBus{"COM1:", 9600, "silence", 5}, false, tally);
  web.MeterFound(kQm4a);
  web.State(kQm4a, Polled(Readings({42.5f, 1.5f})));
  HttpListener listener;
  const int port = Serve(web, listener, WebAccess{""});
  std::mutex mutex;
  std::string received;
  std::string contentType;
  std::thread reader([&] {
    httplib::Client client("127.0.0.1", port);
    client.Get(
        "/events",
        [&](const httplib::Response& response) {
          contentType = response.get_header_value("Content-Type");
          return true;
        },
        [&](const char* data, size_t length) {
          std::lock_guard<std::mutex> hold(mutex);
          received.append(data, length);
          return true;
        });
  });
  const auto text = [&] {
    std::lock_guard<std::mutex> hold(mutex);
    return received;
  };
  ASSERT_TRUE(WaitUntil([&] { return text().find("\"KW\":1.5") != std::string::npos; }, 10)) << text();
  EXPECT_EQ(text().rfind("event: bus\ndata: {\"port\":\"COM1:\",\"baud\":9600,\"framing\":\"silence\",", 0), 0u) << text();
  web.State(kQm4a, Polled(Readings({42.5f, 2.75f})));
  tally.AddRound(0.25, false);
  web.RoundDone(0.25, false);
  ASSERT_TRUE(WaitUntil([&] { return text().find("\"rounds\":1,") != std::string::npos; }, 10)) << text();
  const std::string events = text();
  const size_t poll = events.find("event: meter\ndata: {\"meter\":\"hall_7\",\"address\":7,\"model\":\"QM4A\"");
  const size_t update = events.find("\"KW\":2.75", poll + 1);
  EXPECT_NE(update, std::string::npos) << events;
  EXPECT_LT(update, events.find("\"rounds\":1,")) << events;  // in the order they happened
  EXPECT_EQ(contentType, "text/event-stream");
  web.Close();
  reader.join();  // the stream ended
  listener.Stop();
}
