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
#include "sim/sim_meter.h"

class SimBus {
 public:
  // Receives "write 3 128 16640", "read 3 258 48", "id 3", "other 3 16".
  using EventSink = std::function<void(const std::string&)>;

  explicit SimBus(EventSink sink) : sink_(std::move(sink)) {}

  // False when the address is outside 1..255 or already taken.
  bool AddMeter(const MeterSetup& setup, double now);
  SimMeter* Find(int address);
  std::vector<SimMeter*> Meters();

  // Replaces the meter's fault (kind None clears it); false for no meter.
  bool SetFault(int address, const Fault& fault);
  void SetTurnaround(double seconds) { turnaround_ = seconds; }

  // The answer to one request; empty when nothing goes on the line (another
  // slave's address, a broadcast, a silent fault).
  AnswerPlan Handle(const Request& request, double now);
  void Advance(double now);

 private:
  struct Station {
    std::unique_ptr<SimMeter> meter;
    Fault fault;
  };

  void Broadcast(const Request& request, double now);
  std::vector<uint8_t> Answer(SimMeter& meter, const Request& request, double now);
  void ReportRequest(const SimMeter& meter, const Request& request);
  void Emit(const std::string& event) { if (sink_) sink_(event); }

  EventSink sink_;
  std::map<int, Station> stations_;
  double turnaround_ = 0;
};
