#pragma once
// What the console's status line says about its line and the meter it polls,
// and when a port that went away is tried again. Kept apart from the window
// so that the rules can be checked without one.

#include <chrono>
#include <ctime>
#include <string>

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
  bool PortIsLost() const { return !lostText_.empty(); }
  // True when the lost port is due a try at now; the next is due kPortRetry later.
  bool RetryDue(Clock::time_point now);

  // A poll of address ended at now; answered: some read of it got an
  // answer. The first unanswered poll is the one the status names.
  void PollEnded(int address, bool answered, time_t now);
  // A scan of start..end at baudRate listed found meters.
  void ScanEnded(int found, unsigned start, unsigned end, int baudRate);

  // The status line: the lost port before the paused poll, before the
  // meter not answering, before the empty scan; empty when all is well.
  std::string Status(bool pollPaused) const;

 private:
  std::string lostText_;        // while the port is lost
  Clock::time_point nextTry_{};
  int silentAddress_ = -1;      // the polled meter that stopped answering, -1 for none
  time_t silentSince_ = 0;
  std::string scanText_;        // the last scan found nothing
};

// "COM1: port lost, trying again every 3 s: " and goneText.
std::string PortLostText(const std::string& portName, const std::string& goneText);
// "03 not answering since 00:27:11", the address as the device list shows it, since in local time.
std::string NotAnsweringText(int address, time_t since);
// "No meter answered at 1 to 10, 38400 baud".
std::string NoMeterText(unsigned start, unsigned end, int baudRate);
constexpr const char* kPollPausedText = "Poll paused while the logging window is open";
