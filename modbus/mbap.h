#pragma once
// Modbus TCP framing: the MBAP header (transaction id, protocol id 0, length
// of what follows, unit id) in place of an RTU frame's address and CRC. The
// header is what ties an answer to its request over TCP, as address and CRC
// do on the line.

#include <cstddef>
#include <cstdint>

#include "modbus/frame.h"

constexpr int kMbapHeaderLength = 7;  // transaction id, protocol id, length, unit id
// An MBAP frame is 4 bytes longer than the RTU frame with the same PDU: 7 of
// header for the 1-byte address, no 2-byte CRC.
constexpr int kMbapExtraLength = kMbapHeaderLength - 1 - 2;

// The MBAP frame carrying the PDU of an RTU frame (address, PDU, CRC): the
// address becomes the unit id, the last two bytes (the CRC) are left out, the
// length field counts the unit id and the PDU. out holds rtuLength + 4 bytes;
// returns that count. An RTU frame under 3 bytes is taken as address only.
int MbapFromRtu(const uint8_t* rtu, int rtuLength, uint16_t transactionId, uint8_t* out);

// How long the MBAP frame is as far as its first got bytes tell: the header's
// 7 bytes until 6 are in, then 6 + its length field.
int MbapLengthSoFar(const uint8_t* frame, int got);

// The transaction id a frame carries (at least 2 bytes).
uint16_t MbapTransactionId(const uint8_t* frame);

// What is wrong with the header of an answer to the request sent with
// transactionId, checked in this order.
enum class MbapFault {
  None,
  TransactionId,  // another request's answer
  ProtocolId,     // not 0, so not Modbus
  Length,         // the length field disagrees with the bytes that came
};

// The got bytes of an MBAP frame as the response checks take them: the unit
// id as the address, the PDU after the header (none when not even the header
// came), intact when the header belongs to the request sent with
// transactionId. *fault says what does not belong (None when it all does, or
// when the header is cut short: then the PDU's length fails the checks).
ModbusAnswer MbapAnswer(const uint8_t* frame, int got, uint16_t transactionId, MbapFault* fault);

// A line for the trace saying what *fault found in frame's header against
// the request sent with transactionId, e.g. "MBAP header: protocol id 00 01,
// not 00 00"; cut to fit size, always terminated.
void DescribeMbapFault(MbapFault fault, const uint8_t* frame, int got, uint16_t transactionId, char* text,
                       size_t size);

// A request as a Modbus TCP client sends it, pointing into the bytes read.
struct MbapRequest {
  uint16_t transactionId = 0;
  uint8_t unit = 0;
  const uint8_t* pdu = nullptr;
  int pduLength = 0;  // 1 to 253
};

enum class MbapRead {
  NeedMore,   // the frame is not all in yet
  Request,    // *request is the first frame, *used its bytes
  Malformed,  // no Modbus request: the connection cannot be trusted further
};

// The first frame of got bytes from a client. Malformed: a protocol id
// other than 0, a length field under 2 or over 254 (unit id and a PDU of
// at most 253 bytes), or one the function cannot have (6 for a read of
// holding registers or a write of one, 2 for report slave id). Functions
// the meters do not know are taken at any length their field gives.
MbapRead ReadMbapRequest(const uint8_t* bytes, int got, MbapRequest* request, int* used);

// The MBAP frame of an answer: header with the request's transaction id and
// unit, then pdu. out holds kMbapHeaderLength + pduLength bytes; returns
// that count.
int MbapAnswerFrame(const MbapRequest& request, const uint8_t* pdu, int pduLength, uint8_t* out);
