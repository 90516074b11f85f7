#include "sim/sim_bus.h"

#include <cstdio>

bool SimBus::AddMeter(const MeterSetup& setup, double now) {
  if (setup.address < 1 || setup.address > 255 || stations_.count(setup.address)) return false;
  stations_[setup.address].meter = std::make_unique<SimMeter>(setup, now);
  return true;
}

SimMeter* SimBus::Find(int address) {
  const auto it = stations_.find(address);
  return it == stations_.end() ? nullptr : it->second.meter.get();
}

std::vector<SimMeter*> SimBus::Meters() {
  std::vector<SimMeter*> all;
  for (auto& [address, station] : stations_) all.push_back(station.meter.get());
  return all;
}

bool SimBus::SetFault(int address, const Fault& fault) {
  const auto it = stations_.find(address);
  if (it == stations_.end()) return false;
  it->second.fault = fault;
  return true;
}

void SimBus::Advance(double now) {
  for (auto& [address, station] : stations_) station.meter->Advance(now);
}

// Address 0 reaches every meter and none answers; only writes make sense so.
void SimBus::Broadcast(const Request& request, double now) {
  if (request.function != 6) return;
  for (auto& [address, station] : stations_) {
    if (station.meter->Write(request.first, static_cast<uint16_t>(request.count), now) == 0)
      Emit("write " + std::to_string(address) + " " + std::to_string(request.first) + " " +
           std::to_string(request.count));
  }
}

void SimBus::ReportRequest(const SimMeter& meter, const Request& request) {
  const std::string address = std::to_string(meter.Address());
  if (request.function == 3)
    Emit("read " + address + " " + std::to_string(request.first) + " " + std::to_string(request.count));
  else if (request.function == 17)
    Emit("id " + address);
  else if (request.function != 6)
    Emit("other " + address + " " + std::to_string(request.function));
}

std::vector<uint8_t> SimBus::Answer(SimMeter& meter, const Request& request, double now) {
  const uint8_t slave = request.slave;
  switch (request.function) {
    case 3: {
      uint16_t values[kSimMaxRegistersPerRead];
      const uint8_t code = meter.Read(request.first, request.count, now, values);
      return code ? ExceptionAnswer(slave, 3, code) : ReadAnswer(slave, values, request.count);
    }
    case 6: {
      const auto value = static_cast<uint16_t>(request.count);
      const uint8_t code = meter.Write(request.first, value, now);
      if (code) return ExceptionAnswer(slave, 6, code);
      Emit("write " + std::to_string(slave) + " " + std::to_string(request.first) + " " +
           std::to_string(value));
      return WriteEcho(slave, request.first, value);
    }
    case 17:
      return IdAnswer(slave, meter.SlaveIdByte(), meter.IdentificationText());
    default:
      return ExceptionAnswer(slave, request.function, kExceptionIllegalFunction);
  }
}

Fault SimBus::FaultFor(Station& station, const Request& request) {
  if (FaultMatches(station.fault, request)) {
    const Fault fault = station.fault;
    if (station.fault.remaining > 0 && --station.fault.remaining == 0) station.fault = Fault{};
    return fault;
  }
  return random_ ? random_->Draw() : Fault{};
}

AnswerPlan SimBus::Answered(const Request& request, double now) {
  const auto it = stations_.find(request.slave);
  if (request.slave == 0 || it == stations_.end()) {
    if (request.slave == 0) Broadcast(request, now);
    journal_.Record(request, FaultKind::None, {});
    return {};
  }
  Station& station = it->second;
  const Fault fault = FaultFor(station, request);
  ReportRequest(*station.meter, request);
  if (fault.kind == FaultKind::Silent) {
    journal_.Record(request, fault.kind, {});
    return {};
  }
  if (fault.kind == FaultKind::Exception) {
    const std::vector<uint8_t> answer =
        ExceptionAnswer(request.slave, request.function, static_cast<uint8_t>(fault.arg));
    journal_.Record(request, fault.kind, answer);
    return ShapeAnswer(Fault{}, answer, turnaround_);
  }
  std::vector<uint8_t> answer = Answer(*station.meter, request, now);
  journal_.Record(request, fault.kind, answer);
  AnswerPlan plan = ShapeAnswer(fault, std::move(answer), turnaround_);
  if (fault.kind != FaultKind::Late) return plan;
  held_ = std::move(plan);
  return {};
}

AnswerPlan SimBus::Handle(const Request& request, double now) {
  AnswerPlan plan = std::move(held_);
  held_.clear();
  AnswerPlan answer = Answered(request, now);
  plan.insert(plan.end(), std::make_move_iterator(answer.begin()), std::make_move_iterator(answer.end()));
  return plan;
}

void SimBus::HeardTail(double gapSeconds, double silenceSeconds) {
  journal_.RecordTail(gapSeconds, silenceSeconds);
  char text[64];
  std::snprintf(text, sizeof text, "tail %.3f %.3f", gapSeconds * 1000, silenceSeconds * 1000);
  Emit(text);
}
