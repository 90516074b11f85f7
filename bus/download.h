#pragma once
// Downloading the meter's log of all ten slots into "%02d-data.csv".

#include <bitset>
#include <cstdint>
#include <ctime>
#include <string>

#include "bus/status_log.h"
#include "meter/meter.h"
#include "meter/register_map.h"
#include "modbus/link.h"

constexpr int kLoggedDataCapacity = 10000;   // entries per slot
constexpr int kSectionRegisters = 125;       // registers per section read
constexpr int kMinTimeStepSeconds = 10;
constexpr int kTransactionRetries = 5;       // repetitions of a failing read or slot selection before giving up
constexpr int32_t kNotRead = -1;             // a raw cell no entry of its row's instant was read into

// The buffer of one download (about 850 KB); allocate it for the download only.
// Row l holds the values logged at newestTime - l * timeStep, one logging
// instant a row: a slot read before the meter logged its newest instants, or
// after its oldest dropped out, has kNotRead in those rows.
struct LoggedData {
  int16_t pointCount = 0;  // rows
  int16_t slotRegisters[reg::kSlotCount] = {};
  time_t newestTime = 0;
  int timeStep = 0;
  int32_t raw[reg::kSlotCount][kLoggedDataCapacity];
  float values[reg::kSlotCount][kLoggedDataCapacity];
  // The cells the conversion gave a value (any other gets an empty CSV
  // field).
  std::bitset<kLoggedDataCapacity> valueDefined[reg::kSlotCount];
  // The selected slot's entries as read, before they are placed in rows.
  int slotEntries[kLoggedDataCapacity];
  // Set once the meter has logged during the download: the slots left are
  // read a section at a time, each section bracketed on its own.
  bool readBySection = false;
  unsigned SlotRegister(int slot) const { return static_cast<uint16_t>(slotRegisters[slot]); }
  bool WasRead(int slot, int l) const { return raw[slot][l] != kNotRead; }
};

// Every read and write below goes to meter over link.

// Reads every entry of every slot into the row of its logging instant; true
// when all was read.
[[nodiscard]] bool ReadLoggedData(ModbusLink& link, const Meter& meter, LoggedData& data, StatusLog& log);
// Fills data.values from data.raw; reads the scale exponents itself. False
// when they cannot be read: without them no value can be trusted (the float
// pairs could be, but a file missing most columns is no download).
[[nodiscard]] bool ConvertLoggedData(ModbusLink& link, const Meter& meter, LoggedData& data, StatusLog& log);

// The log as one read of 149..177 shows it.
struct LogState {
  int timeStep = 0;     // the sub-interval, raised to 10 s as the download takes it
  int entries = 0;      // entries held: 5760 once full (at most kLoggedDataCapacity)
  bool full = false;    // register 160 not 0
  time_t newest = 0;    // the newest entry's time, as the download computes it
  unsigned slots[reg::kSlotCount] = {};
};
// One transaction, repeated as the download repeats it; false when the meter
// did not answer.
[[nodiscard]] bool ReadLogState(ModbusLink& link, const Meter& meter, LogState& state, StatusLog& log);

// Which entries ReadNewestEntries reads of each slot: the newest `entries`
// of the log whose newest entry was at `newest`. With followNewEntries a
// slot read after the meter logged more reads as many more, so that every
// slot still reaches the oldest instant wanted; without, every slot reads
// `entries`, as the download does.
struct LogReadPlan {
  int timeStep = 0;
  int entries = 0;
  time_t newest = 0;
  bool followNewEntries = false;
};
// The one reader of the log, the download's and the archive sync's: reads
// the plan's entries of every slot into the rows of their instants,
// bracketed by the newest entry's time. Each slot's selection, reads and
// release are one turn of the link, so that no other master's request on it
// lands between them; a meter busy with another master is waited for
// (WaitWhileBusy). True when every slot was read and the selection released.
[[nodiscard]] bool ReadNewestEntries(ModbusLink& link, const Meter& meter, LoggedData& data, const LogReadPlan& plan,
                                     StatusLog& log);
// "%02d-data.csv" for a slave address.
std::string DataFileName(int slaveAddress);
// The whole download of the logging window's button: log file, data file
// (DataFileName of its address), messages in their places. Returns true when the
// data file was written. A stopped download keeps the previous data file
// and its log.txt, its own log set aside (PreviousLogFile).
bool DownloadLoggedData(ModbusLink& link, const Meter& meter, StatusLog& log);
