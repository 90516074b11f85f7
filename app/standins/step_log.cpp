#include "app/standins/step_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

namespace {
std::vector<std::string>& Steps() {
  static std::vector<std::string> steps;
  return steps;
}

// One write() of the whole line with O_APPEND, so lines never interleave
// and a reader sees whole lines only.
void AppendToLogFile(const std::string& step) {
  const char* path = std::getenv("PYLAX_STEP_LOG");
  if (path == nullptr || *path == '\0') return;
  int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::string line = step + "\n";
  ssize_t written = ::write(fd, line.data(), line.size());
  (void)written;  // a diagnostic record; a full disk must not stop the program
  ::close(fd);
}
}  // namespace

void RecordStep(const std::string& step) {
  Steps().push_back(step);
  AppendToLogFile(step);
}

const std::vector<std::string>& RecordedSteps() { return Steps(); }

void ClearRecordedSteps() { Steps().clear(); }
