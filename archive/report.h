#pragma once
// `pylaxctl archive report` and the monitor's page: what each archived
// meter used per period, and its three outputs (an aligned table, CSV,
// JSON), by the rules of archive/consumption.h.

#include <string>
#include <vector>

#include "archive/consumption.h"
#include "archive/sqlite_store.h"

struct ReportRequest {
  PeriodKind by = PeriodKind::Day;
  time_t from = 0;  // UTC seconds; from == to == 0: the last full month
  time_t to = 0;
  std::string meter;  // a meter id; empty: every meter
};

struct MeterReport {
  Meter meter;
  std::vector<PeriodUse> periods;
};

// The span a request without --from and --to reports on: the last full
// month before now, in local time.
void LastFullMonth(time_t now, time_t& from, time_t& to);

// Every meter of the archive (or the one asked for) with its periods; false
// with *error when the archive cannot be read or holds no such meter.
bool BuildReport(SqliteStore& store, const ReportRequest& request, std::vector<MeterReport>& meters,
                 std::string* error);

// The notes of a row: "23 h", "25 h", "reset", "2 resets", "start
// interpolated", "end interpolated", "no data", comma-separated.
std::string ReportNotes(const PeriodUse& use);
// One line a row under a header, columns aligned.
std::vector<std::string> ReportTable(const std::vector<MeterReport>& meters);
// The header line and one line a meter and period.
std::string ReportCsv(const std::vector<MeterReport>& meters);
// [{"meter", "identification", "model", "periods": [...]}], the CSV's
// columns as each period's keys.
std::string ReportJson(const std::vector<MeterReport>& meters);
