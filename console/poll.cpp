#include "console/poll.h"

#include "meter/meter_state.h"
#include "meter/reading_format.h"
#include "meter/register_map.h"
#include "modbus/master.h"
#include "modbus/model.h"
#include "modbus/serial_link.h"

namespace {
constexpr int kQm4aReadingCount = 4;  // a QM4A answers only energy and total power
constexpr int kClockBlockCount = 8;   // 149..156
constexpr int kLogStatusCount = 9;    // 159..167

std::string MeterTimeText(const int* registers) {
  char text[48];
  FormatMeterTime(registers[0], registers[1], registers[2], text, sizeof text);
  return text;
}

void CountFailure(PollFields& fields, ModbusResult result) {
  ++g_badCount;
  g_lastResult = result;
  fields.lastFailure = result;
}

// Reads count registers of the reading block and decodes its float pairs.
bool ReadReadingBlock(PollFields& fields, int count) {
  int registers[reg::kReadingBlockCount];
  const ModbusResult result = ReadHoldingRegisters(g_port, g_slaveAddress, reg::kReadingBlock, count, registers);
  if (result != ResultOk) {
    CountFailure(fields, result);
    return false;
  }
  ++g_okCount;
  fields.pairsRead = count / 2;
  for (int pair = 0; pair < fields.pairsRead; ++pair)
    fields.pairs[pair] = WordsToFloat(registers[2 * pair], registers[2 * pair + 1]);
  fields.kwh = FormatReading(fields.pairs[0]);
  return true;
}

// The value at a register offset of the reading block (offsets are even).
std::string ReadingAt(const PollFields& fields, int offset) { return FormatReading(fields.pairs[offset / 2]); }

void PollQm4a(PollFields& fields) {
  if (!ReadReadingBlock(fields, kQm4aReadingCount)) return;
  // A QM4A is asked for energy and total power only. With the kW row set to a
  // phase, that phase's pair was never read: field 1011 is blanked rather than
  // left holding an older reading, so it never shows a value this poll did not
  // read.
  const int offset = g_phaseOffset[RowKw];
  fields.kw = offset < kQm4aReadingCount ? ReadingAt(fields, offset) : std::string();
}

void PollReadingBlock(PollFields& fields) {
  if (!ReadReadingBlock(fields, reg::kReadingBlockCount)) return;
  fields.kw = ReadingAt(fields, g_phaseOffset[RowKw]);
  fields.amps = ReadingAt(fields, g_phaseOffset[RowAmps]);
  fields.voltsLL = ReadingAt(fields, g_phaseOffset[RowVoltsLL]);
  fields.pf = ReadingAt(fields, g_phaseOffset[RowPf]);
  fields.voltsLN = ReadingAt(fields, g_phaseOffset[RowVoltsLN]);
}

// False when the clock block could not be read: the tick ends there, and that
// failure is counted nowhere.
bool PollClockBlock(PollFields& fields) {
  int registers[kClockBlockCount];
  const ModbusResult result = ReadHoldingRegisters(g_port, g_slaveAddress, reg::kSubInterval, kClockBlockCount, registers);
  if (result != ResultOk) {
    fields.lastFailure = result;
    return false;
  }
  ++g_okCount;
  g_subIntervalSeconds = static_cast<int16_t>(registers[0] & 0xFFFF);
  fields.subInterval = FormatRegister(registers[0]);
  fields.clock = MeterTimeText(&registers[reg::kClock - reg::kSubInterval]);
  return true;
}

void PollLogStatus(PollFields& fields) {
  int registers[kLogStatusCount];
  const ModbusResult result = ReadHoldingRegisters(g_port, g_slaveAddress, reg::kLogStatusBlock, kLogStatusCount, registers);
  if (result != ResultOk) {
    CountFailure(fields, result);
    return;
  }
  ++g_okCount;
  auto at = [&](int address) { return registers[address - reg::kLogStatusBlock]; };
  const bool full = at(reg::kRollovers) != 0;
  fields.bufferStatus = full ? "FULL" : "NOT FULL";
  fields.rollovers = FormatRegister(at(reg::kRollovers));
  fields.daysToRollover = FormatRegister(at(reg::kDaysToRollover));
  // Register 162 counts entries only until the buffer first fills.
  fields.logEntries = full ? FormatRegister(reg::kLogCapacity) : FormatRegister(at(reg::kLogEntries));
  fields.newestEntry = MeterTimeText(&registers[reg::kNewestEntryTime - reg::kLogStatusBlock]);
}
}  // namespace

bool LeftStale(const PollFields& fields, const std::optional<std::string>& field) {
  return fields.lastFailure != ResultOk && !field.has_value();
}

bool PollMeter(PollFields& fields) {
  if (!g_portOpen || g_pollSuspended) return false;
  switch (g_modelCode) {
    case ModelQM4A:
      PollQm4a(fields);
      return true;
    case ModelQM4B:
      PollReadingBlock(fields);
      return true;
    case ModelQM4C:
      PollReadingBlock(fields);
      if (PollClockBlock(fields)) PollLogStatus(fields);
      return true;
    default:
      return false;
  }
}
