#include "archive/export.h"

#include <algorithm>
#include <memory>
#include <regex>

#include "bus/csv_writer.h"
#include "util/utc_text.h"

namespace {
std::string SlotText(const LogRunShape& shape) {
  std::string numbers;
  std::string labels;
  for (int slot = 0; slot < reg::kSlotCount; ++slot) {
    numbers += (slot > 0 ? " " : "") + std::to_string(shape.slots[slot]);
    labels += std::string(slot > 0 ? "," : "") + RegisterLabel(shape.slots[slot]);
  }
  return numbers + " (" + labels + ")";
}

bool Overlaps(const ArchivedRun& run, const ExportRequest& request) {
  return run.entries > 0 && run.first <= request.to && run.last >= request.from;
}

// The meter asked for; of several with that id (another identification at
// the same address), the one archived last.
const ArchivedMeterRuns* PickMeter(const std::vector<ArchivedMeterRuns>& meters, const std::string& id,
                                   std::string* error) {
  if (id.empty()) {
    if (meters.size() == 1) return &meters.front();
    std::string names;
    for (const ArchivedMeterRuns& m : meters) names += (names.empty() ? "" : ", ") + MeterId(m.meter);
    *error = meters.empty() ? "the archive holds no meter" : "the archive holds several meters; name one with --meter: " + names;
    return nullptr;
  }
  const ArchivedMeterRuns* picked = nullptr;
  for (const ArchivedMeterRuns& m : meters)
    if (MeterId(m.meter) == id) picked = &m;
  if (picked == nullptr) *error = "the archive holds no meter " + id;
  return picked;
}

const ArchivedRun* PickRun(const ArchivedMeterRuns& meter, const ExportRequest& request, ExportOutcome& outcome,
                           std::string* error) {
  const ArchivedRun* picked = nullptr;
  for (const ArchivedRun& run : meter.runs)
    if (Overlaps(run, request) && (request.run == 0 || run.number == request.run)) picked = &run;
  for (const ArchivedRun& run : meter.runs)
    if (Overlaps(run, request) && &run != picked) outcome.otherRuns.push_back(run.number);
  if (picked == nullptr)
    *error = "meter " + MeterId(meter.meter) + " has " +
             (request.run == 0 ? "no entries" : "no log run " + std::to_string(request.run) + " with entries") +
             " in that span";
  return picked;
}

// Rows go out in parts of one LoggedData each: row l of the file is the
// instant newest - l * step, and an instant without an entry is a row of
// empty fields, as a download leaves a row no slot was read into.
class RowWriter {
 public:
  RowWriter(FILE* file, const LogRunShape& shape, time_t newest) : file_(file), newest_(newest) {
    data_->timeStep = shape.timeStep;
    for (int slot = 0; slot < reg::kSlotCount; ++slot) data_->slotRegisters[slot] = static_cast<int16_t>(shape.slots[slot]);
    int headerSlots[reg::kSlotCount];
    std::copy(std::begin(shape.slots), std::end(shape.slots), headerSlots);
    WriteDataHeader(file_, *data_, headerSlots);
    StartPart(0);
  }
  void Put(long row, const ArchiveEntry& entry) {
    while (row >= partStart_ + kLoggedDataCapacity) Flush(kLoggedDataCapacity);
    const int l = static_cast<int>(row - partStart_);
    for (int slot = 0; slot < reg::kSlotCount; ++slot) {
      data_->raw[slot][l] = entry.raw[slot];
      data_->values[slot][l] = entry.value[slot];
      data_->valueDefined[slot][l] = entry.defined[slot];
    }
    last_ = row;
  }
  // The rows up to the last one put.
  void Finish() { Flush(static_cast<int>(last_ - partStart_ + 1)); }

 private:
  void StartPart(long start) {
    partStart_ = start;
    data_->newestTime = newest_ - static_cast<time_t>(start) * data_->timeStep;
    for (auto& column : data_->raw) std::fill(std::begin(column), std::end(column), kNotRead);
    for (auto& defined : data_->valueDefined) defined.reset();
  }
  void Flush(int rows) {
    data_->pointCount = static_cast<int16_t>(rows);
    WriteDataRows(file_, *data_, static_cast<int>(partStart_ + 1));
    StartPart(partStart_ + rows);
  }

