#include "web/web_publisher.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <memory>
#include <regex>
#include <thread>

#include <sys/random.h>

#include <httplib.h>

#include "archive/archive_url.h"
#include "archive/sync.h"
#include "bus/poll_json.h"
#include "meter/reading_format.h"
#include "modbus/model.h"
#include "monitor/http_listener.h"
#include "monitor/log_keeper.h"
#include "util/utc_text.h"
#include "web/consumption.h"
#include "web/web_assets.h"

namespace {
// Scripts, styles, connections and images from this server only, and no
// inline script or style: a text from the bus that slipped into the page as
// markup could still run nothing.
constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
constexpr const char* kJson = "application/json";
constexpr const char* kText = "text/plain; charset=utf-8";
// The page's paths, each answered by GET (and HEAD); another method on one
// of them is 405, any other path 404.
constexpr const char* kActionPattern = "/api/meters/([^/]+)/(set-clock|sync-log)";
const std::regex kActionPaths(kActionPattern);
const std::regex kPagePaths(
    "/|/meter/[^/]+|/events|/api/meters(/[^/]+(/history|/set-clock|/sync-log)?)?|/api/actions|/api/consumption|/static/[^/]+|/metrics");

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string Bool(bool value) { return value ? "true" : "false"; }

// Shortest, as the state object writes numbers; an age to a tenth.
std::string Seconds(double value, bool tenths = false) {
  char text[32];
  const auto end = tenths ? std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1).ptr
                          : std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

std::string Base64(const std::string& bytes) {
  static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    uint32_t chunk = 0;
    for (size_t k = 0; k < 3; ++k) chunk = chunk << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    for (size_t k = 0; k < 4; ++k) text += k <= n ? digits[(chunk >> (18 - 6 * k)) & 63] : '=';
  }
  return text;
}

// Compared in full whatever differs first, so the time taken tells nothing
// of how much of a guess was right.
bool SameText(const std::string& a, const std::string& b) {
  unsigned char differ = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size(); ++i) differ |= static_cast<unsigned char>(a[i] ^ b[i % std::max<size_t>(b.size(), 1)]);
  return differ == 0;
}

// "Basic CREDENTIALS" with these credentials; the scheme's name in any case
// (RFC 9110 has it case-insensitive: some clients send "basic").
bool BasicCredentials(const std::string& header, const std::string& credentials) {
  const size_t blank = header.find(' ');
  std::string scheme = header.substr(0, blank);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
  return scheme == "basic" && SameText(blank == std::string::npos ? "" : header.substr(blank + 1), credentials);
}

void Refuse(httplib::Response& response, int status, const std::string& text) {
  response.status = status;
  response.set_content(text + "\n", kText);
}

// The console's texts of what a poll read: each reading "%.3f" as the
// window shows it, each status text as it is.
std::string DisplayJson(const PollFields& fields) {
  std::vector<JsonMember> members;
  for (int pair = 0; pair < fields.pairsRead; ++pair)
    if (!PairLabel(pair).empty()) members.push_back({PairLabel(pair), JsonString(FormatReading(fields.pairs[pair]))});
  for (const NamedText& status : StatusTexts(fields))
    if (status.text->has_value()) members.push_back({status.key, JsonString(status.text->value())});
  return JsonObject(members);
}

std::string TimeOrNull(time_t time) { return time > 0 ? JsonString(UtcText(time)) : "null"; }

std::string Event(const char* name, const std::string& json) {
  return std::string("event: ") + name + "\ndata: " + json + "\n\n";
}

// A poll's fields as kept: its readings replace the last ones; a status
// text it did not read keeps the last one, as the console's fields do.
void Merge(PollFields& kept, const PollFields& poll) {
  PollFields merged = poll;
  const std::vector<NamedText> before = StatusTexts(kept), after = StatusTexts(merged);
  for (size_t i = 0; i < after.size(); ++i)
    if (!after[i].text->has_value())
      const_cast<std::optional<std::string>&>(*after[i].text) = *before[i].text;  // merged is ours, not const
  kept = std::move(merged);
}
}  // namespace

