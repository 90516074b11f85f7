#pragma once
// A StatusLog that keeps what the window would have shown.

#include <string>
#include <utility>
#include <vector>

#include "bus/status_log.h"

class RecordingLog : public StatusLog {
 public:
  void Show(const std::string& message, const std::string& stampedLine) override {
    messages.push_back(message);
    stampedLines.push_back(stampedLine);
  }
  void ClearMessages() override {
    ++clears;
    messagesAtClear = messages.size();
  }
  void ShowStatusOnly(const std::string& message) override { statusOnly.push_back(message); }
  void Progress(long done, long total) override { progress.emplace_back(done, total); }

  std::vector<std::string> messages;
  std::vector<std::string> stampedLines;
  std::vector<std::string> statusOnly;
  std::vector<std::pair<long, long>> progress;
  int clears = 0;
  size_t messagesAtClear = 0;
};
