#pragma once
// What the monitor tells the systems it feeds. Every call comes from the
// polling thread; a publisher that talks to the network must not block it.

#include <chrono>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "bus/poll.h"
#include "meter/meter.h"
#include "modbus/result.h"

struct SyncResult;
struct ActionOutcome;

// A meter's clock set by the monitor (--keep-clock): how far it was off
// (meter minus host, seconds) before, and after as read back.
struct ClockSetting {
  time_t when = 0;
  ModbusResult result = ResultOk;
  std::optional<long> before;  // the drift; none when the clock was invalid
  std::optional<long> after;   // none when the read back failed
  // {"time", "result", "before", "after"}: the state object's "clock-set".
  std::string Json() const;
};

// A meter's state after a poll that read its readings, as the monitor knows
// it then: one object that each publisher writes its own way (StateJson for
// MQTT and --json, samples for /metrics, the page's JSON).
struct MeterState {
  time_t time = 0;                       // when the poll ended
  PollFields fields;                     // as the poll read them
  time_t archivedUpTo = 0;               // --archive: the newest entry every archive holds; 0 none
  std::optional<long> clockDrift;        // --keep-clock: meter minus host, seconds
  std::optional<ClockSetting> clockSet;  // --keep-clock: the last set
};
// {"time", "meter", the readings of read --json, then, where known,
// "archived", "clock-drift", "clock-set"}: the state object of MQTT and
// --json.
std::string StateJson(const Meter& meter, const MeterState& state);

// "pylaxctl: MESSAGE" on stderr at once: what the monitor and its
// publishers tell whoever runs them (the journal, under systemd).
void Say(const std::string& message);

class Publisher {
 public:
  virtual ~Publisher() = default;
  // A meter the scan found, or found again as another model.
  virtual void MeterFound(const Meter&) {}
  // A device that answered the scan naming no QM4 model, so not polled;
  // an empty text: the device at address is no longer one.
  virtual void Foreign(int, const std::string&) {}
  // A poll that read the readings.
  virtual void State(const Meter&, const MeterState&) {}
  // A poll that read none of the readings: result is why.
  virtual void PollFailed(const Meter&, ModbusResult) {}
  // Online at the first good poll, offline after 3 failed polls in a row, or
  // when the port has gone.
  virtual void Availability(const Meter&, bool) {}
  // A round of polls took seconds, counted in the bus's tally already; it
  // overran when it took longer than the interval.
  virtual void RoundDone(double, bool) {}
  // The meter's log was synced into the archives (--archive), between
  // rounds.
  virtual void Synced(const Meter&, const SyncResult&) {}
  // The monitor set the meter's clock (--keep-clock), between rounds.
  virtual void ClockSet(const Meter&, const ClockSetting&) {}
  // An action asked of the meter (--mqtt-commands) was run, between rounds.
  virtual void ActionDone(const Meter&, const ActionOutcome&) {}
  // The monitor is ending: say so while the connection is still there.
  virtual void Stopping() {}
};

// --json: each state object as one line on stdout, written by a thread of
// its own, so that a reader that stalls (a pipe whose reader stopped
// reading) never holds up the poll: a line that finds kQueueBytes already
// waiting is dropped and counted, and the count said at the end.
class JsonLinesPublisher : public Publisher {
 public:
  explicit JsonLinesPublisher(int fd);
  ~JsonLinesPublisher() override;
  void State(const Meter& meter, const MeterState& state) override;
  // Gives the writer kDrainWait to write what waits, then says how many
  // lines were dropped.
  void Stopping() override;

  // As much as a pipe holds again: a reader that pauses for a few rounds
  // loses nothing, one that stopped costs no more memory than this.
  static constexpr size_t kQueueBytes = 64 * 1024;
  static constexpr std::chrono::seconds kDrainWait{1};

 private:
  struct Queue;
  // Shared with the writer, which may still sit in a write to a stalled
  // reader when this publisher is gone: the process then ends without it.
  std::shared_ptr<Queue> queue_;
  std::thread writer_;
};
