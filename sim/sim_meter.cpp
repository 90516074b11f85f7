#include "sim/sim_meter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

using Q = Quantity;

// Integer registers by register number 1..42 (address = number - 1); the
// energy halves (1/2, 27/28, 29/30) are handled apart.
constexpr Q kIntegerQuantity[43] = {
    Q::Unused, Q::Kwh, Q::Kwh, Q::Kw, Q::Kvar, Q::Kva, Q::Pf, Q::Vll, Q::Vln, Q::AmpsAvg,
    Q::KwA, Q::KwB, Q::KwC, Q::PfA, Q::PfB, Q::PfC, Q::Vab, Q::Vbc, Q::Vac, Q::Van, Q::Vbn,
    Q::Vcn, Q::AmpsA, Q::AmpsB, Q::AmpsC, Q::Unused, Q::Hz, Q::Kvah, Q::Kvah, Q::Kvarh,
    Q::Kvarh, Q::KvaA, Q::KvaB, Q::KvaC, Q::KvarA, Q::KvarB, Q::KvarC, Q::KwDemand,
    Q::KvarDemand, Q::KvaDemand, Q::KwMax, Q::KvarMax, Q::KvaMax};

// Float pairs by (register number - 257) / 2: register numbers 257..336,
// addresses 256..335. Demand and maximum run kVA before kVAr here, the
// reverse of the integer registers 38/39 and 41/42.
constexpr Q kFloatQuantity[40] = {
    Q::Kwh, Q::Kwh, Q::Kw, Q::Kvar, Q::Kva, Q::Pf, Q::Vll, Q::Vln, Q::AmpsAvg, Q::KwA,
    Q::KwB, Q::KwC, Q::PfA, Q::PfB, Q::PfC, Q::Vab, Q::Vbc, Q::Vac, Q::Van, Q::Vbn,
    Q::Vcn, Q::AmpsA, Q::AmpsB, Q::AmpsC, Q::Unused, Q::Hz, Q::Kvah, Q::Kvarh, Q::KvaA,
    Q::KvaB, Q::KvaC, Q::KvarA, Q::KvarB, Q::KvarC, Q::KwDemand, Q::KvaDemand,
    Q::KvarDemand, Q::KwMax, Q::KvaMax, Q::KvarMax};

constexpr int kFloatFirst = 256;
constexpr int kFloatLastFull = 335;
constexpr int kFloatLastBasic = 265;  // QM4A: kWh, kWh, kW, kVAr, kVA
constexpr int kIntegerLastFull = 41;
constexpr int kIntegerLastBasic = 4;
constexpr int kErrorWord = 145;  // register number 146
constexpr int kLoggingFirst = reg::kSubInterval;
constexpr int kLoggingLast = reg::kLogSlots + reg::kSlotCount - 1;
constexpr int kWindowLast = reg::kLogWindow + reg::kLogCapacity - 1;
constexpr double kDemandSeconds = 900.0;  // demand: 15-minute exponential average

enum class Scale { Current, Voltage, Power, Energy, PowerFactor, Frequency, None };

Scale ScaleOf(Q q) {
  switch (q) {
    case Q::AmpsAvg: case Q::AmpsA: case Q::AmpsB: case Q::AmpsC:
      return Scale::Current;
    case Q::Vll: case Q::Vln: case Q::Vab: case Q::Vbc: case Q::Vac:
    case Q::Van: case Q::Vbn: case Q::Vcn:
      return Scale::Voltage;
    case Q::Pf: case Q::PfA: case Q::PfB: case Q::PfC:
      return Scale::PowerFactor;
    case Q::Hz:
      return Scale::Frequency;
    case Q::Kwh: case Q::Kvah: case Q::Kvarh:
      return Scale::Energy;
    case Q::Unused:
      return Scale::None;
    default:
      return Scale::Power;
  }
}

uint32_t FloatBits(double value) {
  const float f = static_cast<float>(value);
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

}  // namespace

std::optional<Model> ParseModel(std::string_view name) {
  for (Model m : {Model::QM4A, Model::QM4B, Model::QM4C})
    if (name == ModelName(static_cast<int>(m))) return m;
  return std::nullopt;
}

