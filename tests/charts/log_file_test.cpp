// The data file reader: what it takes from files a download writes, and the
// line it names for anything else.

#include "charts/log_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <iterator>
#include <sstream>

namespace {
const std::string kHeader = "Data#, UTC, Date/Time,KWH,KW,ERROR,DAY-MONTH,HOUR-YEAR,SECOND-MINUTE,KW,,,,Error,Date/Time";
const std::string kRow1 = "1,0x6B16ABB6,Mon Dec 07 12:51:02 2026,39686.000,101.910,,,,,101.911,,,,0x0004,Mon Dec 07 12:51:00 2026";
const std::string kRow2 = "2,0x6B16A832,Mon Dec 07 12:36:02 2026,,-93.280,,,,,nan,,,,0x0000,";
const std::string kPlainHeader = "Data#, UTC, Date/Time,KWH,KWH,KW,PF,VLN,AMPS-AVG,HZ,KW,KW,";
const std::string kPlainRow = "1,0x6B16ABB6,Mon Dec 07 12:51:02 2026,39686.000,39686.000,101.910,0.972,277.700,125.730,60.010,101.911,101.911,";

bool Parse(const std::string& text, LogTable& table, LogFileError& error) {
  std::istringstream in(text);
  return ParseLogFile(in, table, error);
}

std::string Rows(int count) {
  std::string rows;
  for (int n = 1; n <= count; ++n) rows += std::to_string(n) + ",0x00000000," + std::string(10, ',') + "\n";  // no time, no values
  return rows;
}
}  // namespace

TEST(LogFile, ReadsTheColumnsRowsErrorsAndGapsOfADownload) {
  setenv("TZ", "UTC", 1);
  tzset();
  for (const char* end : {"\n", "\r\n"}) {
    SCOPED_TRACE(end[0] == '\r' ? "CR LF" : "LF");
    LogTable table;
    LogFileError error;
    ASSERT_TRUE(Parse(kHeader + end + kRow1 + end + kRow2 + end, table, error)) << error.line << ": " << error.reason;
    ASSERT_EQ(table.RowCount(), 2);
    EXPECT_EQ(table.times[0], 1796647862);  // Mon Dec 07 12:51:02 2026 UTC
    EXPECT_EQ(table.times[1], 1796647862 - 900);
    ASSERT_EQ(table.columns.size(), 3u);  // ERROR, the date slots and the empty ones hold no values
    EXPECT_EQ(table.columns[0].name, "KWH");
    EXPECT_EQ(table.columns[0].kind, ColumnKind::Energy);
    EXPECT_EQ(table.columns[1].name, "KW (slot 2)");
    EXPECT_EQ(table.columns[2].name, "KW (slot 7)");
    EXPECT_EQ(table.columns[2].kind, ColumnKind::Power);
    EXPECT_EQ(table.columns[0].values[0], 39686.0f);
    EXPECT_TRUE(std::isnan(table.columns[0].values[1]));  // empty field
    EXPECT_EQ(table.columns[1].values[1], -93.28f);
    EXPECT_TRUE(std::isnan(table.columns[2].values[1]));  // a float pair holding NaN
    EXPECT_TRUE(table.hasErrorColumn);
    EXPECT_EQ(table.errorWords, (std::vector<int>{4, 0}));
  }
  LogTable plain;
  LogFileError error;
  ASSERT_TRUE(Parse(kPlainHeader + "\n" + kPlainRow + "\n", plain, error));
  EXPECT_FALSE(plain.hasErrorColumn);
  std::vector<ColumnKind> kinds;
  for (const LogColumn& column : plain.columns) kinds.push_back(column.kind);
  using K = ColumnKind;
  EXPECT_EQ(kinds, (std::vector<K>{K::Energy, K::Energy, K::Power, K::PowerFactor, K::Voltage, K::Current,
                                   K::Frequency, K::Power, K::Power}));
  // A download of an empty log: the header alone.
  ASSERT_TRUE(Parse(kPlainHeader + "\n", plain, error));
  EXPECT_EQ(plain.RowCount(), 0);
  // As many rows as a download may write.
  ASSERT_TRUE(Parse("Data#, UTC, Date/Time,KW,,,,,,,,,\n" + Rows(kMaxLogRows), plain, error));
  EXPECT_EQ(plain.RowCount(), kMaxLogRows);
}

