#pragma once
// Modbus TCP framing: the MBAP header (transaction id, protocol id 0, length
// of what follows, unit id) in place of an RTU frame's address and CRC. The
// link keeps RTU frames everywhere else: a request is wrapped just before it
// is sent, and an answer is turned back into the RTU form once its bytes are
// traced, so that every response check stays one rule for all transports.

#include <cstdint>

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

// Turns the got bytes of an MBAP frame, in place, into the RTU frame with the
// same unit id and PDU, and returns its length (got - 4; 0 when not even the
// header came). The CRC appended is right when the header belongs to the
// request sent with transactionId (that id, protocol 0, a length field that
// counts exactly the bytes received) and inverted otherwise, so that such an
// answer fails as a frame with a bad CRC does.
int RtuFromMbap(uint8_t* frame, int got, uint16_t transactionId);
