#pragma once
// The slave side of Modbus RTU: cutting requests out of the byte stream and
// building the answers. The CRC is the project's Crc16.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct Request {
  uint8_t slave = 0;
  uint8_t function = 0;
  int first = 0;  // function 3: first address; function 6: the address
  int count = 0;  // function 3: register count; function 6: the value
};

// Requests are framed as a slave must on a shared line: a frame whose length
// the function code tells (8 bytes for functions 1 to 6 and 8, 4 for 7, 11,
// 12 and 17, 9 + byte count for 15 and 16) is taken as soon as its bytes are
// in and its CRC holds. A frame whose CRC fails loses its first byte and the
// search goes on from the next, so a following good frame is still found.
// Bytes of unknown length wait for the line to fall silent, and whatever is
// pending then is one frame if its CRC holds, else noise that is dropped.
class RequestFramer {
 public:
  explicit RequestFramer(double silenceSeconds) : silence_(silenceSeconds) {}

  // Takes bytes as they arrive; appends the requests they complete.
  void Feed(const uint8_t* data, size_t n, double now, std::vector<Request>* out);
  // Ends a pending partial frame once the line has been silent long enough.
  void CheckSilence(double now, std::vector<Request>* out);
  // When CheckSilence has something to do; infinity when nothing is pending.
  double SilenceDeadline() const;
  size_t Pending() const { return buffer_.size(); }

 private:
  void Extract(std::vector<Request>* out);
  void TrimNoise();
  void Emit(size_t length, std::vector<Request>* out);

  double silence_;
  double lastByte_ = 0;
  std::vector<uint8_t> buffer_;
};

// Answers, CRC appended (low byte first).
void AppendCrc(std::vector<uint8_t>* frame);
std::vector<uint8_t> ReadAnswer(uint8_t slave, const uint16_t* values, int count);
std::vector<uint8_t> WriteEcho(uint8_t slave, int address, uint16_t value);
std::vector<uint8_t> IdAnswer(uint8_t slave, uint8_t slaveId, const std::string& text);
std::vector<uint8_t> ExceptionAnswer(uint8_t slave, uint8_t function, uint8_t code);
