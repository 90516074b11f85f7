#pragma once
// A bus of simulated meters behind one serial line: routes each request to
// its meter, applies that meter's fault, and reports what happened as event
// lines for whoever watches the simulator.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/faults.h"
#include "sim/journal.h"
#include "sim/sim_meter.h"

class SimBus {
 public:
  // Receives "write 3 128 16640", "read 3 258 48", "id 3", "other 3 16",
  // "tail 0.412 1.750" (bytes that began 0.412 ms after the frame before,
  // under the 1.750 ms of silence a frame needs).
  using EventSink = std::function<void(const std::string&)>;

  explicit SimBus(EventSink sink) : sink_(std::move(sink)) {}

  // False when the address is outside 1..255 or already taken.
  bool AddMeter(const MeterSetup& setup, double now);
  SimMeter* Find(int address);
  std::vector<SimMeter*> Meters();

  // Replaces the meter's fault (kind None clears it); false for no meter.
  bool SetFault(int address, const Fault& fault);
  void SetTurnaround(double seconds) { turnaround_ = seconds; }
  // Spoils answers at random (a meter's own fault, where it matches, wins).
  void SetRandomFaults(const RandomFaults& faults) { random_ = faults; }
  // Journals every request heard from now on; false when path cannot be written.
  bool OpenJournal(const std::string& path) { return journal_.Open(path); }
  // Bytes taken for the tail of the frame before (journal and event).
  void HeardTail(double gapSeconds, double silenceSeconds);

  // What goes on the line after one request: an answer held back by a late
  // fault, then the request's own answer; empty when nothing does (another
  // slave's address, a broadcast, a silent fault).
  AnswerPlan Handle(const Request& request, double now);
  void Advance(double now);

 private:
  struct Station {
    std::unique_ptr<SimMeter> meter;
    Fault fault;
  };

  AnswerPlan Answered(const Request& request, double now);
  Fault FaultFor(Station& station, const Request& request);
  void Broadcast(const Request& request, double now);
  std::vector<uint8_t> Answer(SimMeter& meter, const Request& request, double now);
  void ReportRequest(const SimMeter& meter, const Request& request);
  void Emit(const std::string& event) { if (sink_) sink_(event); }

  EventSink sink_;
  std::map<int, Station> stations_;
  double turnaround_ = 0;
  std::optional<RandomFaults> random_;
  Journal journal_;
  AnswerPlan held_;  // a late answer, waiting for the next request
};
