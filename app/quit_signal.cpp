#include "app/quit_signal.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

#include "app/standins/step_log.h"

namespace {

// A handler may only do async-signal-safe work, so it writes a byte to a
// pipe and the event loop, watching the pipe's other end, quits in its own
// time. The handler takes no argument: the pipe is where it can find it.
int quitPipe[2] = {-1, -1};

void OnQuitSignal(int) {
  const int savedErrno = errno;
  const char byte = 'q';
  const ssize_t written = ::write(quitPipe[1], &byte, 1);
  (void)written;  // a full pipe already holds a quit request
  errno = savedErrno;
}

void SetQuitSignalHandler(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

QuitOnSignal::QuitOnSignal(std::function<void()> quit) : quit_(std::move(quit)) {
  if (::pipe2(quitPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  notifier_ = std::make_unique<QSocketNotifier>(quitPipe[0], QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
    char byte;
    while (::read(quitPipe[0], &byte, 1) > 0) {
    }
    quit_();
  });
  SetQuitSignalHandler(OnQuitSignal);
  RecordStep("QuitOnSignal");
}

QuitOnSignal::~QuitOnSignal() {
  if (!notifier_) return;
  SetQuitSignalHandler(SIG_DFL);
  notifier_.reset();
  ::close(quitPipe[0]);
  ::close(quitPipe[1]);
  quitPipe[0] = quitPipe[1] = -1;
}
