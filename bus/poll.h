#pragma once
// One poll of the picked meter, as the console runs it each second.

#include <array>
#include <ctime>
#include <optional>
#include <string>

#include "meter/meter.h"
#include "meter/meter_state.h"
#include "modbus/link.h"
#include "modbus/result.h"

// The texts one poll produced. A field left empty (nullopt) was not filled by
// this poll and keeps what it showed.
struct PollFields {
  std::optional<std::string> kwh;            // 1010
  std::optional<std::string> kw;             // 1011
  std::optional<std::string> pf;             // 1013
  std::optional<std::string> voltsLL;        // 1014
  std::optional<std::string> voltsLN;        // 1035
  std::optional<std::string> amps;           // 1015
  std::optional<std::string> subInterval;    // 1091
  std::optional<std::string> clock;          // 1092; "invalid" for fields out of range
  std::optional<time_t> clockTime;           // the same as a local time value; none when invalid
  std::optional<std::string> bufferStatus;   // 1082 "FULL" / "NOT FULL"
  std::optional<std::string> rollovers;      // 1081
  std::optional<std::string> daysToRollover; // 1087
  std::optional<std::string> logEntries;     // 1090
  std::optional<std::string> newestEntry;    // 1088; empty for an empty log

  // The reading block's float pairs as read (pairsRead of them: 24, 2 for a
  // QM4A, 0 when the read failed).
  std::array<float, 24> pairs{};
  int pairsRead = 0;

  // The result of this poll's last read that failed, ResultOk when none did.
  // Unlike PollState::lastResult it also records a failed clock-block read,
  // which the counters leave out; pylaxctl reports it.
  ModbusResult lastFailure = ResultOk;
  // Some read of this poll got the meter's answer.
  bool answered = false;
};

// True when this poll read the meter, failed, and so left field unfilled:
// what the field shows is older than this poll. (A field the model has none
// of is empty anyway.)
bool LeftStale(const PollFields& fields, const std::optional<std::string>& field);

// Runs the reads for meter's model at its address over link, counting them
// into state by the poll's rules (PollState); the rows kW, PF, Volts and Amps
// show the pairs at phaseOffset. Does nothing when the link's port is
// closed, state is suspended, or the meter has no model. Returns true when
// the display is to be refreshed (models 1 to 3).
bool PollMeter(ModbusLink& link, const Meter& meter, PollState& state, PollFields& fields,
               const PhaseOffsets& phaseOffset = kRowTotals);