WebPublisher::WebPublisher(WebBus bus, bool archiving, const BusTally& tally)
    : bus_(std::move(bus)), archiving_(archiving), tally_(tally) {}

WebPublisher::~WebPublisher() { Close(); }

void WebPublisher::Close() { events_.Close(); }

void WebPublisher::Stopping() { Close(); }

void WebPublisher::Serve(HttpListener& listener, const WebAccess& access) {
  httplib::Server& server = listener.Server();
  // On every answer, the listener's own refusals included.
  server.set_default_headers({{"Content-Security-Policy", kContentSecurityPolicy},
                              {"X-Content-Type-Options", "nosniff"},
                              {"Referrer-Policy", "no-referrer"},
                              {"Cache-Control", "no-store"}});
  const std::string expected = Base64(std::string(kUser) + ":" + access.password);
  const bool acting = actions_ != nullptr;
  listener.Check([access, expected, acting](const httplib::Request& request, httplib::Response& response) {
    if (!access.password.empty() && !BasicCredentials(request.get_header_value("Authorization"), expected)) {
      response.set_header("WWW-Authenticate", "Basic realm=\"pylax\", charset=\"UTF-8\"");
      Refuse(response, 401, "Authentication required.");
      return true;
    }
    // The actions take POST, past the password, and check their own origin and token.
    if (request.method == "POST" && acting && std::regex_match(request.path, kActionPaths)) return false;
    if (request.method != "GET" && request.method != "HEAD" && std::regex_match(request.path, kPagePaths)) {
      response.set_header("Allow", "GET, HEAD");
      Refuse(response, 405, "Read-only: GET or HEAD.");
      return true;
    }
    return false;
  });
  server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (response.status == 404 && response.body.empty()) response.set_content("Not found.\n", kText);
  });
  server.Get("/", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(std::string(kIndexHtml), "text/html; charset=utf-8");
  });
  server.Get("/meter/([^/]+)", [this](const httplib::Request& request, httplib::Response& response) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (meters_.count(request.matches[1]) == 0) return Refuse(response, 404, "No such meter.");
    response.set_content(std::string(kMeterHtml), "text/html; charset=utf-8");
  });
  for (const WebAsset& asset : kWebAssets)
    server.Get(asset.path, [&asset](const httplib::Request&, httplib::Response& response) {
      response.set_content(std::string(asset.body), asset.type);
    });
  ServeEvents(server);
  ServeApi(server);
  if (acting) ServeActions(server);
}

void WebPublisher::TakeActions(ActionQueue* queue) {
  actions_ = queue;
  unsigned char bytes[16];
  for (size_t got = 0; got < sizeof bytes;) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0) got += static_cast<size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  for (const unsigned char b : bytes) token_ += {kHex[b >> 4], kHex[b & 15]};
}