  FILE* file_;
  time_t newest_;
  std::unique_ptr<LoggedData> data_ = std::make_unique<LoggedData>();
  long partStart_ = 0;
  long last_ = -1;
};

// A day and time the calendar has: mktime would take 2026-11-31 for
// 1 December and 24:00 for the next day.
bool RealDateTime(const struct tm& fields) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const int year = fields.tm_year + 1900;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (fields.tm_mon < 0 || fields.tm_mon > 11 || fields.tm_mday < 1) return false;
  const int days = kDays[fields.tm_mon] + (fields.tm_mon == 1 && leap ? 1 : 0);
  return fields.tm_mday <= days && fields.tm_hour <= 23 && fields.tm_min <= 59 && fields.tm_sec <= 59;
}
}  // namespace

std::vector<std::string> ArchiveListLines(const std::vector<ArchivedMeterRuns>& meters) {
  std::vector<std::string> lines;
  for (const ArchivedMeterRuns& m : meters) {
    lines.push_back(MeterId(m.meter) + "  " + m.meter.identification + " (" + ModelName(m.meter.model) + ")");
    for (const ArchivedRun& run : m.runs) {
      lines.push_back("  run " + std::to_string(run.number) + ": every " + std::to_string(run.shape.timeStep) +
                      " s, slots " + SlotText(run.shape));
      std::string span = "    " + std::to_string(run.entries) + " entries";
      if (run.entries > 0) span += " from " + UtcText(run.first) + " to " + UtcText(run.last);
      if (run.conflicts > 0) span += ", " + std::to_string(run.conflicts) + " conflicts (archived values kept)";
      lines.push_back(span);
      for (const Gap& gap : run.gaps)
        lines.push_back("    gap: " + std::to_string(gap.entries) + " entries lost after " + UtcText(gap.after) +
                        ", before " + UtcText(gap.before));
    }
    if (m.readings > 0)
      lines.push_back("  polled readings: " + std::to_string(m.readings) + " from " + UtcText(m.readingsFirst) + " to " +
                      UtcText(m.readingsLast));
  }
  return lines;
}

bool PlanExport(SqliteStore& store, const ExportRequest& request, ExportOutcome& outcome, std::string* error) {
  outcome = {};
  std::vector<ArchivedMeterRuns> meters;
  if (!store.ListMeters(meters, error)) return false;
  const ArchivedMeterRuns* meter = PickMeter(meters, request.meter, error);
  if (meter == nullptr) return false;
  const ArchivedRun* run = PickRun(*meter, request, outcome, error);
  if (run == nullptr) return false;
  outcome.meter = meter->meter;
  outcome.run = run->number;
  outcome.shape = run->shape;
  return true;
}

bool WriteExport(SqliteStore& store, const ExportRequest& request, FILE* file, ExportOutcome& outcome,
                 std::string* error) {
  const time_t step = outcome.shape.timeStep;
  std::unique_ptr<RowWriter> writer;
  time_t newest = 0;
  const bool read = store.RunEntries(outcome.meter, outcome.run, request.from, request.to, [&](const ArchiveEntry& entry) {
    if (!writer) {
      newest = entry.time;
      writer = std::make_unique<RowWriter>(file, outcome.shape, newest);
    }
    if ((newest - entry.time) % step != 0) {
      ++outcome.offGrid;
      return;
    }
    const long row = static_cast<long>((newest - entry.time) / step);
    writer->Put(row, entry);
    outcome.rows = row + 1;
    ++outcome.entries;
  }, error);
  if (writer) writer->Finish();
  return read;
}

bool ParseArchiveTime(const std::string& text, time_t& time) {
  // sscanf alone would take signs and blanks in the numbers.
  static const std::regex kForm(R"(\d{4}-\d{2}-\d{2}([T ]\d{2}:\d{2}(:\d{2})?)?Z?)");
  if (!std::regex_match(text, kForm)) return false;
  struct tm fields {};
  int used = 0;
  char separator = 0;
  const int matched = std::sscanf(text.c_str(), "%4d-%2d-%2d%n%c%2d:%2d%n:%2d%n", &fields.tm_year, &fields.tm_mon,
                                  &fields.tm_mday, &used, &separator, &fields.tm_hour, &fields.tm_min, &used,
                                  &fields.tm_sec, &used);
  if (matched != 3 && matched != 6 && matched != 7) return false;
  if (matched > 3 && separator != 'T' && separator != ' ') return false;
  const std::string rest = text.substr(static_cast<size_t>(used));
  if (rest != "" && rest != "Z") return false;
  fields.tm_year -= 1900;
  fields.tm_mon -= 1;
  fields.tm_isdst = -1;
  if (!RealDateTime(fields)) return false;
  time = rest == "Z" ? timegm(&fields) : mktime(&fields);
  return time != static_cast<time_t>(-1);
}
