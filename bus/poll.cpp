#include "bus/poll.h"

#include "meter/meter_state.h"
#include "meter/reading_format.h"
#include "meter/register_map.h"
#include "modbus/model.h"

namespace {
constexpr int kQm4aReadingCount = 4;  // a QM4A answers only energy and total power
constexpr int kClockBlockCount = 8;   // 149..156
constexpr int kLogStatusCount = 9;    // 159..167

std::string MeterTimeText(const int* registers) {
  char text[48];
  FormatMeterTime(registers[0], registers[1], registers[2], text, sizeof text);
  return text;
}

// The value at a register offset of the reading block (offsets are even).
std::string ReadingAt(const PollFields& fields, int offset) { return FormatReading(fields.pairs[offset / 2]); }

// The reads of one poll of one meter, each counted into the poll's state
// and filling the poll's fields.
class MeterPoll {
 public:
  MeterPoll(ModbusLink& link, const Meter& meter, PollState& state, PollFields& fields,
            const PhaseOffsets& phaseOffset)
      : link_(link), slave_(meter.address), state_(state), fields_(fields), phaseOffset_(phaseOffset) {}

  void Qm4a();
  void ReadingBlock();
  bool ClockBlock();
  void LogStatus();

 private:
  ModbusResult Read(int firstAddress, int count, int* registers);
  void CountFailure(ModbusResult result);
  bool ReadReadingBlock(int count);

  ModbusLink& link_;
  const int slave_;
  PollState& state_;
  PollFields& fields_;
  const PhaseOffsets& phaseOffset_;
};

ModbusResult MeterPoll::Read(int firstAddress, int count, int* registers) {
  const ModbusResult result = link_.ReadHoldingRegisters(slave_, firstAddress, count, registers);
  ++state_.byResult[result];
  if (result == ResultOk) fields_.answered = true;
  return result;
}

void MeterPoll::CountFailure(ModbusResult result) {
  ++state_.bad;
  state_.lastResult = result;
  fields_.lastFailure = result;
}

// Reads count registers of the reading block and decodes its float pairs.
bool MeterPoll::ReadReadingBlock(int count) {
  int registers[reg::kReadingBlockCount];
  const ModbusResult result = Read(reg::kReadingBlock, count, registers);
  if (result != ResultOk) {
    CountFailure(result);
    return false;
  }
  ++state_.ok;
  fields_.pairsRead = count / 2;
  for (int pair = 0; pair < fields_.pairsRead; ++pair)
    fields_.pairs[pair] = WordsToFloat(registers[2 * pair], registers[2 * pair + 1]);
  fields_.kwh = FormatReading(fields_.pairs[0]);
  return true;
}

void MeterPoll::Qm4a() {
  if (!ReadReadingBlock(kQm4aReadingCount)) return;
  // A QM4A is asked for energy and total power only. With the kW row set to a
  // phase, that phase's pair was never read: field 1011 is blanked rather than
  // left holding an older reading, so it never shows a value this poll did not
  // read.
  const int offset = phaseOffset_[RowKw];
  fields_.kw = offset < kQm4aReadingCount ? ReadingAt(fields_, offset) : std::string();
}

void MeterPoll::ReadingBlock() {
  if (!ReadReadingBlock(reg::kReadingBlockCount)) return;
  fields_.kw = ReadingAt(fields_, phaseOffset_[RowKw]);
  fields_.amps = ReadingAt(fields_, phaseOffset_[RowAmps]);
  fields_.voltsLL = ReadingAt(fields_, phaseOffset_[RowVoltsLL]);
  fields_.pf = ReadingAt(fields_, phaseOffset_[RowPf]);
  fields_.voltsLN = ReadingAt(fields_, phaseOffset_[RowVoltsLN]);
}

// False when the clock block could not be read: the tick ends there, and that
// failure is counted nowhere.
bool MeterPoll::ClockBlock() {
  int registers[kClockBlockCount];
  const ModbusResult result = Read(reg::kSubInterval, kClockBlockCount, registers);
  if (result != ResultOk) {
    fields_.lastFailure = result;
    return false;
  }
  ++state_.ok;
  state_.subIntervalSeconds = static_cast<int16_t>(registers[0] & 0xFFFF);
  fields_.subInterval = FormatRegister(registers[0]);
  const int* clock = &registers[reg::kClock - reg::kSubInterval];
  // Month 13 or hour 24 would otherwise be carried over into a date
  // (mktime), and 255s everywhere gave a drift of centuries.
  const bool valid = MeterTimeValid(UnpackMeterTime(clock[0], clock[1], clock[2]));
  fields_.clock = valid ? MeterTimeText(clock) : "invalid";
  if (const time_t value = MeterTimeValue(clock[0], clock[1], clock[2]); valid && value != static_cast<time_t>(-1))
    fields_.clockTime = value;
  return true;
}

void MeterPoll::LogStatus() {
  int registers[kLogStatusCount];
  const ModbusResult result = Read(reg::kLogStatusBlock, kLogStatusCount, registers);
  if (result != ResultOk) {
    CountFailure(result);
    return;
  }
  ++state_.ok;
  auto at = [&](int address) { return registers[address - reg::kLogStatusBlock]; };
  const bool full = at(reg::kRollovers) != 0;
  fields_.bufferStatus = full ? "FULL" : "NOT FULL";
  fields_.rollovers = FormatRegister(at(reg::kRollovers));
  fields_.daysToRollover = FormatRegister(at(reg::kDaysToRollover));
  // Register 162 counts entries only until the buffer first fills.
  fields_.logEntries = full ? FormatRegister(reg::kLogCapacity) : FormatRegister(at(reg::kLogEntries));
  // An empty log (restarted) has no newest entry; its time registers read
  // as zeros, which would show as "0/0/2000  00:00:00".
  const bool empty = !full && at(reg::kLogEntries) == 0;
  fields_.newestEntry = empty ? std::string() : MeterTimeText(&registers[reg::kNewestEntryTime - reg::kLogStatusBlock]);
}
}  // namespace

bool LeftStale(const PollFields& fields, const std::optional<std::string>& field) {
  return fields.lastFailure != ResultOk && !field.has_value();
}

bool PollMeter(ModbusLink& link, const Meter& meter, PollState& state, PollFields& fields,
               const PhaseOffsets& phaseOffset) {
  if (!link.IsOpen() || state.suspended) return false;
  MeterPoll poll(link, meter, state, fields, phaseOffset);
  switch (meter.model) {
    case ModelQM4A:
      poll.Qm4a();
      return true;
    case ModelQM4B:
      poll.ReadingBlock();
      return true;
    case ModelQM4C:
      poll.ReadingBlock();
      if (poll.ClockBlock()) poll.LogStatus();
      return true;
    default:
      return false;
  }
}