// An action is taken only from this page as this run served it: a form or
// script of another site sends another Origin (or, from an old browser, no
// token), and a tab of an earlier run holds an old token.
void WebPublisher::ServeActions(httplib::Server& server) {
  server.Get("/api/actions", [this](const httplib::Request&, httplib::Response& response) {
    response.set_content(JsonObject({{"token", JsonString(token_)},
                                     {"actions", archiving_ ? R"(["set-clock","sync-log"])" : R"(["set-clock"])"}}),
                         kJson);
  });
  server.Post(kActionPattern, [this](const httplib::Request& request, httplib::Response& response) {
    const std::string origin = request.get_header_value("Origin");
    const std::string host = request.get_header_value("Host");
    if (host.empty() || (origin != "http://" + host && origin != "https://" + host) ||
        !SameText(request.get_header_value("X-Pylax-Token"), token_))
      return Refuse(response, 403, "Actions are taken from this monitor's own page only.");
    const std::optional<ActionKind> kind = ActionOfName(request.matches[2].str());
    {
      std::lock_guard<std::mutex> hold(mutex_);
      const auto meter = meters_.find(request.matches[1]);
      if (meter == meters_.end() || meter->second.info.model != ModelQM4C || !kind ||
          (*kind == ActionKind::SyncLog && !archiving_))
        return Refuse(response, 404, "No such action of this meter.");
      if (!TakeActionTurn(meter->first)) {
        actions_->Refuse(CommandOutcome::TooSoon, request.remote_addr,
                         "page: " + std::string(ActionName(*kind)) + " of " + meter->first + " from " +
                             request.remote_addr + " refused: one action a meter every 10 s");
        response.set_header("Retry-After", std::to_string(kPageActionSpacing.count()));
        return Refuse(response, 429, "One action a meter every 10 s: try again shortly.");
      }
    }
    actions_->Push({request.matches[1], *kind, request.remote_addr});
    response.status = 202;
    response.set_content("Asked; the result shows once it has run, after the round.\n", kText);
  });
}

// Under mutex_. A set clock and a log sync each take the line for a while,
// and a script with the password could otherwise keep one meter busy.
bool WebPublisher::TakeActionTurn(const std::string& meterId) {
  const auto now = std::chrono::steady_clock::now();
  auto [last, first] = lastAction_.try_emplace(meterId, now);
  if (first) return true;
  if (now - last->second < kPageActionSpacing) return false;
  last->second = now;
  return true;
}

void WebPublisher::ServeEvents(httplib::Server& server) {
  server.Get("/events", [this](const httplib::Request& request, httplib::Response& response) {
    if (request.method == "HEAD") return response.set_header("Content-Type", "text/event-stream");
    if (!events_.Join(kMaxEventStreams)) {
      response.set_header("Retry-After", "10");
      return Refuse(response, 503, "Too many event streams are open; try again later.");
    }
    auto seen = std::make_shared<uint64_t>(0);
    auto snapshotDue = std::make_shared<bool>(true);
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, seen, snapshotDue](size_t, httplib::DataSink& sink) {
          std::vector<std::string> out;
          if (*snapshotDue) {
            *seen = events_.Newest();  // what follows may repeat part of it: each event is a whole state
            out = Snapshot();
            *snapshotDue = false;
          } else {
            EventLog::Wait wait = events_.Next(seen.get(), &out, std::chrono::seconds(kKeepAliveSeconds));
            if (wait == EventLog::Wait::Events) {
              // What comes next goes out with it: one wake-up and write a
              // batch rather than one an event, with many streams open.
              std::this_thread::sleep_for(std::chrono::milliseconds(kBatchMs));
              wait = events_.Next(seen.get(), &out, std::chrono::milliseconds(0));
            }
            switch (wait) {
              case EventLog::Wait::Behind:
                *snapshotDue = true;
                return true;
              case EventLog::Wait::Quiet:
                if (out.empty()) out.push_back(": keep-alive\n\n");
                break;
              case EventLog::Wait::Closed:
                sink.done();
                return true;
              case EventLog::Wait::Events:
                break;
            }
          }
          for (const std::string& event : out)
            if (!sink.write(event.data(), event.size())) return false;
          return true;
        },
        [this](bool) { events_.Leave(); });
  });
}

