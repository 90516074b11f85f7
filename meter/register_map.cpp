#include "meter/register_map.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

struct IntegerRegister {
  const char* label;
  const char* description;
  ConversionClass cls;
};

using C = ConversionClass;

// Integer registers 0..42, indexed by register number.
constexpr IntegerRegister kIntegerRegisters[43] = {
    {"", "", C::None},
    {"KWH", "kWh MSW", C::EnergyMsw},
    {"KWH", "kWh LSW", C::EnergyLsw},
    {"KW", "kW", C::Power},
    {"KVAR", "kVAr", C::Power},
    {"KVA", "kVA", C::Power},
    {"PF", "Pf", C::PowerFactor},
    {"VLL", "Voltage L-L", C::Voltage},
    {"VLN", "Voltage L-N", C::Voltage},
    {"AMPS-AVG", "Current Avg", C::Current},
    {"KW-A", "kW Phase A", C::Power},
    {"KW-B", "kW Phase B", C::Power},
    {"KW-C", "kW Phase C", C::Power},
    {"PF-A", "Pf Phase A", C::PowerFactor},
    {"PF-B", "Pf Phase B", C::PowerFactor},
    {"PF-C", "Pf Phase C", C::PowerFactor},
    {"V-AB", "Voltage A-B", C::Voltage},
    {"V-BC", "Voltage B-C", C::Voltage},
    {"V-AC", "Voltage A-C", C::Voltage},
    {"V-AN", "Voltage A-N", C::Voltage},
    {"V-BN", "Voltage B-N", C::Voltage},
    {"V-CN", "Voltage C-N", C::Voltage},
    {"AMPS-A", "Current Phase A", C::Current},
    {"AMPS-B", "Current Phase B", C::Current},
    {"AMPS-C", "Current Phase C", C::Current},
    {"", "", C::None},  // 25 is not listed
    {"HZ", "Frequency", C::Frequency},
    {"KVAH", "kVAh MSW", C::EnergyMsw},
    {"KVAH", "kVAh LSW", C::EnergyLsw},
    {"KVARH", "kVArh MSW", C::EnergyMsw},
    {"KVARH", "kVArh LSW", C::EnergyLsw},
    {"KVA-A", "kVA Phase A", C::Power},
    {"KVA-B", "kVA Phase B", C::Power},
    {"KVA-C", "kVA Phase C", C::Power},
    {"KVAR-A", "kVAr Phase A", C::Power},
    {"KVAR-B", "kVAr Phase B", C::Power},
    {"KVAR-C", "kVAr Phase C", C::Power},
    {"KW-DEMAND", "kW Present Demand", C::Power},
    {"KVAR-DEMAND", "kVAr Present Demand", C::Power},
    {"KVA-DEMAND", "kVA Present Demand", C::Power},
    {"KW-MAX", "kW Max Demand", C::Power},
    {"KVAR-MAX", "kVAr Max Demand", C::Power},
    {"KVA-MAX", "kVA Max Demand", C::Power},
};

// Labels of the 40 float pairs 257/258 .. 335/336, one per pair. From 327 on
// they run KVA before KVAR, the reverse of integer registers 38/39 and 41/42.
constexpr const char* kFloatPairLabels[40] = {
    "KWH",    "KWH",    "KW",     "KVAR",      "KVA",        "PF",          "VLL",    "VLN",
    "AMPS-AVG", "KW-A", "KW-B",   "KW-C",      "PF-A",       "PF-B",        "PF-C",   "V-AB",
    "V-BC",   "V-AC",   "V-AN",   "V-BN",      "V-CN",       "AMPS-A",      "AMPS-B", "AMPS-C",
    "",       "HZ",     "KVAH",   "KVARH",     "KVA-A",      "KVA-B",       "KVA-C",  "KVAR-A",
    "KVAR-B", "KVAR-C", "KW-DEMAND", "KVA-DEMAND", "KVAR-DEMAND", "KW-MAX", "KVA-MAX", "KVAR-MAX",
};

constexpr unsigned kLastInteger = 42;
constexpr unsigned kErrorWord = 146;
constexpr unsigned kFirstTimestamp = 155;
constexpr unsigned kLastTimestamp = 157;
constexpr unsigned kFirstFloat = 257;
constexpr unsigned kLastFloat = 336;

bool IsFloatRegister(unsigned n) { return n >= kFirstFloat && n <= kLastFloat; }

}  // namespace

bool IsLoggableRegister(unsigned n) {
  return n <= kLastInteger || n == kErrorWord || (n >= kFirstTimestamp && n <= kLastTimestamp) ||
         IsFloatRegister(n);
}