SimMeter::SimMeter(const MeterSetup& setup, double now)
    : address_(setup.address),
      model_(setup.model),
      load_(LoadParamsFromSeed(setup.seed, setup.address)),
      clock_(now),
      log_(setup.sequenceLog),
      start_(now),
      lastAdvance_(now),
      static_(setup.staticValues),
      kwh_(load_.kwh),
      kvah_(load_.kvah),
      kvarh_(load_.kvarh),
      subInterval_(static_cast<uint16_t>(setup.subInterval)) {
  const Readings r = InstantReadings(load_, 0.0);
  demand_[0] = maxDemand_[0] = At(r, Q::Kw);
  demand_[1] = maxDemand_[1] = At(r, Q::Kvar);
  demand_[2] = maxDemand_[2] = At(r, Q::Kva);
  nextCapture_ = now + Period();
  clock_.SetDrift(setup.clockDrift, now);
}

std::string SimMeter::IdentificationText() const {
  if (!idText_.empty()) return idText_;
  return std::string("Orvant ") + ModelName(static_cast<int>(model_)) + " Power Meter";
}

uint8_t SimMeter::SlaveIdByte() const { return static_cast<uint8_t>(0x40 + static_cast<int>(model_)); }

double SimMeter::PhaseTime(double now) const { return static_ ? frozenPhase_ : now - start_; }

void SimMeter::Advance(double now) {
  const double dt = now - lastAdvance_;
  if (dt <= 0) return;
  lastAdvance_ = now;
  if (!static_) {
    const Readings r = InstantReadings(load_, PhaseTime(now));
    kwh_ += At(r, Q::Kw) * dt / 3600.0;
    kvah_ += At(r, Q::Kva) * dt / 3600.0;
    kvarh_ += At(r, Q::Kvar) * dt / 3600.0;
    const double weight = 1.0 - std::exp(-dt / kDemandSeconds);
    const Q instant[3] = {Q::Kw, Q::Kvar, Q::Kva};
    for (int i = 0; i < 3; ++i) {
      demand_[i] += (At(r, instant[i]) - demand_[i]) * weight;
      maxDemand_[i] = std::max(maxDemand_[i], demand_[i]);
    }
  }
  // A static meter's log changes only by command, so a test's log stays as
  // it was set up; a sub-interval of 0 stops logging (no 1 s flood).
  if (!HasLogging() || static_ || subInterval_ == 0) return;
  // After a long stop (a suspended process) catch up at most one buffer's
  // worth; older entries would be dropped anyway.
  for (int n = 0; now >= nextCapture_; ++n) {
    if (n > reg::kLogCapacity) {
      nextCapture_ = now + Period();
      break;
    }
    const bool paused = control_ & 2;
    if (!paused)
      log_.Add(Capture(TakeSnapshot(PhaseTime(nextCapture_), clock_.CalendarSeconds(nextCapture_))),
               clock_.CalendarSeconds(nextCapture_), control_ & 1);
    nextCapture_ += Period();
  }
}

SimMeter::Snapshot SimMeter::TakeSnapshot(double phaseTime, int64_t calendar) const {
  Snapshot s{InstantReadings(load_, phaseTime), calendar};
  At(s.q, Q::Kwh) = kwh_;
  At(s.q, Q::Kvah) = kvah_;
  At(s.q, Q::Kvarh) = kvarh_;
  At(s.q, Q::KwDemand) = demand_[0];
  At(s.q, Q::KvarDemand) = demand_[1];
  At(s.q, Q::KvaDemand) = demand_[2];
  At(s.q, Q::KwMax) = maxDemand_[0];
  At(s.q, Q::KvarMax) = maxDemand_[1];
  At(s.q, Q::KvaMax) = maxDemand_[2];
  return s;
}

bool SimMeter::Exists(int address) const {
  const bool full = model_ != Model::QM4A;
  if (address >= 0 && address <= (full ? kIntegerLastFull : kIntegerLastBasic)) return true;
  if (address >= kFloatFirst && address <= (full ? kFloatLastFull : kFloatLastBasic)) return true;
  if (address == reg::kCommand || address == kErrorWord) return true;
  if (address >= reg::kCurrentExponent && address < reg::kCurrentExponent + 4) return true;
  if (!HasLogging()) return false;
  return (address >= kLoggingFirst && address <= kLoggingLast) ||
         (address >= reg::kLogWindow && address <= kWindowLast);
}

bool SimMeter::Writable(int address) const {
  if (address == reg::kCommand) return true;
  if (!HasLogging()) return false;
  return address == reg::kSubInterval || (address >= reg::kClock && address <= reg::kLogControl) ||
         (address >= reg::kLogSlots && address <= kLoggingLast);
}

