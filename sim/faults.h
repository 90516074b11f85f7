#pragma once
// Faults a meter shows on request, one for each failure a master must
// recognise: silence (timeout), an answer too long (bytes after it or noise
// before it), cut, an exception, a bad CRC, another slave's address, another
// function, a wrong byte count, a write echo with another value, a pause in
// the middle of a frame and a late answer.

#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "sim/rtu.h"

enum class FaultKind {
  None,
  Silent,     // no answer, the request is not heard (a write is not applied)
  Oversize,   // the answer and ARG bytes more (default 100), in one burst
  Noise,      // ARG bytes of line noise (default 100), then the answer, in one burst
  Cut,        // the answer without its last ARG bytes (default 3)
  Exception,  // exception code ARG (default 4) instead of the answer; nothing applied
  BadCrc,     // one bit of the CRC flipped
  WrongAddr,  // answered as slave ARG (default: own address + 1)
  WrongFunc,  // function code + 1, CRC recomputed
  BadCount,   // byte count + 2, length and CRC right (reads, identification)
  Echo,       // a write's echo carries the value with bit 0 flipped
  Pause,      // ARG ms of silence after the first half of the answer
  Delay,      // ARG ms more before the answer
  Late,       // the answer held back until the next request comes in, then sent before its answer
};

struct Fault {
  FaultKind kind = FaultKind::None;
  int arg = 0;
  int remaining = 0;     // requests still to affect; 0: until cleared
  int onlyAddress = -1;  // else only requests touching this register address
};

std::optional<FaultKind> ParseFaultKind(std::string_view name);
// pause and delay need a number of milliseconds.
bool FaultNeedsArg(FaultKind kind);
// "KIND" or "KIND:ARG" with the kind's default argument filled in; an error
// text in *error when it does not parse.
std::optional<Fault> ParseFaultText(std::string_view faultText, std::string* error);
// Default ARG when none is given.
int DefaultFaultArg(FaultKind kind);
const char* FaultKindName(FaultKind kind);

bool FaultMatches(const Fault& fault, const Request& request);

// The answer as it goes on the line: chunks, each sent delay seconds after
// the previous one is out (the first: after the request).
struct AnswerChunk {
  double delay = 0;
  std::vector<uint8_t> bytes;
};
using AnswerPlan = std::vector<AnswerChunk>;

// Applies the byte and timing faults to a normal answer. Silent and
// Exception are decided before the answer exists (see SimBus).
AnswerPlan ShapeAnswer(const Fault& fault, std::vector<uint8_t> answer, double turnaround);

// The random fault mode: each answer is spoiled with a chance per kind, drawn
// from a seeded generator so that a run can be repeated. The kinds are those
// a noisy line or a slow meter shows; a delay is long enough to pass every
// read's timeout at 9600 baud and up (600 + m ms, m at most 2 x 125 + 25 for
// our reads; slower lines wait longer, and see it as a slow answer).
constexpr int kRandomDelayMs = 1000;
constexpr FaultKind kRandomFaultKinds[] = {FaultKind::BadCrc,   FaultKind::Cut,       FaultKind::Oversize,
                                           FaultKind::WrongAddr, FaultKind::WrongFunc, FaultKind::Silent,
                                           FaultKind::Delay,    FaultKind::Late};
constexpr int kRandomFaultKindCount = sizeof kRandomFaultKinds / sizeof kRandomFaultKinds[0];

class RandomFaults {
 public:
  // "P" spreads a total chance P evenly over every kind; "KIND=P,KIND=P"
  // names each ("badcrc=0.01,late=0.002"); "off" or "0" spoils nothing.
  // Chances lie in 0..1 and add up to at most 1. Empty optional with a
  // reason in *error otherwise.
  static std::optional<RandomFaults> Parse(std::string_view text, uint32_t seed, std::string* error);
  // The fault for the next answer (kind None for most).
  Fault Draw();
  bool Active() const;

 private:
  double chance_[kRandomFaultKindCount] = {};
  std::mt19937 generator_;
};
