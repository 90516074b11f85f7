#pragma once
// Downloading the meter's log of all ten slots into "%02d-data.csv".

#include <cstdint>
#include <ctime>
#include <string>

#include "logging/status_log.h"
#include "meter/register_map.h"

constexpr int kLoggedDataCapacity = 10000;   // entries per slot
constexpr int kSectionRegisters = 125;       // registers per section read
constexpr int kMinTimeStepSeconds = 10;
constexpr int kSectionRetries = 5;           // repetitions of a failing section read before giving up

// The buffer of one download (about 840 KB); allocate it for the download only.
struct LoggedData {
  int16_t pointCount = 0;
  int16_t slotRegisters[reg::kSlotCount] = {};
  time_t times[kLoggedDataCapacity];
  int32_t raw[reg::kSlotCount][kLoggedDataCapacity];
  float values[reg::kSlotCount][kLoggedDataCapacity];
  // Whether values[slot][*] was set by the conversion (a slot without a
  // defined value gets an empty CSV field).
  bool valueDefined[reg::kSlotCount] = {};
};

// Reads every entry of every slot; true on failure, false when all was read.
bool ReadLoggedData(LoggedData& data, StatusLog& log);
// Fills data.values from data.raw; reads the scale exponents itself.
void ConvertLoggedData(LoggedData& data);
// "%02d-data.csv" for a slave address.
std::string DataFileName(int slaveAddress);
// The whole download of the logging window's button: log file, data file,
// messages in their places. Returns true when the data file was written.
bool DownloadLoggedData(StatusLog& log);
