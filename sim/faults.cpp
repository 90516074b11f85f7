#include "sim/faults.h"

#include <charconv>

namespace {

struct KindName {
  FaultKind kind;
  const char* name;
};

constexpr KindName kKindNames[] = {
    {FaultKind::None, "none"},          {FaultKind::Silent, "silent"},
    {FaultKind::Oversize, "oversize"},  {FaultKind::Cut, "cut"},
    {FaultKind::Exception, "exception"}, {FaultKind::BadCrc, "badcrc"},
    {FaultKind::WrongAddr, "wrongaddr"}, {FaultKind::WrongFunc, "wrongfunc"},
    {FaultKind::BadCount, "badcount"},  {FaultKind::Echo, "echo"},
    {FaultKind::Pause, "pause"},        {FaultKind::Delay, "delay"},
    {FaultKind::Noise, "noise"},
};

// The master asks for 20 bytes more than a read answer holds, 4 more for a
// write and up to 100 for an identification: 100 extra bytes overflow all.
constexpr int kOversizeBytes = 100;
// Dropping 3 bytes takes the CRC and one data byte: no length matches.
constexpr int kCutBytes = 3;

void Recrc(std::vector<uint8_t>* frame) {
  frame->resize(frame->size() - 2);
  AppendCrc(frame);
}

void MangleBytes(const Fault& fault, std::vector<uint8_t>* f) {
  const uint8_t function = (*f)[1];
  switch (fault.kind) {
    case FaultKind::Oversize:
      f->insert(f->end(), static_cast<size_t>(fault.arg), 0x55);
      break;
    case FaultKind::Noise:
      // 0xFF is what a floating line reads as; no answer starts that way, so
      // even a master that frames by length sees no answer's CRC in it.
      f->insert(f->begin(), static_cast<size_t>(fault.arg), 0xFF);
      break;
    case FaultKind::Cut: {
      const size_t keep = f->size() > static_cast<size_t>(fault.arg) ? f->size() - fault.arg : 1;
      f->resize(keep);
      break;
    }
    case FaultKind::BadCrc:
      f->back() ^= 0x01;
      break;
    case FaultKind::WrongAddr:
      (*f)[0] = static_cast<uint8_t>(fault.arg > 0 ? fault.arg : (*f)[0] + 1);
      Recrc(f);
      break;
    case FaultKind::WrongFunc:
      (*f)[1] = static_cast<uint8_t>(function + 1);
      Recrc(f);
      break;
    case FaultKind::BadCount:
      if (function == 3 || function == 17) {
        (*f)[2] = static_cast<uint8_t>((*f)[2] + 2);
        Recrc(f);
      }
      break;
    case FaultKind::Echo:
      if (function == 6) {
        (*f)[5] ^= 0x01;
        Recrc(f);
      }
      break;
    default:
      break;
  }
}

}  // namespace

std::optional<FaultKind> ParseFaultKind(std::string_view name) {
  for (const KindName& k : kKindNames)
    if (name == k.name) return k.kind;
  return std::nullopt;
}

bool FaultNeedsArg(FaultKind kind) { return kind == FaultKind::Pause || kind == FaultKind::Delay; }

int DefaultFaultArg(FaultKind kind) {
  switch (kind) {
    case FaultKind::Oversize:
    case FaultKind::Noise: return kOversizeBytes;
    case FaultKind::Cut: return kCutBytes;
    case FaultKind::Exception: return 4;  // slave device failure
    default: return 0;
  }
}

std::optional<Fault> ParseFaultText(std::string_view faultText, std::string* error) {
  const size_t colon = faultText.find(':');
  const std::string_view name = faultText.substr(0, colon);
  const std::optional<FaultKind> kind = ParseFaultKind(name);
  if (!kind) {
    *error = "unknown fault kind '" + std::string(name) + "'";
    return std::nullopt;
  }
  Fault fault;
  fault.kind = *kind;
  fault.arg = DefaultFaultArg(*kind);
  if (colon == std::string_view::npos) {
    if (FaultNeedsArg(*kind)) {
      *error = std::string(name) + " needs a number of milliseconds";
      return std::nullopt;
    }
    return fault;
  }
  const std::string_view arg = faultText.substr(colon + 1);
  const auto [end, ec] = std::from_chars(arg.data(), arg.data() + arg.size(), fault.arg);
  if (ec != std::errc() || end != arg.data() + arg.size() || fault.arg < 0 || fault.arg > 600000) {
    *error = "bad fault argument '" + std::string(arg) + "'";
    return std::nullopt;
  }
  return fault;
}

bool FaultMatches(const Fault& fault, const Request& request) {
  if (fault.kind == FaultKind::None) return false;
  if (fault.onlyAddress < 0) return true;
  if (request.function == 3)
    return fault.onlyAddress >= request.first && fault.onlyAddress < request.first + request.count;
  return request.function == 6 && request.first == fault.onlyAddress;
}

AnswerPlan ShapeAnswer(const Fault& fault, std::vector<uint8_t> answer, double turnaround) {
  MangleBytes(fault, &answer);
  double delay = turnaround;
  if (fault.kind == FaultKind::Delay) delay += fault.arg / 1000.0;
  if (fault.kind == FaultKind::Pause && answer.size() > 1) {
    const auto half = answer.begin() + static_cast<long>(answer.size() / 2);
    return {{delay, std::vector<uint8_t>(answer.begin(), half)},
            {fault.arg / 1000.0, std::vector<uint8_t>(half, answer.end())}};
  }
  return {{delay, std::move(answer)}};
}
