#include "monitor/readings_keeper.h"

#include <algorithm>
#include <cmath>

#include "meter/register_map.h"
#include "modbus/model.h"

namespace {
// The float pairs of kVAh and kVArh (register numbers 309/310, 311/312).
constexpr int kOtherCountersAddress = 308;
}  // namespace

ReadingsKeeper::ReadingsKeeper(ModbusLink& link, std::vector<std::unique_ptr<ArchiveStore>> stores,
                               double everyMinutes)
    : link_(link),
      stores_(std::move(stores)),
      waiting_(stores_.size()),
      every_(static_cast<time_t>(std::llround(everyMinutes * 60))) {}

void ReadingsKeeper::State(const Meter& meter, const MeterState& state) {
  if (state.fields.pairsRead == 0 || !std::isfinite(state.fields.pairs[0])) return;
  Track& track = tracks_[MeterId(meter)];
  track.meter = meter;
  PolledReading reading;
  reading.time = state.time;
  reading.kwh = state.fields.pairs[0];
  if (track.afterGap || reading.time - track.keptAt >= every_) {
    ReadOtherCounters(meter, reading);
    Keep(track, reading);
  } else {
    track.unkept = reading;
  }
}

void ReadingsKeeper::Availability(const Meter& meter, bool online) {
  const auto track = tracks_.find(MeterId(meter));
  if (online || track == tracks_.end()) return;
  if (track->second.unkept) Keep(track->second, *track->second.unkept);
  track->second.afterGap = true;
}

void ReadingsKeeper::Stopping() {
  for (auto& [id, track] : tracks_)
    if (track.unkept) Keep(track, *track.unkept);
}

void ReadingsKeeper::Keep(Track& track, PolledReading reading) {
  reading.afterGap = track.afterGap;
  track.afterGap = false;
  track.keptAt = reading.time;
  track.unkept.reset();
  for (Waiting& waiting : waiting_) {
    auto& [meter, rows] = waiting.rows[MeterId(track.meter)];
    meter = track.meter;
    if (rows.size() < kWaitingLimit) rows.push_back(reading);
  }
  Flush();
}

// A QM4A has no such counters; a read that fails leaves them out.
void ReadingsKeeper::ReadOtherCounters(const Meter& meter, PolledReading& reading) {
  if (meter.model != ModelQM4B && meter.model != ModelQM4C) return;
  int values[4];
  if (link_.ReadHoldingRegisters(meter.address, kOtherCountersAddress, 4, values) != ResultOk) return;
  // A pair that is no number (a meter's fault) is no counter: InfluxDB would refuse the point.
  const float kvah = WordsToFloat(values[0], values[1]), kvarh = WordsToFloat(values[2], values[3]);
  if (std::isfinite(kvah)) reading.kvah = kvah;
  if (std::isfinite(kvarh)) reading.kvarh = kvarh;
}

// Each store takes what waits for it; one that fails keeps it for the next
// reading, and says why once.
void ReadingsKeeper::Flush() {
  for (size_t i = 0; i < stores_.size(); ++i) {
    Waiting& waiting = waiting_[i];
    for (auto entry = waiting.rows.begin(); entry != waiting.rows.end();) {
      std::string error;
      const auto& [meter, rows] = entry->second;
      if (!stores_[i]->AppendReadings(meter, rows, &error)) {
        if (error != waiting.said) Say(stores_[i]->Url() + ": the meters' readings wait: " + error);
        waiting.said = error;
        break;
      }
      if (!waiting.said.empty()) Say(stores_[i]->Url() + " takes the meters' readings again");
      waiting.said.clear();
      entry = waiting.rows.erase(entry);
    }
  }
}
