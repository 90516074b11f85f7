#include "modbus/mbap.h"

#include <cstdio>
#include <cstring>

namespace {

int Word(const uint8_t* bytes) { return bytes[0] * 256 + bytes[1]; }

void PutWord(uint8_t* bytes, int value) {
  bytes[0] = static_cast<uint8_t>(value >> 8);
  bytes[1] = static_cast<uint8_t>(value & 0xFF);
}

MbapFault HeaderFault(const uint8_t* frame, int got, uint16_t transactionId) {
  if (MbapTransactionId(frame) != transactionId) return MbapFault::TransactionId;
  if (Word(frame + 2) != 0) return MbapFault::ProtocolId;
  if (Word(frame + 4) != got - 6) return MbapFault::Length;
  return MbapFault::None;
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

ModbusAnswer MbapAnswer(const uint8_t* frame, int got, uint16_t transactionId, MbapFault* fault) {
  ModbusAnswer answer;
  *fault = MbapFault::None;
  if (got < kMbapHeaderLength) return answer;
  *fault = HeaderFault(frame, got, transactionId);
  answer.address = frame[6];
  answer.pdu = frame + kMbapHeaderLength;
  answer.pduLength = got - kMbapHeaderLength;
  // A header that does not belong makes the answer fail as a frame with a bad
  // CRC fails on the line (Err #5): the header vouches for it as the CRC does.
  answer.intact = *fault == MbapFault::None;
  return answer;
}

void DescribeMbapFault(MbapFault fault, const uint8_t* frame, int got, uint16_t transactionId, char* text,
                       size_t size) {
  switch (fault) {
    case MbapFault::None:
      std::snprintf(text, size, "%s", "");
      return;
    case MbapFault::TransactionId:
      std::snprintf(text, size, "MBAP header: transaction id %02X %02X, not %02X %02X", frame[0], frame[1],
                    transactionId >> 8, transactionId & 0xFF);
      return;
    case MbapFault::ProtocolId:
      std::snprintf(text, size, "MBAP header: protocol id %02X %02X, not 00 00", frame[2], frame[3]);
      return;
    case MbapFault::Length:
      std::snprintf(text, size, "MBAP header: length %d, but %d bytes came after it", Word(frame + 4), got - 6);
      return;
  }
}

namespace {
// The length field a request of function must have; 0: any.
int RequestLengthField(uint8_t function) {
  switch (function) {
    case 3:
    case 6:
      return 6;
    case 17:
      return 2;
    default:
      return 0;
  }
}
}  // namespace

MbapRead ReadMbapRequest(const uint8_t* bytes, int got, MbapRequest* request, int* used) {
  constexpr int kLeastLength = 2, kMostLength = 254;
  if (got < kMbapHeaderLength) return MbapRead::NeedMore;
  const int length = Word(bytes + 4);
  if (Word(bytes + 2) != 0 || length < kLeastLength || length > kMostLength) return MbapRead::Malformed;
  const int whole = 6 + length;
  if (got < kMbapHeaderLength + 1) return MbapRead::NeedMore;
  const int wanted = RequestLengthField(bytes[7]);
  if (wanted != 0 && length != wanted) return MbapRead::Malformed;
  if (got < whole) return MbapRead::NeedMore;
  request->transactionId = MbapTransactionId(bytes);
  request->unit = bytes[6];
  request->pdu = bytes + kMbapHeaderLength;
  request->pduLength = length - 1;
  *used = whole;
  return MbapRead::Request;
}

int MbapAnswerFrame(const MbapRequest& request, const uint8_t* pdu, int pduLength, uint8_t* out) {
  PutWord(out, request.transactionId);
  PutWord(out + 2, 0);
  PutWord(out + 4, pduLength + 1);
  out[6] = request.unit;
  std::memcpy(out + kMbapHeaderLength, pdu, static_cast<size_t>(pduLength));
  return kMbapHeaderLength + pduLength;
}
