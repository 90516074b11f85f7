#pragma once
// The monitor's own web page: the bus and its meters at a glance (/), each
// meter's readings, clock, log and chart (/meter/ID), live through
// Server-Sent Events (/events), and a JSON API (/api/meters,
// /api/meters/ID, /api/meters/ID/history?minutes=N) with the keys of
// read --json. Another publisher the poller calls; served from memory by an
// HttpListener's server, read-only unless it takes actions (a page with a
// password): then POST /api/meters/ID/ACTION, from the page itself.

#include <array>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "modbus/result.h"
#include "monitor/actions.h"
#include "monitor/bus_tally.h"
#include "monitor/modbus_gateway.h"
#include "monitor/publisher.h"
#include "web/event_log.h"
#include "web/history.h"

class HttpListener;
namespace httplib {
class Server;
}

// What the bus page says of the line.
struct WebBus {
  std::string port;     // as given: a device, COMn:, tcp://HOST:PORT, ...
  int baud = 0;
  std::string framing;  // "silence" or "length"
  double interval = 0;  // seconds from the start of one round to the next
};

struct WebAccess {
  std::string password;  // not empty: basic authentication, user kUser
};

class WebPublisher : public Publisher {
 public:
  static constexpr const char* kUser = "pylax";
  // Each open stream holds one of the server's threads.
  static constexpr int kMaxEventStreams = 64;
  static constexpr int kHistoryMinutes = 60;
  // A comment on an idle stream this often, so that a reader gone away is
  // noticed and proxies keep the stream open.
  static constexpr int kKeepAliveSeconds = 15;
  // How long a stream gathers events before it writes them.
  static constexpr int kBatchMs = 100;

  // The bus's counters come from tally, which outlives the publisher.
  WebPublisher(WebBus bus, bool archiving, const BusTally& tally);
  ~WebPublisher() override;  // Close()
  // The page, its assets, /events and the API on listener, before it
  // starts; access applies to everything it serves (/metrics too when it
  // is there).
  void Serve(HttpListener& listener, const WebAccess& access);
  // Ends every event stream: a server's stop waits for them.
  void Close();
  // Before Serve, for a page with a password: its set-clock (and, with
  // archives, sync-log) buttons, their POSTs handed to queue.
  void TakeActions(ActionQueue* queue);
  // One action a meter in this long: a faster one is answered 429.
  static constexpr std::chrono::seconds kPageActionSpacing{10};

  void MeterFound(const Meter& info) override;
  void Foreign(int address, const std::string& identification) override;
  void State(const Meter& info, const MeterState& state) override;
  void PollFailed(const Meter& info, ModbusResult result) override;
  void Availability(const Meter& info, bool online) override;
  void RoundDone(double seconds, bool overrun) override;
  void Synced(const Meter& info, const SyncResult& result) override;
  void ActionDone(const Meter& info, const ActionOutcome& outcome) override;
  void Stopping() override;

  // The API's answers: every meter; one meter (none for an id not found);
  // its polls of the last minutes, oldest first; the bus.
  std::string MetersJson() const;
  std::optional<std::string> MeterJson(const std::string& id) const;
  std::optional<std::string> HistoryJson(const std::string& id, int minutes) const;
  std::string BusJson() const;

 private:
  // One archive's state of a meter, as the syncs left it.
  struct ArchiveView {
    std::string url;
    bool ok = false;
    std::string error;
    int run = 0;
    time_t first = 0;  // the run's oldest and newest entry the archive holds
    time_t newest = 0;
    long entries = 0;
    long gaps = 0;     // gaps the monitor's syncs found, and their entries
    long lost = 0;
    time_t lastGapAfter = 0;
    time_t lastGapBefore = 0;
    long conflicts = 0;
    time_t synced = 0;
  };
  struct MeterView {
    Meter info;
    bool online = false;
    std::optional<bool> lastPollOk;
    unsigned long polls = 0;  // so that the page adds each poll to its chart once
    std::string failure;      // the last failed poll's result text
    int64_t lastGoodMs = 0;   // 0: never read
    PollFields fields;        // the last readings, and the last status texts read
    time_t archivedUpTo = 0;
    std::vector<ArchiveView> archives;
    std::string action;  // the last action's outcome, JSON
    MeterHistory history;
  };

  std::string MeterJsonOf(const MeterView& meter, int64_t nowMs) const;
  std::string BusJsonLocked() const;
  // Under mutex_: the meter's state as an event to every stream.
  void PublishMeter(const MeterView& meter);
  // Every meter and the bus, for a stream that begins or fell behind.
  std::vector<std::string> Snapshot() const;
  void ServeEvents(httplib::Server& server);
  void ServeApi(httplib::Server& server);
  void ServeActions(httplib::Server& server);
  bool TakeActionTurn(const std::string& meterId);

  mutable std::mutex mutex_;
  const WebBus bus_;
  const bool archiving_;
  std::map<std::string, MeterView> meters_;  // by id
  std::map<int, std::string> foreign_;       // devices that are no QM4, by address: their text
  const BusTally& tally_;
  EventLog events_;
  ActionQueue* actions_ = nullptr;
  std::map<std::string, std::chrono::steady_clock::time_point> lastAction_;  // by meter id, under mutex_
  std::string token_;  // the page's, random each run: a tab of an earlier run, or another site, has none
};
