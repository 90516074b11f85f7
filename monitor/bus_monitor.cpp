#include "monitor/bus_monitor.h"

#include <sys/timex.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "bus/commands.h"
#include "bus/scan.h"
#include "meter/register_map.h"
#include "modbus/model.h"
#include "monitor/meter_id.h"
#include "util/utc_text.h"

namespace {
// Signals are looked at this often while the monitor waits: a short enough
// answer to SIGTERM, and no busy loop.
constexpr auto kSignalCheck = std::chrono::milliseconds(50);

std::string PortLabel(std::string name) {
  if (!name.empty() && name.back() != ':') name += ":";
  return name;
}

// The meter's clock minus the host's: both keep local time, as set-clock
// sets it.
long Drift(time_t meterTime) { return static_cast<long>(meterTime - std::time(nullptr)); }

// The kernel's word on the host's clock: the clocks are set from it, and
// only NTP (or the like) keeps it true.
bool HostClockUnsynchronised() {
  struct timex state {};
  const int clock = ntp_adjtime(&state);
  return clock == TIME_ERROR || (state.status & STA_UNSYNC) != 0;
}

std::string Seconds(long seconds) { return (seconds > 0 ? "+" : "") + std::to_string(seconds) + " s"; }

// The sync's status log: a stop of the monitor stops it before its next
// transaction, and each transaction is a sign of life, since a whole log
// takes minutes at low rates.
class MonitorSyncLog : public SyncStatusLog {
 public:
  MonitorSyncLog(ServiceNotify& notify, const StopToken& stop) : SyncStatusLog(&stop), notify_(notify) {}
  bool StopRequested() const override {
    notify_.Alive();
    return SyncStatusLog::StopRequested();
  }

 private:
  ServiceNotify& notify_;
};

// The scan's findings, named on this bus.
class FoundMeters : public ScanSink {
 public:
  FoundMeters(std::string busId, ServiceNotify& notify, const StopToken& stop)
      : busId_(std::move(busId)), notify_(notify), stop_(stop) {}
  void Progress(const std::string&) override {}
  void MeterFound(const Meter& meter, bool) override {
    found.push_back(meter);
    found.back().busId = busId_;
  }
  void AddressDone() override { notify_.Alive(); }  // a full range at a low rate takes minutes
  bool Cancelled() const override { return stop_.Requested(); }
  std::vector<Meter> found;

 private:
  std::string busId_;
  ServiceNotify& notify_;
  const StopToken& stop_;
};
}  // namespace

BusMonitor::BusMonitor(ModbusLink& link, const MonitorOptions& options, std::string portName, int baud,
                       std::string busId, const StopToken& stop, std::atomic<bool>& rescan)
    : link_(link),
      stop_(stop),
      rescan_(rescan),
      options_(options),
      portName_(std::move(portName)),
      baud_(baud),
      busId_(std::move(busId)) {}

void BusMonitor::Run() {
  const bool open = link_.Open(portName_, baud_);
  if (!open) {
    const std::string waiting = "Unable to open " + PortLabel(portName_) + " " + link_.OpenFailureText() +
                                "; trying again every " + std::to_string(kPortRetry.count()) + " s";
    Say(waiting);
    // Waiting for the port is the monitor's loop too: `systemctl start`
    // returns rather than waiting with it for an adapter to be plugged in.
    notify_.Ready(waiting);
  }
  if (options_.keepClockSeconds > 0 && HostClockUnsynchronised())
    Say("--keep-clock: the kernel says this computer's clock is not synchronised (is NTP running?); the meters' "
        "clocks are set from it all the same");
  if (open || WaitForPort(false)) {
    Scan();
    notify_.Ready("meters found: " + std::to_string(meters_.size()) + " at addresses " + RangeText());
    PollUntilStopped();
  }
  Tell([](Publisher& p) { p.Stopping(); });
  link_.Close();
}