void WebPublisher::ServeApi(httplib::Server& server) {
  server.Get("/api/meters", [this](const httplib::Request&, httplib::Response& response) {
    response.set_content(MetersJson(), kJson);
  });
  server.Get("/api/meters/([^/]+)", [this](const httplib::Request& request, httplib::Response& response) {
    const std::optional<std::string> json = MeterJson(request.matches[1]);
    if (!json) return Refuse(response, 404, "No such meter.");
    response.set_content(*json, kJson);
  });
  server.Get("/api/meters/([^/]+)/history", [this](const httplib::Request& request, httplib::Response& response) {
    int minutes = kHistoryMinutes;
    const std::string given = request.get_param_value("minutes");
    const auto parsed = std::from_chars(given.data(), given.data() + given.size(), minutes);
    if (request.has_param("minutes") &&
        (parsed.ec != std::errc() || parsed.ptr != given.data() + given.size() || minutes < 1 || minutes > kHistoryMinutes))
      return Refuse(response, 400, "minutes must be a whole number from 1 to " + std::to_string(kHistoryMinutes) + ".");
    const std::optional<std::string> json = HistoryJson(request.matches[1], minutes);
    if (!json) return Refuse(response, 404, "No such meter.");
    response.set_content(*json, kJson);
  });
  server.Get("/api/consumption", [this](const httplib::Request&, httplib::Response& response) {
    if (consumptionUrl_.empty()) return Refuse(response, 404, "No SQLite archive.");
    std::string error;
    const std::unique_ptr<SqliteStore> store = OpenArchiveForReading(consumptionUrl_, &error);
    const std::optional<std::string> json = store ? ConsumptionJson(*store, std::time(nullptr), &error) : std::nullopt;
    if (!json) return Refuse(response, 503, error);
    response.set_content(*json, kJson);
  });
}

void WebPublisher::MeterFound(const Meter& info) {
  std::lock_guard<std::mutex> hold(mutex_);
  MeterView& meter = meters_[MeterId(info)];
  meter.info = info;
  PublishMeter(meter);
}

void WebPublisher::Foreign(int address, const std::string& identification) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (identification.empty())
    foreign_.erase(address);
  else
    foreign_[address] = identification;
  events_.Publish(Event("bus", BusJsonLocked()));
}

void WebPublisher::State(const Meter& info, const MeterState& state) {
  const PollFields& fields = state.fields;
  const int64_t now = NowMs();
  std::lock_guard<std::mutex> hold(mutex_);
  MeterView& meter = meters_[MeterId(info)];
  meter.info = info;
  meter.lastPollOk = true;
  ++meter.polls;
  meter.lastGoodMs = now;
  Merge(meter.fields, fields);
  meter.history.Add(now, &fields);
  PublishMeter(meter);
}

void WebPublisher::PollFailed(const Meter& info, ModbusResult result) {
  const int64_t now = NowMs();
  std::lock_guard<std::mutex> hold(mutex_);
  MeterView& meter = meters_[MeterId(info)];
  meter.lastPollOk = false;
  ++meter.polls;
  meter.failure = result >= 0 && result < kResultCount ? ResultText(result) : "";
  meter.history.Add(now, nullptr);
  PublishMeter(meter);
}

void WebPublisher::Availability(const Meter& info, bool online) {
  std::lock_guard<std::mutex> hold(mutex_);
  MeterView& meter = meters_[MeterId(info)];
  meter.online = online;
  PublishMeter(meter);
}

void WebPublisher::RoundDone(double, bool) {
  std::lock_guard<std::mutex> hold(mutex_);
  events_.Publish(Event("bus", BusJsonLocked()));
}

void WebPublisher::ActionDone(const Meter& info, const ActionOutcome& outcome) {
  std::lock_guard<std::mutex> hold(mutex_);
  MeterView& meter = meters_[MeterId(info)];
  meter.action = outcome.Json();
  PublishMeter(meter);
}