const char* RegisterLabel(unsigned n) {
  if (n <= kLastInteger) return kIntegerRegisters[n].label;
  if (n == kErrorWord) return "ERROR";
  if (n == 155) return "DAY-MONTH";
  if (n == 156) return "HOUR-YEAR";
  if (n == 157) return "SECOND-MINUTE";
  if (IsFloatRegister(n)) return kFloatPairLabels[(n - kFirstFloat) / 2];
  // Nothing this program configures lies above 336; another tool may have
  // put such a number in a slot, and it gets no label.
  return "";
}

ConversionClass ClassOfRegister(unsigned n) {
  if (n <= kLastInteger) return kIntegerRegisters[n].cls;
  if (n == kErrorWord) return C::ErrorWord;
  if (n >= kFirstTimestamp && n <= kLastTimestamp) return C::Timestamp;
  if (IsFloatRegister(n)) return C::FloatPair;
  return C::None;
}

const char* RegisterDescription(unsigned n) {
  if (n <= kLastInteger) return kIntegerRegisters[n].description;
  if (n == kErrorWord) return "Error";
  if (n >= kFirstTimestamp && n <= kLastTimestamp) return "Date/Time";
  return "";
}

unsigned LegendFloatPair(unsigned n) {
  if (n == 1 || n == 2) return 257;
  if (n >= 3 && n <= 24) return 255 + 2 * n;
  if (n == 26) return 255 + 2 * n;
  if (n == 27 || n == 28) return 309;
  if (n == 29 || n == 30) return 311;
  if (n >= 31 && n <= kLastInteger) return 251 + 2 * n;
  return 0;
}

float WordsToFloat(int first, int second) {
  const uint32_t bits = (static_cast<uint32_t>(first) << 16) + (static_cast<uint32_t>(second) & 0xFFFFu);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

MeterTime UnpackMeterTime(int first, int second, int third) {
  MeterTime t{};
  t.day = (first >> 8) & 0xFF;
  t.month = first & 0xFF;
  t.year = 2000 + (second & 0xFF);
  t.hour = (second >> 8) & 0xFF;
  t.minute = third & 0xFF;
  t.second = (third >> 8) & 0xFF;
  return t;
}

bool MeterTimeValid(const MeterTime& t) {
  static const int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (t.month < 1 || t.month > 12 || t.day < 1) return false;
  const bool leap = t.year % 4 == 0 && (t.year % 100 != 0 || t.year % 400 == 0);
  const int days = t.month == 2 && !leap ? 28 : kDays[t.month - 1];
  return t.day <= days && t.hour <= 23 && t.minute <= 59 && t.second <= 59;
}

struct tm MeterTimeToTm(const MeterTime& t) {
  struct tm out {};
  out.tm_sec = t.second;
  out.tm_min = t.minute;
  out.tm_hour = t.hour;
  out.tm_mday = t.day;
  out.tm_mon = t.month - 1;
  out.tm_year = t.year - 1900;
  out.tm_isdst = -1;
  return out;
}

time_t MeterTimeValue(int first, int second, int third) {
  struct tm broken = MeterTimeToTm(UnpackMeterTime(first, second, third));
  return mktime(&broken);
}

void PackMeterTime(const struct tm& t, int registers[3]) {
  registers[0] = t.tm_mday * 256 + (t.tm_mon + 1);
  registers[1] = t.tm_hour * 256 + (t.tm_year + 1900 - 2000);
  registers[2] = t.tm_sec * 256 + t.tm_min;
}

void FormatMeterTime(int first, int second, int third, char* dest, unsigned destSize) {
  const MeterTime t = UnpackMeterTime(first, second, third);
  std::snprintf(dest, destSize, "%d/%d/2%03d  %02d:%02d:%02d", t.month, t.day, t.year - 2000, t.hour, t.minute,
                t.second);
}

int ScaleExponent(int registerValue) { return static_cast<int16_t>(registerValue & 0xFFFF); }

float ConvertLoggedValue(ConversionClass cls, unsigned raw, const int exponents[4]) {
  const double value = raw;
  switch (cls) {
    case C::Current: return static_cast<float>(value * std::pow(10.0, exponents[0]));
    case C::Voltage: return static_cast<float>(value * std::pow(10.0, exponents[1]));
    case C::Power: return static_cast<float>(value * std::pow(10.0, exponents[2]));
    case C::PowerFactor: return static_cast<float>(value * 0.0001);
    case C::Frequency: return static_cast<float>(value * 0.01);
    case C::EnergyMsw:
    case C::EnergyLsw: return static_cast<float>(value);
    default: return 0.0f;
  }
}

float ConvertEnergyPair(unsigned msw, unsigned lsw, int energyExponent) {
  const double count = static_cast<double>(msw) * 65536.0 + lsw;
  return static_cast<float>(count * std::pow(10.0, energyExponent));
}
