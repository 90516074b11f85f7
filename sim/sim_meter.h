#pragma once
// One simulated QM4 meter: its registers as the master reads and writes them.
//
// What each model has (addresses; a read or write touching anything else is
// answered with exception 2, illegal data address):
//   all models  0..4     integer readings (register numbers 1..5: kWh pair, kW, kVAr, kVA)
//               128      command register (reads 0)
//               137..140 scale exponents: current -2, voltage -1, power -2, energy -1
//               145      error word (register number 146), 0 unless set
//               256..265 float pairs of kWh (twice), kW, kVAr, kVA
//   QM4B, QM4C  0..41    all integer readings (register numbers 1..42)
//               256..335 all forty float pairs
//   QM4C        149..177 logging and clock registers (150..153, 159, 163, 164 read 0)
//               7999..13758 the log data window: entry k of the selected slot
//               at 7999 + k; entries not logged yet, and every entry while
//               the selector (157) is 0, read 0 rather than an exception, as
//               the window is always there
// The QM4C's slots start as register numbers 1, 2, 3, 6, 8, 9, 26, 261, 262
// and 0 (kWh pair, kW, PF, VLN, current, Hz, the kW float pair, free), so a
// fresh or prefilled log has something in every column type.
// So a QM4A, the energy-and-power model, answers the poll's read of 4
// registers from 258 but refuses the 48-register reading block.
//
// Writes (function 6) are taken at 128 on every model and, on a QM4C, at 149
// (sub-interval, any value; 0 stops live logging), 154..156
// (clock parts; a field out of range is exception 3), 157 (slot selector
// 0..10, else exception 3), 158 (control word) and 168..177 (slots, any
// value: the master decides what it logs). Other existing registers are
// read-only and refuse writes with exception 2.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "modbus/model.h"
#include "sim/meter_clock.h"
#include "sim/meter_log.h"
#include "sim/readings.h"

// The model codes the master names them by (modbus/model.h).
enum class Model { QM4A = ModelQM4A, QM4B = ModelQM4B, QM4C = ModelQM4C };
std::optional<Model> ParseModel(std::string_view name);

// Modbus exception codes the meters answer with.
constexpr uint8_t kExceptionIllegalFunction = 1;
constexpr uint8_t kExceptionIllegalAddress = 2;
constexpr uint8_t kExceptionIllegalValue = 3;
constexpr uint8_t kExceptionDeviceFailure = 4;

// Modbus allows at most 125 registers in one read response; the simulated
// meters refuse more, though the master may ask for up to its kMaxReadCount.
constexpr int kSimMaxRegistersPerRead = 125;

struct MeterSetup {
  int address = 3;
  Model model = Model::QM4C;
  uint32_t seed = 1;
  int subInterval = 900;  // 96 entries a day: 5760 entries are 60 days
  // Readings stand still and the log takes no entries of its own (prefill,
  // capture and erase still work), so tests see fixed values.
  bool staticValues = false;
  // Every log entry holds its sequence number in all ten slots (tests tell
  // the logging instant of each downloaded value by it).
  bool sequenceLog = false;
  double clockDrift = 0;  // seconds a minute the clock gains (--clock-drift)
};

class SimMeter {
 public:
  SimMeter(const MeterSetup& setup, double now);

  int Address() const { return address_; }
  Model GetModel() const { return model_; }
  // "Orvant QM4C Power Meter": the scan finds the model name in it.
  std::string IdentificationText() const;
  // Another identification text (tests: a device that names no model, one
  // naming two); empty brings the meter's own back.
  void SetIdentificationText(const std::string& text) { idText_ = text; }
  uint8_t SlaveIdByte() const;

  // Brings energies, demands and the log up to time now.
  void Advance(double now);

  // Function 3: 0 and count values, or an exception code.
  uint8_t Read(int first, int count, double now, uint16_t* values);
  // Function 6: 0 when applied, or an exception code (nothing changed).
  uint8_t Write(int address, uint16_t value, double now);

  // Control channel. Get reads one register as a read would.
  std::optional<uint16_t> Get(int address, double now);
  // Meter state (exponents, error word, logging and clock registers, the
  // command register) changes as the meter's own setting, without a write's
  // range checks except the clock's; any other existing register is pinned
  // to the value until Unpin. False when the register does not exist or a
  // clock field is out of range.
  bool Set(int address, uint16_t value, double now);
  bool Unpin(int address);
  void UnpinAll() { pins_.clear(); }
  void SetStatic(bool on, double now);
  void SetClock(const struct tm& fields, double now);
  // Its clock registers read 0xFFFF (every field out of range, as after a
  // flat backup battery) until a write sets them.
  void InvalidateClock() { clockInvalid_ = true; }
  void SetClockDrift(double secondsPerMinute, double now);
  // Erases the log and fills it with n entries one period apart, the newest
  // at the meter's time now, each holding the values the registers had then
  // (phase time -k periods for entry k, whatever the static setting, so
  // every seed gives the same values).
  void Prefill(long n, double now);
  // Takes one log entry now, as at a sub-interval's end (a test hook).
  void CaptureNow(double now);
  // n sub-intervals pass at once (a test hook, static meters too): the clock
  // moves on by them and each ends with an entry one sub-interval after the
  // newest, so the entries keep their spacing whatever time a test took.
  void ElapseSubIntervals(long n, double now);

  bool Exists(int address) const;

 private:
  struct Snapshot {
    Readings q;
    int64_t calendar;
  };

  bool Writable(int address) const;
  bool HasLogging() const { return model_ == Model::QM4C; }
  double PhaseTime(double now) const;
  Snapshot TakeSnapshot(double phaseTime, int64_t calendar) const;
  uint16_t ValueOf(int address, const Snapshot& s) const;
  uint16_t IntegerRegister(int registerNumber, const Snapshot& s) const;
  uint16_t ScaledValue(Quantity q, double value) const;
  LogEntry Capture(const Snapshot& s) const;
  void LogEntryAt(int64_t calendar, double now);
  bool ApplyState(int address, uint16_t value, double now);
  void RunCommand(uint16_t value, double now);
  // Entry spacing in seconds; a sub-interval of 0 still spaces prefilled
  // entries and counts days by 1 s.
  int Period() const { return subInterval_ < 1 ? 1 : subInterval_; }

  int address_;
  Model model_;
  LoadParams load_;
  MeterClock clock_;
  MeterLog log_;
  double start_;
  double lastAdvance_;
  bool static_;
  std::string idText_;
  bool clockInvalid_ = false;
  double frozenPhase_ = 0;
  double kwh_, kvah_, kvarh_;
  double demand_[3] = {};  // kW, kVAr, kVA
  double maxDemand_[3] = {};
  int16_t exponents_[4] = {-2, -1, -2, -1};  // current, voltage, power, energy
  uint16_t errorWord_ = 0;
  uint16_t subInterval_;
  uint16_t selector_ = 0;
  uint16_t control_ = 0;
  uint16_t slots_[reg::kSlotCount] = {1, 2, 3, 6, 8, 9, 26, 261, 262, 0};
  double nextCapture_;
  std::map<int, uint16_t> pins_;
};
