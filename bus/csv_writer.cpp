#include "bus/csv_writer.h"

#include <cstdint>
#include <string>

#include "meter/reading_format.h"

namespace {
constexpr int kTimeTextSize = 32;  // "Thu Mar 05 14:03:07 2009" and its terminator
constexpr int kErrorRegister = 146;
constexpr int kDateRegisters[3] = {155, 156, 157};

// "Thu Mar 05 14:03:07 2009": the C library's time text with the day of month
// zero-padded, built from our own name tables so the user's locale cannot
// change it. A time that cannot be broken into local time gives an empty text.
void TimeText(time_t value, char (&text)[kTimeTextSize]) {
  struct tm local {};
  if (localtime_r(&value, &local) == nullptr || local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 ||
      local.tm_mon > 11) {
    text[0] = '\0';
    return;
  }
  std::snprintf(text, kTimeTextSize, "%s %s %02d %02d:%02d:%02d %d", kDayNames[local.tm_wday],
                kMonthNames[local.tm_mon], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                local.tm_year + 1900);
}

// The highest-numbered slot holding a register number, -1 when none does.
int LastSlotHolding(const LoggedData& data, unsigned number) {
  for (int slot = reg::kSlotCount - 1; slot >= 0; --slot)
    if (data.SlotRegister(slot) == number) return slot;
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

// The meter's own time logged in the date slots; empty where one of them was
// not read, or where mktime cannot represent the time (it returns -1).
void DateText(const LoggedData& data, int l, const ExtraColumns& columns, char (&text)[kTimeTextSize]) {
  text[0] = '\0';
  for (int slot : columns.dateSlots)
    if (!data.WasRead(slot, l)) return;
  const time_t logged = MeterTimeValue(data.raw[columns.dateSlots[0]][l], data.raw[columns.dateSlots[1]][l],
                                       data.raw[columns.dateSlots[2]][l]);
  if (logged != static_cast<time_t>(-1)) TimeText(logged, text);
}

void WriteRow(FILE* file, const LoggedData& data, int l, int number, const ExtraColumns& columns) {
  const time_t time = data.newestTime - static_cast<time_t>(l) * data.timeStep;
  char timeText[kTimeTextSize];
  TimeText(time, timeText);
  // The UTC column is the time value as an unsigned 32-bit number.
  std::fprintf(file, "%d,0x%08lX,%s", number, static_cast<unsigned long>(static_cast<uint32_t>(time)), timeText);
  for (int slot = 0; slot < reg::kSlotCount; ++slot) {
    const std::string value = data.valueDefined[slot][l] ? FormatReading(data.values[slot][l]) : std::string();
    std::fprintf(file, ",%s", value.c_str());
  }
  if (columns.errorSlot >= 0) {
    const int32_t error = data.raw[columns.errorSlot][l];
    if (error == kNotRead)
      std::fputs(",", file);
    else
      std::fprintf(file, ",0x%04lX", static_cast<unsigned long>(error & 0xFFFF));
  }
  if (columns.HasDate()) {
    char dateText[kTimeTextSize];
    DateText(data, l, columns, dateText);
    std::fprintf(file, ",%s", dateText);
  }
  std::fputs("\n", file);
}

}  // namespace

void WriteDataFile(FILE* file, const LoggedData& data, const int (&headerSlots)[reg::kSlotCount]) {
  WriteDataHeader(file, data, headerSlots);
  WriteDataRows(file, data, 1);
}

void WriteDataHeader(FILE* file, const LoggedData& data, const int (&headerSlots)[reg::kSlotCount]) {
  WriteHeader(file, headerSlots, FindExtraColumns(data));
}

void WriteDataRows(FILE* file, const LoggedData& data, int firstNumber) {
  const ExtraColumns columns = FindExtraColumns(data);
  for (int l = 0; l < data.pointCount; ++l) WriteRow(file, data, l, firstNumber + l, columns);
}
