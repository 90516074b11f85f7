#pragma once
// The gateway's answers from the monitor's last round: each block of holding
// registers the monitor read from a meter, kept with the time it came, so
// that a client's read lying wholly within one that is young enough is
// answered at once, without the line. A write to a meter (the monitor's or
// a client's) drops that meter's blocks; the log window (7999 on), whose
// rows depend on the slot selected, is never kept.

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "modbus/link.h"

class GatewayCache : public LinkWatch {
 public:
  using Clock = std::chrono::steady_clock;
  // maxAgeSeconds 0: nothing is kept, every read goes on the line.
  explicit GatewayCache(double maxAgeSeconds);

  // The answer PDU of a read (function 3) of count registers from first at
  // slave (room for 2 + 2 * count bytes), from a block read at most the
  // maximum age before now; false when none holds it all.
  bool Answer(int slave, int first, int count, Clock::time_point now, uint8_t* pdu, int* pduLength) const;
  void Keep(int slave, int first, int count, const int* values, Clock::time_point at);
  void Drop(int slave);  // 0 (a broadcast): every meter

  void Read(int slave, int firstAddress, int count, const int* values) override;
  void Written(int slave) override { Drop(slave); }

 private:
  struct Block {
    int first = 0;
    std::vector<uint16_t> values;
    Clock::time_point at;
  };
  Clock::duration maxAge_;
  bool on_;
  mutable std::mutex lock_;
  std::map<int, std::vector<Block>> blocks_;  // by slave
};
