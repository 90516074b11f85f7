#pragma once
// What the timing programs share: the simulated bus they measure against.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "modbus/line_io.h"
#include "modbus/link.h"
#include "sim/sim_launcher.h"

// The quiet a paced exchange ends with before the next request may start:
// under silence the 35 ms that end the answer (which cover the frame
// silence), by length the frame silence itself (1.75 ms at 38400 baud,
// 4.0 ms at 9600).
inline double QuietAfterAnswerMs(Framing framing, int baud) {
  if (framing == Framing::Silence) return LinkTimeouts{}.silenceMs;
  return std::chrono::duration<double, std::milli>(FrameSilence(baud)).count();
}

// Starts qm4sim (the built one, at path) with args and opens its line at
// baud on link. False, with the reason on stderr, when either fails.
inline bool StartAndOpenSim(SimLauncher& sim, ModbusLink& link, const std::vector<std::string>& args, int baud,
                            const char* path) {
  std::string error;
  if (!sim.Start(args, &error, path)) {
    std::fprintf(stderr, "qm4sim: %s\n", error.c_str());
    return false;
  }
  if (!link.Open(sim.LinkPath(), baud)) {
    std::fprintf(stderr, "Unable to open %s: %s\n", sim.LinkPath().c_str(), link.OpenFailureText().c_str());
    return false;
  }
  return true;
}

// The exchanges since the tally was last cleared and their bytes, as their
// trace entries show them ("Send->", "Recv->", three characters a byte):
// what the line had to carry.
struct LineTally {
  long exchanges = 0;
  long requestBytes = 0;
  long answerBytes = 0;
};
inline LineTally g_lineTally;

inline long TracedBytes(const char* line) {
  const char* end = std::strstr(line, "\r\n");
  const long chars = static_cast<long>(end != nullptr ? end - line : std::strlen(line)) - 6;
  return chars > 0 ? (chars + 1) / 3 : 0;
}

// Asked by a live trace ring after each exchange.
inline void TallyExchange(void* ring) {
  const TraceRing& trace = *static_cast<const TraceRing*>(ring);
  const char* entry = trace.entries[trace.newest];
  const char* recv = std::strstr(entry, "Recv->");
  if (recv == nullptr) return;
  ++g_lineTally.exchanges;
  g_lineTally.requestBytes += TracedBytes(entry);
  g_lineTally.answerBytes += TracedBytes(recv);
}

// Every exchange on link counted into g_lineTally from now on.
inline void TallyExchangesOf(ModbusLink& link) {
  link.Trace().live = 1;
  link.Trace().repaintRequest = TallyExchange;
  link.Trace().repaintContext = &link.Trace();
}
