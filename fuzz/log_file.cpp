// The data file reader, given a file's bytes as the plot reads them, and
// what the plot then takes from what it accepts: a value per row in every
// column, and each column's picture over the whole span.

#include <sstream>
#include <string>

#include "charts/log_file.h"
#include "charts/plot_series.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  LogTable table;
  LogFileError error;
  if (!ParseLogFile(in, table, error)) {
    if (error.line < 1 || error.reason.empty()) __builtin_trap();
    return 0;
  }
  if (table.errorWords.size() != (table.hasErrorColumn ? table.times.size() : 0)) __builtin_trap();
  const std::vector<int> rows = RowsByTime(table);
  for (const LogColumn& column : table.columns) {
    if (column.values.size() != table.times.size()) __builtin_trap();
    if (!rows.empty())
      PictureOf(table, rows, column, double(table.times[rows.front()]), double(table.times[rows.back()]), 100);
  }
  CoincidingColumns(table);
  return 0;
}