void WebPublisher::Synced(const Meter& info, const SyncResult& result) {
  const time_t now = std::time(nullptr);
  std::lock_guard<std::mutex> hold(mutex_);
  MeterView& meter = meters_[MeterId(info)];
  meter.archives.resize(result.archives.size());
  for (size_t i = 0; i < result.archives.size(); ++i) {
    const ArchiveSyncReport& report = result.archives[i];
    ArchiveView& view = meter.archives[i];
    view.url = report.url;
    view.ok = report.ok;
    view.error = report.ok ? "" : (result.meterRead ? report.error : result.failure);
    view.synced = now;
    if (report.outcome.runLast > 0) {
      view.run = report.outcome.run;
      view.first = report.outcome.runFirst;
      view.newest = report.outcome.runLast;
      view.entries = report.outcome.runEntries;
    }
    view.conflicts += report.ok ? report.outcome.conflicts : 0;
    if (report.ok && report.gap) {
      ++view.gaps;
      view.lost += report.gap->entries;
      view.lastGapAfter = report.gap->after;
      view.lastGapBefore = report.gap->before;
    }
  }
  if (const time_t upTo = LogKeeper::ArchivedUpTo(result); upTo > 0) meter.archivedUpTo = upTo;
  PublishMeter(meter);
}

void WebPublisher::PublishMeter(const MeterView& meter) { events_.Publish(Event("meter", MeterJsonOf(meter, NowMs()))); }

std::vector<std::string> WebPublisher::Snapshot() const {
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<std::string> events{Event("bus", BusJsonLocked())};
  const int64_t now = NowMs();
  for (const auto& [id, meter] : meters_) events.push_back(Event("meter", MeterJsonOf(meter, now)));
  return events;
}

std::string WebPublisher::MetersJson() const {
  std::lock_guard<std::mutex> hold(mutex_);
  const int64_t now = NowMs();
  std::string json = "[";
  for (const auto& [id, meter] : meters_) json += (json.size() > 1 ? "," : "") + MeterJsonOf(meter, now);
  return json + "]";
}

std::optional<std::string> WebPublisher::MeterJson(const std::string& id) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const auto meter = meters_.find(id);
  if (meter == meters_.end()) return std::nullopt;
  return MeterJsonOf(meter->second, NowMs());
}

std::optional<std::string> WebPublisher::HistoryJson(const std::string& id, int minutes) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const auto meter = meters_.find(id);
  if (meter == meters_.end()) return std::nullopt;
  std::string json = "[";
  for (const HistorySample& sample : meter->second.history.Since(NowMs() - minutes * 60000LL)) {
    PollFields fields;
    fields.pairs = sample.pairs;
    fields.pairsRead = sample.pairsRead;
    std::vector<JsonMember> members{{"time", JsonString(UtcText(static_cast<time_t>(sample.timeMs / 1000)))}};
    for (JsonMember& member : ReadingMembers(fields)) members.push_back(std::move(member));
    json += (json.size() > 1 ? "," : "") + JsonObject(members);
  }
  return json + "]";
}

std::string WebPublisher::BusJson() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return BusJsonLocked();
}

namespace {
std::string JsonStrings(const std::vector<std::string>& texts) {
  std::string json = "[";
  for (const std::string& text : texts) json += (json.size() > 1 ? "," : "") + JsonString(text);
  return json + "]";
}

std::string GatewayJson(const GatewayStats& stats) {
  unsigned long waited = 0;
  for (const unsigned long n : stats.waits) waited += n;
  std::vector<JsonMember> requests;
  for (int outcome = 0; outcome < kGatewayOutcomes; ++outcome)
    requests.push_back({GatewayOutcomeName(static_cast<GatewayOutcome>(outcome)),
                        std::to_string(stats.requests[static_cast<size_t>(outcome)])});
  return JsonObject({{"address", JsonString(stats.address)},
                     {"writes", Bool(stats.writes)},
                     {"clients", std::to_string(stats.clients)},
                     {"requests", JsonObject(requests)},
                     {"longest_wait", JsonNumber(static_cast<float>(stats.longestWaitSeconds))},
                     {"mean_wait", JsonNumber(static_cast<float>(waited == 0 ? 0 : stats.waitSumSeconds / waited))},
                     {"cache_hits", std::to_string(stats.cacheHits)},
                     {"cache_misses", std::to_string(stats.cacheMisses)},
                     {"refused_clients", std::to_string(stats.refusedClients)},
                     {"writes_said", JsonStrings(stats.writesSaid)}});
}
}  // namespace

