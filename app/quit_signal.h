#pragma once
// SIGINT and SIGTERM end the program in an orderly way, so the console closes
// its port and the application stops the simulated meters on its usual way
// out instead of leaving them to the kernel.

#include <functional>
#include <memory>

class QSocketNotifier;

// While one exists (after the Qt application object), SIGINT and SIGTERM run
// quit from the event loop; afterwards they act as before again. A windowless
// run quits its application; the interactive run closes its windows, since it
// runs only the dialogs' own modal loops, which the application's quit does
// not reach.
class QuitOnSignal {
 public:
  explicit QuitOnSignal(std::function<void()> quit);
  ~QuitOnSignal();
  QuitOnSignal(const QuitOnSignal&) = delete;
  QuitOnSignal& operator=(const QuitOnSignal&) = delete;

 private:
  std::function<void()> quit_;
  std::unique_ptr<QSocketNotifier> notifier_;
};
