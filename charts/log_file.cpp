#include "charts/log_file.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <set>

#include "charts/trend_store.h"
#include "meter/reading_format.h"
#include "meter/register_map.h"

namespace {
// The columns before the slots' and the extra columns' header names, exactly
// as a download writes them ("Data#, UTC, Date/Time" split at its commas).
constexpr const char* kLeadingHeader[3] = {"Data#", " UTC", " Date/Time"};
constexpr int kSlotsStart = 3;
constexpr int kSlotColumns = 10;
constexpr int kTimeTextLength = 24;  // "Thu Mar 05 14:03:07 2009"
// Far longer than any line a download writes (about 250 characters).
constexpr size_t kMaxLineLength = 4096;
constexpr int kHighestRegister = 336;

std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t comma; (comma = line.find(',', start)) != std::string::npos; start = comma + 1)
    fields.push_back(line.substr(start, comma - start));
  fields.push_back(line.substr(start));
  return fields;
}

std::string FieldCount(size_t count) { return std::to_string(count) + (count == 1 ? " field" : " fields"); }

bool IsRegisterLabel(const std::string& text) {
  static const std::set<std::string> labels = [] {
    std::set<std::string> all;
    for (unsigned n = 0; n <= kHighestRegister; ++n) all.insert(RegisterLabel(n));
    return all;
  }();
  return labels.count(text) != 0;
}

// Labels of registers that a download never gives a value: the unused slot,
// the error word and the meter's date registers.
bool HoldsValues(const std::string& label) {
  return !label.empty() && label != "ERROR" && label != "DAY-MONTH" && label != "HOUR-YEAR" &&
         label != "SECOND-MINUTE";
}

bool ParseInt(const std::string& text, int base, long long& value) {
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, base);
  return error == std::errc() && stop == end && !text.empty();
}

// "0x" and exactly digits upper-case hexadecimal digits.
bool ParseHex(const std::string& text, size_t digits, long long& value) {
  if (text.size() != digits + 2 || text.compare(0, 2, "0x") != 0) return false;
  for (size_t i = 2; i < text.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(text[i])) && !(text[i] >= 'A' && text[i] <= 'F')) return false;
  return ParseInt(text.substr(2), 16, value);
}

// A value field: empty (no value), or a number as "%.3f" writes it (nan and
// inf too, which a float pair can hold; they draw as gaps).
bool ParseValue(const std::string& text, float& value) {
  if (text.empty()) {
    value = std::numeric_limits<float>::quiet_NaN();
    return true;
  }
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end) return false;
  if (!std::isfinite(value)) value = std::numeric_limits<float>::quiet_NaN();
  return true;
}

int IndexIn(const char* const* names, int count, const std::string& text) {
  for (int i = 0; i < count; ++i)
    if (text == names[i]) return i;
  return -1;
}

// The time text a download writes, "Thu Mar 05 14:03:07 2009", or empty (a
// meter time the download could not represent). Only its form is checked:
// the row's instant comes from the UTC column.
bool IsTimeText(const std::string& text) {
  if (text.empty()) return true;
  if (text.size() != kTimeTextLength) return false;
  long long day = 0, hour = 0, minute = 0, second = 0, year = 0;
  const bool fits = IndexIn(kDayNames, 7, text.substr(0, 3)) >= 0 && text[3] == ' ' &&
                    IndexIn(kMonthNames, 12, text.substr(4, 3)) >= 0 && text[7] == ' ' &&
                    ParseInt(text.substr(8, 2), 10, day) && text[10] == ' ' && ParseInt(text.substr(11, 2), 10, hour) &&
                    text[13] == ':' && ParseInt(text.substr(14, 2), 10, minute) && text[16] == ':' &&
                    ParseInt(text.substr(17, 2), 10, second) && text[19] == ' ' &&
                    ParseInt(text.substr(20, 4), 10, year);
  return fits && day >= 1 && day <= 31 && hour <= 23 && minute <= 59 && second <= 60;
}

struct Layout {
  std::vector<int> valueSlots;  // slot columns (0..9) that hold values
  bool error = false;
  bool date = false;
  size_t FieldCount() const { return kSlotsStart + kSlotColumns + (error ? 1 : 0) + (date ? 1 : 0); }
};

bool ParseHeader(const std::string& line, Layout& layout, LogTable& table, std::string& reason) {
  const std::vector<std::string> fields = SplitFields(line);
  if (fields.size() < kSlotsStart + kSlotColumns || fields.size() > kSlotsStart + kSlotColumns + 2) {
    reason = "the header has " + FieldCount(fields.size()) + ", not 13 to 15";
    return false;
  }
  for (int i = 0; i < kSlotsStart; ++i)
    if (fields[i] != kLeadingHeader[i]) {
      reason = "the header does not begin \"Data#, UTC, Date/Time\"";
      return false;
    }
  std::vector<std::string> labels(fields.begin() + kSlotsStart, fields.begin() + kSlotsStart + kSlotColumns);
  for (int slot = 0; slot < kSlotColumns; ++slot) {
    if (!IsRegisterLabel(labels[slot])) {
      reason = "\"" + labels[slot] + "\" is no register label";
      return false;
    }
    if (HoldsValues(labels[slot])) layout.valueSlots.push_back(slot);
  }
  size_t next = kSlotsStart + kSlotColumns;
  layout.error = next < fields.size() && fields[next] == "Error";
  if (layout.error) ++next;
  layout.date = next < fields.size() && fields[next] == "Date/Time";
  if (layout.date) ++next;
  if (next != fields.size()) {
    reason = "\"" + fields[next] + "\" is neither \"Error\" nor \"Date/Time\"";
    return false;
  }
  for (int slot : layout.valueSlots) {
    LogColumn column;
    column.label = column.name = labels[slot];
    column.kind = KindOfLabel(column.label);
    column.unit = UnitOfLabel(column.label);
    int sharing = 0;
    for (int other : layout.valueSlots) sharing += labels[other] == column.label ? 1 : 0;
    if (sharing > 1) column.name += " (slot " + std::to_string(slot + 1) + ")";
    table.columns.push_back(std::move(column));
  }
  table.hasErrorColumn = layout.error;
  return true;
}

