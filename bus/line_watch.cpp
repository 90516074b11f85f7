#include "bus/line_watch.h"

#include <cstdio>

void LineWatch::PortLost(const std::string& portName, const std::string& goneText, Clock::time_point now) {
  if (!lostText_.empty()) return;
  lostText_ = PortLostText(portName, goneText);
  nextTry_ = now + kPortRetry;
  // The meter is silent because the port is gone; once it is back, the
  // next poll says afresh whether it answers.
  silentAddress_ = -1;
}

void LineWatch::PortBack() { lostText_.clear(); }

bool LineWatch::RetryDue(Clock::time_point now) {
  if (lostText_.empty() || now < nextTry_) return false;
  nextTry_ = now + kPortRetry;
  return true;
}

void LineWatch::PollEnded(int address, bool answered, time_t now) {
  if (!lostText_.empty()) return;
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
}

std::string LineWatch::Status(bool pollPaused) const {
  if (!lostText_.empty()) return lostText_;
  if (pollPaused) return kPollPausedText;
  if (silentAddress_ >= 0) return NotAnsweringText(silentAddress_, silentSince_);
  return scanText_;
}

std::string PortLostText(const std::string& portName, const std::string& goneText) {
  // The retry comes before the reason: a long device path is what a narrow
  // line cuts.
  return portName + " port lost, trying again every " + std::to_string(LineWatch::kPortRetry.count()) +
         " s: " + goneText;
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
