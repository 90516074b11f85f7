#include "sim/rtu.h"

#include <limits>

#include "modbus/frame.h"

namespace {

constexpr long kNeedMore = 0;
constexpr long kUnknownLength = -1;
// The longest request is 9 + 255 bytes; more pending is noise.
constexpr size_t kMaxPending = 512;

// The length of the request at the start of buf, kNeedMore when not yet
// known, kUnknownLength for a function whose length no byte tells.
long RequestLength(const std::vector<uint8_t>& buf) {
  if (buf.size() < 2) return kNeedMore;
  switch (buf[1]) {
    case 1: case 2: case 3: case 4: case 5: case 6: case 8:
      return 8;
    case 7: case 11: case 12: case 17:
      return 4;
    case 15: case 16:
      return buf.size() < 7 ? kNeedMore : 9 + static_cast<long>(buf[6]);
    default:
      return kUnknownLength;
  }
}

// Where a whole request of known length with a good CRC starts after
// position 0, or 0 when none does.
size_t NextGoodFrame(const std::vector<uint8_t>& buf) {
  for (size_t i = 1; i + 4 <= buf.size(); ++i) {
    const std::vector<uint8_t> rest(buf.begin() + static_cast<long>(i), buf.end());
    const long length = RequestLength(rest);
    if (length > 0 && rest.size() >= static_cast<size_t>(length) &&
        Crc16(rest.data(), static_cast<size_t>(length)) == 0)
      return i;
  }
  return 0;
}

}  // namespace

void RequestFramer::Feed(const uint8_t* data, size_t n, double now, std::vector<Request>* out) {
  if (n == 0) return;
  CheckSilence(now, out);
  buffer_.insert(buffer_.end(), data, data + n);
  lastByte_ = now;
  Extract(out);
  TrimNoise();
}

void RequestFramer::Extract(std::vector<Request>* out) {
  for (;;) {
    long length = RequestLength(buffer_);
    if (length == kUnknownLength) {
      // Noise or a foreign function: skip to a good request behind it, if
      // one is already in; else the silence decides.
      const size_t skip = NextGoodFrame(buffer_);
      if (skip == 0) return;
      buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(skip));
      length = RequestLength(buffer_);
    }
    if (length <= 0 || buffer_.size() < static_cast<size_t>(length)) return;
    if (Crc16(buffer_.data(), static_cast<size_t>(length)) == 0)
      Emit(static_cast<size_t>(length), out);
    else
      buffer_.erase(buffer_.begin());
  }
}

// What stays pending longer than any request is noise: keep only the tail
// that could still begin one.
void RequestFramer::TrimNoise() {
  if (buffer_.size() > kMaxPending)
    buffer_.erase(buffer_.begin(), buffer_.end() - static_cast<long>(kMaxPending));
}

void RequestFramer::Emit(size_t length, std::vector<Request>* out) {
  Request r;
  r.slave = buffer_[0];
  r.function = buffer_[1];
  if (length == 8) {
    r.first = buffer_[2] << 8 | buffer_[3];
    r.count = buffer_[4] << 8 | buffer_[5];
  }
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(length));
  out->push_back(std::move(r));
}

void RequestFramer::CheckSilence(double now, std::vector<Request>* out) {
  if (buffer_.empty() || now < SilenceDeadline()) return;
  if (buffer_.size() >= 4 && RequestLength(buffer_) == kUnknownLength &&
      Crc16(buffer_.data(), buffer_.size()) == 0)
    Emit(buffer_.size(), out);
  buffer_.clear();
}

double RequestFramer::SilenceDeadline() const {
  return buffer_.empty() ? std::numeric_limits<double>::infinity() : lastByte_ + silence_;
}

void AppendCrc(std::vector<uint8_t>* frame) {
  const uint16_t crc = Crc16(frame->data(), frame->size());
  frame->push_back(static_cast<uint8_t>(crc & 0xFF));
  frame->push_back(static_cast<uint8_t>(crc >> 8));
}

std::vector<uint8_t> ReadAnswer(uint8_t slave, const uint16_t* values, int count) {
  std::vector<uint8_t> f = {slave, 3, static_cast<uint8_t>(2 * count)};
  for (int i = 0; i < count; ++i) {
    f.push_back(static_cast<uint8_t>(values[i] >> 8));
    f.push_back(static_cast<uint8_t>(values[i] & 0xFF));
  }
  AppendCrc(&f);
  return f;
}

std::vector<uint8_t> WriteEcho(uint8_t slave, int address, uint16_t value) {
  std::vector<uint8_t> f = {slave, 6, static_cast<uint8_t>(address >> 8),
                            static_cast<uint8_t>(address & 0xFF), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value & 0xFF)};
  AppendCrc(&f);
  return f;
}

std::vector<uint8_t> IdAnswer(uint8_t slave, uint8_t slaveId, const std::string& text) {
  // Byte count: slave ID byte, run indicator (0xFF: running) and the text.
  std::vector<uint8_t> f;
  f.reserve(text.size() + 7);
  f.assign({slave, 17, static_cast<uint8_t>(text.size() + 2), slaveId, 0xFF});
  for (const char c : text) f.push_back(static_cast<uint8_t>(c));
  AppendCrc(&f);
  return f;
}

std::vector<uint8_t> ExceptionAnswer(uint8_t slave, uint8_t function, uint8_t code) {
  std::vector<uint8_t> f = {slave, static_cast<uint8_t>(function | 0x80), code};
  AppendCrc(&f);
  return f;
}