std::string WebPublisher::BusJsonLocked() const {
  const BusCounts counts = tally_.Read();
  const BusCounts::ByResult transactions = counts.AllTransactions();
  std::vector<JsonMember> results;
  for (int result = 0; result < kResultCount; ++result)
    results.push_back({ResultText(static_cast<ModbusResult>(result)), std::to_string(transactions[static_cast<size_t>(result)])});
  std::string foreign = "[";
  for (const auto& [address, text] : foreign_)
    foreign += (foreign.size() > 1 ? "," : "") +
               JsonObject({{"address", std::to_string(address)}, {"identification", JsonString(text)}});
  std::vector<JsonMember> bus{{"port", JsonString(bus_.port)},
                              {"baud", std::to_string(bus_.baud)},
                              {"framing", JsonString(bus_.framing)},
                              {"interval", Seconds(bus_.interval)},
                              {"rounds", std::to_string(counts.rounds)},
                              {"overruns", std::to_string(counts.overruns)},
                              {"round_seconds", JsonNumber(static_cast<float>(counts.lastRoundSeconds))},
                              {"archiving", Bool(archiving_)},
                              {"transactions", JsonObject(results)},
                              {"foreign", foreign + "]"}};
  if (counts.gateway) bus.push_back({"gateway", GatewayJson(*counts.gateway)});
  return JsonObject(bus);
}

// The state object's keys (time, meter, the readings of read --json,
// archived), what the page needs beside them, and the console's texts.
std::string WebPublisher::MeterJsonOf(const MeterView& meter, int64_t nowMs) const {
  std::vector<JsonMember> members{{"meter", JsonString(MeterId(meter.info))},
                                  {"address", std::to_string(meter.info.address)},
                                  {"model", JsonString(ModelName(meter.info.model))},
                                  {"identification", JsonString(meter.info.identification)},
                                  {"online", Bool(meter.online)},
                                  {"last_poll_ok", meter.lastPollOk ? Bool(*meter.lastPollOk) : "null"},
                                  {"polls", std::to_string(meter.polls)}};
  if (meter.lastPollOk == false) members.push_back({"failure", JsonString(meter.failure)});
  if (meter.lastGoodMs > 0) {
    members.push_back({"time", JsonString(UtcText(static_cast<time_t>(meter.lastGoodMs / 1000)))});
    members.push_back({"age", Seconds(static_cast<double>(nowMs - meter.lastGoodMs) / 1000, true)});
    for (JsonMember& member : ReadingMembers(meter.fields)) members.push_back(std::move(member));
  }
  if (meter.archivedUpTo > 0) members.push_back({"archived", JsonString(UtcText(meter.archivedUpTo))});
  members.push_back({"display", DisplayJson(meter.fields)});
  if (archiving_) {
    std::string archives = "[";
    for (const ArchiveView& a : meter.archives)
      archives += (archives.size() > 1 ? "," : "") +
                  JsonObject({{"url", JsonString(a.url)},
                              {"ok", Bool(a.ok)},
                              {"error", JsonString(a.error)},
                              {"run", std::to_string(a.run)},
                              {"first", TimeOrNull(a.first)},
                              {"newest", TimeOrNull(a.newest)},
                              {"entries", std::to_string(a.entries)},
                              {"gaps", std::to_string(a.gaps)},
                              {"lost", std::to_string(a.lost)},
                              {"last_gap_after", TimeOrNull(a.lastGapAfter)},
                              {"last_gap_before", TimeOrNull(a.lastGapBefore)},
                              {"conflicts", std::to_string(a.conflicts)},
                              {"synced", TimeOrNull(a.synced)}});
    members.push_back({"archive", archives + "]"});
  }
  if (!meter.action.empty()) members.push_back({"action", meter.action});
  return JsonObject(members);
}
