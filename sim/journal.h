#pragma once
// The journal of what the bus served: one line per request heard, so that a
// program soaking the master against the simulator can check every value it
// accepted against the value the meter sent, and every failure against the
// fault that caused it.
//
//   SEQ SLAVE FUNCTION FIRST COUNT FAULT SERVED
//
// SEQ counts requests from 1; FIRST and COUNT as in Request; FAULT a fault
// kind name ("none" for a clean answer); SERVED what the answer carried before
// any fault spoiled it: "values V1 V2 ..." for a read, "echo ADDRESS VALUE"
// for a write, "exception CODE", "id" for an identification, or "nothing"
// (no meter at that address, a broadcast).
//
//   SEQ tail GAP_MS SILENCE_MS
//
// for bytes that began GAP_MS after the frame before on a paced line,
// sooner than the SILENCE_MS a frame must keep: taken for that frame's
// tail, not a request, and not answered.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/faults.h"
#include "sim/rtu.h"

class Journal {
 public:
  Journal() = default;
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Creates or empties the file; false when it cannot be written.
  bool Open(const std::string& path);
  // Written at once, so a reader sees every request answered so far.
  void Record(const Request& request, FaultKind fault, const std::vector<uint8_t>& answer);
  void RecordTail(double gapSeconds, double silenceSeconds);

 private:
  std::FILE* file_ = nullptr;
  long sequence_ = 0;
};

// The SERVED field for an unspoiled answer.
std::string ServedText(const std::vector<uint8_t>& answer);
