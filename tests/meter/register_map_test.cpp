// Register map: every row of its tables, the encodings, the conversions.
#include "meter/register_map.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>

namespace {

using C = ConversionClass;

// One row of the meter's register map as the logging code reads it: the
// column label, the logging window's legend text, the conversion class and
// the float pair the legend puts beside it.
struct IntegerRow {
  unsigned number;
  const char* label;
  const char* description;
  ConversionClass cls;
  unsigned legendPair;
};

constexpr IntegerRow kIntegerRows[] = {
    {0, "", "", C::None, 0},
    {1, "KWH", "kWh MSW", C::EnergyMsw, 257},
    {2, "KWH", "kWh LSW", C::EnergyLsw, 257},
    {3, "KW", "kW", C::Power, 261},
    {4, "KVAR", "kVAr", C::Power, 263},
    {5, "KVA", "kVA", C::Power, 265},
    {6, "PF", "Pf", C::PowerFactor, 267},
    {7, "VLL", "Voltage L-L", C::Voltage, 269},
    {8, "VLN", "Voltage L-N", C::Voltage, 271},
    {9, "AMPS-AVG", "Current Avg", C::Current, 273},
    {10, "KW-A", "kW Phase A", C::Power, 275},
    {11, "KW-B", "kW Phase B", C::Power, 277},
    {12, "KW-C", "kW Phase C", C::Power, 279},
    {13, "PF-A", "Pf Phase A", C::PowerFactor, 281},
    {14, "PF-B", "Pf Phase B", C::PowerFactor, 283},
    {15, "PF-C", "Pf Phase C", C::PowerFactor, 285},
    {16, "V-AB", "Voltage A-B", C::Voltage, 287},
    {17, "V-BC", "Voltage B-C", C::Voltage, 289},
    {18, "V-AC", "Voltage A-C", C::Voltage, 291},
    {19, "V-AN", "Voltage A-N", C::Voltage, 293},
    {20, "V-BN", "Voltage B-N", C::Voltage, 295},
    {21, "V-CN", "Voltage C-N", C::Voltage, 297},
    {22, "AMPS-A", "Current Phase A", C::Current, 299},
    {23, "AMPS-B", "Current Phase B", C::Current, 301},
    {24, "AMPS-C", "Current Phase C", C::Current, 303},
    {25, "", "", C::None, 0},
    {26, "HZ", "Frequency", C::Frequency, 307},
    {27, "KVAH", "kVAh MSW", C::EnergyMsw, 309},
    {28, "KVAH", "kVAh LSW", C::EnergyLsw, 309},
    {29, "KVARH", "kVArh MSW", C::EnergyMsw, 311},
    {30, "KVARH", "kVArh LSW", C::EnergyLsw, 311},
    {31, "KVA-A", "kVA Phase A", C::Power, 313},
    {32, "KVA-B", "kVA Phase B", C::Power, 315},
    {33, "KVA-C", "kVA Phase C", C::Power, 317},
    {34, "KVAR-A", "kVAr Phase A", C::Power, 319},
    {35, "KVAR-B", "kVAr Phase B", C::Power, 321},
    {36, "KVAR-C", "kVAr Phase C", C::Power, 323},
    {37, "KW-DEMAND", "kW Present Demand", C::Power, 325},
    {38, "KVAR-DEMAND", "kVAr Present Demand", C::Power, 327},
    {39, "KVA-DEMAND", "kVA Present Demand", C::Power, 329},
    {40, "KW-MAX", "kW Max Demand", C::Power, 331},
    {41, "KVAR-MAX", "kVAr Max Demand", C::Power, 333},
    {42, "KVA-MAX", "kVA Max Demand", C::Power, 335},
    {146, "ERROR", "Error", C::ErrorWord, 0},
    {155, "DAY-MONTH", "Date/Time", C::Timestamp, 0},
    {156, "HOUR-YEAR", "Date/Time", C::Timestamp, 0},
    {157, "SECOND-MINUTE", "Date/Time", C::Timestamp, 0},
};

TEST(RegisterMap, EveryIntegerRegistersLabelDescriptionClassAndLegendPair) {
  for (const IntegerRow& row : kIntegerRows) {
    EXPECT_TRUE(IsLoggableRegister(row.number)) << row.number;
    EXPECT_STREQ(RegisterLabel(row.number), row.label) << row.number;
    EXPECT_STREQ(RegisterDescription(row.number), row.description) << row.number;
    EXPECT_EQ(ClassOfRegister(row.number), row.cls) << row.number;
    EXPECT_EQ(LegendFloatPair(row.number), row.legendPair) << row.number;
  }
}

// The 40 float pairs by their odd register number; from 327 on KVA runs
// before KVAR, the reverse of integer registers 38/39 and 41/42.
constexpr std::pair<unsigned, const char*> kFloatPairs[] = {
    {257, "KWH"},       {259, "KWH"},        {261, "KW"},          {263, "KVAR"},   {265, "KVA"},
    {267, "PF"},        {269, "VLL"},        {271, "VLN"},         {273, "AMPS-AVG"}, {275, "KW-A"},
    {277, "KW-B"},      {279, "KW-C"},       {281, "PF-A"},        {283, "PF-B"},   {285, "PF-C"},
    {287, "V-AB"},      {289, "V-BC"},       {291, "V-AC"},        {293, "V-AN"},   {295, "V-BN"},
    {297, "V-CN"},      {299, "AMPS-A"},     {301, "AMPS-B"},      {303, "AMPS-C"}, {305, ""},
    {307, "HZ"},        {309, "KVAH"},       {311, "KVARH"},       {313, "KVA-A"},  {315, "KVA-B"},
    {317, "KVA-C"},     {319, "KVAR-A"},     {321, "KVAR-B"},      {323, "KVAR-C"}, {325, "KW-DEMAND"},
    {327, "KVA-DEMAND"}, {329, "KVAR-DEMAND"}, {331, "KW-MAX"},    {333, "KVA-MAX"}, {335, "KVAR-MAX"},
};

TEST(RegisterMap, BothRegistersOfEveryFloatPairCarryItsLabel) {
  for (const auto& [odd, label] : kFloatPairs) {
    for (const unsigned n : {odd, odd + 1}) {
      EXPECT_TRUE(IsLoggableRegister(n)) << n;
      EXPECT_STREQ(RegisterLabel(n), label) << n;
      EXPECT_EQ(ClassOfRegister(n), C::FloatPair) << n;
      EXPECT_STREQ(RegisterDescription(n), "") << n;
      EXPECT_EQ(LegendFloatPair(n), 0u) << n;
    }
  }
}

// Everything between and beyond the tables: no label, no class, not
// loggable (a slot read back as 65535 included).
TEST(RegisterMap, NumbersOutsideTheTablesHaveNothing) {
  constexpr std::pair<unsigned, unsigned> kGaps[] = {{43, 145}, {147, 154}, {158, 256}, {337, 400}};
  for (const auto& [first, last] : kGaps) {
    for (unsigned n = first; n <= last; ++n) {
      EXPECT_FALSE(IsLoggableRegister(n)) << n;
      EXPECT_STREQ(RegisterLabel(n), "") << n;
      EXPECT_EQ(ClassOfRegister(n), C::None) << n;
      EXPECT_STREQ(RegisterDescription(n), "") << n;
    }
  }
  for (const unsigned n : {65535u, 4000000000u}) {
    EXPECT_FALSE(IsLoggableRegister(n)) << n;
    EXPECT_STREQ(RegisterLabel(n), "") << n;
    EXPECT_EQ(ClassOfRegister(n), C::None) << n;
  }
}

TEST(RegisterMap, WordsToFloat) {
  EXPECT_EQ(WordsToFloat(0x3F80, 0x0000), 1.0f);
  EXPECT_EQ(WordsToFloat(0xC020, 0x0000), -2.5f);
  EXPECT_EQ(WordsToFloat(0x3F80, 0x10000), 1.0f) << "only the low 16 bits of the second count";
}

TEST(RegisterMap, MeterTimestamps) {
  const MeterTime t = UnpackMeterTime(0x0C01, 0x0E07, 0x1E2D);
  EXPECT_EQ(t.day, 12);
  EXPECT_EQ(t.month, 1);
  EXPECT_EQ(t.year, 2007);
  EXPECT_EQ(t.hour, 14);
  EXPECT_EQ(t.minute, 45);
  EXPECT_EQ(t.second, 30);
  const struct tm tm = MeterTimeToTm(t);
  EXPECT_EQ(tm.tm_mon, 0);
  EXPECT_EQ(tm.tm_year, 107);

  char text[64];
  FormatMeterTime(15 * 256 + 6, 14 * 256 + 9, 7 * 256 + 3, text, sizeof text);
  EXPECT_STREQ(text, "6/15/2009  14:03:07");
  FormatMeterTime(15 * 256 + 6, 14 * 256 + 10, 7 * 256 + 3, text, sizeof text);
  EXPECT_STREQ(text, "6/15/2010  14:03:07");
  FormatMeterTime(15 * 256 + 6, 14 * 256 + 123, 7 * 256 + 3, text, sizeof text);
  EXPECT_STREQ(text, "6/15/2123  14:03:07");

  struct tm when {};
  when.tm_year = 109;
  when.tm_mon = 5;
  when.tm_mday = 15;
  when.tm_hour = 14;
  when.tm_min = 3;
  when.tm_sec = 7;
  int regs[3];
  PackMeterTime(when, regs);
  EXPECT_EQ(regs[0], 3846);
  EXPECT_EQ(regs[1], 3593);
  EXPECT_EQ(regs[2], 1795);
}

TEST(RegisterMap, Conversions) {
  const int exponents[4] = {-3, -1, ScaleExponent(0xFFFE), -1};
  EXPECT_EQ(ScaleExponent(0xFFFE), -2);
  EXPECT_EQ(ScaleExponent(0x0003), 3);
  EXPECT_FLOAT_EQ(ConvertLoggedValue(ConversionClass::Current, 1234, exponents), 1.234f);
  EXPECT_FLOAT_EQ(ConvertLoggedValue(ConversionClass::Voltage, 2301, exponents), 230.1f);
  EXPECT_FLOAT_EQ(ConvertLoggedValue(ConversionClass::Power, 150, exponents), 1.5f);
  EXPECT_FLOAT_EQ(ConvertLoggedValue(ConversionClass::PowerFactor, 9950, exponents), 0.995f);
  EXPECT_FLOAT_EQ(ConvertLoggedValue(ConversionClass::PowerFactor, 65535, exponents), 6.5535f)
      << "raw values are unsigned, never negative";
  EXPECT_FLOAT_EQ(ConvertLoggedValue(ConversionClass::Frequency, 5001, exponents), 50.01f);
  EXPECT_FLOAT_EQ(ConvertLoggedValue(ConversionClass::EnergyMsw, 7, exponents), 7.0f);
  EXPECT_FLOAT_EQ(ConvertEnergyPair(1, 0, -1), 6553.6f);
  EXPECT_FLOAT_EQ(ConvertEnergyPair(0, 65535, 0), 65535.0f);
}

}  // namespace

// Each field at its last value and one beyond; February by the leap years.
TEST(RegisterMap, MeterTimeValidOnlyWithEveryFieldInRange) {
  const std::pair<MeterTime, bool> cases[] = {
      {{12, 31, 2030, 23, 59, 59}, true},  {{13, 1, 2030, 0, 0, 0}, false},   {{0, 1, 2030, 0, 0, 0}, false},
      {{1, 0, 2030, 0, 0, 0}, false},      {{4, 30, 2030, 0, 0, 0}, true},    {{4, 31, 2030, 0, 0, 0}, false},
      {{2, 29, 2028, 0, 0, 0}, true},      {{2, 29, 2030, 0, 0, 0}, false},   {{2, 29, 2100, 0, 0, 0}, false},
      {{1, 1, 2030, 24, 0, 0}, false},     {{1, 1, 2030, 0, 60, 0}, false},   {{1, 1, 2030, 0, 0, 60}, false},
      {{255, 255, 2255, 255, 255, 255}, false},
  };
  for (const auto& [t, valid] : cases)
    EXPECT_EQ(MeterTimeValid(t), valid) << t.month << "/" << t.day << "/" << t.year << " " << t.hour << ":" << t.minute
                                        << ":" << t.second;
}
