#include "charts/trend_store.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <limits>
#include <optional>

#include "modbus/model.h"
#include "meter/meter_state.h"
#include "meter/reading_format.h"

namespace {
// The channel names follow.
constexpr const char* kCsvHeaderStart = "PC time,Meter,";
constexpr float kNotRead = std::numeric_limits<float>::quiet_NaN();
constexpr int kKwhChannel = 0;
constexpr size_t kGrowthTicks = 3600;
constexpr int kKwhPair = 0;  // reading block offset 0: the kWh pair
// The console's phase columns; line-to-line voltages are between phases.
constexpr const char* kPhaseNames[kPhaseColumns] = {"All", "Phase A", "Phase B", "Phase C"};
constexpr const char* kLinePhaseNames[kPhaseColumns] = {"All", "A-B", "B-C", "A-C"};
constexpr const char* kQuantityNames[kTrendQuantities] = {"kW", "PF", "Volts L-L", "Volts L-N", "Amps", "kWh"};
constexpr const char* kQuantityUnits[kTrendQuantities] = {"kW", "PF", "V", "V", "A", "kWh"};

// Channel 1 + 4 * row + column holds the console's row at that phase column.
int ChannelOf(PhaseRow row, int column) { return 1 + row * kPhaseColumns + column; }
PhaseRow RowOf(int channel) { return static_cast<PhaseRow>((channel - 1) / kPhaseColumns); }
int ColumnOf(int channel) { return (channel - 1) % kPhaseColumns; }

// "2026-12-07 12:41:07.250", the PC's local time.
std::string LocalTimeText(int64_t timeMs) {
  const time_t seconds = static_cast<time_t>(timeMs / 1000);
  struct tm local {};
  localtime_r(&seconds, &local);
  char text[80];  // room for any int the compiler sees in each field
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(timeMs % 1000));
  return text;
}

// A meter name goes into a CSV field quoted, its quotes doubled.
std::string CsvQuoted(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

// The lowest and highest value of one slice of the span, and when.
struct Slice {
  int valid = 0;
  double minValue = 0, maxValue = 0;
  int64_t minTime = 0, maxTime = 0;
  void Take(int64_t time, double value) {
    if (valid == 0 || value < minValue) minValue = value, minTime = time;
    if (valid == 0 || value > maxValue) maxValue = value, maxTime = time;
    ++valid;
  }
};

// Builds one line's segments slice by slice.
class LineBuilder {
 public:
  explicit LineBuilder(TrendLine& line) : line_(line) {}
  void Break() {
    Flush();
    open_ = false;
  }
  void Take(int64_t slice, int64_t time, float value) {
    if (slice != sliceIndex_) {
      Flush();
      sliceIndex_ = slice;
      sawGap_ = false;
    }
    if (std::isnan(value))
      sawGap_ = true;
    else
      slice_.Take(time, value);
  }
  void Flush() {
    if (slice_.valid == 0) {
      // A slice of nothing but failed reads: the line breaks there.
      if (sawGap_) open_ = false;
      return;
    }
    if (!open_) line_.segments.emplace_back();
    open_ = true;
    TrendSegment& segment = line_.segments.back();
    const TrendPoint low{double(slice_.minTime), slice_.minValue}, high{double(slice_.maxTime), slice_.maxValue};
    if (slice_.minTime == slice_.maxTime) {
      segment.push_back(low);
    } else if (slice_.minTime < slice_.maxTime) {
      segment.push_back(low);
      segment.push_back(high);
    } else {
      segment.push_back(high);
      segment.push_back(low);
    }
    slice_ = Slice();
    sawGap_ = false;
  }

 private:
  TrendLine& line_;
  Slice slice_;
  int64_t sliceIndex_ = -1;
  bool sawGap_ = false;
  bool open_ = false;
};
}  // namespace

const char* TrendQuantityName(TrendQuantity quantity) { return kQuantityNames[static_cast<int>(quantity)]; }
const char* TrendQuantityUnit(TrendQuantity quantity) { return kQuantityUnits[static_cast<int>(quantity)]; }

std::vector<int> ChannelsOf(TrendQuantity quantity) {
  if (quantity == TrendQuantity::Kwh) return {kKwhChannel};
  const auto row = static_cast<PhaseRow>(quantity);  // the quantities before kWh follow the console's rows
  std::vector<int> channels;
  for (int column = 0; column < kPhaseColumns; ++column) channels.push_back(ChannelOf(row, column));
  return channels;
}

const char* ChannelPhaseName(int channel) {
  if (channel == kKwhChannel) return "All";
  return (RowOf(channel) == RowVoltsLL ? kLinePhaseNames : kPhaseNames)[ColumnOf(channel)];
}

std::string ChannelName(int channel) {
  if (channel == kKwhChannel) return "kWh";
  const std::string quantity = kQuantityNames[RowOf(channel)];
  return ColumnOf(channel) == 0 ? quantity : quantity + " " + ChannelPhaseName(channel);
}

