#pragma once
// What the plot draws of each logged column over the span shown: its rows as
// they are while they are few for the pixels, else a band from each slice's
// lowest to its highest value around the slices' means, so a daily cycle over
// 60 days reads as a band rather than a scribble; and which columns lie
// exactly on another. Qt-free, so tables of rows pin it.

#include <string>
#include <vector>

#include "charts/log_file.h"

// The rows that have a time, oldest first.
std::vector<int> RowsByTime(const LogTable& table);

struct ColumnPicture {
  // The line, in time order; a NaN value breaks it. With a band, one point
  // per slice: the mean of its values, at its middle.
  std::vector<double> times, values;
  // With a band, each slice's lowest and highest value beside the line's
  // points (NaN where the line breaks); empty without.
  std::vector<double> lows, highs;
  // Points with nothing to be joined to on either side (a file of one row, a
  // row between empty fields): drawn as dots, as a line would not show them.
  std::vector<double> dotTimes, dotValues;
};

// The picture of column over [from, to] (seconds) for a chart of slices
// pixel slices: a band once more than two rows fall in each slice on average.
// Drawn as they are, the rows just outside the span are taken too, so the
// line runs on to the chart's edges.
ColumnPicture PictureOf(const LogTable& table, const std::vector<int>& rowsByTime, const LogColumn& column,
                        double from, double to, int slices);

// The least span of a value axis in unit ("kW", "V", ...; 0 for one not
// logged): a file of one row, or columns that barely move, show their last
// digit's difference as such, not as the chart's whole height.
double LeastValueSpan(const std::string& unit);

// A column whose line would hide under an earlier one's: in every row both
// fields are empty or their values lie within a hundredth of the span of
// both columns' values (a pixel of a chart 100 pixels high), as a register
// and its float pair do.
struct Coinciding {
  int under = -1;      // the first such earlier column of the same kind; -1: none
  bool exact = false;  // every row the same
};
std::vector<Coinciding> CoincidingColumns(const LogTable& table);
