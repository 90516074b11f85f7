#include "bus/download.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <memory>

#include "bus/csv_writer.h"
#include "bus/busy_wait.h"
#include "bus/meter_io.h"
#include "bus/write_failure.h"
#include "util/replacement_file.h"

namespace {
constexpr int kStatusBlockCount = 14;  // 149..162
constexpr int kLogStateCount = 29;     // 149..177: status, newest entry time and the slots
constexpr int kSlotBlockCount = 13;    // 165..177: newest entry time and the slots
constexpr int kNewestTimeCount = 3;    // 165..167
constexpr int kExponentCount = 4;      // 137..140
// Entries lie at least 10 s apart and a section takes about 2 s even at 1200
// baud, so a section whose window moves more often than this is not being
// moved by the meter's logging alone.
constexpr int kNewEntryRereads = 3;
constexpr const char* kNewEntryMessage = "Register %d: the meter logged a new entry while it was read; reading again.";

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// Every transaction of a download is asked again when its answer is
// spoiled, each repetition logged: one bad answer on a noisy line must not end
// a download that has run for a minute. Reads change nothing, and writing a
// slot selection twice selects the same slot. After kTransactionRetries
// repetitions the download gives up instead of asking for ever a meter that
// has gone away; a closed port, or a device that has gone away (adapter
// pulled), is not asked again at all. A gateway's lost connection is: the
// next transaction connects again. A busy meter is waited for by the caller
// (WaitWhileBusy), and a gateway's refusal stands: neither is spoiled, so
// neither is asked again here.
template <typename Transaction>
bool Repeated(const ModbusLink& link, Transaction transaction, StatusLog& log) {
  for (int retry = 0;; ++retry) {
    if (transaction()) return true;
    if (retry == kTransactionRetries || log.StopRequested() || !link.IsOpen() ||
        (link.DeviceGone() && !link.Reconnects()) || link.LastExceptionCode() == kExceptionCodeBusy ||
        GatewayRefusedWrite(link, ResultException))
      return false;
    log.LogStatus(Format("Response Timeout Retry #%d", retry + 1));
  }
}

bool ReadRepeated(ModbusLink& link, int slave, int firstAddress, int count, int* values, StatusLog& log) {
  return Repeated(link, [&] { return ReadMeter(link, slave, firstAddress, count, values, log); }, log);
}

bool SelectSlot(ModbusLink& link, int slave, int value, StatusLog& log) {
  return Repeated(link, [&] { return WriteMeter(link, slave, reg::kSlotSelector, value, log); }, log);
}

// A read outside a slot's selection, waiting while the meter is busy.
bool ReadWaiting(ModbusLink& link, int slave, int firstAddress, int count, int* values, StatusLog& log) {
  return WaitWhileBusy(link, slave, log, [&] {
    return AttemptOutcome(link, ReadRepeated(link, slave, firstAddress, count, values, log));
  });
}

// Sent even after a stop was asked for: a download never leaves the meter
// with a slot selected.
bool ReleaseSlot(ModbusLink& link, int slave, StatusLog& log) {
  return Repeated(link, [&] { return link.WriteSingleRegister(slave, reg::kSlotSelector, 0) == ResultOk; }, log);
}

struct LogStatusBlock {
  int timeStep;
  int entryCount;
};

// registers: from address 149 on, at least up to 162.
LogStatusBlock StatusOfRegisters(const int* registers) {
  auto at = [&](int address) { return registers[address - reg::kSubInterval] & 0xFFFF; };
  const int count = at(reg::kRollovers) != 0 ? reg::kLogCapacity : at(reg::kLogEntries);
  // Register 162 is 16 bits and could claim up to 65535 entries, more than the
  // buffer holds; only the newest kLoggedDataCapacity are read and stored.
  return {std::max(at(reg::kSubInterval), kMinTimeStepSeconds), std::min(count, kLoggedDataCapacity)};
}

bool ReadLogStatusBlock(ModbusLink& link, int slave, LogStatusBlock& status, StatusLog& log) {
  int registers[kStatusBlockCount];
  if (!ReadWaiting(link, slave, reg::kSubInterval, kStatusBlockCount, registers, log)) return false;
  status = StatusOfRegisters(registers);
  log.LogStatus(Format("Interval = %d secs.", status.timeStep));
  return true;
}

// The time of the newest log entry, read again after a slot or section to
// see whether the meter logged meanwhile.
bool ReadNewestTime(ModbusLink& link, int slave, time_t& newest, StatusLog& log) {
  int registers[kNewestTimeCount];
  if (!ReadRepeated(link, slave, reg::kNewestEntryTime, kNewestTimeCount, registers, log)) return false;
  newest = MeterTimeValue(registers[0], registers[1], registers[2]);
  return true;
}

// Row 0 becomes `rows` instants newer: every row moves down, and the new top
// rows hold nothing read yet.
void ShiftRows(LoggedData& data, int rows) {
  if (rows == 0) return;
  for (int32_t* column : data.raw) {
    std::copy_backward(column, column + data.pointCount, column + data.pointCount + rows);
    std::fill_n(column, rows, kNotRead);
  }
  data.pointCount = static_cast<int16_t>(data.pointCount + rows);
}

void GrowRows(LoggedData& data, int rows) {
  if (rows <= data.pointCount) return;
  for (int32_t* column : data.raw) std::fill(column + data.pointCount, column + rows, kNotRead);
  data.pointCount = static_cast<int16_t>(rows);
}

// Places n entries of slotEntries, read from the log window at offset while
// the newest entry was at time newest, in the rows of their instants. Newest
// times only ever move forward by whole time steps while the meter logs; one
// that went back or moved by part of a step (the meter's clock was set, its
// log restarted), or would push rows past the capacity, gives false.
bool PlaceEntries(LoggedData& data, int slot, time_t newest, int offset, int n) {
  if (data.pointCount == 0) data.newestTime = newest;
  const time_t ahead = newest - data.newestTime;
  const time_t shift = ahead / data.timeStep;
  if (ahead < 0 || ahead % data.timeStep != 0 ||
      std::max<time_t>(data.pointCount + shift, offset + n) > kLoggedDataCapacity)
    return false;
  ShiftRows(data, static_cast<int>(shift));
  data.newestTime = newest;
  GrowRows(data, offset + n);
  std::copy_n(data.slotEntries + offset, n, data.raw[slot] + offset);
  return true;
}

// Reads the selected slot's entries (newest first) into data.slotEntries
// and places them in rows by the newest-entry time they were read under.
class SlotReader {
 public:
  SlotReader(ModbusLink& link, int slave, LoggedData& data, int slot, const LogReadPlan& plan, StatusLog& log)
      : link_(link), slave_(slave), data_(data), slot_(slot), plan_(plan), count_(plan.entries), log_(log) {}
  bool Read(time_t newest);

