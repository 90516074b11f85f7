#include "bus/line_watch.h"

#include <cstdio>

namespace {
// "COM1:" as the line names it: "COM1".
std::string ShortName(const std::string& portName) {
  return !portName.empty() && portName.back() == ':' ? portName.substr(0, portName.size() - 1) : portName;
}
}  // namespace

void LineWatch::PortLost(const std::string& portName, const std::string& goneText, Clock::time_point now) {
  if (!lostDetail_.empty()) return;
  portName_ = ShortName(portName);
  lostDetail_ = goneText.empty() ? "the device has gone away" : goneText;
  nextTry_ = now + kPortRetry;
  // The meter is silent because the port is gone; once it is back, the
  // next poll says afresh whether it answers.
  silentAddress_ = -1;
}

void LineWatch::PortBack() {
  lostDetail_.clear();
  rescanWaits_ = false;
}

bool LineWatch::RetryDue(Clock::time_point now) {
  if (lostDetail_.empty() || now < nextTry_) return false;
  nextTry_ = now + kPortRetry;
  return true;
}

void LineWatch::OpenRefused(const std::string& portName, const std::string& reason) {
  portName_ = ShortName(portName);
  refusedDetail_ = reason.empty() ? "the port could not be opened" : reason;
}

std::string LineWatch::CannotScanText() const {
  return "Cannot scan: " + portName_ + " could not be opened (" + refusedDetail_ +
         "). Pick the port again once it is free, or another port.";
}

void LineWatch::CommandFailed(const std::string& command, const std::string& failure) {
  commandState_ = command + " failed";
  commandDetail_ = failure;
}

void LineWatch::PollEnded(int address, bool answered, time_t now) {
  if (!lostDetail_.empty()) return;
  if (answered) {
    silentAddress_ = -1;
  } else if (silentAddress_ != address) {
    silentAddress_ = address;
    silentSince_ = now;
  }
}

void LineWatch::ScanEnded(int found, unsigned start, unsigned end, int baudRate) {
  scanText_ = found == 0 ? NoMeterText(start, end, baudRate) : std::string();
  silentAddress_ = -1;
  commandState_.clear();
}

LineStatusText LineWatch::Status(bool pollPaused) const {
  if (!lostDetail_.empty()) {
    const std::string state = rescanWaits_ ? portName_ + " lost: Rescan waits for it, trying again every " +
                                                 std::to_string(kPortRetry.count()) + " s"
                                           : PortLostText(portName_);
    return {state, lostDetail_, true};
  }
  if (!refusedDetail_.empty()) return {portName_ + " not opened", refusedDetail_, true};
  if (pollPaused) return {kPollPausedText, "", false};
  if (!commandState_.empty()) return {commandState_, commandDetail_, true};
  if (silentAddress_ >= 0) return {NotAnsweringText(silentAddress_, silentSince_), "", true};
  return {scanText_, "", false};
}

std::string PortLostText(const std::string& portName) {
  return ShortName(portName) + " lost: trying again every " + std::to_string(LineWatch::kPortRetry.count()) + " s";
}

std::string NotAnsweringText(int address, time_t since) {
  struct tm local {};
  localtime_r(&since, &local);
  char text[64];
  std::snprintf(text, sizeof text, "%02d not answering since %02d:%02d:%02d", address, local.tm_hour, local.tm_min,
                local.tm_sec);
  return text;
}

std::string NoMeterText(unsigned start, unsigned end, int baudRate) {
  return "No meter answered at " + std::to_string(start) + " to " + std::to_string(end) + ", " +
         std::to_string(baudRate) + " baud";
}