void BusMonitor::PollUntilStopped() {
  while (!stop_.Requested()) {
    const bool rescanDue = options_.rescanMinutes > 0 && Clock::now() >= nextScan_;
    const bool rescanAsked = rescan_.exchange(false);
    if (rescanAsked || rescanDue) {
      if (rescanAsked) Say("SIGHUP: scanning addresses " + RangeText() + " again");
      Scan();  // not part of the round that follows it at once
    }
    const auto start = Clock::now();
    PollRound();
    SayLineFault();
    if (stop_.Requested()) return;
    if (link_.DeviceGone()) {
      const std::string waiting = link_.GoneText() + "; trying again every " + std::to_string(kPortRetry.count()) + " s";
      Say(waiting);
      notify_.Status(waiting);
      for (auto& [address, meter] : meters_) {
        meter.failedPolls = 0;
        SetOnline(meter, false);
      }
      if (!WaitForPort(true)) return;
      continue;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const bool overrun = seconds > options_.interval;
    tally_.AddRound(seconds, overrun);
    Tell([&](Publisher& p) { p.RoundDone(seconds, overrun); });
    if (gateway_ != nullptr) tally_.SetGateway(gateway_->Stats());
    if (actions_ != nullptr) tally_.SetCommands(actions_->Counts());
    NotifyRound(seconds);
    SyncDueLog();
    KeepClocks();
    RunActions();
    // A round that overran is followed at once; the rhythm restarts from it
    // rather than hurrying to catch up the rounds it missed.
    if (!SleepUntil(start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options_.interval)),
                    true))
      return;
  }
}

// The port is tried every kPortRetry until it opens (true) or the monitor
// is asked to end (false).
bool BusMonitor::WaitForPort(bool gone) {
  for (;;) {
    if (!SleepUntil(Clock::now() + kPortRetry, false)) return false;
    if (gone)
      link_.Reopen(baud_);
    else
      link_.Open(portName_, baud_);
    if (link_.IsOpen()) break;
  }
  Say(PortLabel(portName_) + " is open again; polling");
  return true;
}

// A fault of the wire itself (an echo that differs, an adapter that echoes
// without --echo) is said once when it shows, not at every poll.
void BusMonitor::SayLineFault() {
  if (link_.LineFault() == lineFaultSaid_) return;
  lineFaultSaid_ = link_.LineFault();
  if (!lineFaultSaid_.empty()) Say(PortLabel(portName_) + " " + lineFaultSaid_);
}

void BusMonitor::Scan() {
  FoundMeters sink(busId_, notify_, stop_);
  Meter first;  // every meter found is polled, not only the first
  ScanBus(link_, options_.start, options_.end, sink, first);
  SayLineFault();
  nextScan_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(options_.rescanMinutes * 60));
  for (const Meter& found : sink.found) {
    if (found.model == ModelNone) {
      LeaveOut(found);
      continue;
    }
    if (foreign_.erase(found.address) > 0) Tell([&](Publisher& p) { p.Foreign(found.address, ""); });
    Polled& meter = meters_[found.address];
    if (meter.info == found) continue;
    meter.info = found;
    Say("found " + DeviceLine(found) + " (" + MeterId(found) + ")");
    Tell([&](Publisher& p) { p.MeterFound(meter.info); });
  }
  if (meters_.empty())
    Say("no meter answered at addresses " + RangeText() + "; the range is scanned again later");
}

// A device that identifies itself but names no QM4 model would be polled for
// ever and published offline: it is named once and not polled. A meter that
// was at its address before goes offline.
void BusMonitor::LeaveOut(const Meter& device) {
  if (const auto meter = meters_.find(device.address); meter != meters_.end()) {
    SetOnline(meter->second, false);
    meters_.erase(meter);
  }
  if (std::string& said = foreign_[device.address]; said != device.identification) {
    said = device.identification;
    Say("found " + DeviceLine(device) + ", which is no QM4 meter: it is not polled");
    Tell([&](Publisher& p) { p.Foreign(device.address, device.identification); });
  }
}

std::string BusMonitor::RangeText() const {
  return std::to_string(options_.start) + " to " + std::to_string(std::min(options_.end, kLastScanAddress));
}

void BusMonitor::PollRound() {
  for (auto& [address, meter] : meters_) {
    if (stop_.Requested() || link_.DeviceGone()) return;
    notify_.Alive();
    Poll(meter);
  }
}

// One poll of a meter, as the console polls the meter it shows. Its state
// counts this poll only: an always-on process would otherwise run the
// counters past their range.
void BusMonitor::Poll(Polled& meter) {
  PollState poll;
  PollFields fields;
  PollMeter(link_, meter.info, poll, fields);
  tally_.AddPoll(MeterId(meter.info), poll.byResult);
  // The readings decide: a QM4C whose log status failed still gave them.
  if (fields.pairsRead == 0) {
    Tell([&](Publisher& p) { p.PollFailed(meter.info, fields.lastFailure); });
    if (++meter.failedPolls == kFailedPollsOffline) {
      if (meter.online == true)
        Say("meter " + MeterId(meter.info) + " stopped answering: " + ResultText(fields.lastFailure));
      SetOnline(meter, false);
    }
    return;
  }
  meter.failedPolls = 0;
  SetOnline(meter, true);
  NoteClock(meter, fields);
  const MeterState state = StateOf(meter, fields);
  Tell([&](Publisher& p) { p.State(meter.info, state); });
}

