#include "logging/download.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <memory>

#include "console/meter_state.h"
#include "console/poll.h"
#include "logging/meter_io.h"
#include "logging/replacement_file.h"
#include "modbus/master.h"
#include "modbus/serial_link.h"

namespace {
constexpr int kStatusBlockCount = 14;  // 149..162
constexpr int kSlotBlockCount = 13;    // 165..177: newest entry time and the slots
constexpr int kExponentCount = 4;      // 137..140
constexpr int kTimeTextSize = 32;      // "Thu Mar 05 14:03:07 2009" and its terminator
constexpr int kErrorRegister = 146;
constexpr int kDateRegisters[3] = {155, 156, 157};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// Sent even after a stop was asked for: a download never leaves the meter
// with a slot selected.
bool ReleaseSlot() { return WriteSingleRegister(g_port, g_slaveAddress, reg::kSlotSelector, 0) == ResultOk; }

unsigned SlotRegister(const LoggedData& data, int slot) { return static_cast<uint16_t>(data.slotRegisters[slot]); }

// A meter timestamp as the local time it names. The meter keeps wall-clock
// time, so daylight saving is left for mktime to decide (tm_isdst -1).
time_t MeterTimeValue(int first, int second, int third) {
  struct tm broken = MeterTimeToTm(UnpackMeterTime(first, second, third));
  return mktime(&broken);
}

// "Thu Mar 05 14:03:07 2009": the C library's time text with the day of month
// zero-padded, built from our own name tables so the user's locale cannot
// change it. A time that cannot be broken into local time gives an empty text.
void TimeText(time_t value, char (&text)[kTimeTextSize]) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  struct tm local {};
  if (localtime_r(&value, &local) == nullptr || local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 ||
      local.tm_mon > 11) {
    text[0] = '\0';
    return;
  }
  std::snprintf(text, kTimeTextSize, "%s %s %02d %02d:%02d:%02d %d", kDays[local.tm_wday], kMonths[local.tm_mon],
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, local.tm_year + 1900);
}

// Reads one section of the log window. A section that fails is asked again,
// each repetition logged; after kSectionRetries repetitions the download gives
// up instead of asking for ever a meter that has gone away.
bool ReadSection(int offset, int count, int* values, StatusLog& log) {
  for (int retry = 0;; ++retry) {
    if (ReadMeter(reg::kLogWindow + offset, count, values, log)) return true;
    if (retry == kSectionRetries || log.StopRequested()) return false;
    log.LogStatus(Format("Response Timeout Retry #%d", retry + 1));
  }
}

struct LogStatusBlock {
  int timeStep;
  int entryCount;
};

bool ReadLogStatusBlock(LogStatusBlock& status, StatusLog& log) {
  int registers[kStatusBlockCount];
  if (!ReadMeter(reg::kSubInterval, kStatusBlockCount, registers, log)) return false;
  auto at = [&](int address) { return registers[address - reg::kSubInterval] & 0xFFFF; };
  status.timeStep = std::max(at(reg::kSubInterval), kMinTimeStepSeconds);
  log.LogStatus(Format("Interval = %d secs.", status.timeStep));
  const int count = at(reg::kRollovers) != 0 ? reg::kLogCapacity : at(reg::kLogEntries);
  // Register 162 is 16 bits and could claim up to 65535 entries, more than the
  // buffer holds; only the newest kLoggedDataCapacity are read and stored.
  status.entryCount = std::min(count, kLoggedDataCapacity);
  return true;
}

// Reads entryCount entries of the selected slot, newest first, each stamped
// one time step before the one after it.
bool ReadSlotEntries(LoggedData& data, int slot, const LogStatusBlock& status, time_t newest, long done,
                     StatusLog& log) {
  const int number = data.slotRegisters[slot];
  log.LogStatus(Format("Register %d: %d entries available.", number, status.entryCount));
  time_t t = newest;
  int offset = 0;
  for (int remaining = status.entryCount; remaining != 0;) {
    const int n = std::min(remaining, kSectionRegisters);
    log.LogStatus(Format("Register %d: Reading %d Modbus points.", number, n));
    int values[kSectionRegisters];
    if (!ReadSection(offset, n, values, log)) return false;
    for (int i = 0; i < n; ++i) {
      data.times[data.pointCount] = t;
      data.raw[slot][data.pointCount] = values[i];
      ++data.pointCount;
      t -= status.timeStep;
    }
    remaining -= n;
    offset += n;
    log.LogStatus(Format("Register %d: %d section points accumulated, %d total points.", number, offset,
                         static_cast<int>(data.pointCount)));
    log.Progress(done + data.pointCount, static_cast<long>(status.entryCount) * reg::kSlotCount);
  }
  return true;
}