// The column map: each value column takes its own slot's field, wherever
// the error word, the meter's date registers and an unused slot stand
// before it; every field holds a number of its own, so a column reading
// another slot's field shows.
TEST(LogFile, EachValueColumnReadsItsOwnSlot) {
  const std::string text =
      "Data#, UTC, Date/Time,ERROR,DAY-MONTH,KWH,HOUR-YEAR,SECOND-MINUTE,KVAR-C,,PF-B,HZ,V-AB,Error,Date/Time\n"
      "1,0x6B16ABB6,Mon Dec 07 12:51:02 2026,11.000,12.000,13.000,14.000,15.000,16.000,17.000,0.918,59.990,"
      "20.000,0x0000,Mon Dec 07 12:51:00 2026\n"
      "2,0x6B16A832,Mon Dec 07 12:36:02 2026,21.000,22.000,23.000,24.000,25.000,26.000,27.000,0.928,60.010,"
      "30.000,0x0000,Mon Dec 07 12:36:00 2026\n";
  struct Case {
    const char* name;
    ColumnKind kind;
    const char* unit;
    float row1, row2;
  };
  const Case cases[] = {
      {"KWH", ColumnKind::Energy, "kWh", 13.0f, 23.0f},     {"KVAR-C", ColumnKind::Power, "kvar", 16.0f, 26.0f},
      {"PF-B", ColumnKind::PowerFactor, "PF", 0.918f, 0.928f}, {"HZ", ColumnKind::Frequency, "Hz", 59.99f, 60.01f},
      {"V-AB", ColumnKind::Voltage, "V", 20.0f, 30.0f},
  };
  LogTable table;
  LogFileError error;
  ASSERT_TRUE(Parse(text, table, error)) << error.line << ": " << error.reason;
  ASSERT_EQ(table.columns.size(), std::size(cases));
  for (size_t c = 0; c < std::size(cases); ++c) {
    SCOPED_TRACE(cases[c].name);
    EXPECT_EQ(table.columns[c].name, cases[c].name);
    EXPECT_EQ(table.columns[c].kind, cases[c].kind);
    EXPECT_EQ(table.columns[c].unit, cases[c].unit);
    EXPECT_EQ(table.columns[c].values, (std::vector<float>{cases[c].row1, cases[c].row2}));
  }
}

