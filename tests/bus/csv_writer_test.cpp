// The CSV file of a download, written from a LoggedData made by hand: the
// header's labels and extra columns, each row's time, values, error word and
// the meter's own date, and the empty fields of cells no entry was read into.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string>

#include "bus/csv_writer.h"

namespace {

std::string WrittenFile(const LoggedData& data, const int (&headerSlots)[reg::kSlotCount]) {
  std::FILE* file = std::tmpfile();
  WriteDataFile(file, data, headerSlots);
  std::string text(static_cast<size_t>(std::ftell(file)), '\0');
  std::rewind(file);
  text.resize(std::fread(text.data(), 1, text.size(), file));
  std::fclose(file);
  return text;
}

void Set(LoggedData& data, int slot, int l, int32_t raw, float value) {
  data.raw[slot][l] = raw;
  data.values[slot][l] = value;
  data.valueDefined[slot].set(static_cast<size_t>(l));
}

TEST(CsvWriter, HeaderRowsAndTheEmptyFieldsOfCellsNotRead) {
  setenv("TZ", "UTC", 1);
  tzset();
  constexpr int kSlots[reg::kSlotCount] = {3, 26, 146, 155, 156, 157, 1, 2, 257, 258};
  auto data = std::make_unique<LoggedData>();
  for (int slot = 0; slot < reg::kSlotCount; ++slot) {
    data->slotRegisters[slot] = static_cast<int16_t>(kSlots[slot]);
    data->raw[slot][0] = data->raw[slot][1] = kNotRead;
  }
  data->pointCount = 2;
  data->newestTime = 1236261787;  // Thu Mar 05 14:03:07 2009 UTC
  data->timeStep = 60;
  // Row 1 (the newest instant): every slot read.
  Set(*data, 0, 0, 125, 12.5f);
  Set(*data, 1, 0, 500, 50.0f);
  data->raw[2][0] = 0x12;                                            // error word, no value of its own
  data->raw[3][0] = 0x0503, data->raw[4][0] = 0x0E09, data->raw[5][0] = 0x0002;  // 5 Mar 2009 14:02:00
  Set(*data, 6, 0, 1, 1234.5f);
  Set(*data, 7, 0, 2, 1234.5f);
  Set(*data, 8, 0, 0x4148, 12.5f);
  Set(*data, 9, 0, 0, 12.5f);
  // Row 2: the first slot, the error word, the 157 slot and one float half
  // were not read for this instant.
  Set(*data, 1, 1, 499, 49.9f);
  data->raw[3][1] = 0x0503, data->raw[4][1] = 0x0E09;
  Set(*data, 6, 1, 1, 1000.0f);
  Set(*data, 7, 1, 2, 1000.0f);
  data->raw[8][1] = 0x4148;

  EXPECT_EQ(WrittenFile(*data, kSlots),
            "Data#, UTC, Date/Time,KW,HZ,ERROR,DAY-MONTH,HOUR-YEAR,SECOND-MINUTE,KWH,KWH,KWH,KWH,Error,Date/Time\n"
            "1,0x49AFDB9B,Thu Mar 05 14:03:07 2009,12.500,50.000,,,,,1234.500,1234.500,12.500,12.500,0x0012,"
            "Thu Mar 05 14:02:00 2009\n"
            "2,0x49AFDB5F,Thu Mar 05 14:02:07 2009,,49.900,,,,,1000.000,1000.000,,,,\n");

  // No slot logs 146 or the whole 155..157 trio: no extra columns; the
  // header shows what the header read found, even where it differs.
  data->slotRegisters[2] = 0;
  data->slotRegisters[5] = 0;
  constexpr int kHeaderSlots[reg::kSlotCount] = {3, 26, 0, 155, 156, 0, 1, 2, 257, 258};
  data->pointCount = 1;
  EXPECT_EQ(WrittenFile(*data, kHeaderSlots),
            "Data#, UTC, Date/Time,KW,HZ,,DAY-MONTH,HOUR-YEAR,,KWH,KWH,KWH,KWH\n"
            "1,0x49AFDB9B,Thu Mar 05 14:03:07 2009,12.500,50.000,,,,,1234.500,1234.500,12.500,12.500\n");
}

// The header line alone (no rows): the labels of the slots read for it, in
// slot order, then ",Error" and ",Date/Time" once each where the download's
// own read of the slots found register 146 and the whole 155..157 trio.
struct HeaderCase {
  int headerSlots[reg::kSlotCount];
  int16_t downloadedSlots[reg::kSlotCount];
  const char* header;
};

constexpr HeaderCase kHeaderCases[] = {
    {{3, 26, 146, 155, 156, 157, 0, 0, 0, 0},
     {3, 26, 146, 155, 156, 157, 0, 0, 0, 0},
     "Data#, UTC, Date/Time,KW,HZ,ERROR,DAY-MONTH,HOUR-YEAR,SECOND-MINUTE,,,,,Error,Date/Time\n"},
    {{24, 23, 22, 9, 42, 41, 327, 330, 28, 30},
     {24, 23, 22, 9, 42, 41, 327, 330, 28, 30},
     "Data#, UTC, Date/Time,AMPS-C,AMPS-B,AMPS-A,AMPS-AVG,KVA-MAX,KVAR-MAX,KVA-DEMAND,KVAR-DEMAND,KVAH,KVARH\n"},
    {{146, 155, 156, 157, 146, 155, 156, 157, 0, 0},
     {146, 155, 156, 157, 146, 155, 156, 157, 0, 0},
     "Data#, UTC, Date/Time,ERROR,DAY-MONTH,HOUR-YEAR,SECOND-MINUTE,ERROR,DAY-MONTH,HOUR-YEAR,SECOND-MINUTE,,,"
     "Error,Date/Time\n"},
    {{155, 156, 0, 0, 0, 0, 0, 0, 0, 0},
     {155, 156, 0, 0, 0, 0, 0, 0, 0, 0},
     "Data#, UTC, Date/Time,DAY-MONTH,HOUR-YEAR,,,,,,,,\n"},
    {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
     {146, 155, 156, 157, 0, 0, 0, 0, 0, 0},
     "Data#, UTC, Date/Time,,,,,,,,,,,Error,Date/Time\n"},
    {{146, 155, 156, 157, 0, 0, 0, 0, 0, 0},
     {0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
     "Data#, UTC, Date/Time,ERROR,DAY-MONTH,HOUR-YEAR,SECOND-MINUTE,,,,,,\n"},
    {{337, 65535, 25, 305, 43, 147, 154, 158, 256, 0},
     {0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
     "Data#, UTC, Date/Time,,,,,,,,,,\n"},
};

TEST(CsvWriter, HeaderLabelsEachSlotAndAddsTheErrorAndDateColumnsOnce) {
  auto data = std::make_unique<LoggedData>();
  for (const HeaderCase& c : kHeaderCases) {
    std::copy(std::begin(c.downloadedSlots), std::end(c.downloadedSlots), data->slotRegisters);
    EXPECT_EQ(WrittenFile(*data, c.headerSlots), c.header);
  }
}

}  // namespace