 private:
  void Follow(time_t newest);
  int Number() const { return data_.slotRegisters[slot_]; }
  int SectionSize(int offset) const { return std::min(count_ - offset, kSectionRegisters); }
  bool ReadSectionOf(int offset);
  void ReportSection(int end);
  bool ReadBySection(time_t newest);
  bool Place(time_t newest, int offset, int n);
  void LogNewEntry() { log_.LogStatus(Format(kNewEntryMessage, Number())); }

  ModbusLink& link_;
  const int slave_;
  LoggedData& data_;
  const int slot_;
  const LogReadPlan& plan_;
  int count_;
  StatusLog& log_;
};

// Entries the meter logged since the plan's newest push the instants wanted
// further back; following them, the slot reads that many more (5760 at most,
// all the log window holds).
void SlotReader::Follow(time_t newest) {
  if (!plan_.followNewEntries || newest <= plan_.newest) return;
  const time_t logged = (newest - plan_.newest) / data_.timeStep;
  count_ = static_cast<int>(std::min<time_t>(plan_.entries + logged, std::min(reg::kLogCapacity, kLoggedDataCapacity)));
}

// One pass over the whole slot, bracketed by the newest time read before it
// and once after it: when nothing is logged, that is the one read this adds.
// A pass that saw the log move may mix two windows: the slot is read again,
// and so are the slots after it, a section at a time.
bool SlotReader::Read(time_t newest) {
  Follow(newest);
  log_.LogStatus(Format("Register %d: %d entries available.", Number(), count_));
  if (data_.readBySection) return ReadBySection(newest);
  for (int offset = 0; offset < count_; offset += SectionSize(offset)) {
    if (!ReadSectionOf(offset)) return false;
    ReportSection(offset + SectionSize(offset));
  }
  time_t after = 0;
  if (!ReadNewestTime(link_, slave_, after, log_)) return false;
  if (after == newest) return Place(newest, 0, count_);
  LogNewEntry();
  data_.readBySection = true;
  return ReadBySection(after);
}

// Each section bracketed on its own gets through even when a whole slot takes
// longer than a sub-interval (5760 entries at 1200 baud take about 96 s); a
// section that saw the log move is read again, at most kNewEntryRereads
// times.
bool SlotReader::ReadBySection(time_t newest) {
  Follow(newest);
  for (int offset = 0; offset < count_; offset += SectionSize(offset)) {
    for (int reread = 0;; ++reread) {
      time_t after = 0;
      if (!ReadSectionOf(offset) || !ReadNewestTime(link_, slave_, after, log_)) return false;
      if (after == newest) break;
      if (reread == kNewEntryRereads) return false;
      LogNewEntry();
      newest = after;
      Follow(newest);
    }
    if (!Place(newest, offset, SectionSize(offset))) return false;
    ReportSection(offset + SectionSize(offset));
  }
  return true;
}

bool SlotReader::ReadSectionOf(int offset) {
  const int n = SectionSize(offset);
  log_.LogStatus(Format("Register %d: Reading %d Modbus points.", Number(), n));
  return ReadRepeated(link_, slave_, reg::kLogWindow + offset, n, data_.slotEntries + offset, log_);
}

// Every section read so far is counted, so the section and total counts are
// the same number.
void SlotReader::ReportSection(int end) {
  log_.LogStatus(Format("Register %d: %d section points accumulated, %d total points.", Number(), end, end));
  log_.Progress(static_cast<long>(count_) * slot_ + end, static_cast<long>(count_) * reg::kSlotCount);
}

bool SlotReader::Place(time_t newest, int offset, int n) {
  if (PlaceEntries(data_, slot_, newest, offset, n)) return true;
  log_.LogStatus(Format("Register %d: the meter's clock or log changed during the download.", Number()));
  return false;
}

bool ReadSelectedSlot(ModbusLink& link, int slave, LoggedData& data, int slot, const LogReadPlan& plan, time_t newest,
                      StatusLog& log) {
  log.LogStatus(Format("Reading Data for Register %d.", static_cast<int>(data.slotRegisters[slot])));
  return plan.entries == 0 || SlotReader(link, slave, data, slot, plan, log).Read(newest);
}

// One slot, made in one turn of the link (WaitWhileBusy holds it): another
// master's selection between ours and its release would change what the
// window holds, and nothing in its answers would say so.
Attempt ReadSlot(ModbusLink& link, int slave, LoggedData& data, int slot, const LogReadPlan& plan, StatusLog& log) {
  int registers[kSlotBlockCount];
  if (!ReadRepeated(link, slave, reg::kNewestEntryTime, kSlotBlockCount, registers, log))
    return AttemptOutcome(link, false);
  const int16_t* slots = data.slotRegisters;
  for (int i = 0; i < reg::kSlotCount; ++i) data.slotRegisters[i] = static_cast<int16_t>(registers[3 + i] & 0xFFFF);
  log.LogStatus(Format("Registers %d, %d, %d, %d, %d, %d, %d, %d, %d, %d", slots[0], slots[1], slots[2], slots[3],
                       slots[4], slots[5], slots[6], slots[7], slots[8], slots[9]));
  const time_t newest = MeterTimeValue(registers[0], registers[1], registers[2]);
  // Once the selection is sent it is released whatever happens after it, so
  // a download that fails never leaves the meter with a slot selected. A
  // slot cut short by a busy answer is read again whole.
  const Attempt read = AttemptOutcome(
      link, SelectSlot(link, slave, slot + 1, log) && ReadSelectedSlot(link, slave, data, slot, plan, newest, log));
  const bool released = ReleaseSlot(link, slave, log);
  return read == Attempt::Done && !released ? Attempt::Failed : read;
}

// The slots of data holding a register number, in slot order.
struct SlotSet {
  int slots[reg::kSlotCount];
  int count = 0;
  const int* begin() const { return slots; }
  const int* end() const { return slots + count; }
};

SlotSet SlotsHolding(const LoggedData& data, unsigned number) {
  SlotSet set;
  for (int slot = 0; slot < reg::kSlotCount; ++slot)
    if (data.SlotRegister(slot) == number) set.slots[set.count++] = slot;
  return set;
}

void SetValue(LoggedData& data, int slot, int l, float value) {
  data.values[slot][l] = value;
  data.valueDefined[slot].set(static_cast<size_t>(l));
}

void SetRaw(LoggedData& data, const SlotSet& slots) {
  for (int slot : slots)
    for (int l = 0; l < data.pointCount; ++l)
      if (data.WasRead(slot, l)) SetValue(data, slot, l, static_cast<float>(data.raw[slot][l]));
}

// Every slot of a pair's first register with every slot of its second: both
// get the value made of the two, in each row where both were read.
template <typename Combine>
void ConvertPairs(LoggedData& data, const SlotSet& high, const SlotSet& low, Combine combine) {
  for (int l = 0; l < data.pointCount; ++l)
    for (int h : high)
      for (int w : low) {
        if (!data.WasRead(h, l) || !data.WasRead(w, l)) continue;
        const float value = combine(data.raw[h][l], data.raw[w][l]);
        SetValue(data, h, l, value);
        SetValue(data, w, l, value);
      }
}

// An energy count split over two slots, scaled; a half whose partner is in
// no slot is shown raw and unscaled.
void ConvertEnergyPairs(LoggedData& data, unsigned highNumber, int energyExponent) {
  const SlotSet high = SlotsHolding(data, highNumber);
  const SlotSet low = SlotsHolding(data, highNumber + 1);
  if (high.count == 0) return SetRaw(data, low);
  if (low.count == 0) return SetRaw(data, high);
  ConvertPairs(data, high, low, [energyExponent](int32_t msw, int32_t lsw) {
    return ConvertEnergyPair(static_cast<unsigned>(msw), static_cast<unsigned>(lsw), energyExponent);
  });
}

bool IsScaledClass(ConversionClass cls) {
  return cls == ConversionClass::Power || cls == ConversionClass::Current || cls == ConversionClass::Voltage ||
         cls == ConversionClass::PowerFactor || cls == ConversionClass::Frequency;
}

void ConvertScaledSlots(LoggedData& data, const int (&exponents)[kExponentCount]) {
  for (int slot = 0; slot < reg::kSlotCount; ++slot) {
    const ConversionClass cls = ClassOfRegister(data.SlotRegister(slot));
    if (!IsScaledClass(cls)) continue;
    for (int l = 0; l < data.pointCount; ++l)
      if (data.WasRead(slot, l))
        SetValue(data, slot, l, ConvertLoggedValue(cls, static_cast<unsigned>(data.raw[slot][l]), exponents));
  }
}

// Float registers come in pairs, the odd number holding the high 16 bits; a
// half whose partner is in no slot has no value.
void ConvertFloatPairs(LoggedData& data) {
  constexpr unsigned kFirstFloat = 257;
  constexpr unsigned kLastFloatHigh = 335;
  for (unsigned number = kFirstFloat; number <= kLastFloatHigh; number += 2)
    ConvertPairs(data, SlotsHolding(data, number), SlotsHolding(data, number + 1), WordsToFloat);
}

// A download that ends early says why: stopped on request, a gateway that
// refused the slot selection, or the meter's data could not be read. A
// stopped one leaves "log.txt" to the data file it kept.
bool Failed(const ModbusLink& link, StatusLog& log, const std::string& fileName, const PreviousLogFile& previousLog) {
  if (log.StopRequested()) {
    log.LogStatus(Format("Download stopped; \"%s\" was not written.", fileName.c_str()));
    previousLog.SetStoppedRunAside();
  } else if (GatewayRefusedWrite(link, ResultException)) {
    log.LogStatus(WriteFailureText(link, ResultException));
  } else {
    log.LogStatus("Error while reading data.");
  }
  return false;
}
}  // namespace

