#pragma once
// --archive-readings: every meter's energy counters (kWh, kVAh, kVArh) kept
// in the archives every few minutes, so that a meter without a log (QM4A,
// QM4B, a QM4C logging no kWh) has its consumption reported too. Another
// publisher the poller calls: each good poll is handed to it.

#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "modbus/link.h"
#include "monitor/publisher.h"

class ReadingsKeeper : public Publisher {
 public:
  // A store that is away keeps this many readings a meter for its return.
  static constexpr size_t kWaitingLimit = 10000;

  // link: the monitor's, for the kVAh and kVArh of a QM4B or QM4C, read
  // when a reading is kept (the poll reads only the kWh of the three).
  ReadingsKeeper(ModbusLink& link, std::vector<std::unique_ptr<ArchiveStore>> stores, double everyMinutes);

  // Kept when the meter's last kept reading is everyMinutes old, and the
  // first after an outage (marked so).
  void State(const Meter& meter, const MeterState& state) override;
  // Offline: the last good poll before the outage is kept, and the next
  // kept begins after a gap.
  void Availability(const Meter& meter, bool online) override;
  // The monitor ends: each meter's last good poll is kept.
  void Stopping() override;

 private:
  struct Track {
    Meter meter;
    std::optional<PolledReading> unkept;  // the newest good poll not kept
    time_t keptAt = 0;
    bool afterGap = true;                 // the monitor's first reading of a meter begins after one
  };
  struct Waiting {
    std::string said;  // the store's last failure, said once until it changes
    std::map<std::string, std::pair<Meter, std::vector<PolledReading>>> rows;  // by meter id
  };

  void Keep(Track& track, PolledReading reading);
  void ReadOtherCounters(const Meter& meter, PolledReading& reading);
  void Flush();

  ModbusLink& link_;
  std::vector<std::unique_ptr<ArchiveStore>> stores_;
  std::vector<Waiting> waiting_;  // one a store
  time_t every_;
  std::map<std::string, Track> tracks_;  // by meter id
};
