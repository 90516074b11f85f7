#include "modbus/mbap.h"

#include <cstring>

#include "modbus/frame.h"

namespace {

int Word(const uint8_t* bytes) { return bytes[0] * 256 + bytes[1]; }

void PutWord(uint8_t* bytes, int value) {
  bytes[0] = static_cast<uint8_t>(value >> 8);
  bytes[1] = static_cast<uint8_t>(value & 0xFF);
}

}  // namespace

int MbapFromRtu(const uint8_t* rtu, int rtuLength, uint16_t transactionId, uint8_t* out) {
  const int pduLength = rtuLength >= 3 ? rtuLength - 3 : 0;
  PutWord(out, transactionId);
  PutWord(out + 2, 0);
  PutWord(out + 4, 1 + pduLength);
  out[6] = rtuLength > 0 ? rtu[0] : 0;
  std::memcpy(out + kMbapHeaderLength, rtu + 1, static_cast<size_t>(pduLength));
  return kMbapHeaderLength + pduLength;
}

int MbapLengthSoFar(const uint8_t* frame, int got) { return got < 6 ? kMbapHeaderLength : 6 + Word(frame + 4); }

uint16_t MbapTransactionId(const uint8_t* frame) { return static_cast<uint16_t>(Word(frame)); }

int RtuFromMbap(uint8_t* frame, int got, uint16_t transactionId) {
  if (got < kMbapHeaderLength) return 0;
  // The header is what ties an answer to its request over TCP, as address and
  // CRC do on the line: an answer to another transaction (a late one, or one
  // a gateway mixed up), another protocol or a length that disagrees with the
  // bytes is not the intact answer to this request, the verdict a failing CRC
  // gives on the line; hence Err #5 rather than a result of its own.
  const bool belongs = MbapTransactionId(frame) == transactionId && Word(frame + 2) == 0 && Word(frame + 4) == got - 6;
  const int rtuLength = got - kMbapExtraLength;
  std::memmove(frame, frame + 6, static_cast<size_t>(got - 6));
  const uint16_t crc = static_cast<uint16_t>(Crc16(frame, static_cast<size_t>(rtuLength - 2)) ^ (belongs ? 0 : 0xFFFF));
  frame[rtuLength - 2] = static_cast<uint8_t>(crc & 0xFF);
  frame[rtuLength - 1] = static_cast<uint8_t>(crc >> 8);
  return rtuLength;
}
