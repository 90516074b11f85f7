// The link's framing as a property: answers to random reads and writes,
// written on the other end of a pseudo terminal cut, extended, corrupted in
// one byte or paused at a random point, get the result code the checks give
// such a frame, under both framings, and a result of 0 never comes with a
// value the answer did not carry. Seeded, so a failure repeats.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "modbus/frame.h"
#include "modbus/link.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kSlave = 1;
constexpr int kCases = 40;  // per framing: about two seconds each

enum class Spoil { None, Cut, Extend, Corrupt, ShortPause, LongPause };

// What goes on the line: the answer's bytes, and where they pause.
struct Plan {
  Bytes bytes;
  size_t pauseAt = 0;  // bytes before the pause
  int pauseMs = 0;
};

Bytes WithCrc(Bytes frame) {
  const uint16_t crc = Crc16(frame.data(), frame.size());
  frame.push_back(static_cast<uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<uint8_t>(crc >> 8));
  return frame;
}

// The slave's end of the pseudo terminal: takes the request and writes the
// planned answer.
class PtySlave {
 public:
  PtySlave() {
    int slave = -1;
    if (openpty(&master_, &slave, nullptr, nullptr, nullptr) == 0) {
      path_ = ttyname(slave);
      close(slave);
    }
  }
  ~PtySlave() { close(master_); }
  const std::string& Path() const { return path_; }

  void Answer(const Plan& plan, size_t requestLength) {
    uint8_t request[16];
    for (size_t got = 0; got < requestLength;) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 2000) <= 0) return;
      const ssize_t n = read(master_, request + got, requestLength - got);
      if (n <= 0) return;
      got += static_cast<size_t>(n);
    }
    Write(plan.bytes.data(), plan.pauseAt);
    std::this_thread::sleep_for(std::chrono::milliseconds(plan.pauseMs));
    Write(plan.bytes.data() + plan.pauseAt, plan.bytes.size() - plan.pauseAt);
  }

 private:
  void Write(const uint8_t* bytes, size_t n) {
    if (n > 0) [[maybe_unused]] ssize_t written = write(master_, bytes, n);
  }
  int master_ = -1;
  std::string path_;
};

class FramingProperty : public ::testing::TestWithParam<Framing> {
 protected:
  void SetUp() override {
    link_.SetSettings(LinkSettings{GetParam(), {}, {}});
    ASSERT_TRUE(link_.Open(line_.Path().c_str(), 38400)) << link_.OpenFailureText();
  }
  PtySlave line_;
  ModbusLink link_;
};

// The result a spoiled answer gets when `asked` bytes were asked for. A single changed byte always changes the CRC; a pause
// longer than the 35 ms of silence ends the response there under both
// framings (an incomplete answer falls back to the silence); bytes after a
// whole answer are dropped by length and judged with it by silence.
ModbusResult Expected(Spoil spoil, const Plan& plan, int asked, Framing framing) {
  switch (spoil) {
    case Spoil::None:
    case Spoil::ShortPause: return ResultOk;
    case Spoil::Corrupt: return ResultCrc;
    case Spoil::Cut: return plan.bytes.empty() ? ResultTimeout : ResultBadLength;
    case Spoil::LongPause: return plan.pauseAt == 0 ? ResultOk : ResultBadLength;
    case Spoil::Extend:
      if (framing == Framing::Length) return ResultOk;
      return plan.bytes.size() > static_cast<size_t>(asked) ? ResultTooLarge : ResultBadLength;
  }
  return ResultOk;
}

TEST_P(FramingProperty, ResultIsTheChecksAndValuesAreTheAnswers) {
  std::mt19937 random(14);
  auto upTo = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n + 1)); };
  for (int c = 0; c < kCases; ++c) {
    const bool read = upTo(1) == 0;
    const int count = 1 + upTo(124);
    const int address = upTo(1023);
    std::vector<int> carried(static_cast<size_t>(read ? count : 1));
    Bytes answer{kSlave, static_cast<uint8_t>(read ? 3 : 6)};
    if (read) {
      answer.push_back(static_cast<uint8_t>(2 * count));
      for (int& v : carried) {
        v = upTo(65535);
        answer.insert(answer.end(), {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v & 0xFF)});
      }
    } else {
      carried[0] = upTo(65535);
      answer.insert(answer.end(), {static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address & 0xFF),
                                   static_cast<uint8_t>(carried[0] >> 8), static_cast<uint8_t>(carried[0] & 0xFF)});
    }
    answer = WithCrc(answer);
    const size_t length = answer.size();
    const int asked = read ? 2 * count + 25 : 12;
    const auto spoil = static_cast<Spoil>(upTo(5));
    Plan plan{answer};
    if (spoil == Spoil::Cut) plan.bytes.resize(length - 1 - static_cast<size_t>(upTo(static_cast<int>(length) - 1)));
    if (spoil == Spoil::Extend)
      for (int k = upTo(40); k >= 0; --k) plan.bytes.push_back(static_cast<uint8_t>(random()));
    if (spoil == Spoil::Corrupt) plan.bytes[static_cast<size_t>(upTo(static_cast<int>(length) - 1))] ^= 1 + upTo(254);
    if (spoil == Spoil::ShortPause || spoil == Spoil::LongPause) {
      plan.pauseAt = static_cast<size_t>(upTo(static_cast<int>(length) - 1));
      plan.pauseMs = spoil == Spoil::ShortPause ? upTo(5) : 80 + upTo(40);
    }
    std::thread slave([&] { line_.Answer(plan, kRequestLength); });
    std::vector<int> values(static_cast<size_t>(count), -1);
    const ModbusResult result = read ? link_.ReadHoldingRegisters(kSlave, 0, count, values.data())
                                     : link_.WriteSingleRegister(kSlave, address, carried[0]);
    slave.join();
    const std::string what = "case " + std::to_string(c) + ": spoil " + std::to_string(static_cast<int>(spoil)) +
                             (read ? " read " : " write ") + std::to_string(count) + ", " +
                             std::to_string(plan.bytes.size()) + " bytes, pause after " + std::to_string(plan.pauseAt);
    EXPECT_EQ(result, Expected(spoil, plan, asked, GetParam())) << what;
    // A failed read leaves the caller's values as they were.
    const std::vector<int> untouched(values.size(), -1);
    if (read) {
      EXPECT_EQ(values, result == ResultOk ? carried : untouched) << what;
    }
    link_.DrainInput();  // what a spoiled answer left on the line
  }
}

INSTANTIATE_TEST_SUITE_P(Link, FramingProperty, ::testing::Values(Framing::Silence, Framing::Length),
                         [](const auto& info) { return std::string(FramingName(info.param)); });

}  // namespace
