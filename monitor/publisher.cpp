#include "monitor/publisher.h"

#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>

#include "archive/archive.h"
#include "bus/poll_json.h"
#include "util/shown_text.h"
#include "util/utc_text.h"

void Say(const std::string& message) {
  std::fprintf(stderr, "pylaxctl: %s\n", TerminalText(message).c_str());
  std::fflush(stderr);
}

std::string ClockSetting::Json() const {
  return JsonObject({{"time", JsonString(UtcText(when))},
                     {"result", JsonString(ResultText(result))},
                     {"before", before ? std::to_string(*before) : JsonString("invalid")},
                     {"after", after ? std::to_string(*after) : "null"}});
}

std::string StateJson(const Meter& meter, const MeterState& state) {
  std::vector<JsonMember> members{{"time", JsonString(UtcText(state.time))}, {"meter", JsonString(MeterId(meter))}};
  for (JsonMember& member : ReadingMembers(state.fields)) members.push_back(std::move(member));
  if (state.archivedUpTo > 0) members.push_back({"archived", JsonString(UtcText(state.archivedUpTo))});
  if (state.clockDrift) members.push_back({"clock-drift", std::to_string(*state.clockDrift)});
  if (state.clockSet) members.push_back({"clock-set", state.clockSet->Json()});
  return JsonObject(members);
}

namespace {
// The whole line, or false when the reader is gone (EPIPE: SIGPIPE is
// ignored) or the descriptor fails.
bool WriteAll(int fd, const std::string& line) {
  for (size_t done = 0; done < line.size();) {
    const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}
}  // namespace

struct JsonLinesPublisher::Queue {
  explicit Queue(int descriptor) : fd(descriptor) {}
  const int fd;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> lines;
  size_t bytes = 0;
  bool writing = false;
  bool stopping = false;
  bool finished = false;
  unsigned long dropped = 0;

  void WriteUntilStopped() {
    std::unique_lock<std::mutex> hold(mutex);
    for (;;) {
      changed.wait(hold, [this] { return !lines.empty() || stopping; });
      if (lines.empty()) break;
      const std::string line = std::move(lines.front());
      lines.pop_front();
      bytes -= line.size();
      writing = true;
      hold.unlock();
      const bool written = WriteAll(fd, line);
      hold.lock();
      writing = false;
      if (!written) ++dropped;
      changed.notify_all();
    }
    finished = true;
    changed.notify_all();
  }
};

JsonLinesPublisher::JsonLinesPublisher(int fd)
    : queue_(std::make_shared<Queue>(fd)), writer_([queue = queue_] { queue->WriteUntilStopped(); }) {}

JsonLinesPublisher::~JsonLinesPublisher() {
  std::unique_lock<std::mutex> hold(queue_->mutex);
  queue_->stopping = true;
  queue_->changed.notify_all();
  const bool finished =
      !queue_->writing && queue_->changed.wait_for(hold, kDrainWait, [this] { return queue_->finished; });
  hold.unlock();
  if (finished)
    writer_.join();
  else
    writer_.detach();  // stuck in a write that only the process's end undoes
}

void JsonLinesPublisher::State(const Meter& meter, const MeterState& state) {
  const std::string line = StateJson(meter, state) + "\n";
  std::lock_guard<std::mutex> hold(queue_->mutex);
  if (queue_->bytes + line.size() > kQueueBytes) {
    ++queue_->dropped;
    return;
  }
  queue_->lines.push_back(line);
  queue_->bytes += line.size();
  queue_->changed.notify_all();
}

void JsonLinesPublisher::Stopping() {
  std::unique_lock<std::mutex> hold(queue_->mutex);
  queue_->changed.wait_for(hold, kDrainWait, [this] { return queue_->lines.empty() && !queue_->writing; });
  queue_->dropped += queue_->lines.size();
  queue_->lines.clear();
  queue_->bytes = 0;
  if (queue_->dropped > 0)
    std::fprintf(stderr, "pylaxctl: %lu JSON lines were dropped: stdout did not take them (its reader stalled or went away)\n",
                 queue_->dropped);
}