// Said when it changes, and the first time it is known: a retained
// "online" of an earlier run must not outlive a meter that never answers.
void BusMonitor::SetOnline(Polled& meter, bool online) {
  if (meter.online == online) return;
  if (online && meter.online.has_value()) Say("meter " + MeterId(meter.info) + " answers again");
  meter.online = online;
  Tell([&](Publisher& p) { p.Availability(meter.info, online); });
}

// The QM4C answering now whose sync has waited longest, if one is due.
void BusMonitor::SyncDueLog() {
  if (keeper_ == nullptr || stop_.Requested()) return;
  Polled* due = nullptr;
  LogKeeper::Clock::time_point dueSince = LogKeeper::Clock::time_point::max();
  for (auto& [address, meter] : meters_) {
    LogKeeper::Clock::time_point when;
    if (meter.info.model != ModelQM4C || meter.online != true ||
        !keeper_->Due(MeterId(meter.info), LogKeeper::Clock::now(), &when) || when >= dueSince)
      continue;
    due = &meter;
    dueSince = when;
  }
  if (due == nullptr) return;
  // A client reading the log through the gateway first: the sync stays due.
  const MonitorWindowHold hold(Window(), link_, due->info.address);
  if (hold.Held()) SyncLog(*due);
}

SyncResult BusMonitor::SyncLog(Polled& meter) {
  MonitorSyncLog log(notify_, stop_);
  const SyncResult result = keeper_->Sync(link_, meter.info, log);
  for (const std::string& line : LogKeeper::Lines(meter.info, result)) Say(line);
  if (const time_t upTo = LogKeeper::ArchivedUpTo(result); upTo > 0) meter.archivedUpTo = upTo;
  Tell([&](Publisher& p) { p.Synced(meter.info, result); });
  return result;
}

// The poll's readings; with --archive, the newest log entry every archive
// holds; with --keep-clock, the clock's drift and the last set.
MeterState BusMonitor::StateOf(const Polled& meter, const PollFields& fields) const {
  MeterState state;
  state.time = std::time(nullptr);
  state.fields = fields;
  state.archivedUpTo = meter.archivedUpTo;
  if (options_.keepClockSeconds > 0 || options_.mqtt.commands) state.clockDrift = meter.drift;
  state.clockSet = meter.clockSet;
  return state;
}

void BusMonitor::NoteClock(Polled& meter, const PollFields& fields) {
  meter.drift = fields.clockTime ? std::optional<long>(Drift(*fields.clockTime)) : std::nullopt;
  meter.clockInvalid = fields.clock.has_value() && !fields.clockTime;
  const bool off =
      meter.clockInvalid || (meter.drift && static_cast<double>(std::labs(*meter.drift)) > options_.keepClockSeconds);
  meter.roundsOff = off ? meter.roundsOff + 1 : 0;
}

// One clock a round at most, as one log sync: no round waits for more.
void BusMonitor::KeepClocks() {
  if (options_.keepClockSeconds <= 0 || stop_.Requested()) return;
  for (auto& [address, meter] : meters_) {
    if (meter.roundsOff < kRoundsOffBeforeSet || meter.online != true ||
        (meter.clockSetAt && Clock::now() - *meter.clockSetAt < kClockSetSpacing))
      continue;
    // Never a clock stepped under a client reading the log.
    const MonitorWindowHold hold(Window(), link_, meter.info.address);
    if (!hold.Held()) continue;
    SetClock(meter);
    return;
  }
}

