#pragma once
// The activity log: every message of the logging work goes through LogStatus,
// which stamps it, shows it (the window's Status field and list, or pylaxctl's
// stderr) and appends it to "log.txt" in the current directory.

#include <atomic>
#include <csignal>
#include <string>

constexpr const char* kLogFileName = "log.txt";

// Empties (or creates) "log.txt"; true when it cannot be created. True means
// failure here, so a caller must not drop it.
[[nodiscard]] bool ResetLogFile();
// "MM/DD/YY HH:MM:SS: message" for the given local time.
std::string StampedLine(const std::string& message, const struct tm& localTime);

// Set to 1 (by a SIGINT or SIGTERM handler) to end what runs before its
// next transaction: a logging start or download at its next safe point,
// with the slot selection released and the old data file kept, and any other
// command of pylaxctl (its scans, its reads and writes). The program then
// ends. Never cleared by the program itself; tests reset it. Atomic, since
// a thread of its own reads it (InfluxDB's request watch), and lock-free, so
// that a signal handler may set it.
extern std::atomic<int> g_stopRequested;
static_assert(std::atomic<int>::is_always_lock_free);

class StatusLog {
 public:
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
  // as on a failure. A SIGINT or SIGTERM asks it of every log
  // (g_stopRequested).
  virtual bool StopRequested() const { return g_stopRequested != 0; }
  // Whether LogStatus appends to "log.txt": the log's own work (the window,
  // pylaxctl's start and download) does; work that only reads the log for
  // another record of it (the archive's sync) does not.
  virtual bool KeepsLogFile() const { return true; }
};
