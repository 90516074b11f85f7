#include "cli/stderr_log.h"

#include <algorithm>
#include <cstdio>

namespace {
constexpr int kBarWidth = 40;
constexpr long kSlots = 10;
}  // namespace

void StderrLog::Show(const std::string& message, const std::string&) {
  last_ = message;
  if (!progressBar_) std::fprintf(stderr, "%s\n", message.c_str());
}

void StderrLog::Waiting(const std::string& message) {
  LogStatus(message);
  if (!progressBar_) return;
  std::fprintf(stderr, "%s%s\n", barDrawn_ ? "\n" : "", message.c_str());
  barDrawn_ = false;
}

void StderrLog::ShowStatusOnly(const std::string& message) { Show(message, message); }

// "[#####-----]  slot 3/10  1234 of 57600 entries", redrawn in place.
void StderrLog::Progress(long done, long total) {
  if (!progressBar_ || total <= 0) return;
  const long perSlot = total / kSlots;
  const long slot = perSlot > 0 ? std::min(kSlots, done / perSlot + (done % perSlot != 0 || done == 0)) : kSlots;
  const int filled = static_cast<int>(done * kBarWidth / total);
  char bar[kBarWidth + 1];
  for (int i = 0; i < kBarWidth; ++i) bar[i] = i < filled ? '#' : '-';
  bar[kBarWidth] = '\0';
  std::fprintf(stderr, "\r[%s]  slot %ld/%ld  %ld of %ld entries", bar, slot, kSlots, done, total);
  std::fflush(stderr);
  barDrawn_ = true;
}

void StderrLog::Finish() {
  if (!progressBar_) return;
  if (barDrawn_) std::fputs("\n", stderr);
  if (!last_.empty()) std::fprintf(stderr, "%s\n", last_.c_str());
}
