#pragma once
// The always-on poller of one bus: scans its range, polls every meter found
// one after the other, round after round, and tells its publishers.

#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bus/poll_json.h"
#include "modbus/link.h"
#include "monitor/actions.h"
#include "monitor/bus_tally.h"
#include "monitor/log_keeper.h"
#include "monitor/modbus_gateway.h"
#include "monitor/monitor_options.h"
#include "monitor/publisher.h"
#include "monitor/service_notify.h"
#include "util/stop_token.h"

class BusMonitor {
 public:
  // Every transaction goes over link (its framing and trace as its owner
  // set them), opened at portName. stop ends it after the current poll;
  // rescan (set from a signal handler) asks for the range to be scanned
  // again before the next round, and is cleared when that begins.
  BusMonitor(ModbusLink& link, const MonitorOptions& options, std::string portName, int baud, std::string busId,
             const StopToken& stop, std::atomic<bool>& rescan);
  void AddPublisher(Publisher* publisher) { publishers_.push_back(publisher); }
  // --archive: the QM4Cs' logs are synced between rounds.
  void KeepLogs(LogKeeper* keeper) { keeper_ = keeper; }
  // --gateway: its tally joins the bus's after each round; the log sync,
  // clock setting and actions wait while a client holds a meter's window.
  void ServeGateway(ModbusGateway* gateway) { gateway_ = gateway; }
  // --mqtt-commands: what is asked there is run between rounds.
  void TakeActions(ActionQueue* queue) { actions_ = queue; }
  // Runs until stopped; the port is closed on return.
  void Run();
  // What the bus has done so far, for the publishers that show counters.
  const BusTally& Tally() const { return tally_; }

  // After this many failed polls in a row a meter is unavailable.
  static constexpr int kFailedPollsOffline = 3;
  // How often a port that is missing or gone is tried again.
  static constexpr std::chrono::seconds kPortRetry{5};
  // --keep-clock: a clock off in this many polls in a row is set, at most
  // once in kClockSetSpacing, so that one odd reading sets nothing and a
  // meter that cannot keep time does not have its log stepped all day.
  static constexpr int kRoundsOffBeforeSet = 3;
  static constexpr std::chrono::hours kClockSetSpacing{1};
  // A clock off by at most this many seconds is not written.
  static constexpr long kClockWithin = 1;

 private:
  using Clock = std::chrono::steady_clock;
  struct Polled {
    Meter info;
    int failedPolls = 0;
    std::optional<bool> online;  // unknown until the first poll decides
    time_t archivedUpTo = 0;     // the newest entry every archive holds; 0 none
    // --keep-clock: the meter's clock minus the host's at the last poll,
    // the polls in a row it was off, and the last set.
    std::optional<long> drift;
    bool clockInvalid = false;  // its fields out of range: the most off a clock can be
    int roundsOff = 0;
    std::optional<Clock::time_point> clockSetAt;
    std::optional<ClockSetting> clockSet;
  };

  // Rounds of polls, rescans and waits for a port gone, until asked to end.
  void PollUntilStopped();
  bool WaitForPort(bool gone);
  void Scan();
  void SayLineFault();
  void LeaveOut(const Meter& device);
  std::string RangeText() const;  // "1 to 10"
  void PollRound();
  void Poll(Polled& meter);
  void SetOnline(Polled& meter, bool online);
  void SyncDueLog();
  SyncResult SyncLog(Polled& meter);
  void NoteClock(Polled& meter, const PollFields& fields);
  void KeepClocks();
  ActionOutcome SetClock(Polled& meter);
  void RunActions();
  ActionOutcome Run(Polled& meter, ActionKind kind);
  std::optional<long> ReadDrift(const Polled& meter);
  MeterState StateOf(const Polled& meter, const PollFields& fields) const;
  void NotifyRound(double seconds);
  LogWindow* Window() const { return gateway_ != nullptr ? &gateway_->Window() : nullptr; }
  // False when the monitor is to end; wakeForRescan: also returns at SIGHUP.
  bool SleepUntil(Clock::time_point when, bool wakeForRescan);
  template <typename Call>
  void Tell(Call call) {
    for (Publisher* publisher : publishers_) call(*publisher);
  }

  ModbusLink& link_;
  const StopToken& stop_;
  std::atomic<bool>& rescan_;
  MonitorOptions options_;
  std::string portName_;
  int baud_;
  std::string busId_;
  std::string lineFaultSaid_;  // the link's line fault as last said
  std::map<int, Polled> meters_;        // by address, polled in address order
  std::map<int, std::string> foreign_;  // devices that are no QM4, by address: their text
  std::vector<Publisher*> publishers_;
  LogKeeper* keeper_ = nullptr;
  ModbusGateway* gateway_ = nullptr;
  ActionQueue* actions_ = nullptr;
  Clock::time_point nextScan_;
  ServiceNotify notify_;
  BusTally tally_;
};
