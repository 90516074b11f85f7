#pragma once
// What the console's status line says about its line and the meter it polls,
// and when a port that went away is tried again. Kept apart from the window
// so that the rules can be checked without one.

#include <chrono>
#include <ctime>
#include <string>

// The status line: the state first and short, the device's own words after
// it (a second line, or the tooltip where that does not hold them); trouble
// (the port lost or refused, a write failed, the meter silent) is coloured.
struct LineStatusText {
  std::string state;
  std::string detail;
  bool trouble = false;
  // Both, as one text: the tooltip.
  std::string Whole() const { return detail.empty() ? state : state + "\n" + detail; }
};

class LineWatch {
 public:
  using Clock = std::chrono::steady_clock;
  // Often enough that the readings are back within a few seconds of the
  // device, rarely enough that a missing one costs nothing.
  static constexpr std::chrono::seconds kPortRetry{3};

  // The port (its name, "COM1:") went away, as goneText says: said until
  // PortBack, and tried again from kPortRetry after now. Once per loss.
  void PortLost(const std::string& portName, const std::string& goneText, Clock::time_point now);
  void PortBack();
  bool PortIsLost() const { return !lostDetail_.empty(); }
  // A Rescan came while the port is lost: the line says the scan waits.
  void RescanWaits() { rescanWaits_ = true; }
  // True when the lost port is due a try at now; the next is due kPortRetry later.
  bool RetryDue(Clock::time_point now);

  // Opening portName failed for reason: said until the next open.
  void OpenRefused(const std::string& portName, const std::string& reason);
  bool OpenWasRefused() const { return !refusedDetail_.empty(); }
  // What Rescan says while the port it would scan could not be opened.
  std::string CannotScanText() const;

  // A command (its button's name) wrote to the meter and failed as
  // failure says; said until the next command or scan.
  void CommandFailed(const std::string& command, const std::string& failure);
  void CommandSucceeded() { commandState_.clear(); }

  // A poll of address ended at now; answered: some read of it got an
  // answer. The first unanswered poll is the one the status names.
  void PollEnded(int address, bool answered, time_t now);
  // A scan of start..end at baudRate listed found meters.
  void ScanEnded(int found, unsigned start, unsigned end, int baudRate);

  // The lost or refused port before the paused poll, before a failed
  // command, before the meter not answering, before the empty scan; an
  // empty state when all is well.
  LineStatusText Status(bool pollPaused) const;

 private:
  std::string portName_;        // "COM1", while the port is lost or refused
  std::string lostDetail_;      // while the port is lost
  bool rescanWaits_ = false;
  Clock::time_point nextTry_{};
  std::string refusedDetail_;   // while the last open failed
  std::string commandState_, commandDetail_;
  int silentAddress_ = -1;      // the polled meter that stopped answering, -1 for none
  time_t silentSince_ = 0;
  std::string scanText_;        // the last scan found nothing
};

// "COM1 lost: trying again every 3 s" (the port's name without its colon).
std::string PortLostText(const std::string& portName);
// "03 not answering since 00:27:11", the address as the device list shows it, since in local time.
std::string NotAnsweringText(int address, time_t since);
// "No meter answered at 1 to 10, 38400 baud".
std::string NoMeterText(unsigned start, unsigned end, int baudRate);
constexpr const char* kPollPausedText = "Poll paused while the logging window is open";
