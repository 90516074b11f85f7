#include "tests/sim/raw_line.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "modbus/frame.h"

namespace {
int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

RawLine::RawLine(const std::string& path) {
  fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0) return;
  termios t{};
  tcgetattr(fd_, &t);
  cfmakeraw(&t);
  tcsetattr(fd_, TCSANOW, &t);
}

RawLine::~RawLine() {
  if (fd_ >= 0) close(fd_);
}

void RawLine::Send(const Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

Bytes RawLine::Receive(int quietMs, int totalMs) {
  Bytes got;
  const int64_t end = NowMs() + totalMs;
  for (;;) {
    const int64_t left = end - NowMs();
    if (left <= 0) break;
    // Before the first byte wait for the whole total; after it, for quiet.
    const int wait = got.empty() ? static_cast<int>(left) : std::min<int>(quietMs, static_cast<int>(left));
    pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, wait) <= 0) break;
    uint8_t buf[512];
    const ssize_t n = read(fd_, buf, sizeof buf);
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
  }
  return got;
}

Bytes RawLine::ReceiveCount(size_t count, int totalMs) {
  Bytes got;
  const int64_t end = NowMs() + totalMs;
  while (got.size() < count && NowMs() < end) {
    pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(end - NowMs())) <= 0) break;
    uint8_t buf[512];
    const ssize_t n = read(fd_, buf, std::min(sizeof buf, count - got.size()));
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
  }
  return got;
}

void RawLine::Drain() {
  uint8_t buf[512];
  pollfd p = {fd_, POLLIN, 0};
  while (poll(&p, 1, 0) > 0 && read(fd_, buf, sizeof buf) > 0) {
  }
}

Bytes WithCrc(Bytes body) {
  const uint16_t crc = Crc16(body.data(), body.size());
  body.push_back(static_cast<uint8_t>(crc & 0xFF));
  body.push_back(static_cast<uint8_t>(crc >> 8));
  return body;
}

Bytes ReadRequest(int slave, int first, int count) {
  return WithCrc({static_cast<uint8_t>(slave), 3, static_cast<uint8_t>(first >> 8),
                  static_cast<uint8_t>(first), static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)});
}

Bytes WriteRequest(int slave, int address, int value) {
  return WithCrc({static_cast<uint8_t>(slave), 6, static_cast<uint8_t>(address >> 8),
                  static_cast<uint8_t>(address), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
}

Bytes IdRequest(int slave) { return WithCrc({static_cast<uint8_t>(slave), 0x11}); }

std::vector<int> Registers(const Bytes& answer) {
  std::vector<int> regs;
  for (size_t i = 3; i + 4 <= answer.size(); i += 2)
    regs.push_back(answer[i] << 8 | answer[i + 1]);
  return regs;
}

float PairFloat(const std::vector<int>& regs, int offset) {
  const uint32_t bits = static_cast<uint32_t>(regs[offset]) << 16 | static_cast<uint32_t>(regs[offset + 1]);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

bool CrcHolds(const Bytes& frame) { return !frame.empty() && Crc16(frame.data(), frame.size()) == 0; }
