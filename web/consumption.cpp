#include "web/consumption.h"

#include <nlohmann/json.hpp>

#include <cstdlib>

#include "archive/report.h"

namespace {
// The bus's sum of what the report's rows say, so that it adds up to them.
std::string BusSum(const std::vector<MeterReport>& meters, size_t period) {
  double sum = 0;
  for (const MeterReport& meter : meters) sum += std::strtod(KwhText(meter.periods[period].kwh).c_str(), nullptr);
  return KwhText(sum);
}

nlohmann::ordered_json Labels(const std::vector<MeterReport>& meters) {
  nlohmann::ordered_json labels = nlohmann::ordered_json::array();
  if (!meters.empty())
    for (const PeriodUse& use : meters.front().periods) labels.push_back(use.period.label);
  return labels;
}
}  // namespace

std::optional<std::string> ConsumptionJson(SqliteStore& store, time_t now, std::string* error) {
  const time_t today = PeriodStart(PeriodKind::Day, now);
  const time_t thisMonth = PeriodStart(PeriodKind::Month, now);
  std::vector<MeterReport> days, months;
  const ReportRequest byDay{PeriodKind::Day, PeriodAfter(PeriodKind::Day, today, 1 - kConsumptionDays),
                            PeriodAfter(PeriodKind::Day, today), ""};
  const ReportRequest byMonth{PeriodKind::Month, PeriodAfter(PeriodKind::Month, thisMonth, 1 - kConsumptionMonths),
                              PeriodAfter(PeriodKind::Month, thisMonth), ""};
  nlohmann::ordered_json json = {{"days", nlohmann::ordered_json::array()},
                                 {"months", nlohmann::ordered_json::array()},
                                 {"meters", nlohmann::ordered_json::array()},
                                 {"bus", nullptr}};
  std::string none;
  if (!BuildReport(store, byDay, days, &none) || !BuildReport(store, byMonth, months, &none)) {
    if (!none.empty() && none.find("holds no meter") == std::string::npos) {
      *error = none;
      return std::nullopt;
    }
    return json.dump();  // nothing archived yet
  }
  json["days"] = Labels(days);
  json["months"] = Labels(months);
  for (size_t m = 0; m < days.size(); ++m) {
    nlohmann::ordered_json perDay = nlohmann::ordered_json::array(), perMonth = nlohmann::ordered_json::array();
    for (const PeriodUse& use : days[m].periods) perDay.push_back(KwhText(use.kwh));
    for (const PeriodUse& use : months[m].periods) perMonth.push_back(KwhText(use.kwh));
    json["meters"].push_back({{"meter", MeterId(days[m].meter)}, {"days", perDay}, {"months", perMonth}});
  }
  json["bus"] = {{"today", BusSum(days, kConsumptionDays - 1)},
                 {"yesterday", BusSum(days, kConsumptionDays - 2)},
                 {"this_month", BusSum(months, kConsumptionMonths - 1)},
                 {"last_month", BusSum(months, kConsumptionMonths - 2)}};
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
