#include "bus/status_log.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "util/replacement_file.h"

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

PreviousLogFile::PreviousLogFile() {
  FILE* file = std::fopen(kLogFileName, "rb");
  if (file == nullptr) return;
  std::string text;
  char block[4096];
  for (size_t n; (n = std::fread(block, 1, sizeof block, file)) > 0;) text.append(block, n);
  // A log.txt that cannot be read (a folder of that name) has no text to put back.
  if (!std::ferror(file)) text_ = std::move(text);
  std::fclose(file);
}

std::string StoppedLogName() {
  // Far more than anyone stops in one folder; past it the last is replaced.
  constexpr int kMostKept = 999;
  std::string name = kStoppedLogFileName;
  const std::string stem(kStoppedLogFileName, std::strlen(kStoppedLogFileName) - 4);
  for (int n = 2; n <= kMostKept && ::access(name.c_str(), F_OK) == 0; ++n) name = stem + "-" + std::to_string(n) + ".txt";
  return name;
}

void PreviousLogFile::SetStoppedRunAside(const std::string& asideName) const {
  if (!text_) {
    std::rename(kLogFileName, asideName.c_str());
    return;
  }
  // Written beside first: once this run's log is renamed, nothing but the
  // commit stands between the previous text and its name.
  ReplacementFile previous(kLogFileName);
  if (!previous.Open() || std::fwrite(text_->data(), 1, text_->size(), previous.Stream()) != text_->size()) return;
  if (std::rename(kLogFileName, asideName.c_str()) == 0) previous.Commit();
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
