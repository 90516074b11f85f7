#pragma once
// The events the page's streams (/events) send: the poll appends, each
// stream's own server thread waits and writes, so a slow or stalled reader
// never holds up the poll. Bounded: the newest kKept events; a stream that
// falls further behind starts again from a snapshot.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

class EventLog {
 public:
  static constexpr size_t kKept = 256;

  // One event, already in the stream's form ("event: ...\ndata: ...\n\n").
  void Publish(std::string event);
  // The number of the newest event: a stream that has sent its snapshot
  // takes the events after it.
  uint64_t Newest() const;

  enum class Wait { Events, Behind, Quiet, Closed };
  // Waits up to timeout for events after *seen: Events (appended to events,
  // *seen moved on), Behind (those after *seen are no longer kept: *seen is
  // moved to the newest; send a snapshot), Quiet (nothing came) or Closed.
  Wait Next(uint64_t* seen, std::vector<std::string>* events, std::chrono::milliseconds timeout);
  // Every stream ends; none is taken after.
  void Close();

  // A stream begins (false: already maxStreams open, or closed) and ends.
  bool Join(int maxStreams);
  void Leave();
  int Streams() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> events_;  // numbered newest_ - size + 1 .. newest_
  uint64_t newest_ = 0;
  bool closed_ = false;
  int streams_ = 0;
};
