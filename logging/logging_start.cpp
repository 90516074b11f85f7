#include "logging/logging_start.h"

#include "meter/meter_state.h"
#include "logging/meter_io.h"
#include "modbus/master.h"
#include "modbus/serial_link.h"

int16_t g_logSlots[reg::kSlotCount] = {};
int16_t g_logControl = 0;

namespace {
constexpr unsigned kMinSubInterval = 10;
constexpr unsigned kMaxSubInterval = 32767;
constexpr int16_t kOneShotBit = 0x0001;

constexpr const char* kIllegalSlotMessage =
    "Illegal \"Registers to log\" value.  Must be 0-42, 146, or 155-157, 257-336.";
constexpr const char* kIllegalSubIntervalMessage = "Illegal \"Subinterval Length\" value must be 10-32767.";
constexpr const char* kStartFailedMessage = "Error starting logging.";
constexpr const char* kStartedMessage = "Logging Started Successfully";
constexpr const char* kStartStoppedMessage = "Logging start stopped before all settings were written.";

bool SlotsLoggable(const LoggingSettings& settings) {
  for (unsigned slot : settings.slots)
    if (!IsLoggableRegister(slot)) return false;
  return true;
}

// The restart command first (it erases the log), then the configuration;
// stops at the first write the meter does not acknowledge, or after the
// current one when a stop is asked for.
bool WriteLoggingSetup(const LoggingSettings& settings, StatusLog& log) {
  if (!WriteMeter(reg::kCommand, reg::kCommandRestartLogging, log)) return false;
  for (int slot = 0; slot < reg::kSlotCount; ++slot)
    if (!WriteMeter(reg::kLogSlots + slot, static_cast<int>(settings.slots[slot]), log)) return false;
  if (!WriteMeter(reg::kLogControl, static_cast<uint16_t>(g_logControl), log)) return false;
  if (!WriteMeter(reg::kSubInterval, static_cast<int>(settings.subInterval), log)) return false;
  return WriteMeter(reg::kSlotSelector, 0, log);
}
}  // namespace

bool ReadLogSlots() {
  int registers[reg::kSlotCount];
  if (ReadHoldingRegisters(g_port, g_slaveAddress, reg::kLogSlots, reg::kSlotCount, registers) != ResultOk)
    return false;
  for (int slot = 0; slot < reg::kSlotCount; ++slot) g_logSlots[slot] = static_cast<int16_t>(registers[slot] & 0xFFFF);
  return true;
}

LoggingSettings CurrentLoggingSettings() {
  LoggingSettings settings;
  // Sign-extended: a slot read back as 65535 shows as 4294967295 and fails
  // the loggable check rather than passing as a small number.
  settings.subInterval = static_cast<unsigned>(static_cast<int>(g_subIntervalSeconds));
  for (int slot = 0; slot < reg::kSlotCount; ++slot)
    settings.slots[slot] = static_cast<unsigned>(static_cast<int>(g_logSlots[slot]));
  settings.method = g_logControl & kOneShotBit;
  return settings;
}

bool StartLogging(LoggingSettings& settings, StatusLog& log) {
  if (!SlotsLoggable(settings)) {
    log.LogStatus(kIllegalSlotMessage);
    log.LogStatus(kStartFailedMessage);
    return false;
  }
  if (settings.method != 0 && settings.method != 1) settings.method = 0;
  g_logControl = static_cast<int16_t>((g_logControl & ~kOneShotBit) | settings.method);
  // The method is kept even when the sub-interval is refused below: the next
  // opening of the logging window shows the method last chosen.
  if (settings.subInterval < kMinSubInterval || settings.subInterval > kMaxSubInterval) {
    log.LogStatus(kIllegalSubIntervalMessage);
    log.LogStatus(kStartFailedMessage);
    return false;
  }
  if (!WriteLoggingSetup(settings, log)) {
    log.LogStatus(log.StopRequested() ? kStartStoppedMessage : kStartFailedMessage);
    return false;
  }
  log.LogStatus(kStartedMessage);
  return true;
}
