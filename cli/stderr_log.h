#pragma once
// The logging messages of pylaxctl: on stderr, and in "log.txt" like the
// logging window's. On a terminal a download shows a progress bar instead of
// its stream of messages.

#include <string>

#include "bus/status_log.h"

class StderrLog : public StatusLog {
 public:
  // progressBar: draw the bar (stderr is a terminal) and keep the messages
  // for the end; otherwise print every message as it comes.
  StderrLog(bool progressBar, const StopToken& stop) : StatusLog(&stop), progressBar_(progressBar) {}
  void Show(const std::string& message, const std::string& stampedLine) override;
  void ShowStatusOnly(const std::string& message) override;
  void Progress(long done, long total) override;
  // Said at once, the bar or not: a wait of up to a minute must not look
  // like a hang.
  void Waiting(const std::string& message) override;
  // Ends the bar's line and prints the last message (the outcome).
  void Finish();

 private:
  bool progressBar_;
  bool barDrawn_ = false;
  std::string last_;
};
