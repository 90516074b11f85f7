#pragma once
// The simulator's transmitter: answers wait for their turn on the line, and
// with a baud rate set each byte takes its character time (10 bits at 8N1:
// 1.042 ms at 9600 baud), as on a real line.

#include <cstdint>
#include <deque>
#include <vector>

#include "sim/faults.h"

class LineOutput {
 public:
  // 0 sends each chunk in one write.
  void SetBaud(int baud);
  int Baud() const { return baud_; }
  double CharTime() const { return baud_ > 0 ? 10.0 / baud_ : 0.0; }

  void Schedule(const AnswerPlan& plan, double now);
  // The bytes whose time has come by now, in order.
  std::vector<uint8_t> TakeDue(double now);
  // When the next byte is due; infinity when nothing waits.
  double NextDue() const;

 private:
  struct Timed {
    double at;  // when the first byte goes out
    std::deque<uint8_t> bytes;
  };
  std::deque<Timed> queue_;
  double lineFreeAt_ = 0;
  int baud_ = 0;
};
