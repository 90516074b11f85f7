#pragma once
// The activity log: every message of the logging work goes through LogStatus,
// which stamps it, shows it (the window's Status field and list, or pylaxctl's
// stderr) and appends it to "log.txt" in the current directory.

#include <optional>
#include <string>

#include "util/stop_token.h"

constexpr const char* kLogFileName = "log.txt";
constexpr const char* kStoppedLogFileName = "log-stopped.txt";

// Empties (or creates) "log.txt"; true when it cannot be created. True means
// failure here, so a caller must not drop it.
[[nodiscard]] bool ResetLogFile();
// "log.txt" as it was before a download empties it. A stopped download keeps
// the previous data file, so it puts this log back beside that file and sets
// its own aside as "log-stopped.txt".
class PreviousLogFile {
 public:
  PreviousLogFile();  // reads "log.txt" as it is now
  // Renames this run's "log.txt" to "log-stopped.txt" (replacing an older
  // one) and writes the previous text back as "log.txt" (none when there was
  // none). When the previous text cannot be written, this run's log stays.
  void SetStoppedRunAside() const;

 private:
  std::optional<std::string> text_;  // none: there was no "log.txt"
};

// "MM/DD/YY HH:MM:SS: message" for the given local time.
std::string StampedLine(const std::string& message, const struct tm& localTime);

class StatusLog {
 public:
  // stop: the program's stop (SIGINT, SIGTERM), which ends a logging start
  // or download at its next safe point, with the slot selection released
  // and the old data file kept; none for a log nothing stops.
  explicit StatusLog(const StopToken* stop = nullptr) : stop_(stop) {}
  virtual ~StatusLog() = default;
  // Takes the local time once, shows the message and the stamped line, then
  // appends the stamped line and "\n" to "log.txt" (opened and closed again
  // for every message; a file that cannot be opened is skipped silently).
  void LogStatus(const std::string& message);

  // Where the message goes on screen: the bare message and the stamped line.
  virtual void Show(const std::string& message, const std::string& stampedLine) = 0;
  // The download empties the message list before it empties "log.txt".
  virtual void ClearMessages() {}
  // Text put straight into the status field, bypassing the log (used when
  // "log.txt" itself cannot be created).
  virtual void ShowStatusOnly(const std::string& message) { Show(message, message); }
  // Download progress: entries read so far of the total over all slots.
  virtual void Progress(long done, long total) { (void)done; (void)total; }
  // Called before each transaction of a logging start or a download, where
  // the operation may stop: the window lets its close box and Escape through
  // here, and they may ask it to stop.
  virtual void AtSafePoint() {}
  // Asked after AtSafePoint: once true, the operation sends nothing more (a
  // selected slot is still released), keeps the previous data file and ends
  // as on a failure. The program's stop asks it of every log made with it.
  virtual bool StopRequested() const { return stop_ != nullptr && stop_->Requested(); }
  // A wait for a meter busy with another master, or the end of it: logged
  // as any message; a log that shows nothing says it where its user sees it.
  virtual void Waiting(const std::string& message) { LogStatus(message); }
  // The end of a wait that lasted as long as the link waits: said through
  // Waiting and kept, as what the operation failed of.
  void GaveUpWaiting(const std::string& message) {
    gaveUp_ = message;
    Waiting(message);
  }
  // The last GaveUpWaiting's message; empty while no wait ended so.
  const std::string& GaveUpText() const { return gaveUp_; }
  // Whether LogStatus appends to "log.txt": the log's own work (the window,
  // pylaxctl's start and download) does; work that only reads the log for
  // another record of it (the archive's sync) does not.
  virtual bool KeepsLogFile() const { return true; }

 private:
  const StopToken* stop_;
  std::string gaveUp_;
};