uint16_t SimMeter::ScaledValue(Q q, double value) const {
  double raw = 0;
  switch (ScaleOf(q)) {
    case Scale::Current: raw = value / std::pow(10.0, exponents_[0]); break;
    case Scale::Voltage: raw = value / std::pow(10.0, exponents_[1]); break;
    case Scale::Power: raw = value / std::pow(10.0, exponents_[2]); break;
    case Scale::PowerFactor: raw = value * 10000.0; break;
    case Scale::Frequency: raw = value * 100.0; break;
    case Scale::Energy: case Scale::None: return 0;
  }
  return static_cast<uint16_t>(std::clamp(std::llround(raw), 0LL, 65535LL));
}

uint16_t SimMeter::IntegerRegister(int number, const Snapshot& s) const {
  const Q q = kIntegerQuantity[number];
  if (ScaleOf(q) == Scale::Energy) {
    // A 32-bit count of 10^exponent kWh: 12345.6 kWh at exponent -1 is
    // 123456 = MSW 1, LSW 57920.
    const double count = std::floor(At(s.q, q) / std::pow(10.0, exponents_[3]));
    const uint32_t whole = static_cast<uint32_t>(std::clamp(count, 0.0, 4294967295.0));
    const bool msw = number == 1 || number == 27 || number == 29;
    return static_cast<uint16_t>(msw ? whole >> 16 : whole & 0xFFFF);
  }
  return ScaledValue(q, At(s.q, q));
}

uint16_t SimMeter::ValueOf(int address, const Snapshot& s) const {
  if (auto pin = pins_.find(address); pin != pins_.end()) return pin->second;
  if (address >= 0 && address <= kIntegerLastFull) return IntegerRegister(address + 1, s);
  if (address >= kFloatFirst && address <= kFloatLastFull) {
    const int offset = address - kFloatFirst;
    const uint32_t bits = FloatBits(At(s.q, kFloatQuantity[offset / 2]));
    return static_cast<uint16_t>(offset % 2 == 0 ? bits >> 16 : bits & 0xFFFF);
  }
  if (address >= reg::kCurrentExponent && address < reg::kCurrentExponent + 4)
    return static_cast<uint16_t>(exponents_[address - reg::kCurrentExponent]);
  if (address >= reg::kLogWindow && address <= kWindowLast)
    return log_.Value(address - reg::kLogWindow, selector_);
  if (address >= reg::kLogSlots && address <= kLoggingLast) return slots_[address - reg::kLogSlots];
  uint16_t time[3];
  switch (address) {
    case kErrorWord: return errorWord_;
    case reg::kSubInterval: return subInterval_;
    case reg::kClock: case reg::kClock + 1: case reg::kClock + 2:
      if (clockInvalid_) return 0xFFFF;
      PackCalendarSeconds(s.calendar, time);
      return time[address - reg::kClock];
    case reg::kSlotSelector: return selector_;
    case reg::kLogControl: return control_;
    case reg::kRollovers: return static_cast<uint16_t>(log_.Rollovers());
    case reg::kDaysToRollover: return static_cast<uint16_t>(log_.DaysUntilRollover(Period()));
    case reg::kLogEntries: return static_cast<uint16_t>(log_.Entries());
    case reg::kNewestEntryTime: case reg::kNewestEntryTime + 1: case reg::kNewestEntryTime + 2:
      // An empty log has no newest entry: all three read 0.
      if (log_.Empty()) return 0;
      PackCalendarSeconds(log_.NewestTime(), time);
      return time[address - reg::kNewestEntryTime];
    default:
      return 0;  // command register, unused registers of the logging block
  }
}

LogEntry SimMeter::Capture(const Snapshot& s) const {
  LogEntry entry{};
  for (int i = 0; i < reg::kSlotCount; ++i) {
    const int number = slots_[i];
    // A slot holding a register the meter does not have logs 0.
    if (number != 0 && Exists(number - 1)) entry[i] = ValueOf(number - 1, s);
  }
  return entry;
}

uint8_t SimMeter::Read(int first, int count, double now, uint16_t* values) {
  if (count < 1 || count > kSimMaxRegistersPerRead) return kExceptionIllegalValue;
  for (int a = first; a < first + count; ++a)
    if (!Exists(a)) return kExceptionIllegalAddress;
  Advance(now);
  const Snapshot s = TakeSnapshot(PhaseTime(now), clock_.CalendarSeconds(now));
  for (int i = 0; i < count; ++i) values[i] = ValueOf(first + i, s);
  return 0;
}

uint8_t SimMeter::Write(int address, uint16_t value, double now) {
  if (!Exists(address) || !Writable(address)) return kExceptionIllegalAddress;
  if (address == reg::kSlotSelector && value > reg::kSlotCount) return kExceptionIllegalValue;
  Advance(now);
  return ApplyState(address, value, now) ? 0 : kExceptionIllegalValue;
}

