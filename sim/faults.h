#pragma once
// Faults a meter shows on request, one for each failure a master must
// recognise: silence (timeout), an answer too long (bytes after it or noise
// before it), cut, an exception, a bad CRC, another slave's address, another
// function, a wrong byte count, a write echo with another value, a pause in
// the middle of a frame and a late answer.

#include <optional>
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