bool ReadSelectedSlot(LoggedData& data, int slot, const LogStatusBlock& status, time_t newest, StatusLog& log) {
  log.LogStatus(Format("Reading Data for Register %d.", static_cast<int>(data.slotRegisters[slot])));
  if (status.entryCount == 0) return true;
  const long done = static_cast<long>(status.entryCount) * slot;
  return ReadSlotEntries(data, slot, status, newest, done, log);
}

bool ReadSlot(LoggedData& data, int slot, const LogStatusBlock& status, StatusLog& log) {
  data.pointCount = 0;
  int registers[kSlotBlockCount];
  if (!ReadMeter(reg::kNewestEntryTime, kSlotBlockCount, registers, log)) return false;
  const int16_t* slots = data.slotRegisters;
  for (int i = 0; i < reg::kSlotCount; ++i) data.slotRegisters[i] = static_cast<int16_t>(registers[3 + i] & 0xFFFF);
  log.LogStatus(Format("Registers %d, %d, %d, %d, %d, %d, %d, %d, %d, %d", slots[0], slots[1], slots[2], slots[3],
                       slots[4], slots[5], slots[6], slots[7], slots[8], slots[9]));
  const time_t newest = MeterTimeValue(registers[0], registers[1], registers[2]);
  // Once the selection is sent it is released whatever happens after it, so
  // a download that fails never leaves the meter with a slot selected.
  const bool read = WriteMeter(reg::kSlotSelector, slot + 1, log) && ReadSelectedSlot(data, slot, status, newest, log);
  const bool released = ReleaseSlot();
  return read && released;
}

// The slots of data holding a register number, in slot order.
int SlotsHolding(const LoggedData& data, unsigned number, int (&slots)[reg::kSlotCount]) {
  int count = 0;
  for (int slot = 0; slot < reg::kSlotCount; ++slot)
    if (SlotRegister(data, slot) == number) slots[count++] = slot;
  return count;
}

void SetRaw(LoggedData& data, const int* slots, int count) {
  for (int i = 0; i < count; ++i) {
    const int slot = slots[i];
    for (int l = 0; l < data.pointCount; ++l) data.values[slot][l] = static_cast<float>(data.raw[slot][l]);
    data.valueDefined[slot] = true;
  }
}

// An energy count split over two slots: every slot of the high word with
// every slot of the low word gives the scaled count to both. A half logged
// without its partner is shown raw and unscaled.
void ConvertEnergyPairs(LoggedData& data, unsigned highNumber, int energyExponent) {
  int high[reg::kSlotCount];
  int low[reg::kSlotCount];
  const int highCount = SlotsHolding(data, highNumber, high);
  const int lowCount = SlotsHolding(data, highNumber + 1, low);
  if (highCount == 0) {
    SetRaw(data, low, lowCount);
    return;
  }
  if (lowCount == 0 || data.pointCount == 0) {
    SetRaw(data, high, highCount);
    return;
  }
  for (int l = 0; l < data.pointCount; ++l)
    for (int h = 0; h < highCount; ++h)
      for (int w = 0; w < lowCount; ++w) {
        const float value = ConvertEnergyPair(static_cast<unsigned>(data.raw[high[h]][l]),
                                              static_cast<unsigned>(data.raw[low[w]][l]), energyExponent);
        data.values[high[h]][l] = value;
        data.values[low[w]][l] = value;
      }
  for (int h = 0; h < highCount; ++h) data.valueDefined[high[h]] = true;
  for (int w = 0; w < lowCount; ++w) data.valueDefined[low[w]] = true;
}

