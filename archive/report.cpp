#include "archive/report.h"

#include <nlohmann/json.hpp>

#include <algorithm>

#include "modbus/model.h"

namespace {
// A local instant as ISO 8601 with its offset: "2026-11-01T00:00:00+01:00".
std::string LocalIso(time_t t) {
  struct tm local {};
  localtime_r(&t, &local);
  char text[40];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
  std::string iso = text;
  if (iso.size() >= 5) iso.insert(iso.size() - 2, ":");
  return iso;
}

std::string Optional(const std::optional<double>& kwh) { return kwh ? KwhText(*kwh) : ""; }

// The columns of a row, in the order of the CSV's header.
constexpr const char* kColumns[] = {"meter", "period", "start", "end", "hours", "start_kwh", "start_interpolated",
                                    "end_kwh", "end_interpolated", "kwh", "source", "coverage", "resets"};

std::vector<std::string> Row(const Meter& meter, const PeriodUse& use) {
  return {MeterId(meter),
          use.period.label,
          LocalIso(use.period.start),
          LocalIso(use.period.end),
          std::to_string(use.period.Hours()),
          Optional(use.startKwh),
          use.startInterpolated ? "1" : "0",
          Optional(use.endKwh),
          use.endInterpolated ? "1" : "0",
          KwhText(use.kwh),
          SourceName(use.source),
          CoverageText(use),
          std::to_string(use.resets)};
}

// A CSV field: quoted where it holds a comma, a quote or a line end (a meter id is the bus's name).
std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}
}  // namespace

void LastFullMonth(time_t now, time_t& from, time_t& to) {
  to = PeriodStart(PeriodKind::Month, now);
  from = PeriodAfter(PeriodKind::Month, to, -1);
}

bool BuildReport(SqliteStore& store, const ReportRequest& request, std::vector<MeterReport>& meters,
                 std::string* error) {
  std::vector<ArchivedMeterRuns> archived;
  if (!store.ListMeters(archived, error)) return false;
  const std::vector<Period> periods = Periods(request.by, request.from, request.to);
  for (const ArchivedMeterRuns& item : archived) {
    if (!request.meter.empty() && MeterId(item.meter) != request.meter) continue;
    CounterSeries log, polled;
    if (!store.CounterSeriesOf(item.meter, log, polled, error)) return false;
    MeterReport report{item.meter, {}};
    for (const Period& period : periods) report.periods.push_back(UseOf(log, polled, period));
    meters.push_back(std::move(report));
  }
  if (!meters.empty()) return true;
  *error = request.meter.empty() ? store.Url() + " holds no meter" : store.Url() + " holds no meter " + request.meter;
  return false;
}

std::string ReportNotes(const PeriodUse& use) {
  std::vector<std::string> notes;
  if (use.period.kind == PeriodKind::Day && use.period.Hours() != 24)
    notes.push_back(std::to_string(use.period.Hours()) + " h");
  if (use.resets > 0) notes.push_back(use.resets == 1 ? "reset" : std::to_string(use.resets) + " resets");
  if (use.startInterpolated) notes.push_back("start interpolated");
  if (use.endInterpolated) notes.push_back("end interpolated");
  if (use.coveredSeconds == 0) notes.push_back("no data");
  std::string text;
  for (const std::string& note : notes) text += (text.empty() ? "" : ", ") + note;
  return text;
}

std::vector<std::string> ReportTable(const std::vector<MeterReport>& meters) {
  std::vector<std::vector<std::string>> rows = {
      {"METER", "PERIOD", "START kWh", "END kWh", "kWh", "SOURCE", "COVERAGE", "NOTES"}};
  for (const MeterReport& meter : meters)
    for (const PeriodUse& use : meter.periods)
      rows.push_back({MeterId(meter.meter), use.period.label, Optional(use.startKwh), Optional(use.endKwh),
                      KwhText(use.kwh), SourceName(use.source), CoverageText(use) + " %", ReportNotes(use)});
  std::vector<size_t> widths(rows.front().size(), 0);
  for (const auto& row : rows)
    for (size_t column = 0; column < row.size(); ++column) widths[column] = std::max(widths[column], row[column].size());
  // Numbers right-aligned, texts left; the last column unpadded.
  const bool right[] = {false, false, true, true, true, false, true, false};
  std::vector<std::string> lines;
  for (const auto& row : rows) {
    std::string line;
    for (size_t column = 0; column < row.size(); ++column) {
      const std::string pad(widths[column] - row[column].size(), ' ');
      const bool last = column + 1 == row.size();
      line += right[column] ? pad + row[column] : row[column] + (last ? "" : pad);
      if (!last) line += "  ";
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string ReportCsv(const std::vector<MeterReport>& meters) {
  std::string csv;
  for (const char* column : kColumns) csv += std::string(csv.empty() ? "" : ",") + column;
  csv += "\n";
  for (const MeterReport& meter : meters)
    for (const PeriodUse& use : meter.periods) {
      std::string line;
      for (const std::string& field : Row(meter.meter, use)) line += (line.empty() ? "" : ",") + CsvField(field);
      csv += line + "\n";
    }
  return csv;
}

std::string ReportJson(const std::vector<MeterReport>& meters) {
  nlohmann::ordered_json all = nlohmann::ordered_json::array();
  for (const MeterReport& meter : meters) {
    nlohmann::ordered_json periods = nlohmann::ordered_json::array();
    for (const PeriodUse& use : meter.periods) {
      // Numbers as the table prints them, so that every output agrees to the digit.
      const auto number = [](const std::string& text) { return nlohmann::ordered_json(std::stod(text)); };
      const auto counter = [&](const std::optional<double>& kwh) {
        return kwh ? number(KwhText(*kwh)) : nlohmann::ordered_json(nullptr);
      };
      nlohmann::ordered_json period = {{"period", use.period.label},
                                       {"start", LocalIso(use.period.start)},
                                       {"end", LocalIso(use.period.end)},
                                       {"hours", use.period.Hours()},
                                       {"start_kwh", counter(use.startKwh)},
                                       {"start_interpolated", use.startInterpolated},
                                       {"end_kwh", counter(use.endKwh)},
                                       {"end_interpolated", use.endInterpolated},
                                       {"kwh", number(KwhText(use.kwh))},
                                       {"source", SourceName(use.source)},
                                       {"coverage", number(CoverageText(use))},
                                       {"resets", use.resets}};
      periods.push_back(period);
    }
    all.push_back({{"meter", MeterId(meter.meter)},
                   {"identification", meter.meter.identification},
                   {"model", ModelName(meter.meter.model)},
                   {"periods", periods}});
  }
  return all.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}
