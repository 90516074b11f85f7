#pragma once
// What the trend window shows: the readings of each poll tick, kept in a ring
// of compact samples (one float a channel), and the lines drawn from them.
// Qt-free, so the keeping, the gaps and the export can be driven by tests.

#include <array>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <utility>
#include <vector>

// The quantities of the trend, as the console's rows name them.
enum class TrendQuantity { Kw, Pf, VoltsLL, VoltsLN, Amps, Kwh };
constexpr int kTrendQuantities = 6;
const char* TrendQuantityName(TrendQuantity quantity);  // "kW", "PF", "Volts L-L", ...
const char* TrendQuantityUnit(TrendQuantity quantity);  // "kW", "PF", "V", ...

// Channels: kWh, then kW, PF, Volts L-L, Volts L-N, Amps as total and phases
// A, B, C, whatever the console's phase buttons show.
constexpr int kTrendChannels = 21;
// The channels of a quantity: one for kWh, four (total, A, B, C) for the rest.
std::vector<int> ChannelsOf(TrendQuantity quantity);
// "kW", "kW Phase A", "Volts L-L A-B", ... as the data file's header names
// the channel.
std::string ChannelName(int channel);
// "All", "Phase A", "A-B", ... within its quantity, as the console's phase
// buttons say.
const char* ChannelPhaseName(int channel);

// The channel values of one tick from the float pairs of the reading block
// that its poll read (pairsRead of them): NaN where the tick did not read the
// value (a failed read, or a model without it: a QM4A has kWh and kW only).
using TrendValues = std::array<float, kTrendChannels>;
TrendValues TrendValuesOf(const float* pairs, int pairsRead);

// A device line made short for a legend: "03 - QM4C" from "03 - Orvant QM4C
// Power Meter ...", the address and the model; the line itself when it
// names no model.
std::string ShortMeterName(const std::string& deviceLine);

using TrendPoint = std::pair<double, double>;  // ms since 1970, value
using TrendSegment = std::vector<TrendPoint>;

// One meter's channel over a span: unbroken segments, a gap between each.
struct TrendLine {
  std::string meter;  // the device line: "03 - Orvant QM4C ..."
  int channel = 0;
  std::vector<TrendSegment> segments;
};

// The first line of WriteCsv's file (below), so a reader of other CSV files
// can tell it apart.
bool IsTrendCsvHeader(const std::string& line);

class TrendStore {
 public:
  // 25 hours at one tick a second: at least a day, whatever the timer's jitter.
  static constexpr int kDefaultCapacity = 90000;
  // Ticks further apart than this (the poll was suspended, no meter was
  // picked) are not joined by a line.
  static constexpr int64_t kGapMs = 5000;

  explicit TrendStore(int capacity = kDefaultCapacity);

  // One tick's values, read at timeMs from the meter the device line names.
  // Another meter than the last tick's starts new lines. Once the ring is
  // full, each tick drops the oldest.
  void Add(int64_t timeMs, const std::string& meter, const TrendValues& values);
  void Clear();

  int Count() const { return static_cast<int>(times_.size()); }
  int64_t TimeAt(int index) const { return times_[Slot(index)]; }
  float ValueAt(int index, int channel) const { return values_[Slot(index) * kTrendChannels + channel]; }
  const std::string& MeterAt(int index) const;
  // Bytes held for the samples (the rings themselves, at their capacity).
  size_t BytesHeld() const;

  // The lines of channels over [fromMs, toMs], thinned to at most two points
  // (lowest and highest) for each of buckets equal slices of the span, so a
  // day of ticks draws as a few hundred points a line. A tick that read
  // nothing breaks the line where it fills a whole slice; a line that holds
  // no value in the span is left out.
  std::vector<TrendLine> Lines(const std::vector<int>& channels, int64_t fromMs, int64_t toMs, int buckets) const;

  // Every sample kept, oldest first, as CSV: "PC time,Meter," then the
  // channel names; a value not read is an empty field. False on a write error.
  bool WriteCsv(FILE* file) const;

 private:
  // The rings grow to their capacity as ticks come, then wrap.
  size_t Slot(int index) const { return (first_ + static_cast<size_t>(index)) % times_.size(); }
  struct Run {
    uint32_t id;
    std::string meter;
  };
  const Run& RunOf(uint32_t id) const;

  size_t capacity_;
  size_t first_ = 0;                // ring slot of the oldest sample
  std::vector<int64_t> times_;      // ms since 1970, one per ring slot
  std::vector<float> values_;       // kTrendChannels per ring slot
  std::vector<uint32_t> runIds_;    // the meter run of each ring slot
  std::deque<Run> runs_;            // runs still in the ring, oldest first
  uint32_t nextRunId_ = 0;
};
