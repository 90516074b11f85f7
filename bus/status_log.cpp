#include "bus/status_log.h"

#include <cstdio>
#include <ctime>

namespace {
// The stamped line is built in a fixed buffer: 19 characters of stamp leave
// 236 for the message, far more than any message of ours needs; a longer
// one is cut, never written past the buffer.
constexpr size_t kStampedLineSize = 256;
}  // namespace

bool ResetLogFile() {
  FILE* file = std::fopen(kLogFileName, "w");
  if (file == nullptr) return true;
  std::fclose(file);
  return false;
}

std::string StampedLine(const std::string& message, const struct tm& localTime) {
  char date[16];
  char time[16];
  std::strftime(date, sizeof date, "%m/%d/%y", &localTime);
  std::strftime(time, sizeof time, "%H:%M:%S", &localTime);
  char line[kStampedLineSize];
  std::snprintf(line, sizeof line, "%s %s: %s", date, time, message.c_str());
  return line;
}

void StatusLog::LogStatus(const std::string& message) {
  const time_t now = std::time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  const std::string line = StampedLine(message, local);
  Show(message, line);
  if (!KeepsLogFile()) return;
  FILE* file = std::fopen(kLogFileName, "a");
  if (file == nullptr) return;  // the message is then on screen only
  std::fprintf(file, "%s\n", line.c_str());
  std::fclose(file);
}
