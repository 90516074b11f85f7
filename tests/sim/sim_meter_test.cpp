// The simulated meter without a line: registers, physics, clock and log,
// driven with made-up times.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "meter/register_map.h"
#include "sim/meter_log.h"
#include "sim/sim_meter.h"

namespace {

constexpr double kT0 = 1000.0;  // any monotonic time

MeterSetup MeterOf(Model model, bool staticValues = false) {
  MeterSetup s;
  s.model = model;
  s.staticValues = staticValues;
  return s;
}

struct tm Fields(int y, int mo, int d, int h, int mi, int s) {
  struct tm t {};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  return t;
}

uint16_t Reg(SimMeter& m, int address, double now = kT0) {
  const auto v = m.Get(address, now);
  EXPECT_TRUE(v.has_value()) << address;
  return v.value_or(0xDEAD);
}

float Float(SimMeter& m, int address, double now = kT0) {
  uint16_t r[2];
  EXPECT_EQ(m.Read(address, 2, now, r), 0);
  return WordsToFloat(r[0], r[1]);
}

TEST(SimReadings, StayPhysicallyConsistentAsTheyMove) {
  SimMeter m(MeterOf(Model::QM4C), kT0);
  for (double t = kT0; t < kT0 + 600; t += 7.7) {
    uint16_t r[48];
    ASSERT_EQ(m.Read(reg::kReadingBlock, 48, t, r), 0);
    auto f = [&](int offset) { return WordsToFloat(r[offset], r[offset + 1]); };
    const float kw = f(2), kvar = f(4), kva = f(6), pf = f(8), vll = f(10), vln = f(12), amps = f(14);
    EXPECT_NEAR(f(16) + f(18) + f(20), kw, 1e-3 * kw);
    EXPECT_NEAR(vll / vln, std::sqrt(3.0), 0.01);
    EXPECT_NEAR(f(28) / f(34), std::sqrt(3.0), 0.03);  // V-AB against V-AN
    EXPECT_GT(pf, 0.0f);
    EXPECT_LE(pf, 1.0f);
    EXPECT_NEAR(pf, kw / kva, 1e-4);
    EXPECT_LE(kw, kva);
    EXPECT_NEAR(kva * kva, kw * kw + kvar * kvar, 0.02 * kva * kva);  // phases nearly in step
    EXPECT_NEAR(amps, kva * 1000.0 / (3.0 * vln), 0.05 * amps);
    for (int phase = 0; phase < 3; ++phase) {
      EXPECT_GT(f(22 + 2 * phase), 0.0f);
      EXPECT_LE(f(22 + 2 * phase), 1.0f);
      // Each phase's kW from its own volts, amps and PF.
      EXPECT_NEAR(f(16 + 2 * phase), f(34 + 2 * phase) * f(40 + 2 * phase) * f(22 + 2 * phase) / 1000.0,
                  1e-3 * f(16 + 2 * phase));
    }
  }
}

TEST(SimReadings, MoveUnlessStaticAndStaticDependsOnlyOnSeed) {
  SimMeter moving(MeterOf(Model::QM4C), kT0);
  EXPECT_NE(Float(moving, 260, kT0), Float(moving, 260, kT0 + 5));
  SimMeter a(MeterOf(Model::QM4C, true), kT0);
  SimMeter b(MeterOf(Model::QM4C, true), kT0 + 77);
  for (int address = 256; address < 336; address += 2)
    EXPECT_EQ(Float(a, address, kT0 + 100), Float(b, address, kT0 + 300)) << address;
  MeterSetup other = MeterOf(Model::QM4C, true);
  other.seed = 2;
  SimMeter c(other, kT0);
  EXPECT_NE(Float(a, 260), Float(c, 260));
}

TEST(SimReadings, IntegerRegistersAreTheFloatsAtTheirExponents) {
  SimMeter m(MeterOf(Model::QM4C, true), kT0);
  // Exponents: current -2, voltage -1, power -2, energy -1.
  EXPECT_EQ(Reg(m, 137), 0xFFFE);
  EXPECT_EQ(Reg(m, 138), 0xFFFF);
  EXPECT_EQ(Reg(m, 139), 0xFFFE);
  EXPECT_EQ(Reg(m, 140), 0xFFFF);
  EXPECT_NEAR(Reg(m, 2) * 0.01, Float(m, 260), 0.006);     // kW, register number 3
  EXPECT_NEAR(Reg(m, 5) * 0.0001, Float(m, 266), 6e-5);    // PF, 6
  EXPECT_NEAR(Reg(m, 6) * 0.1, Float(m, 268), 0.06);       // VLL, 7
  EXPECT_NEAR(Reg(m, 8) * 0.01, Float(m, 272), 0.006);     // AMPS-AVG, 9
  EXPECT_NEAR(Reg(m, 25) * 0.01, Float(m, 306), 0.006);    // HZ, 26 and pair 307/308
  EXPECT_NEAR(Reg(m, 36) * 0.01, Float(m, 324), 0.006);    // KW-DEMAND, 37 and 325/326
  EXPECT_NEAR(Reg(m, 37) * 0.01, Float(m, 328), 0.006);    // KVAR-DEMAND, 38 and 329/330
  EXPECT_NEAR(Reg(m, 38) * 0.01, Float(m, 326), 0.006);    // KVA-DEMAND, 39 and 327/328
  const double kwh = (Reg(m, 0) * 65536.0 + Reg(m, 1)) * 0.1;
  EXPECT_NEAR(kwh, Float(m, 258), 0.1);
  EXPECT_EQ(Float(m, 256), Float(m, 258));  // both kWh pairs
  EXPECT_EQ(Reg(m, 304), 0);                // the unused pair
  EXPECT_EQ(Reg(m, 305), 0);
  // Power exponent -1 halves nothing but moves the decimal point.
  const uint16_t kw = Reg(m, 2);
  ASSERT_TRUE(m.Set(139, 0xFFFF, kT0));
  EXPECT_NEAR(Reg(m, 2), kw / 10.0, 0.6);
}

TEST(SimEnergy, GrowsWithPowerAndResetsOn30078) {
  SimMeter m(MeterOf(Model::QM4B), kT0);
  const float before = Float(m, 258, kT0);
  const float kw = Float(m, 260, kT0);
  const float after = Float(m, 258, kT0 + 3600);
  // An hour at about kW gives about kW kWh (the load drifts +-25 %).
  EXPECT_NEAR(after - before, kw, 0.3 * kw);
  EXPECT_EQ(m.Write(reg::kCommand, reg::kCommandResetEnergy, kT0 + 3600), 0);
  EXPECT_EQ(Float(m, 258, kT0 + 3600), 0.0f);
  EXPECT_EQ(Reg(m, 0, kT0 + 3600), 0);
  EXPECT_GT(Float(m, 258, kT0 + 3610), 0.0f);
  EXPECT_EQ(m.Write(reg::kCommand, 1234, kT0 + 3610), 0);  // other commands: taken, ignored
}

TEST(SimRegisters, EachModelHasItsOwnSet) {
  SimMeter a(MeterOf(Model::QM4A), kT0), b(MeterOf(Model::QM4B), kT0), c(MeterOf(Model::QM4C), kT0);
  uint16_t r[125];
  EXPECT_EQ(a.Read(258, 4, kT0, r), 0);
  EXPECT_EQ(a.Read(256, 10, kT0, r), 0);
  EXPECT_EQ(a.Read(258, 48, kT0, r), kExceptionIllegalAddress);
  EXPECT_EQ(a.Read(0, 6, kT0, r), kExceptionIllegalAddress);
  EXPECT_EQ(b.Read(258, 48, kT0, r), 0);
  EXPECT_EQ(b.Read(0, 42, kT0, r), 0);
  EXPECT_EQ(b.Read(0, 43, kT0, r), kExceptionIllegalAddress);
  EXPECT_EQ(b.Read(149, 8, kT0, r), kExceptionIllegalAddress);
  EXPECT_EQ(b.Write(149, 60, kT0), kExceptionIllegalAddress);
  EXPECT_EQ(c.Read(149, 8, kT0, r), 0);
  EXPECT_EQ(c.Read(159, 9, kT0, r), 0);
  EXPECT_EQ(c.Read(149, 29, kT0, r), 0);  // through the last slot, 177
  EXPECT_EQ(c.Read(149, 30, kT0, r), kExceptionIllegalAddress);
  EXPECT_EQ(c.Read(256, 80, kT0, r), 0);
  EXPECT_EQ(c.Read(256, 81, kT0, r), kExceptionIllegalAddress);
  EXPECT_EQ(c.Read(7999 + 5760 - 125, 125, kT0, r), 0);  // the window's last entry
  EXPECT_EQ(c.Read(7999 + 5760 - 124, 125, kT0, r), kExceptionIllegalAddress);
  EXPECT_EQ(c.Read(7998, 1, kT0, r), kExceptionIllegalAddress);
  for (SimMeter* m : {&a, &b, &c}) {
    EXPECT_EQ(m->Read(137, 4, kT0, r), 0);
    EXPECT_EQ(m->Read(128, 1, kT0, r), 0);
    EXPECT_EQ(m->Read(145, 1, kT0, r), 0);
    EXPECT_EQ(m->Read(258, 126, kT0, r), kExceptionIllegalValue);  // Modbus caps a read at 125
    EXPECT_EQ(m->Read(258, 0, kT0, r), kExceptionIllegalValue);
    EXPECT_EQ(m->Write(260, 1, kT0), kExceptionIllegalAddress);   // readings are read-only
    EXPECT_EQ(m->Write(128, 0, kT0), 0);
  }
}

TEST(SimRegisters, WritesCheckTheirValues) {
  SimMeter m(MeterOf(Model::QM4C), kT0);
  EXPECT_EQ(m.Write(reg::kSlotSelector, 10, kT0), 0);
  EXPECT_EQ(m.Write(reg::kSlotSelector, 11, kT0), kExceptionIllegalValue);
  EXPECT_EQ(Reg(m, reg::kSlotSelector), 10);
  EXPECT_EQ(m.Write(reg::kLogSlots + 9, 400, kT0), 0);  // slots take any number
  EXPECT_EQ(Reg(m, reg::kLogSlots + 9), 400);
  EXPECT_EQ(m.Write(reg::kSubInterval, 0, kT0), 0);
  EXPECT_EQ(m.Write(reg::kLogControl, 3, kT0), 0);
  EXPECT_EQ(Reg(m, reg::kLogControl), 3);
  EXPECT_EQ(m.Write(reg::kClock, 0x010D, kT0), kExceptionIllegalValue);  // month 13
  EXPECT_EQ(m.Write(reg::kClock + 1, 0x1800, kT0), kExceptionIllegalValue);  // hour 24
  EXPECT_EQ(m.Write(reg::kClock + 2, 0x3C00, kT0), kExceptionIllegalValue);  // second 60
}

TEST(SimRegisters, SetPinsReadingsAndChangesSettings) {
  SimMeter m(MeterOf(Model::QM4C), kT0);
  ASSERT_TRUE(m.Set(260, 0x4148, kT0));  // kW pinned to 12.5 (0x41480000)
  ASSERT_TRUE(m.Set(261, 0x0000, kT0));
  EXPECT_EQ(Float(m, 260, kT0 + 10), 12.5f);
  ASSERT_TRUE(m.Unpin(260));
  EXPECT_NE(Float(m, 260, kT0 + 10), 12.5f);
  ASSERT_TRUE(m.Set(reg::kRollovers, 2, kT0));
  EXPECT_EQ(Reg(m, reg::kRollovers), 2);
  ASSERT_TRUE(m.Set(reg::kSubInterval, 9, kT0));  // a setting, not a pin
  EXPECT_EQ(Reg(m, reg::kSubInterval), 9);
  EXPECT_FALSE(m.Set(500, 1, kT0));
}

TEST(SimClock, RunsAndIsSetPartByPart) {
  SimMeter m(MeterOf(Model::QM4C), kT0);
  m.SetClock(Fields(2009, 6, 15, 14, 3, 7), kT0);
  EXPECT_EQ(Reg(m, 154, kT0), 15 * 256 + 6);
  EXPECT_EQ(Reg(m, 155, kT0), 14 * 256 + 9);
  EXPECT_EQ(Reg(m, 156, kT0), 7 * 256 + 3);
  EXPECT_EQ(Reg(m, 156, kT0 + 60.5), 7 * 256 + 4);  // a minute later
  // Set Clock from PC: day/month, hour/year, second/minute in turn.
  EXPECT_EQ(m.Write(154, 29 * 256 + 2, kT0 + 61), 0);  // 29 February ...
  EXPECT_EQ(m.Write(155, 23 * 256 + 24, kT0 + 61), 0);  // ... 2024, a leap year
  EXPECT_EQ(m.Write(156, 50 * 256 + 59, kT0 + 61), 0);
  EXPECT_EQ(Reg(m, 154, kT0 + 61), 29 * 256 + 2);
  EXPECT_EQ(Reg(m, 155, kT0 + 61), 23 * 256 + 24);
  EXPECT_EQ(Reg(m, 156, kT0 + 61), 50 * 256 + 59);
  // Ten seconds later it is 1 March 2024, 00:00:00.
  EXPECT_EQ(Reg(m, 154, kT0 + 71), 1 * 256 + 3);
  EXPECT_EQ(Reg(m, 155, kT0 + 71), 0 * 256 + 24);
  EXPECT_EQ(Reg(m, 156, kT0 + 71), 0);
}

TEST(SimLogBuffer, RollsOverContinuousAndStopsOneShot) {
  MeterLog log;
  LogEntry e{};
  for (int i = 0; i < reg::kLogCapacity - 1; ++i) {
    e[0] = static_cast<uint16_t>(i);
    log.Add(e, i, false);
  }
  EXPECT_EQ(log.Entries(), 5759);
  EXPECT_EQ(log.Rollovers(), 0);
  EXPECT_EQ(log.DaysUntilRollover(900), 0);      // one entry left: 900 s
  EXPECT_EQ(log.Value(0, 1), 5758);
  EXPECT_EQ(log.Value(5758, 1), 0);
  EXPECT_EQ(log.Value(5759, 1), 0);  // no such entry
  e[0] = 5759;
  log.Add(e, 5759, false);
  EXPECT_EQ(log.Entries(), 5760);
  EXPECT_EQ(log.Rollovers(), 1);      // full
  EXPECT_EQ(log.DaysUntilRollover(900), 60);
  e[0] = 5760;
  log.Add(e, 5760, false);            // the oldest (0) is dropped
  EXPECT_EQ(log.Entries(), 5760);
  EXPECT_EQ(log.Value(0, 1), 5760);
  EXPECT_EQ(log.Value(5759, 1), 1);
  EXPECT_EQ(log.NewestTime(), 5760);

  MeterLog oneShot;
  for (int i = 0; i < reg::kLogCapacity; ++i) EXPECT_TRUE(oneShot.Add(e, i, true));
  EXPECT_FALSE(oneShot.Add(e, 99999, true));
  EXPECT_EQ(oneShot.Rollovers(), 1);
  EXPECT_EQ(oneShot.NewestTime(), 5759);
  EXPECT_EQ(oneShot.DaysUntilRollover(900), 0);
  oneShot.Erase();
  EXPECT_EQ(oneShot.Entries(), 0);
  EXPECT_EQ(oneShot.Rollovers(), 0);
  EXPECT_TRUE(oneShot.Add(e, 1, true));
}

class SimLogging : public ::testing::Test {
 protected:
  SimLogging() : m(MeterOf(Model::QM4C), kT0) {
    m.SetClock(Fields(2024, 3, 5, 12, 0, 0), kT0);
    // Slots: kW, the three clock registers, the kW float pair, error word.
    const int slots[10] = {3, 155, 156, 157, 261, 262, 146, 0, 0, 0};
    for (int i = 0; i < 10; ++i) EXPECT_EQ(m.Write(reg::kLogSlots + i, slots[i], kT0), 0);
    EXPECT_EQ(m.Write(reg::kSubInterval, 60, kT0), 0);
  }
  // Entry k of slot s through the window, as a download reads it.
  uint16_t Entry(int slot, int k, double now = kT0) {
    EXPECT_EQ(m.Write(reg::kSlotSelector, static_cast<uint16_t>(slot), now), 0);
    return Reg(m, reg::kLogWindow + k, now);
  }
  SimMeter m;
};

TEST_F(SimLogging, PrefillEndsNowWithEntriesOneSubIntervalApart) {
  m.Prefill(130, kT0);
  EXPECT_EQ(Reg(m, reg::kLogEntries), 130);
  EXPECT_EQ(Reg(m, reg::kRollovers), 0);
  EXPECT_EQ(Reg(m, 165), 5 * 256 + 3);  // newest: 5 March 2024 12:00:00
  EXPECT_EQ(Reg(m, 166), 12 * 256 + 24);
  EXPECT_EQ(Reg(m, 167), 0);
  // The clock slots (155 day/month, 156 hour/year, 157 second/minute) hold
  // each entry's own time: k sub-intervals back.
  EXPECT_EQ(Entry(2, 0), 5 * 256 + 3);
  EXPECT_EQ(Entry(3, 0), 12 * 256 + 24);
  EXPECT_EQ(Entry(4, 0), 0);
  EXPECT_EQ(Entry(4, 1), 59);            // 11:59:00
  EXPECT_EQ(Entry(3, 1), 11 * 256 + 24);
  EXPECT_EQ(Entry(4, 129), 51);          // 129 minutes back: 09:51:00
  EXPECT_EQ(Entry(3, 129), 9 * 256 + 24);
  EXPECT_EQ(Entry(4, 130), 0);           // beyond the entries
  // The float pair's halves make the entry's kW again; values move.
  const float kw0 = WordsToFloat(Entry(5, 0), Entry(6, 0));
  EXPECT_NEAR(Entry(1, 0) * 0.01, kw0, 0.006);
  EXPECT_NE(WordsToFloat(Entry(5, 1), Entry(6, 1)), kw0);
  EXPECT_EQ(Entry(7, 0), 0);             // error word
  EXPECT_EQ(Entry(8, 0), 0);             // free slot
}

TEST_F(SimLogging, PrefillIsTheSameForTheSameSeed) {
  MeterSetup s = MeterOf(Model::QM4C, true);
  SimMeter other(s, kT0 + 500);
  EXPECT_EQ(other.Write(reg::kLogSlots, 3, kT0 + 500), 0);
  EXPECT_EQ(other.Write(reg::kSubInterval, 60, kT0 + 500), 0);
  m.Prefill(20, kT0);
  other.Prefill(20, kT0 + 500);
  for (int k = 0; k < 20; ++k) {
    EXPECT_EQ(m.Write(reg::kSlotSelector, 1, kT0), 0);
    EXPECT_EQ(other.Write(reg::kSlotSelector, 1, kT0 + 500), 0);  // both log kW in slot 1
    EXPECT_EQ(Reg(m, reg::kLogWindow + k), Reg(other, reg::kLogWindow + k, kT0 + 500)) << k;
  }
}

TEST_F(SimLogging, FillsAtTheSubIntervalUnlessPaused) {
  EXPECT_EQ(Reg(m, reg::kLogEntries, kT0 + 59), 0);
  EXPECT_EQ(Reg(m, reg::kLogEntries, kT0 + 60), 1);
  EXPECT_EQ(Reg(m, reg::kLogEntries, kT0 + 185), 3);
  EXPECT_EQ(Reg(m, 167, kT0 + 185), 3);  // newest at 12:03:00
  EXPECT_EQ(m.Write(reg::kLogControl, 2, kT0 + 185), 0);  // paused
  EXPECT_EQ(Reg(m, reg::kLogEntries, kT0 + 600), 3);
  EXPECT_EQ(m.Write(reg::kLogControl, 0, kT0 + 600), 0);
  EXPECT_EQ(Reg(m, reg::kLogEntries, kT0 + 661), 4);
  EXPECT_EQ(Reg(m, reg::kDaysToRollover, kT0 + 661), (5760 - 4) * 60 / 86400);
}

TEST_F(SimLogging, StaticMeterOrZeroSubIntervalTakesNoEntriesOfItsOwn) {
  m.SetStatic(true, kT0);
  EXPECT_EQ(Reg(m, reg::kLogEntries, kT0 + 600), 0);
  m.CaptureNow(kT0 + 600);
  EXPECT_EQ(Reg(m, reg::kLogEntries, kT0 + 600), 1);
  m.SetStatic(false, kT0 + 600);  // no burst for the frozen time
  EXPECT_EQ(Reg(m, reg::kLogEntries, kT0 + 659), 1);
  EXPECT_EQ(Reg(m, reg::kLogEntries, kT0 + 660), 2);
  EXPECT_EQ(m.Write(reg::kSubInterval, 0, kT0 + 660), 0);
  EXPECT_EQ(Reg(m, reg::kLogEntries, kT0 + 6000), 2);
}

TEST_F(SimLogging, RestartCommandErasesTheLog) {
  m.Prefill(5760, kT0);
  EXPECT_EQ(Reg(m, reg::kRollovers), 1);
  EXPECT_EQ(m.Write(reg::kCommand, reg::kCommandRestartLogging, kT0 + 1), 0);
  EXPECT_EQ(Reg(m, reg::kRollovers, kT0 + 1), 0);
  EXPECT_EQ(Reg(m, reg::kLogEntries, kT0 + 1), 0);
  EXPECT_EQ(Reg(m, reg::kNewestEntryTime, kT0 + 1), 0);
  EXPECT_EQ(Entry(1, 0, kT0 + 1), 0);
  EXPECT_EQ(Reg(m, reg::kLogEntries, kT0 + 61), 1);  // and logs again
}

TEST_F(SimLogging, ContinuousRollsOverAndOneShotStops) {
  m.Prefill(5759, kT0);
  const uint16_t oldestButOne = Entry(4, 5757);
  m.CaptureNow(kT0 + 1);
  EXPECT_EQ(Reg(m, reg::kRollovers, kT0 + 1), 1);
  EXPECT_EQ(Reg(m, reg::kLogEntries, kT0 + 1), 5760);
  m.CaptureNow(kT0 + 2);
  EXPECT_EQ(Reg(m, reg::kLogEntries, kT0 + 2), 5760);
  EXPECT_EQ(Entry(4, 5759, kT0 + 2), oldestButOne);  // the oldest went
  m.Prefill(5760 * 2 + 5, kT0 + 3);
  EXPECT_EQ(Reg(m, reg::kRollovers, kT0 + 3), 2);

  EXPECT_EQ(m.Write(reg::kLogControl, 1, kT0 + 3), 0);  // one-shot
  m.Prefill(5760, kT0 + 3);
  const uint16_t newest = Reg(m, 167, kT0 + 3);
  m.CaptureNow(kT0 + 64);
  EXPECT_EQ(Reg(m, 167, kT0 + 64), newest);
  EXPECT_EQ(Reg(m, reg::kRollovers, kT0 + 64), 1);
  EXPECT_EQ(Reg(m, reg::kDaysToRollover, kT0 + 64), 0);
}

}  // namespace

// A numbered log tells each entry's instant; elapsed sub-intervals add entries
// one sub-interval after the newest whatever time passed, move the clock on,
// and reach a static meter's log too.
TEST(SimSequenceLog, ElapsedSubIntervalsAddNumberedEntriesOneSubIntervalApart) {
  MeterSetup setup = MeterOf(Model::QM4C, true);
  setup.sequenceLog = true;
  setup.subInterval = 10;
  SimMeter m(setup, kT0);
  m.SetClock(Fields(2024, 1, 1, 0, 0, 0), kT0);
  m.Prefill(3, kT0);
  m.ElapseSubIntervals(2, kT0 + 7);
  EXPECT_EQ(Reg(m, 167, kT0 + 7), 20 << 8);  // newest entry 00:00:20
  EXPECT_EQ(Reg(m, 156, kT0 + 7), 27 << 8);  // the clock 00:00:27
  ASSERT_EQ(m.Write(reg::kSlotSelector, 10, kT0 + 7), 0);
  for (int k = 0; k < 6; ++k) EXPECT_EQ(Reg(m, reg::kLogWindow + k, kT0 + 7), std::max(5 - k, 0)) << k;
}