// The log is archived up to the step first, so that its entries keep the
// time line they were logged on; a log that cannot be is not stepped. A
// clock within a second is as right as whole seconds can set it: writing
// it would only make a step of nothing for the archive.
ActionOutcome BusMonitor::SetClock(Polled& meter) {
  meter.clockSetAt = Clock::now();
  meter.roundsOff = 0;
  const std::optional<long> before = meter.clockInvalid ? std::nullopt : std::optional<long>(meter.drift.value_or(0));
  const std::string head =
      "meter " + MeterId(meter.info) + ": clock " + (before ? "off by " + Seconds(*before) : "invalid");
  ActionOutcome outcome{ActionKind::SetClock, std::time(nullptr), false, ""};
  if (meter.drift && std::labs(*meter.drift) <= kClockWithin) {
    outcome.ok = true;
    outcome.result = "nothing written: the clock is within a second";
    Say(head + "; " + outcome.result);
    return outcome;
  }
  if (keeper_ != nullptr && !SyncLog(meter).AllArchived()) {
    outcome.result = "its log could not be archived first";
    Say(head + " left as it is: " + outcome.result);
    return outcome;
  }
  ClockSetting setting{std::time(nullptr), ResultOk, before, std::nullopt};
  {
    // Its three writes are one piece on the line: no request of a gateway
    // client reads a clock half set.
    const std::unique_lock<TurnLock> turn = link_.WaitForTurn();
    setting.result = SetClockFromPc(link_, meter.info);
  }
  if (setting.result == ResultOk) setting.after = ReadDrift(meter);
  if (setting.result != ResultOk)
    Say(head + "; setting it failed: " + ResultText(setting.result));
  else
    Say(head + "; set from this computer's clock" + (setting.after ? ", now off by " + Seconds(*setting.after) : ""));
  // An invalid clock had no time line: the sync finds the log's own break.
  if (setting.result == ResultOk && keeper_ != nullptr && before)
    keeper_->ClockStepped(MeterId(meter.info), setting.after.value_or(0) - *before);
  meter.clockSet = setting;
  Tell([&](Publisher& p) { p.ClockSet(meter.info, setting); });
  outcome.ok = setting.result == ResultOk;
  outcome.result = outcome.ok ? "set" : ResultText(setting.result);
  return outcome;
}

// What was asked since the last round, in the order asked; an action for a
// meter this bus does not poll as a QM4C (or a sync without archives) is
// said and dropped.
void BusMonitor::RunActions() {
  if (actions_ == nullptr) return;
  actions_->Flush();
  for (const Action& action : actions_->TakeAll()) {
    if (stop_.Requested()) return;
    const auto meter = std::find_if(meters_.begin(), meters_.end(), [&](const auto& m) {
      return MeterId(m.second.info) == action.meterId && m.second.info.model == ModelQM4C;
    });
    if (meter == meters_.end() || (action.kind == ActionKind::SyncLog && keeper_ == nullptr)) {
      actions_->Refuse(CommandOutcome::UnknownMeter, action.source,
                       std::string(ActionName(action.kind)) + " asked of " + action.meterId +
                           ", which this monitor cannot do");
      continue;
    }
    const MonitorWindowHold hold(Window(), link_, meter->second.info.address);
    if (!hold.Held()) {
      actions_->Push(action);  // a client reads the meter's log: asked again next round
      continue;
    }
    const ActionOutcome outcome = Run(meter->second, action.kind);
    Say("meter " + action.meterId + ": " + ActionName(action.kind) + " as asked: " + outcome.result);
    Tell([&](Publisher& p) { p.ActionDone(meter->second.info, outcome); });
  }
}

ActionOutcome BusMonitor::Run(Polled& meter, ActionKind kind) {
  if (kind == ActionKind::SetClock) return SetClock(meter);
  ActionOutcome outcome{kind, std::time(nullptr), false, ""};
  const SyncResult result = SyncLog(meter);
  outcome.ok = result.AllArchived();
  long added = 0;
  for (const ArchiveSyncReport& report : result.archives) added += report.outcome.added;
  outcome.result = !result.meterRead ? result.failure
                   : outcome.ok      ? std::to_string(added) + " new entries archived"
                                     : "an archive did not take the entries";
  return outcome;
}

std::optional<long> BusMonitor::ReadDrift(const Polled& meter) {
  int clock[3];
  if (link_.ReadHoldingRegisters(meter.info.address, reg::kClock, 3, clock) != ResultOk) return std::nullopt;
  const time_t value = MeterTimeValue(clock[0], clock[1], clock[2]);
  if (value == static_cast<time_t>(-1)) return std::nullopt;
  return Drift(value);
}

bool BusMonitor::SleepUntil(Clock::time_point when, bool wakeForRescan) {
  while (!stop_.Requested() && !(wakeForRescan && rescan_.load()) && Clock::now() < when) {
    notify_.Alive();
    std::this_thread::sleep_for(std::min<Clock::duration>(kSignalCheck, when - Clock::now()));
  }
  return !stop_.Requested();
}

void BusMonitor::NotifyRound(double seconds) {
  const auto online = std::count_if(meters_.begin(), meters_.end(), [](const auto& entry) {
    return entry.second.online == true;
  });
  notify_.Status(RoundStatus(static_cast<int>(online), static_cast<int>(meters_.size()), seconds, UtcText(std::time(nullptr))));
  notify_.Alive();
}
