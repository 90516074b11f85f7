#include "bus/logging_start.h"

#include "bus/busy_wait.h"
#include "bus/meter_io.h"
#include "bus/write_failure.h"

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
bool WriteLoggingSetup(ModbusLink& link, int slave, const LoggingSettings& settings, int16_t logControl,
                       StatusLog& log) {
  auto write = [&](int address, int value) { return WriteMeter(link, slave, address, value, log); };
  if (!write(reg::kCommand, reg::kCommandRestartLogging)) return false;
  for (int slot = 0; slot < reg::kSlotCount; ++slot)
    if (!write(reg::kLogSlots + slot, static_cast<int>(settings.slots[slot]))) return false;
  if (!write(reg::kLogControl, static_cast<uint16_t>(logControl))) return false;
  if (!write(reg::kSubInterval, static_cast<int>(settings.subInterval))) return false;
  return write(reg::kSlotSelector, 0);
}
}  // namespace

bool ReadLogSlots(ModbusLink& link, const Meter& meter, LogSetup& setup) {
  int registers[reg::kSlotCount];
  if (link.ReadHoldingRegisters(meter.address, reg::kLogSlots, reg::kSlotCount, registers) != ResultOk) return false;
  for (int slot = 0; slot < reg::kSlotCount; ++slot) setup.logSlots[slot] = static_cast<int16_t>(registers[slot] & 0xFFFF);
  return true;
}

LoggingSettings CurrentLoggingSettings(int16_t subIntervalSeconds, const LogSetup& setup) {
  LoggingSettings settings;
  // Sign-extended: a slot read back as 65535 shows as 4294967295 and fails
  // the loggable check rather than passing as a small number.
  settings.subInterval = static_cast<unsigned>(static_cast<int>(subIntervalSeconds));
  for (int slot = 0; slot < reg::kSlotCount; ++slot)
    settings.slots[slot] = static_cast<unsigned>(static_cast<int>(setup.logSlots[slot]));
  settings.method = setup.logControl & kOneShotBit;
  return settings;
}

bool StartLogging(ModbusLink& link, const Meter& meter, LoggingSettings& settings, LogSetup& setup, StatusLog& log) {
  if (!SlotsLoggable(settings)) {
    log.LogStatus(kIllegalSlotMessage);
    log.LogStatus(kStartFailedMessage);
    return false;
  }
  if (settings.method != 0 && settings.method != 1) settings.method = 0;
  setup.logControl = static_cast<int16_t>((setup.logControl & ~kOneShotBit) | settings.method);
  // The method is kept even when the sub-interval is refused below: the next
  // opening of the logging window shows the method last chosen.
  if (settings.subInterval < kMinSubInterval || settings.subInterval > kMaxSubInterval) {
    log.LogStatus(kIllegalSubIntervalMessage);
    log.LogStatus(kStartFailedMessage);
    return false;
  }
  // One piece on the link, and written again whole after the meter was busy
  // with another master's log reading: the restart command comes first.
  const int slave = meter.address;
  if (!WaitWhileBusy(link, slave, log, [&] {
        return AttemptOutcome(link, WriteLoggingSetup(link, slave, settings, setup.logControl, log));
      })) {
    log.LogStatus(log.StopRequested()                         ? kStartStoppedMessage
                  : GatewayRefusedWrite(link, ResultException) ? WriteFailureText(link, ResultException)
                                                               : kStartFailedMessage);
    return false;
  }
  log.LogStatus(kStartedMessage);
  return true;
}