bool IsScaledClass(ConversionClass cls) {
  return cls == ConversionClass::Power || cls == ConversionClass::Current || cls == ConversionClass::Voltage ||
         cls == ConversionClass::PowerFactor || cls == ConversionClass::Frequency;
}

void ConvertScaledSlots(LoggedData& data, const int (&exponents)[kExponentCount]) {
  for (int slot = 0; slot < reg::kSlotCount; ++slot) {
    const ConversionClass cls = ClassOfRegister(SlotRegister(data, slot));
    if (!IsScaledClass(cls)) continue;
    for (int l = 0; l < data.pointCount; ++l)
      data.values[slot][l] = ConvertLoggedValue(cls, static_cast<unsigned>(data.raw[slot][l]), exponents);
    data.valueDefined[slot] = true;
  }
}

// Float registers come in pairs, the odd number holding the high 16 bits; a
// half whose partner is in no slot has no value.
void ConvertFloatPairs(LoggedData& data) {
  constexpr unsigned kFirstFloat = 257;
  constexpr unsigned kLastFloatHigh = 335;
  for (unsigned number = kFirstFloat; number <= kLastFloatHigh; number += 2) {
    int high[reg::kSlotCount];
    int low[reg::kSlotCount];
    const int highCount = SlotsHolding(data, number, high);
    const int lowCount = SlotsHolding(data, number + 1, low);
    if (highCount == 0 || lowCount == 0) continue;
    for (int l = 0; l < data.pointCount; ++l)
      for (int h = 0; h < highCount; ++h)
        for (int w = 0; w < lowCount; ++w) {
          const float value = WordsToFloat(data.raw[high[h]][l], data.raw[low[w]][l]);
          data.values[high[h]][l] = value;
          data.values[low[w]][l] = value;
        }
    for (int h = 0; h < highCount; ++h) data.valueDefined[high[h]] = true;
    for (int w = 0; w < lowCount; ++w) data.valueDefined[low[w]] = true;
  }
}

// The highest-numbered slot holding a register number, -1 when none does.
int LastSlotHolding(const LoggedData& data, unsigned number) {
  for (int slot = reg::kSlotCount - 1; slot >= 0; --slot)
    if (SlotRegister(data, slot) == number) return slot;
  return -1;
}

struct ExtraColumns {
  int errorSlot = -1;
  int dateSlots[3] = {-1, -1, -1};
  bool HasDate() const { return dateSlots[0] >= 0 && dateSlots[1] >= 0 && dateSlots[2] >= 0; }
};

ExtraColumns FindExtraColumns(const LoggedData& data) {
  ExtraColumns columns;
  columns.errorSlot = LastSlotHolding(data, kErrorRegister);
  for (int i = 0; i < 3; ++i) columns.dateSlots[i] = LastSlotHolding(data, kDateRegisters[i]);
  return columns;
}

// The header names each row's columns once: one ",Error" for the error
// column and one ",Date/Time" for the date column, whatever number of slots
// log those registers, so header and rows always have the same fields.
void WriteHeader(FILE* file, const int (&headerSlots)[reg::kSlotCount], const ExtraColumns& columns) {
  std::fputs("Data#, UTC, Date/Time", file);
  for (int number : headerSlots) std::fprintf(file, ",%s", RegisterLabel(static_cast<unsigned>(number & 0xFFFF)));
  if (columns.errorSlot >= 0) std::fputs(",Error", file);
  if (columns.HasDate()) std::fputs(",Date/Time", file);
  std::fputs("\n", file);
}

void WriteRow(FILE* file, const LoggedData& data, int l, const ExtraColumns& columns) {
  char timeText[kTimeTextSize];
  TimeText(data.times[l], timeText);
  // The UTC column is the time value as an unsigned 32-bit number.
  std::fprintf(file, "%d,0x%08lX,%s", l + 1, static_cast<unsigned long>(static_cast<uint32_t>(data.times[l])),
               timeText);
  for (int slot = 0; slot < reg::kSlotCount; ++slot) {
    const std::string value = data.valueDefined[slot] ? FormatReading(data.values[slot][l]) : std::string();
    std::fprintf(file, ",%s", value.c_str());
  }
  if (columns.errorSlot >= 0)
    std::fprintf(file, ",0x%04lX", static_cast<unsigned long>(data.raw[columns.errorSlot][l] & 0xFFFF));
  if (columns.HasDate()) {
    const time_t logged = MeterTimeValue(data.raw[columns.dateSlots[0]][l], data.raw[columns.dateSlots[1]][l],
                                         data.raw[columns.dateSlots[2]][l]);
    // A meter time mktime cannot represent (it returns -1) gets an empty date.
    char dateText[kTimeTextSize] = "";
    if (logged != static_cast<time_t>(-1)) TimeText(logged, dateText);
    std::fprintf(file, ",%s", dateText);
  }
  std::fputs("\n", file);
}

