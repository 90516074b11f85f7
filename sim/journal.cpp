#include "sim/journal.h"

Journal::~Journal() {
  if (file_) std::fclose(file_);
}

bool Journal::Open(const std::string& path) {
  file_ = std::fopen(path.c_str(), "w");
  return file_ != nullptr;
}

std::string ServedText(const std::vector<uint8_t>& answer) {
  if (answer.size() < 5) return "nothing";
  if (answer[1] & 0x80) return "exception " + std::to_string(answer[2]);
  auto word = [&](size_t at) { return std::to_string(answer[at] * 256 + answer[at + 1]); };
  switch (answer[1]) {
    case 3: {
      std::string text = "values";
      for (size_t at = 3; at + 3 < answer.size(); at += 2) text += " " + word(at);
      return text;
    }
    case 6:
      return "echo " + word(2) + " " + word(4);
    default:
      return "id";
  }
}

void Journal::Record(const Request& request, FaultKind fault, const std::vector<uint8_t>& answer) {
  if (!file_) return;
  std::fprintf(file_, "%ld %d %d %d %d %s %s\n", ++sequence_, request.slave, request.function, request.first,
               request.count, FaultKindName(fault), ServedText(answer).c_str());
  std::fflush(file_);
}

void Journal::RecordTail(double gapSeconds, double silenceSeconds) {
  if (!file_) return;
  std::fprintf(file_, "%ld tail %.3f %.3f\n", ++sequence_, gapSeconds * 1000, silenceSeconds * 1000);
  std::fflush(file_);
}
