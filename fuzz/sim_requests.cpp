// qm4sim's side of the line: its request framing and the bus's dispatch, as
// the simulator's loop drives them. Input: the bytes the master side writes,
// cut into writes at each byte 0xFE that follows a 0xFD (so a corpus of real
// frames stays readable); each write comes 10 ms after the one before and
// the line falls silent at the end.

#include <cstdint>
#include <vector>

#include "sim/rtu.h"
#include "sim/sim_bus.h"

namespace {
MeterSetup Meter(int address, Model model) {
  MeterSetup setup;
  setup.address = address;
  setup.model = model;
  return setup;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr double kSilence = 0.05;
  constexpr double kGap = 0.01;
  double now = 1000.0;
  SimBus bus(nullptr);
  bus.AddMeter(Meter(3, Model::QM4C), now);
  bus.AddMeter(Meter(7, Model::QM4A), now);
  bus.AddMeter(Meter(9, Model::QM4B), now);
  RequestFramer framer(kSilence);
  std::vector<Request> requests;
  auto serve = [&] {
    for (const Request& request : requests) bus.Handle(request, now);
    requests.clear();
  };
  size_t start = 0;
  for (size_t i = 0; i <= size; ++i) {
    const bool cut = i == size || (i > 0 && data[i - 1] == 0xFD && data[i] == 0xFE);
    if (!cut) continue;
    framer.Feed(data + start, i - start, now, &requests);
    serve();
    now += kGap;
    framer.CheckSilence(now, &requests);
    serve();
    start = i;
  }
  now += 1;
  framer.CheckSilence(now, &requests);
  serve();
  return 0;
}
