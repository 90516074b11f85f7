#include "sim/faults.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

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
    {FaultKind::Noise, "noise"},        {FaultKind::Late, "late"},
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

const char* FaultKindName(FaultKind kind) {
  for (const KindName& k : kKindNames)
    if (kind == k.kind) return k.name;
  return "none";
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

namespace {
std::optional<double> ParseChance(std::string_view text) {
  const std::string copy(text);
  char* end = nullptr;
  const double chance = std::strtod(copy.c_str(), &end);
  if (copy.empty() || *end != '\0' || !(chance >= 0 && chance <= 1)) return std::nullopt;
  return chance;
}

int RandomKindIndex(FaultKind kind) {
  for (int i = 0; i < kRandomFaultKindCount; ++i)
    if (kRandomFaultKinds[i] == kind) return i;
  return -1;
}
}  // namespace

std::optional<RandomFaults> RandomFaults::Parse(std::string_view text, uint32_t seed, std::string* error) {
  RandomFaults faults;
  faults.generator_.seed(seed);
  if (text == "off") return faults;
  if (const std::optional<double> total = ParseChance(text)) {
    for (double& chance : faults.chance_) chance = *total / kRandomFaultKindCount;
    return faults;
  }
  double sum = 0;
  for (size_t start = 0; start <= text.size();) {
    const size_t comma = std::min(text.find(',', start), text.size());
    const std::string_view entry = text.substr(start, comma - start);
    start = comma + 1;
    const size_t equals = entry.find('=');
    const std::optional<FaultKind> kind = ParseFaultKind(entry.substr(0, equals));
    const int index = kind ? RandomKindIndex(*kind) : -1;
    const std::optional<double> chance =
        equals == std::string_view::npos ? std::nullopt : ParseChance(entry.substr(equals + 1));
    if (index < 0 || !chance) {
      *error = "bad random fault '" + std::string(entry) + "' (want KIND=CHANCE, KIND one of badcrc, cut, "
               "oversize, wrongaddr, wrongfunc, silent, delay, late)";
      return std::nullopt;
    }
    faults.chance_[index] = *chance;
    sum += *chance;
  }
  if (sum > 1) {
    *error = "random fault chances add up to more than 1";
    return std::nullopt;
  }
  return faults;
}

bool RandomFaults::Active() const {
  for (double chance : chance_)
    if (chance > 0) return true;
  return false;
}

Fault RandomFaults::Draw() {
  double roll = std::uniform_real_distribution<double>(0.0, 1.0)(generator_);
  Fault fault;
  for (int i = 0; i < kRandomFaultKindCount; ++i) {
    roll -= chance_[i];
    if (roll < 0) {
      fault.kind = kRandomFaultKinds[i];
      fault.arg = fault.kind == FaultKind::Delay ? kRandomDelayMs : DefaultFaultArg(fault.kind);
      break;
    }
  }
  return fault;
}
