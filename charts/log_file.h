#pragma once
// Reading back a data file that a download wrote ("NN-data.csv"), for the
// plot: the header's register labels, each row's time and values. Anything
// that does not fit the file's layout is refused with the line where it
// stops fitting. Qt-free, so every refusal can be tested on its own.

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

// What a column's register measures; each kind gets its own axis.
enum class ColumnKind { Energy, Power, PowerFactor, Voltage, Current, Frequency };
constexpr int kColumnKinds = 6;
// The kind a header label names ("KWH" Energy, "KW-A" Power, ...).
ColumnKind KindOfLabel(const std::string& label);
// The unit of a header label's values: "kWh", "kvarh", "kW", "kvar", "kVA",
// "PF", "V", "A", "Hz".
const char* UnitOfLabel(const std::string& label);

// A logged column that holds values: NaN where the field is empty.
struct LogColumn {
  std::string label;  // the header's register label
  std::string name;   // label, with the slot added where two columns share it
  ColumnKind kind = ColumnKind::Power;
  std::string unit;           // of the label
  std::vector<float> values;  // one per row
};

struct LogTable {
  // Each row's time as seconds since 1970, from the UTC column: the
  // Date/Time text beside it is local time where the file was written, and
  // repeats an hour each autumn. -1 where the download left the text empty
  // (a meter time it could not represent).
  std::vector<int64_t> times;
  std::vector<LogColumn> columns;
  bool hasErrorColumn = false;
  std::vector<int> errorWords;  // one per row: -1 empty, else the word
  int RowCount() const { return static_cast<int>(times.size()); }
};

struct LogFileError {
  int line = 0;        // 1 for the header
  std::string reason;  // what does not fit, e.g. "12 fields where the header has 15"
  bool trendFile = false;  // the trend window's "Save Data...", a file of another kind
};

// A download stores at most 10000 entries a slot: more rows are no file of ours.
constexpr int kMaxLogRows = 10000;

// Reads the file's text; false, with the first line that does not fit, for
// anything a download does not write.
bool ParseLogFile(std::istream& in, LogTable& table, LogFileError& error);
// The same from a file; an unreadable file is refused at line 0.
bool ReadLogFile(const std::string& path, LogTable& table, LogFileError& error);
