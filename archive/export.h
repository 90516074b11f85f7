#pragma once
// Reading the archive back: the list of its meters and runs, and the export
// of one run in the layout of a download's "NN-data.csv", written by the
// download's own CSV writer, so that the plot and every tool that reads our
// CSV open archived spans.

#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "archive/sqlite_store.h"

// "meter (identification, model)" and each run's sub-interval, slots, span,
// entries, conflicts and gaps, a line each; then the polled readings kept.
std::vector<std::string> ArchiveListLines(const std::vector<ArchivedMeterRuns>& meters);

struct ExportRequest {
  std::string meter;  // a meter id; empty: the archive's only meter
  int run = 0;        // 0: the newest run with entries in the span
  time_t from = std::numeric_limits<time_t>::min();
  time_t to = std::numeric_limits<time_t>::max();
};

struct ExportOutcome {
  Meter meter;
  int run = 0;
  LogRunShape shape;
  long rows = 0;      // rows written: every instant from the newest entry to the oldest
  long entries = 0;   // of them holding an entry (the others, gaps, have empty fields)
  long offGrid = 0;   // entries left out: not on the newest entry's sub-interval grid
  std::vector<int> otherRuns;  // other runs with entries in the span
};

// Picks the meter and the run; false with *error when none fits or the
// archive cannot be read.
bool PlanExport(SqliteStore& store, const ExportRequest& request, ExportOutcome& outcome, std::string* error);
// Then writes the header and one row per instant of the span, newest first,
// to file.
bool WriteExport(SqliteStore& store, const ExportRequest& request, FILE* file, ExportOutcome& outcome,
                 std::string* error);

// "2026-12-07", "2026-12-07T12:49", "2026-12-07 12:49:28" as local time, or
// with a trailing "Z" as UTC. False for anything else.
bool ParseArchiveTime(const std::string& text, time_t& time);