TrendValues TrendValuesOf(const float* pairs, int pairsRead) {
  TrendValues values;
  values.fill(kNotRead);
  // Offsets are register offsets in the reading block: pair = offset / 2.
  const auto valueAt = [&](int offset) { return offset / 2 < pairsRead ? pairs[offset / 2] : kNotRead; };
  values[kKwhChannel] = valueAt(2 * kKwhPair);
  for (int row = 0; row < kPhaseRows; ++row)
    for (int column = 0; column < kPhaseColumns; ++column)
      values[ChannelOf(static_cast<PhaseRow>(row), column)] = valueAt(PhaseOffset(static_cast<PhaseRow>(row), column));
  return values;
}

std::string ShortMeterName(const std::string& deviceLine) {
  const Meter meter = MeterOfDeviceLine(deviceLine);
  if (meter.address < 0 || meter.model == ModelNone) return deviceLine;
  char text[32];
  std::snprintf(text, sizeof text, "%02d - %s", meter.address, ModelName(meter.model));
  return text;
}

TrendStore::TrendStore(int capacity) : capacity_(static_cast<size_t>(std::max(capacity, 1))) {}

void TrendStore::Add(int64_t timeMs, const std::string& meter, const TrendValues& values) {
  if (runs_.empty() || runs_.back().meter != meter) runs_.push_back({nextRunId_++, meter});
  const uint32_t run = runs_.back().id;
  if (times_.size() < capacity_) {
    // Grown an hour of ticks at a time, never past the capacity: doubling
    // would hold up to twice the memory the ticks need.
    if (times_.size() == times_.capacity()) {
      const size_t room = std::min(capacity_, times_.size() + kGrowthTicks);
      times_.reserve(room);
      values_.reserve(room * kTrendChannels);
      runIds_.reserve(room);
    }
    times_.push_back(timeMs);
    values_.insert(values_.end(), values.begin(), values.end());
    runIds_.push_back(run);
    return;
  }
  // Full: the oldest slot takes the new sample and the ring turns by one.
  const size_t slot = first_;
  first_ = (first_ + 1) % capacity_;
  times_[slot] = timeMs;
  std::copy(values.begin(), values.end(), values_.begin() + static_cast<ptrdiff_t>(slot * kTrendChannels));
  runIds_[slot] = run;
  while (runs_.front().id != runIds_[first_]) runs_.pop_front();
}

void TrendStore::Clear() {
  *this = TrendStore(static_cast<int>(capacity_));
}

const TrendStore::Run& TrendStore::RunOf(uint32_t id) const {
  // Few runs: a meter changes when the user picks another.
  return *std::find_if(runs_.begin(), runs_.end(), [id](const Run& run) { return run.id == id; });
}

const std::string& TrendStore::MeterAt(int index) const { return RunOf(runIds_[Slot(index)]).meter; }

size_t TrendStore::BytesHeld() const {
  return times_.capacity() * sizeof(int64_t) + values_.capacity() * sizeof(float) +
         runIds_.capacity() * sizeof(uint32_t);
}

std::vector<TrendLine> TrendStore::Lines(const std::vector<int>& channels, int64_t fromMs, int64_t toMs,
                                         int buckets) const {
  std::vector<TrendLine> lines;
  if (toMs <= fromMs || buckets <= 0) return lines;
  const double sliceMs = double(toMs - fromMs) / buckets;
  // The first sample in the span (times only grow).
  int first = 0;
  for (int last = Count(); first < last;) {
    const int middle = (first + last) / 2;
    if (TimeAt(middle) < fromMs)
      first = middle + 1;
    else
      last = middle;
  }
  for (int channel : channels) {
    TrendLine line;
    std::optional<LineBuilder> builder;
    uint32_t run = 0;
    const auto finishLine = [&] {
      if (!builder) return;
      builder->Flush();
      if (!line.segments.empty()) lines.push_back(std::move(line));
      line = TrendLine();
    };
    for (int index = first; index < Count() && TimeAt(index) <= toMs; ++index) {
      const uint32_t sampleRun = runIds_[Slot(index)];
      if (!builder || sampleRun != run) {
        finishLine();
        run = sampleRun;
        line.meter = RunOf(run).meter;
        line.channel = channel;
        builder.emplace(line);
      } else if (TimeAt(index) - TimeAt(index - 1) > kGapMs) {
        builder->Break();
      }
      builder->Take(static_cast<int64_t>(double(TimeAt(index) - fromMs) / sliceMs), TimeAt(index),
                    ValueAt(index, channel));
    }
    finishLine();
  }
  return lines;
}

bool IsTrendCsvHeader(const std::string& line) { return line.rfind(kCsvHeaderStart, 0) == 0; }

bool TrendStore::WriteCsv(FILE* file) const {
  std::fputs(kCsvHeaderStart, file);
  for (int channel = 0; channel < kTrendChannels; ++channel)
    std::fprintf(file, "%s%s", channel == 0 ? "" : ",", ChannelName(channel).c_str());
  std::fputs("\n", file);
  for (int index = 0; index < Count(); ++index) {
    std::fprintf(file, "%s,%s", LocalTimeText(TimeAt(index)).c_str(), CsvQuoted(MeterAt(index)).c_str());
    for (int channel = 0; channel < kTrendChannels; ++channel) {
      const float value = ValueAt(index, channel);
      std::fprintf(file, ",%s", std::isnan(value) ? "" : FormatReading(value).c_str());
    }
    std::fputs("\n", file);
  }
  return std::fflush(file) == 0 && !std::ferror(file);
}
