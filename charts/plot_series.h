#pragma once
// What the plot draws of each logged column over the span shown: its rows as
// they are while they are few for the pixels, else a band from each slice's
// lowest to its highest value around the slices' means, so a daily cycle over
// 60 days reads as a band rather than a scribble; and which columns lie
// exactly on another. Qt-free, so tables of rows pin it.

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

// For each column, the first column before it of the same kind that has the
// same value (or the same empty field) in every row, else -1: its line would
// hide under that one.
std::vector<int> CoincidingColumns(const LogTable& table);