// Every label a slot can hold, with the chart and the unit its values get.
TEST(LogFile, EveryRegisterLabelHasItsKindAndUnit) {
  using K = ColumnKind;
  struct Case {
    const char* label;
    ColumnKind kind;
    const char* unit;
  };
  const Case cases[] = {
      {"KWH", K::Energy, "kWh"},          {"KVAH", K::Energy, "kVAh"},         {"KVARH", K::Energy, "kvarh"},
      {"KW", K::Power, "kW"},             {"KW-A", K::Power, "kW"},            {"KW-B", K::Power, "kW"},
      {"KW-C", K::Power, "kW"},           {"KW-DEMAND", K::Power, "kW"},       {"KW-MAX", K::Power, "kW"},
      {"KVAR", K::Power, "kvar"},         {"KVAR-A", K::Power, "kvar"},        {"KVAR-B", K::Power, "kvar"},
      {"KVAR-C", K::Power, "kvar"},       {"KVAR-DEMAND", K::Power, "kvar"},   {"KVAR-MAX", K::Power, "kvar"},
      {"KVA", K::Power, "kVA"},           {"KVA-A", K::Power, "kVA"},          {"KVA-B", K::Power, "kVA"},
      {"KVA-C", K::Power, "kVA"},         {"KVA-DEMAND", K::Power, "kVA"},     {"KVA-MAX", K::Power, "kVA"},
      {"PF", K::PowerFactor, "PF"},       {"PF-A", K::PowerFactor, "PF"},      {"PF-B", K::PowerFactor, "PF"},
      {"PF-C", K::PowerFactor, "PF"},     {"VLL", K::Voltage, "V"},            {"VLN", K::Voltage, "V"},
      {"V-AB", K::Voltage, "V"},          {"V-BC", K::Voltage, "V"},           {"V-AC", K::Voltage, "V"},
      {"V-AN", K::Voltage, "V"},          {"V-BN", K::Voltage, "V"},           {"V-CN", K::Voltage, "V"},
      {"AMPS-AVG", K::Current, "A"},      {"AMPS-A", K::Current, "A"},         {"AMPS-B", K::Current, "A"},
      {"AMPS-C", K::Current, "A"},        {"HZ", K::Frequency, "Hz"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(KindOfLabel(c.label), c.kind);
    EXPECT_STREQ(UnitOfLabel(c.label), c.unit);
  }
}

// Rows written in Berlin across both changes of 2026, read back in Berlin,
// in New York and in UTC: each row at its own instant, whatever its local
// text says (02:15 to 02:30 come twice in October) and wherever it is read.
TEST(LogFile, RowsTakeTheirTimeFromTheUtcColumnInAnyZone) {
  const std::string head = "Data#, UTC, Date/Time,KW,,,,,,,,,\n";
  const std::string autumn = head +
                             "1,0x6ADD5B98,Sun Oct 25 02:30:00 2026,1.000,,,,,,,,,\n"
                             "2,0x6ADD5814,Sun Oct 25 02:15:00 2026,2.000,,,,,,,,,\n"
                             "3,0x6ADD5490,Sun Oct 25 02:00:00 2026,3.000,,,,,,,,,\n"
                             "4,0x6ADD510C,Sun Oct 25 02:45:00 2026,4.000,,,,,,,,,\n"
                             "5,0x6ADD4D88,Sun Oct 25 02:30:00 2026,5.000,,,,,,,,,\n"
                             "6,0x6ADD4A04,Sun Oct 25 02:15:00 2026,6.000,,,,,,,,,\n";
  const std::string spring = head +
                             "1,0x69C87D14,Sun Mar 29 03:15:00 2026,1.000,,,,,,,,,\n"
                             "2,0x69C87990,Sun Mar 29 03:00:00 2026,2.000,,,,,,,,,\n"
                             "3,0x69C8760C,Sun Mar 29 01:45:00 2026,3.000,,,,,,,,,\n"
                             "4,0x69C8760C,,4.000,,,,,,,,,\n";  // a meter time the download could not represent
  const std::vector<int64_t> autumnTimes = {1792891800, 1792890900, 1792890000, 1792889100, 1792888200, 1792887300};
  const std::vector<int64_t> springTimes = {1774746900, 1774746000, 1774745100, -1};
  for (const char* zone : {"Europe/Berlin", "America/New_York", "UTC"}) {
    SCOPED_TRACE(zone);
    setenv("TZ", zone, 1);
    tzset();
    LogTable table;
    LogFileError error;
    ASSERT_TRUE(Parse(autumn, table, error)) << error.line << ": " << error.reason;
    EXPECT_EQ(table.times, autumnTimes);
    ASSERT_TRUE(Parse(spring, table, error)) << error.line << ": " << error.reason;
    EXPECT_EQ(table.times, springTimes);
  }
}

TEST(LogFile, NamesTheLineThatDoesNotFit) {
  struct Case {
    std::string text;
    int line;
    std::string reason;
  };
  const std::string h = kPlainHeader + "\n";
  const Case cases[] = {
      {"", 1, "the file is empty"},
      {"KW,PF\n1,2\n", 1, "the header has 2 fields, not 13 to 15"},
      {"Data#,UTC,Date/Time,KWH,KWH,KW,PF,VLN,AMPS-AVG,HZ,KW,KW,\n", 1,
       "the header does not begin \"Data#, UTC, Date/Time\""},
      {"Data#, UTC, Date/Time,KWH,kwh,KW,PF,VLN,AMPS-AVG,HZ,KW,KW,\n", 1, "\"kwh\" is no register label"},
      {kPlainHeader + ",Errors\n", 1, "\"Errors\" is neither \"Error\" nor \"Date/Time\""},
      {h + "1,0x6B16ABB6,Mon Dec 07 12:51:02 2026,1,2,3\n", 2, "6 fields where the header has 13"},
      {h + kPlainRow + "\n" + kPlainRow + "\n", 3, "the row number is \"1\", not 2"},
      {h + "1,0x6b16abb6,Mon Dec 07 12:51:02 2026,,,,,,,,,,\n", 2,
       "the UTC field \"0x6b16abb6\" is not 0x and eight hexadecimal digits"},
      {h + "1,0x6B16ABB6,Mon Dec 7 12:51:02 2026,,,,,,,,,,\n", 2,
       "the Date/Time field \"Mon Dec 7 12:51:02 2026\" is no time such as \"Thu Mar 05 14:03:07 2009\""},
      {h + "1,0x6B16ABB6,Mon Dez 07 12:51:02 2026,,,,,,,,,,\n", 2,
       "the Date/Time field \"Mon Dez 07 12:51:02 2026\" is no time such as \"Thu Mar 05 14:03:07 2009\""},
      {h + "1,0x6B16ABB6,,,,12.5 kW,,,,,,,\n", 2, "field 6 \"12.5 kW\" is no number"},
      {h + kPlainRow + "\n\n", 3, "1 field where the header has 13"},
      {kHeader + "\n1,0x6B16ABB6,,,,,,,,,,,,4,\n", 2, "the Error field \"4\" is not 0x and four hexadecimal digits"},
      {kHeader + "\n1,0x6B16ABB6,,,,,,,,,,,,,yesterday\n", 2, "the meter's Date/Time field \"yesterday\" is no time"},
      {h + std::string(5000, ',') + "\n", 2, "the line is longer than 4096 characters"},
      {h + std::string("1,0x6B16ABB6,\0,,,,,,,,,,\n", 25), 2, "the line holds a NUL byte"},
      {"Data#, UTC, Date/Time,KW,,,,,,,,,\n" + Rows(kMaxLogRows + 1), kMaxLogRows + 2, "more than 10000 rows"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 120));
    LogTable table;
    LogFileError error;
    EXPECT_FALSE(Parse(c.text, table, error));
    EXPECT_EQ(error.line, c.line);
    EXPECT_EQ(error.reason, c.reason);
  }
  LogTable table;
  LogFileError error;
  EXPECT_FALSE(ReadLogFile("/nonexistent/03-data.csv", table, error));
  EXPECT_EQ(error.line, 0);
  EXPECT_EQ(error.reason, "it cannot be opened: No such file or directory");
}
