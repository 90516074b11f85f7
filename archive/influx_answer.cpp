#include "archive/influx_answer.h"

#include <cstdlib>
#include <functional>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "meter/register_map.h"

namespace {
using nlohmann::json;

// An error far longer than a line is cut: it goes into one message.
constexpr size_t kMaxErrorText = 300;

// A whole number as JSON has it; a float, a text or anything else does not
// read as one (a float past long long's range would not convert).
long long Integer(const json& value) {
  if (!value.is_number_integer()) throw json::type_error::create(302, "no whole number", &value);
  return value.get<long long>();
}

// The columns of a series' first row by name.
std::map<std::string, json> FirstRow(const json& series) {
  std::map<std::string, json> row;
  const json& columns = series.at("columns");
  const json& values = series.at("values").at(0);
  for (size_t i = 0; i < columns.size(); ++i) row[columns.at(i).get<std::string>()] = values.at(i);
  return row;
}

void SplitNumbers(const std::string& text, int count, const std::function<void(int, long)>& take) {
  size_t start = 0;
  for (int i = 0; i < count && start <= text.size(); ++i) {
    const size_t comma = text.find(',', start);
    take(i, std::strtol(text.c_str() + start, nullptr, 10));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
}

InfluxCursor CursorOfRow(const std::map<std::string, json>& row) {
  InfluxCursor read;
  SyncCursor& c = read.cursor;
  auto number = [&](const char* name) { return Integer(row.at(name)); };
  c.run = static_cast<int>(number("run"));
  c.shape.timeStep = static_cast<int>(number("sub_interval"));
  SplitNumbers(row.at("slots").get<std::string>(), reg::kSlotCount,
               [&](int i, long v) { c.shape.slots[i] = static_cast<unsigned>(v); });
  c.meterEntries = static_cast<int>(number("meter_entries"));
  c.meterFull = row.at("meter_full").get<bool>();
  c.meterNewest = number("meter_newest");
  SplitNumbers(row.at("newest_raw").get<std::string>(), reg::kSlotCount,
               [&](int i, long v) { c.newestRaw[i] = static_cast<int32_t>(v); });
  c.runFirst = number("run_first");
  c.runLast = number("run_last");
  c.runEntries = static_cast<long>(number("run_entries"));
  read.conflicts = static_cast<long>(number("conflicts"));
  read.archivedNewest = number("archived_newest");
  return read;
}

std::string ErrorText(const json& error) {
  const std::string text = error.is_string() ? error.get<std::string>() : error.dump();
  return text.size() > kMaxErrorText ? text.substr(0, kMaxErrorText) + " ..." : text;
}
}  // namespace

std::string InfluxError(const std::string& body) {
  const json answer = json::parse(body, nullptr, false);
  if (!answer.is_object()) return "";
  if (answer.contains("error")) return ErrorText(answer["error"]);
  const json* results = answer.contains("results") ? &answer["results"] : nullptr;
  if (results == nullptr || !results->is_array() || results->empty() || !(*results)[0].is_object() ||
      !(*results)[0].contains("error"))
    return "";
  return ErrorText((*results)[0]["error"]);
}

// Columns taken by name, as a field never written is no column at all.
bool ReadInfluxPoints(const std::string& body, ArchivedPoints& points) {
  points.clear();
  if (body.empty()) return true;
  try {
    const json answer = json::parse(body);
    const json& result = answer.at("results").at(0);
    if (result.is_object() && !result.contains("series")) return true;
    const json& series = result.at("series").at(0);
    std::map<std::string, size_t> column;
    for (size_t i = 0; i < series.at("columns").size(); ++i) column[series["columns"][i].get<std::string>()] = i;
    for (const json& row : series.at("values")) {
      PointValue point;
      for (const char* field : {"value", "error", "raw"})
        if (column.count(field) > 0 && !row.at(column[field]).is_null()) point = {field, row[column[field]].get<double>()};
      const std::string reg = row.at(column.at("register")).get<std::string>();
      points[Integer(row.at(column.at("time")))][static_cast<unsigned>(std::strtoul(reg.c_str(), nullptr, 10))] = point;
    }
  } catch (const std::exception&) {  // nlohmann's, and a column the answer lacks
    points.clear();
    return false;
  }
  return true;
}

bool ReadInfluxCursor(const std::string& body, std::optional<InfluxCursor>& cursor) {
  cursor.reset();
  try {
    const json answer = json::parse(body);
    const json& result = answer.at("results").at(0);
    if (result.is_object() && !result.contains("series")) return true;
    cursor = CursorOfRow(FirstRow(result.at("series").at(0)));
  } catch (const std::exception&) {  // nlohmann's, and a column the answer lacks
    return false;
  }
  return true;
}
