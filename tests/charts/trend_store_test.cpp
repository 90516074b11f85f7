// The trend's store: what a tick keeps, the ring's turn, the lines drawn
// (gaps, meter changes, thinning) and the data file.

#include "charts/trend_store.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>


namespace {
TrendValues Values(float kwh, float kw) {
  TrendValues values;
  values.fill(NAN);
  values[0] = kwh;
  values[ChannelsOf(TrendQuantity::Kw)[0]] = kw;
  return values;
}
TrendValues Gap() { return Values(NAN, NAN); }
const int kKw = ChannelsOf(TrendQuantity::Kw)[0];
const Meter kQm4c{3, ModelQM4C, "QM4C", ""};
const Meter kQm4b{9, ModelQM4B, "QM4B", ""};

std::vector<size_t> SegmentSizes(const TrendLine& line) {
  std::vector<size_t> sizes;
  for (const TrendSegment& segment : line.segments) sizes.push_back(segment.size());
  return sizes;
}
}  // namespace

// What the quantity list offers, the unit each draws in and its channels
// (the reading block's kWh, then the console's rows: total, A, B, C).
TEST(TrendStore, EachQuantityHasItsNameUnitAndChannels) {
  struct Case {
    TrendQuantity quantity;
    const char* name;
    const char* unit;
    std::vector<int> channels;
    std::vector<std::string> channelNames;
  };
  using Q = TrendQuantity;
  const Case cases[] = {
      {Q::Kw, "kW", "kW", {1, 2, 3, 4}, {"kW", "kW Phase A", "kW Phase B", "kW Phase C"}},
      {Q::Pf, "PF", "PF", {5, 6, 7, 8}, {"PF", "PF Phase A", "PF Phase B", "PF Phase C"}},
      {Q::VoltsLL, "Volts L-L", "V", {9, 10, 11, 12}, {"Volts L-L", "Volts L-L A-B", "Volts L-L B-C", "Volts L-L A-C"}},
      {Q::VoltsLN, "Volts L-N", "V", {13, 14, 15, 16},
       {"Volts L-N", "Volts L-N Phase A", "Volts L-N Phase B", "Volts L-N Phase C"}},
      {Q::Amps, "Amps", "A", {17, 18, 19, 20}, {"Amps", "Amps Phase A", "Amps Phase B", "Amps Phase C"}},
      {Q::Kwh, "kWh", "kWh", {0}, {"kWh"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_STREQ(TrendQuantityName(c.quantity), c.name);
    EXPECT_STREQ(TrendQuantityUnit(c.quantity), c.unit);
    EXPECT_EQ(ChannelsOf(c.quantity), c.channels);
    std::vector<std::string> names;
    for (int channel : c.channels) names.push_back(ChannelName(channel));
    EXPECT_EQ(names, c.channelNames);
  }
}

TEST(TrendStore, TheFullRingDropsTheOldestTickAndItsMeter) {
  TrendStore store(3);
  const Meter a{3, ModelNone, "A", ""}, b{7, ModelNone, "B", ""};
  const Meter meters[] = {a, a, b, b, b, a};
  for (int tick = 0; tick < 6; ++tick) store.Add(1000 * (tick + 1), meters[tick], Values(float(tick), 0));
  ASSERT_EQ(store.Count(), 3);
  EXPECT_EQ(store.TimeAt(0), 4000);
  EXPECT_EQ(store.MeterAt(0), "07 - B");
  EXPECT_EQ(store.ValueAt(0, 0), 3.0f);
  EXPECT_EQ(store.TimeAt(2), 6000);
  EXPECT_EQ(store.MeterAt(2), "03 - A");
  EXPECT_EQ(store.ValueAt(2, 0), 5.0f);
}

TEST(TrendStore, LinesBreakAtFailedReadsPausesAndMeterChanges) {
  struct Case {
    const char* what;
    int buckets;
    std::vector<std::string> meters;               // of the lines, in order
    std::vector<std::vector<size_t>> segmentSizes;  // per line
  };
  // Ticks at 0..9 s (tick 5 failed), then 20..22 s (after a 10 s pause),
  // then 23..24 s from another meter.
  TrendStore store;
  for (int s = 0; s < 10; ++s) store.Add(1000 * s, kQm4c, s == 5 ? Gap() : Values(1, float(s + 100)));
  for (int s = 20; s < 23; ++s) store.Add(1000 * s, kQm4c, Values(1, float(s + 100)));
  for (int s = 23; s < 25; ++s) store.Add(1000 * s, kQm4b, Values(1, float(s + 100)));
  const Case cases[] = {
      // A slice per 100 ms: every tick its own point, each break shows.
      {"fine", 240, {"03 - QM4C", "09 - QM4B"}, {{5, 4, 3}, {2}}},
      // Slices of 6 s: the failed tick shares a slice with read ones, so
      // only the pause breaks the line; two points (low, high) a slice.
      {"coarse", 4, {"03 - QM4C", "09 - QM4B"}, {{4, 2}, {2}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<TrendLine> lines = store.Lines({kKw}, 0, 24000, c.buckets);
    ASSERT_EQ(lines.size(), c.meters.size());
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i].meter, c.meters[i]);
      EXPECT_EQ(SegmentSizes(lines[i]), c.segmentSizes[i]);
      for (const TrendSegment& segment : lines[i].segments)
        for (const TrendPoint& point : segment) EXPECT_NE(point.second, 0.0) << "a gap drawn as a zero";
    }
  }
  // The span picks its ticks: 3..7 s, the failed one a gap.
  const std::vector<TrendLine> part = store.Lines({kKw}, 3000, 7000, 400);
  ASSERT_EQ(part.size(), 1u);
  EXPECT_EQ(SegmentSizes(part[0]), (std::vector<size_t>{2, 2}));
  EXPECT_EQ(part[0].segments[0].front(), TrendPoint(3000, 103));
  // kWh alone is the channel asked for; the phases, never read, draw nothing.
  EXPECT_EQ(store.Lines(ChannelsOf(TrendQuantity::Pf), 0, 24000, 100).size(), 0u);
}

TEST(TrendStore, ADayOfTicksDrawsAsAFewPointsPerPixelKeepingItsExtremes) {
  TrendStore store;
  const int64_t day = 86400;
  for (int64_t s = 0; s < day; ++s) store.Add(s * 1000, kQm4c, Values(1, float(100 + 50 * std::sin(s / 600.0))));
  EXPECT_EQ(store.Count(), day);
  EXPECT_LE(store.BytesHeld(), 10u * 1000 * 1000);
  const std::vector<TrendLine> lines = store.Lines({kKw}, 0, day * 1000, 800);
  ASSERT_EQ(lines.size(), 1u);
  ASSERT_EQ(lines[0].segments.size(), 1u);
  const TrendSegment& points = lines[0].segments[0];
  EXPECT_LE(points.size(), 1600u);
  double low = 1e9, high = -1e9;
  for (const TrendPoint& point : points) low = std::min(low, point.second), high = std::max(high, point.second);
  EXPECT_NEAR(low, 50.0, 0.01);
  EXPECT_NEAR(high, 150.0, 0.01);
}

TEST(TrendStore, DataFileHasEveryTickWithEmptyFieldsForWhatWasNotRead) {
  setenv("TZ", "UTC", 1);
  tzset();
  TrendStore store;
  const Meter quoted{3, ModelQM4C, "Orvant \"QM4C\"", ""};
  store.Add(1250, quoted, Values(12.5f, 3.25f));
  store.Add(2250, quoted, Gap());
  char* text = nullptr;
  size_t size = 0;
  FILE* file = open_memstream(&text, &size);
  ASSERT_TRUE(store.WriteCsv(file));
  std::fclose(file);
  const std::string empties(19, ',');
  EXPECT_EQ(std::string(text, size),
            "PC time,Meter,kWh,kW,kW Phase A,kW Phase B,kW Phase C,PF,PF Phase A,PF Phase B,PF Phase C,"
            "Volts L-L,Volts L-L A-B,Volts L-L B-C,Volts L-L A-C,Volts L-N,Volts L-N Phase A,Volts L-N Phase B,"
            "Volts L-N Phase C,Amps,Amps Phase A,Amps Phase B,Amps Phase C\n"
            "1970-01-01 00:00:01.250,\"03 - Orvant \"\"QM4C\"\"\",12.500,3.250" + empties + "\n" +
            "1970-01-01 00:00:02.250,\"03 - Orvant \"\"QM4C\"\"\",," + empties + "\n");
  std::free(text);
}