bool ReadLoggedData(ModbusLink& link, const Meter& meter, LoggedData& data, StatusLog& log) {
  LogStatusBlock status{};
  return ReadLogStatusBlock(link, meter.address, status, log) &&
         ReadNewestEntries(link, meter, data, {status.timeStep, status.entryCount, 0, false}, log);
}

bool ReadNewestEntries(ModbusLink& link, const Meter& meter, LoggedData& data, const LogReadPlan& plan,
                       StatusLog& log) {
  data.pointCount = 0;
  data.timeStep = plan.timeStep;
  data.readBySection = false;
  const int slave = meter.address;
  for (int slot = 0; slot < reg::kSlotCount; ++slot)
    if (!WaitWhileBusy(link, slave, log, [&] { return ReadSlot(link, slave, data, slot, plan, log); })) return false;
  return WaitWhileBusy(link, slave, log, [&] { return AttemptOutcome(link, SelectSlot(link, slave, 0, log)); });
}

bool ReadLogState(ModbusLink& link, const Meter& meter, LogState& state, StatusLog& log) {
  int registers[kLogStateCount];
  if (!ReadWaiting(link, meter.address, reg::kSubInterval, kLogStateCount, registers, log)) return false;
  const LogStatusBlock status = StatusOfRegisters(registers);
  auto at = [&](int address) { return registers[address - reg::kSubInterval] & 0xFFFF; };
  state.timeStep = status.timeStep;
  state.entries = status.entryCount;
  state.full = at(reg::kRollovers) != 0;
  state.newest = MeterTimeValue(at(reg::kNewestEntryTime), at(reg::kNewestEntryTime + 1), at(reg::kNewestEntryTime + 2));
  for (int i = 0; i < reg::kSlotCount; ++i) state.slots[i] = static_cast<unsigned>(at(reg::kLogSlots + i));
  return true;
}

