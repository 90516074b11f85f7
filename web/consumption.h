#pragma once
// The page's consumption (/api/consumption): each meter's kWh by day for
// the last 31 days and by month for the last 13, and the bus's today,
// yesterday, this month and last month, from a SQLite archive by the
// report's own rules and numbers (archive/report.h), so that the page and
// `pylaxctl archive report` agree to the digit.

#include <ctime>
#include <optional>
#include <string>

class SqliteStore;

inline constexpr int kConsumptionDays = 31;
inline constexpr int kConsumptionMonths = 13;

// {"days": [labels], "months": [labels], "meters": [{"meter", "days": [kWh
// texts], "months": [...]}], "bus": {"today", "yesterday", "this_month",
// "last_month"}}, the kWh as the report's texts; none with *error when the
// archive cannot be read.
std::optional<std::string> ConsumptionJson(SqliteStore& store, time_t now, std::string* error);