bool ParseRow(const std::string& line, const Layout& layout, LogTable& table, std::string& reason) {
  const std::vector<std::string> fields = SplitFields(line);
  if (fields.size() != layout.FieldCount()) {
    reason = FieldCount(fields.size()) + " where the header has " + std::to_string(layout.FieldCount());
    return false;
  }
  const long long expectedNumber = table.RowCount() + 1;
  long long number = 0, utc = 0;
  if (!ParseInt(fields[0], 10, number) || number != expectedNumber) {
    reason = "the row number is \"" + fields[0] + "\", not " + std::to_string(expectedNumber);
    return false;
  }
  if (!ParseHex(fields[1], 8, utc)) {
    reason = "the UTC field \"" + fields[1] + "\" is not 0x and eight hexadecimal digits";
    return false;
  }
  if (!IsTimeText(fields[2])) {
    reason = "the Date/Time field \"" + fields[2] + "\" is no time such as \"Thu Mar 05 14:03:07 2009\"";
    return false;
  }
  float values[kSlotColumns];
  for (int slot = 0; slot < kSlotColumns; ++slot)
    if (!ParseValue(fields[kSlotsStart + slot], values[slot])) {
      reason = "field " + std::to_string(kSlotsStart + slot + 1) + " \"" + fields[kSlotsStart + slot] +
               "\" is no number";
      return false;
    }
  size_t next = kSlotsStart + kSlotColumns;
  long long errorWord = -1;
  if (layout.error && !fields[next].empty() && !ParseHex(fields[next], 4, errorWord)) {
    reason = "the Error field \"" + fields[next] + "\" is not 0x and four hexadecimal digits";
    return false;
  }
  if (layout.error) ++next;
  if (layout.date && !IsTimeText(fields[next])) {
    reason = "the meter's Date/Time field \"" + fields[next] + "\" is no time";
    return false;
  }
  table.times.push_back(fields[2].empty() ? -1 : static_cast<int64_t>(utc));
  for (size_t c = 0; c < layout.valueSlots.size(); ++c) table.columns[c].values.push_back(values[layout.valueSlots[c]]);
  if (layout.error) table.errorWords.push_back(static_cast<int>(errorWord));
  return true;
}
}  // namespace

ColumnKind KindOfLabel(const std::string& label) {
  if (label == "KWH" || label == "KVAH" || label == "KVARH") return ColumnKind::Energy;
  if (label.rfind("PF", 0) == 0) return ColumnKind::PowerFactor;
  if (label.rfind("AMPS", 0) == 0) return ColumnKind::Current;
  if (label == "VLL" || label == "VLN" || label.rfind("V-", 0) == 0) return ColumnKind::Voltage;
  if (label == "HZ") return ColumnKind::Frequency;
  return ColumnKind::Power;  // KW, KVAR, KVA, their phases, demands and maxima
}

const char* UnitOfLabel(const std::string& label) {
  const auto starts = [&label](const char* prefix) { return label.rfind(prefix, 0) == 0; };
  if (label == "KWH") return "kWh";
  if (label == "KVAH") return "kVAh";
  if (label == "KVARH") return "kvarh";
  // KVAR before KVA and KW: each is a prefix of the next.
  if (starts("KVAR")) return "kvar";
  if (starts("KVA")) return "kVA";
  if (starts("KW")) return "kW";
  if (starts("PF")) return "PF";
  if (starts("AMPS")) return "A";
  if (label == "HZ") return "Hz";
  return "V";  // VLL, VLN, V-AB ... V-CN
}

bool ParseLogFile(std::istream& in, LogTable& table, LogFileError& error) {
  table = LogTable();
  error = LogFileError();
  Layout layout;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    error.line = number;
    // A file carried through Windows has CR LF line ends.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > kMaxLineLength) {
      error.reason = "the line is longer than " + std::to_string(kMaxLineLength) + " characters";
      return false;
    }
    if (line.find('\0') != std::string::npos) {
      error.reason = "the line holds a NUL byte";
      return false;
    }
    if (number == 1) {
      if (IsTrendCsvHeader(line)) {
        error.trendFile = true;
        error.reason = "the header is a trend file's";
        return false;
      }
      if (!ParseHeader(line, layout, table, error.reason)) return false;
      continue;
    }
    if (table.RowCount() == kMaxLogRows) {
      error.reason = "more than " + std::to_string(kMaxLogRows) + " rows";
      return false;
    }
    if (!ParseRow(line, layout, table, error.reason)) return false;
  }
  if (error.line == 0) {
    error = {1, "the file is empty"};
    return false;
  }
  return true;
}

bool ReadLogFile(const std::string& path, LogTable& table, LogFileError& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = {0, std::string("it cannot be opened: ") + std::strerror(errno)};
    return false;
  }
  return ParseLogFile(in, table, error);
}