bool SimMeter::ApplyState(int address, uint16_t value, double now) {
  if (address >= reg::kClock && address < reg::kClock + 3) {
    clockInvalid_ = false;
    return clock_.WritePart(address - reg::kClock, value, now);
  }
  if (address >= reg::kCurrentExponent && address < reg::kCurrentExponent + 4)
    exponents_[address - reg::kCurrentExponent] = static_cast<int16_t>(value);
  else if (address >= reg::kLogSlots && address <= kLoggingLast)
    slots_[address - reg::kLogSlots] = value;
  else if (address == reg::kCommand)
    RunCommand(value, now);
  else if (address == kErrorWord)
    errorWord_ = value;
  else if (address == reg::kSubInterval) {
    subInterval_ = value;
    nextCapture_ = now + Period();
  } else if (address == reg::kSlotSelector)
    selector_ = value;
  else if (address == reg::kLogControl)
    control_ = value;
  else
    return false;
  return true;
}

// 16640 erases the log and starts it again, the first sub-interval ending
// one period from now; 30078 zeroes the kWh accumulator (kVAh and kVArh go
// on). Other values are taken and ignored, as the meter has no other command.
void SimMeter::RunCommand(uint16_t value, double now) {
  if (value == reg::kCommandRestartLogging && HasLogging()) {
    log_.Erase();
    nextCapture_ = now + Period();
  } else if (value == reg::kCommandResetEnergy) {
    kwh_ = 0;
  }
}

std::optional<uint16_t> SimMeter::Get(int address, double now) {
  uint16_t value;
  if (Read(address, 1, now, &value) != 0) return std::nullopt;
  return value;
}

bool SimMeter::Set(int address, uint16_t value, double now) {
  if (!Exists(address)) return false;
  Advance(now);
  const bool state = Writable(address) || address == kErrorWord ||
                     (address >= reg::kCurrentExponent && address < reg::kCurrentExponent + 4);
  if (state) return ApplyState(address, value, now);
  pins_[address] = value;
  return true;
}

bool SimMeter::Unpin(int address) { return pins_.erase(address) > 0; }

void SimMeter::SetStatic(bool on, double now) {
  Advance(now);
  if (on && !static_) frozenPhase_ = PhaseTime(now);
  if (!on && static_) {
    start_ = now - frozenPhase_;  // carry on from the frozen moment
    nextCapture_ = now + Period();
  }
  static_ = on;
}

void SimMeter::SetClock(const struct tm& fields, double now) {
  Advance(now);
  clock_.Set(fields, now);
}

void SimMeter::SetClockDrift(double secondsPerMinute, double now) {
  Advance(now);
  clock_.SetDrift(secondsPerMinute, now);
}

void SimMeter::Prefill(long n, double now) {
  Advance(now);
  if (!HasLogging()) return;
  log_.Erase();
  const int period = Period();
  const int64_t newest = clock_.CalendarSeconds(now);
  const double kwhPerPeriod = NominalKw(load_) * period / 3600.0;
  for (long k = n - 1; k >= 0; --k) {
    // Entries older than the buffer's reach of a continuous log are
    // overwritten anyway: count them without computing their values.
    const bool dropped = !(control_ & 1) && k >= reg::kLogCapacity;
    LogEntry entry{};
    if (!dropped) {
      Snapshot s = TakeSnapshot(-static_cast<double>(k) * period, newest - k * period);
      At(s.q, Q::Kwh) = std::max(0.0, kwh_ - static_cast<double>(k) * kwhPerPeriod);
      entry = Capture(s);
    }
    if (!log_.Add(entry, newest - k * period, control_ & 1)) break;
  }
  nextCapture_ = now + period;
}

void SimMeter::CaptureNow(double now) {
  Advance(now);
  if (!HasLogging() || (control_ & 2)) return;
  LogEntryAt(clock_.CalendarSeconds(now), now);
}

void SimMeter::ElapseSubIntervals(long n, double now) {
  Advance(now);
  if (!HasLogging()) return;
  for (long i = 0; i < n; ++i) {
    clock_.Skip(Period());
    if (control_ & 2) continue;
    LogEntryAt(log_.Empty() ? clock_.CalendarSeconds(now) : log_.NewestTime() + Period(), now);
  }
}

void SimMeter::LogEntryAt(int64_t calendar, double now) {
  log_.Add(Capture(TakeSnapshot(PhaseTime(now), calendar)), calendar, control_ & 1);
}
