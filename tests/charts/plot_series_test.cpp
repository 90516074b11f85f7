// What the plot draws of a column: its rows with their gaps and lone dots
// while they are few, a band of each slice's range around its mean when many;
// and which columns lie on another.

#include "charts/plot_series.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {
// A table of one column, rows given oldest first (the file has them newest first).
LogTable TableOf(const std::vector<int64_t>& times, const std::vector<float>& values) {
  LogTable table;
  table.times.assign(times.rbegin(), times.rend());
  LogColumn column;
  column.values.assign(values.rbegin(), values.rend());
  table.columns.push_back(column);
  return table;
}

// NaN written as -999, so vectors compare with ==.
std::vector<double> Shown(const std::vector<double>& values) {
  std::vector<double> shown;
  for (double value : values) shown.push_back(std::isnan(value) ? -999 : value);
  return shown;
}
}  // namespace

TEST(PlotSeries, RowsAsTheyAreWhileFewABandOfEachSliceWhenMany) {
  const double gap = -999;
  struct Case {
    const char* what;
    std::vector<int64_t> times;
    std::vector<float> values;
    double from, to;
    int slices;
    std::vector<double> lineTimes, lineValues, lows, highs, dotTimes;
  };
  const Case cases[] = {
      {"one row", {1000}, {5}, 400, 1600, 100, {1000}, {5}, {}, {}, {1000}},
      {"gaps leave lone dots", {0, 10, 20, 30, 40, 50}, {1, NAN, 3, 4, NAN, 6}, 0, 50, 100,
       {0, 10, 20, 30, 40, 50}, {1, gap, 3, 4, gap, 6}, {}, {}, {0, 50}},
      {"a part, with the rows either side", {0, 10, 20, 30, 40, 50}, {1, NAN, 3, 4, NAN, 6}, 15, 35, 100,
       {10, 20, 30, 40}, {gap, 3, 4, gap}, {}, {}, {}},
      {"two rows a slice are still rows", {0, 10, 20, 30, 40, 50}, {1, 2, 3, 4, 5, 6}, 0, 60, 3,
       {0, 10, 20, 30, 40, 50}, {1, 2, 3, 4, 5, 6}, {}, {}, {}},
      // Slices of 40 s: 0..30, 40..70 (nothing read), 80..120 (the end's row in the last).
      {"a band", {0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120},
       {4, 1, 7, 2, NAN, NAN, NAN, NAN, 10, 12, 11, 9, 13}, 0, 120, 3,
       {20, 60, 100}, {3.5, gap, 11}, {1, gap, 9}, {7, gap, 13}, {20, 100}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const LogTable table = TableOf(c.times, c.values);
    const ColumnPicture picture = PictureOf(table, RowsByTime(table), table.columns[0], c.from, c.to, c.slices);
    EXPECT_EQ(picture.times, c.lineTimes);
    EXPECT_EQ(Shown(picture.values), c.lineValues);
    EXPECT_EQ(Shown(picture.lows), c.lows);
    EXPECT_EQ(Shown(picture.highs), c.highs);
    EXPECT_EQ(picture.dotTimes, c.dotTimes);
  }
}

TEST(PlotSeries, RowsByTimeAndColumnsThatCoincide) {
  LogTable table;
  table.times = {30, -1, 10, 20};
  EXPECT_EQ(RowsByTime(table), (std::vector<int>{2, 3, 0}));

  const auto column = [](ColumnKind kind, std::vector<float> values) {
    LogColumn made;
    made.kind = kind;
    made.values = std::move(values);
    return made;
  };
  using K = ColumnKind;
  table.columns = {column(K::Power, {1, 2, NAN, 4}), column(K::Power, {1, 2, NAN, 4}),
                   column(K::Power, {1, 2, 3, 4}),   column(K::PowerFactor, {1, 2, NAN, 4}),
                   column(K::Power, {1, 2, NAN, 4}), column(K::PowerFactor, {1, 2, NAN, 4})};
  EXPECT_EQ(CoincidingColumns(table), (std::vector<int>{-1, 0, -1, -1, 0, 3}));
}