void WriteDataFile(FILE* file, const LoggedData& data, const int (&headerSlots)[reg::kSlotCount]) {
  const ExtraColumns columns = FindExtraColumns(data);
  WriteHeader(file, headerSlots, columns);
  for (int l = 0; l < data.pointCount; ++l) WriteRow(file, data, l, columns);
}

// A download that ends early says why: stopped on request, or the meter's
// data could not be read.
bool Failed(StatusLog& log, const std::string& fileName) {
  if (log.StopRequested())
    log.LogStatus(Format("Download stopped; \"%s\" was not written.", fileName.c_str()));
  else
    log.LogStatus("Error while reading data.");
  return false;
}
}  // namespace

bool ReadLoggedData(LoggedData& data, StatusLog& log) {
  LogStatusBlock status{};
  if (!ReadLogStatusBlock(status, log)) return true;
  for (int slot = 0; slot < reg::kSlotCount; ++slot)
    if (!ReadSlot(data, slot, status, log)) return true;
  return !WriteMeter(reg::kSlotSelector, 0, log);
}

void ConvertLoggedData(LoggedData& data) {
  for (bool& defined : data.valueDefined) defined = false;
  int registers[kExponentCount];
  if (ReadHoldingRegisters(g_port, g_slaveAddress, reg::kCurrentExponent, kExponentCount, registers) != ResultOk) return;
  int exponents[kExponentCount];
  for (int i = 0; i < kExponentCount; ++i) exponents[i] = ScaleExponent(registers[i]);
  constexpr unsigned kEnergyHighWords[] = {1, 27, 29};
  for (unsigned high : kEnergyHighWords) ConvertEnergyPairs(data, high, exponents[3]);
  ConvertScaledSlots(data, exponents);
  ConvertFloatPairs(data);
}

std::string DataFileName(int slaveAddress) { return Format("%02d-data.csv", slaveAddress); }

bool DownloadLoggedData(StatusLog& log) {
  log.LogStatus("Starting Download.");
  log.ClearMessages();
  if (ResetLogFile()) {
    log.ShowStatusOnly(Format("Cannot create file \"%s\".", kLogFileName));
    return false;
  }
  log.LogStatus("\"Download Logged Data\" button pressed.");
  const std::string fileName = DataFileName(g_slaveAddress);
  // Written beside the old file and put in its place only once complete, so
  // a download that fails leaves yesterday's file as it was.
  ReplacementFile file(fileName);
  if (!file.Open()) {
    log.LogStatus(Format("Cannot open file \"%s\". Make sure it isn't being used.", fileName.c_str()));
    return false;
  }
  log.LogStatus("Reading data from meter. . .");
  // About 840 KB: on the heap, and only for this download.
  auto data = std::make_unique<LoggedData>();
  // A stop asked for after the last slot ends the download before the
  // exponents are read.
  if (ReadLoggedData(*data, log) || log.StopRequested()) return Failed(log, fileName);
  ConvertLoggedData(*data);
  log.LogStatus(Format("Data written to file \"%s\". Log available at \"%s\"", fileName.c_str(), kLogFileName));
  int headerSlots[reg::kSlotCount];
  // The message above already promised a file; a failure says that none was
  // written.
  if (!ReadMeter(reg::kLogSlots, reg::kSlotCount, headerSlots, log)) return Failed(log, fileName);
  WriteDataFile(file.Stream(), *data, headerSlots);
  if (!file.Commit()) {
    log.LogStatus(Format("Error while writing file \"%s\".", fileName.c_str()));
    return false;
  }
  return true;
}
