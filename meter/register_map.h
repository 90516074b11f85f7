#pragma once
// The meter's registers as the rest of the program reads and writes them.
// Addresses are what a request carries; register numbers (the meter's own
// numbering, used by the logging slots and the tables below) are one higher.

#include <cstdint>
#include <ctime>

namespace reg {
// Addresses.
constexpr int kCommand = 128;            // write 16640 to restart logging, 30078 to reset kWh
constexpr int kCurrentExponent = 137;    // 137..140: scale exponents (signed)
constexpr int kSubInterval = 149;        // logging sub-interval, seconds
constexpr int kClock = 154;              // 154..156: meter timestamp
constexpr int kSlotSelector = 157;       // 1..10 picks the slot the log window shows
constexpr int kLogControl = 158;         // bit 0 one-shot, bit 1 paused
constexpr int kLogStatusBlock = 159;
constexpr int kRollovers = 160;          // not 0: log buffer full
constexpr int kDaysToRollover = 161;
constexpr int kLogEntries = 162;
constexpr int kNewestEntryTime = 165;    // 165..167: meter timestamp
constexpr int kLogSlots = 168;           // 168..177: register number per slot
constexpr int kReadingBlock = 258;       // 24 float pairs
constexpr int kLogWindow = 7999;         // 7999 + k: entry k before the newest
// Command values.
constexpr int kCommandRestartLogging = 16640;  // 0x4100, erases the log
constexpr int kCommandResetEnergy = 30078;     // 0x757E
constexpr int kLogCapacity = 5760;
constexpr int kSlotCount = 10;
constexpr int kReadingBlockCount = 48;
}  // namespace reg

// Conversion class of a loggable register number.
enum class ConversionClass {
  None,
  EnergyMsw,
  EnergyLsw,
  Power,
  PowerFactor,
  Voltage,
  Current,
  Frequency,
  FloatPair,
  ErrorWord,
  Timestamp,
};

// True exactly for 0..42, 146, 155..157 and 257..336 (unsigned compare).
bool IsLoggableRegister(unsigned registerNumber);
// The column label for 0..336; "" for anything else.
const char* RegisterLabel(unsigned registerNumber);
// The class of a register number; None outside the loggable set.
ConversionClass ClassOfRegister(unsigned registerNumber);
// The legend description ("kW Phase A") of an integer register, "" if none.
const char* RegisterDescription(unsigned registerNumber);
// The float pair (odd register number) the legend pairs an integer register
// with: 1,2 -> 257; 3..26 -> 255 + 2N; 27,28 -> 309; 29,30 -> 311;
// 31..42 -> 251 + 2N; 0 when it has none.
unsigned LegendFloatPair(unsigned registerNumber);

// IEEE 754 single from two registers, the first holding the high 16 bits.
float WordsToFloat(int first, int second);

struct MeterTime {
  int month;   // 1..12 as the meter says (MeterTimeValid checks)
  int day;
  int year;    // 2000 + year byte
  int hour;
  int minute;
  int second;
};
MeterTime UnpackMeterTime(int first, int second, int third);
// Whether each field is in range: month 1-12, a day of that month (2000 to
// 2255 have their leap years), hour 0-23, minute and second 0-59.
bool MeterTimeValid(const MeterTime& t);
// The same as C library broken-down time (tm_isdst = -1: let mktime decide).
struct tm MeterTimeToTm(const MeterTime& t);
// A meter timestamp as the local time value it names (mktime), -1 where the
// C library cannot represent it. The meter keeps wall-clock time, so
// daylight saving is left for mktime to decide.
time_t MeterTimeValue(int first, int second, int third);
// The three register values of a meter timestamp for a broken-down local time.
void PackMeterTime(const struct tm& t, int registers[3]);
// "%d/%d/2%03d  %02d:%02d:%02d": month, day, year byte, hour, minute, second.
void FormatMeterTime(int first, int second, int third, char* dest, unsigned destSize);

// Signed 16-bit power of ten held in a register's low 16 bits.
int ScaleExponent(int registerValue);

// One integer-class raw value, taken unsigned, as a number: current, voltage
// and power scaled by 10^exponent (exponents in address order 137..140),
// power factor x 0.0001, frequency x 0.01. Energy halves alone are raw.
// Other classes give 0 (they have no numeric conversion).
float ConvertLoggedValue(ConversionClass cls, unsigned raw, const int exponents[4]);
// (msw * 65536 + lsw) * 10^energyExponent.
float ConvertEnergyPair(unsigned msw, unsigned lsw, int energyExponent);
