#include "charts/plot_series.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {
constexpr double kGap = std::numeric_limits<double>::quiet_NaN();
// A band from more than two rows a slice on average: 5760 rows of a 60-day
// log in a chart 1100 pixels wide (550 slices of 2 pixels) draw as a band,
// ten days of them (960 rows) as a line.
constexpr int kRowsPerSliceForBand = 2;
constexpr double kCoincidingShare = 100;

// Highest less lowest value of two columns together; 0 without values.
double SpanOf(const LogColumn& a, const LogColumn& b) {
  double low = std::numeric_limits<double>::infinity(), high = -low;
  for (const LogColumn* column : {&a, &b})
    for (float value : column->values)
      if (!std::isnan(value)) low = std::min(low, double(value)), high = std::max(high, double(value));
  return high > low ? high - low : 0;
}

struct Slice {
  int rows = 0, valid = 0;
  double sum = 0, low = 0, high = 0;
  void Take(float value) {
    ++rows;
    if (std::isnan(value)) return;
    low = valid == 0 ? value : std::min(low, double(value));
    high = valid == 0 ? value : std::max(high, double(value));
    sum += value;
    ++valid;
  }
};

void AddBand(ColumnPicture& picture, const LogTable& table, const std::vector<int>& rows, const LogColumn& column,
             double from, double to, int slices) {
  std::vector<Slice> taken(static_cast<size_t>(slices));
  const double width = (to - from) / slices;
  for (int row : rows) {
    const double time = double(table.times[row]);
    if (time < from || time > to) continue;
    const int slice = std::min(slices - 1, static_cast<int>((time - from) / width));
    taken[static_cast<size_t>(slice)].Take(column.values[row]);
  }
  for (int s = 0; s < slices; ++s) {
    const Slice& slice = taken[static_cast<size_t>(s)];
    if (slice.rows == 0) continue;  // no row logged in it: the line joins its neighbours
    picture.times.push_back(from + (s + 0.5) * width);
    picture.values.push_back(slice.valid > 0 ? slice.sum / slice.valid : kGap);
    picture.lows.push_back(slice.valid > 0 ? slice.low : kGap);
    picture.highs.push_back(slice.valid > 0 ? slice.high : kGap);
  }
}

void AddRows(ColumnPicture& picture, const LogTable& table, const std::vector<int>& rows, const LogColumn& column,
             double from, double to) {
  // The first row at or after from, and the one past the last at or before to.
  const auto before = [&table](int row, double time) { return double(table.times[row]) < time; };
  const auto after = [&table](double time, int row) { return time < double(table.times[row]); };
  auto first = std::lower_bound(rows.begin(), rows.end(), from, before);
  auto last = std::upper_bound(first, rows.end(), to, after);
  if (first != rows.begin()) --first;
  if (last != rows.end()) ++last;
  for (auto row = first; row != last; ++row) {
    picture.times.push_back(double(table.times[*row]));
    const float value = column.values[*row];
    picture.values.push_back(std::isnan(value) ? kGap : double(value));
  }
}

void AddDots(ColumnPicture& picture) {
  const size_t count = picture.values.size();
  const auto joinable = [&picture, count](size_t i) { return i < count && !std::isnan(picture.values[i]); };
  for (size_t i = 0; i < count; ++i)
    if (joinable(i) && !joinable(i - 1) && !joinable(i + 1)) {  // i - 1 of 0 wraps past count
      picture.dotTimes.push_back(picture.times[i]);
      picture.dotValues.push_back(picture.values[i]);
    }
}

// The least span of each unit's axis: about what a person reads as a real
// change of that quantity (an hour of a kilowatt, a hundred watts, a volt, a
// tenth of an ampere, a hundredth of the power factor, the grid frequency's
// usual wander), well above the file's third decimal, so a steady value
// draws as a steady line, not as its last digit's noise.
struct UnitSpan {
  const char* unit;
  double span;
};
constexpr UnitSpan kLeastSpans[] = {
    {"kWh", 1},  {"kVAh", 1}, {"kvarh", 1}, {"kW", 0.1}, {"kvar", 0.1},
    {"kVA", 0.1}, {"PF", 0.01}, {"V", 1},     {"A", 0.1},  {"Hz", 0.1},
};
}  // namespace

double LeastValueSpan(const std::string& unit) {
  for (const UnitSpan& least : kLeastSpans)
    if (unit == least.unit) return least.span;
  return 0;
}

std::vector<int> RowsByTime(const LogTable& table) {
  std::vector<int> rows;
  for (int row = 0; row < table.RowCount(); ++row)
    if (table.times[row] >= 0) rows.push_back(row);
  // A download writes the newest row first; stable, so rows of one instant keep their order.
  std::stable_sort(rows.begin(), rows.end(), [&table](int a, int b) { return table.times[a] < table.times[b]; });
  return rows;
}

ColumnPicture PictureOf(const LogTable& table, const std::vector<int>& rowsByTime, const LogColumn& column,
                        double from, double to, int slices) {
  ColumnPicture picture;
  if (!(to > from) || slices < 1) return picture;
  const auto inSpan = [&table, from, to](int row) {
    return double(table.times[row]) >= from && double(table.times[row]) <= to;
  };
  const auto shown = std::count_if(rowsByTime.begin(), rowsByTime.end(), inSpan);
  if (shown > static_cast<long>(kRowsPerSliceForBand) * slices)
    AddBand(picture, table, rowsByTime, column, from, to, slices);
  else
    AddRows(picture, table, rowsByTime, column, from, to);
  AddDots(picture);
  return picture;
}

std::vector<Coinciding> CoincidingColumns(const LogTable& table) {
  const auto lies = [](const LogColumn& a, const LogColumn& b, double tolerance) {
    return a.kind == b.kind &&
           std::equal(a.values.begin(), a.values.end(), b.values.begin(), b.values.end(), [&](float x, float y) {
             return (std::isnan(x) && std::isnan(y)) || std::fabs(double(x) - double(y)) <= tolerance;
           });
  };
  std::vector<Coinciding> coinciding(table.columns.size());
  for (size_t c = 0; c < table.columns.size(); ++c)
    for (size_t earlier = 0; earlier < c && coinciding[c].under < 0; ++earlier) {
      const LogColumn &a = table.columns[earlier], &b = table.columns[c];
      if (lies(a, b, SpanOf(a, b) / kCoincidingShare))
        coinciding[c] = {static_cast<int>(earlier), lies(a, b, 0)};
    }
  return coinciding;
}
