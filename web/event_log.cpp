#include "web/event_log.h"

void EventLog::Publish(std::string event) {
  std::lock_guard<std::mutex> hold(mutex_);
  events_.push_back(std::move(event));
  if (events_.size() > kKept) events_.pop_front();
  ++newest_;
  changed_.notify_all();
}

uint64_t EventLog::Newest() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return newest_;
}

EventLog::Wait EventLog::Next(uint64_t* seen, std::vector<std::string>* events, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> hold(mutex_);
  if (!changed_.wait_for(hold, timeout, [&] { return closed_ || newest_ > *seen; })) return Wait::Quiet;
  if (closed_) return Wait::Closed;
  const uint64_t oldest = newest_ - events_.size() + 1;
  if (*seen + 1 < oldest) {
    *seen = newest_;
    return Wait::Behind;
  }
  for (uint64_t n = *seen + 1; n <= newest_; ++n) events->push_back(events_[n - oldest]);
  *seen = newest_;
  return Wait::Events;
}

void EventLog::Close() {
  std::lock_guard<std::mutex> hold(mutex_);
  closed_ = true;
  changed_.notify_all();
}

bool EventLog::Join(int maxStreams) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (closed_ || streams_ >= maxStreams) return false;
  ++streams_;
  return true;
}

void EventLog::Leave() {
  std::lock_guard<std::mutex> hold(mutex_);
  --streams_;
}

int EventLog::Streams() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return streams_;
}