bool ConvertLoggedData(ModbusLink& link, const Meter& meter, LoggedData& data, StatusLog& log) {
  for (auto& defined : data.valueDefined) defined.reset();
  int registers[kExponentCount];
  if (!ReadWaiting(link, meter.address, reg::kCurrentExponent, kExponentCount, registers, log)) return false;
  int exponents[kExponentCount];
  for (int i = 0; i < kExponentCount; ++i) exponents[i] = ScaleExponent(registers[i]);
  constexpr unsigned kEnergyHighWords[] = {1, 27, 29};
  for (unsigned high : kEnergyHighWords) ConvertEnergyPairs(data, high, exponents[3]);
  ConvertScaledSlots(data, exponents);
  ConvertFloatPairs(data);
  return true;
}

std::string DataFileName(int slaveAddress) { return Format("%02d-data.csv", slaveAddress); }

bool DownloadLoggedData(ModbusLink& link, const Meter& meter, StatusLog& log) {
  // Read before the first message, which still goes to the previous log.
  const PreviousLogFile previousLog;
  log.LogStatus("Starting Download.");
  log.ClearMessages();
  if (ResetLogFile()) {
    log.ShowStatusOnly(Format("Cannot create file \"%s\".", kLogFileName));
    return false;
  }
  log.LogStatus("\"Download Logged Data\" button pressed.");
  const std::string fileName = DataFileName(meter.address);
  // Written beside the old file and put in its place only once complete, so
  // a download that fails leaves yesterday's file as it was.
  ReplacementFile file(fileName);
  if (!file.Open()) {
    log.LogStatus(Format("Cannot open file \"%s\". Make sure it isn't being used.", fileName.c_str()));
    return false;
  }
  log.LogStatus("Reading data from meter. . .");
  // About 850 KB: on the heap, and only for this download.
  auto data = std::make_unique<LoggedData>();
  // A stop asked for after the last slot ends the download before the
  // exponents are read.
  if (!ReadLoggedData(link, meter, *data, log) || log.StopRequested() || !ConvertLoggedData(link, meter, *data, log))
    return Failed(link, log, fileName, previousLog);
  log.LogStatus(Format("Data written to file \"%s\". Log available at \"%s\"", fileName.c_str(), kLogFileName));
  int headerSlots[reg::kSlotCount];
  // The message above already promised a file; a failure says that none was
  // written.
  if (!ReadWaiting(link, meter.address, reg::kLogSlots, reg::kSlotCount, headerSlots, log))
    return Failed(link, log, fileName, previousLog);
  WriteDataFile(file.Stream(), *data, headerSlots);
  if (!file.Commit()) {
    log.LogStatus(Format("Error while writing file \"%s\".", fileName.c_str()));
    return false;
  }
  return true;
}
