#include "sim/line_output.h"

#include <algorithm>
#include <cmath>
#include <limits>

void LineOutput::SetBaud(int baud) { baud_ = baud > 0 ? baud : 0; }

void LineOutput::Schedule(const AnswerPlan& plan, double now) {
  double t = now;
  for (size_t i = 0; i < plan.size(); ++i) {
    t = i == 0 ? std::max(now + plan[i].delay, lineFreeAt_) : t + plan[i].delay;
    queue_.push_back({t, std::deque<uint8_t>(plan[i].bytes.begin(), plan[i].bytes.end())});
    t += CharTime() * static_cast<double>(plan[i].bytes.size());
  }
  lineFreeAt_ = std::max(lineFreeAt_, t);
}

std::vector<uint8_t> LineOutput::TakeDue(double now) {
  std::vector<uint8_t> out;
  const double charTime = CharTime();
  while (!queue_.empty() && queue_.front().at <= now) {
    Timed& head = queue_.front();
    size_t n = head.bytes.size();
    if (charTime > 0) {
      // Bytes whose start time has passed; a late wake-up sends a few at once.
      const auto due = static_cast<size_t>(std::floor((now - head.at) / charTime)) + 1;
      n = std::min(n, due);
    }
    out.insert(out.end(), head.bytes.begin(), head.bytes.begin() + static_cast<long>(n));
    head.bytes.erase(head.bytes.begin(), head.bytes.begin() + static_cast<long>(n));
    head.at += charTime * static_cast<double>(n);
    if (!head.bytes.empty()) break;
    queue_.pop_front();
  }
  return out;
}

double LineOutput::NextDue() const {
  return queue_.empty() ? std::numeric_limits<double>::infinity() : queue_.front().at;
}
