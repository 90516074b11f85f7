#pragma once
// The frame codec: RTU requests and their CRC, the trace line, and the
// response checks every transport shares. Pure functions over byte buffers;
// nothing here touches the port. The link (link.cpp) drives them on its own
// fixed buffers.

#include <cstddef>
#include <cstdint>

#include "modbus/result.h"

// CRC-16/MODBUS, table driven. The frame carries it low byte first; run over a
// whole received frame including its CRC it returns 0 exactly when the frame is
// intact. A length of 0 returns 0xFFFF.
uint16_t Crc16(const uint8_t* bytes, size_t length);

// One trace line: prefix, each byte as "%02X" separated by one blank, "\r\n",
// terminator. n bytes take strlen(prefix) + 3n + 1 characters before the
// terminator (n >= 1); n = 0 gives the prefix and "\r\n". The line never goes
// past destSize: when the bytes do not all fit, as many as fit are written and
// the line ends " ...\r\n" so the cut is visible.
void FormatHexLine(const char* prefix, char* dest, size_t destSize, const uint8_t* bytes, int count);

// Requests, CRC included. Function 3 and 6 requests are 8 bytes, function 17 is 4.
constexpr int kRequestLength = 8;
constexpr int kReportSlaveIdRequestLength = 4;
void BuildReadRequest(uint8_t frame[kRequestLength], int slave, int firstAddress, int count);
void BuildWriteRequest(uint8_t frame[kRequestLength], int slave, int address, int value);
void BuildReportSlaveIdRequest(uint8_t frame[kReportSlaveIdRequestLength], int slave);

// The length framing's rule: how long the answer to request is, as far as
// the first got bytes of response tell. A result above got is the least
// count to have before asking again (2 to see the function, 3 to see a report
// slave ID's byte count); a result equal to got means the answer is complete
// there if its CRC is right. The exception form is 5 bytes; otherwise a read
// of 48 registers answers 5 + 2 x 48 = 101 bytes, a write 8, a report slave
// ID 5 + its byte count.
int AnswerLengthSoFar(const uint8_t* request, const uint8_t* response, int got);

// An answer as the response checks take it, whatever carried it: the slave
// address (an RTU frame's first byte, an MBAP header's unit id), the PDU
// (function code and fields) and whether its carrier vouches for it (the RTU
// frame's CRC is right; the MBAP header belongs to the request). The checks
// read no byte of the PDU at or beyond pduLength.
struct ModbusAnswer {
  int address = -1;
  const uint8_t* pdu = nullptr;
  int pduLength = 0;
  bool intact = false;
};

// The r bytes of an RTU frame as an answer: address, the PDU between it and
// the CRC (none under 3 bytes), intact when the CRC over all r bytes is 0.
ModbusAnswer RtuAnswer(const uint8_t* frame, int r);

// The checks every transport shares, in the order that decides precedence:
// length, intact, address, exception, function, then the function's own
// fields. On ResultOk the decoded values are stored; otherwise the out
// arguments are left untouched.
ModbusResult CheckReadAnswer(const ModbusAnswer& answer, int slave, int count, int* values);
ModbusResult CheckWriteAnswer(const ModbusAnswer& answer, int slave, int address, int value);
// text must hold textSize bytes; the identification text is cut to fit and
// always terminated.
ModbusResult CheckReportSlaveIdAnswer(const ModbusAnswer& answer, int slave, int* slaveId, char* text,
                                      size_t textSize);

// The same checks over an RTU frame of r bytes (RtuAnswer): a frame of the
// wrong length is 3 before its CRC is looked at, one of the right length
// with a bad CRC is 5 whatever else is wrong with it.
ModbusResult CheckReadResponse(const uint8_t* response, int r, int slave, int count, int* values);
ModbusResult CheckWriteResponse(const uint8_t* response, int r, int slave, int address, int value);
ModbusResult CheckReportSlaveIdResponse(const uint8_t* response, int r, int slave, int* slaveId,
                                        char* text, size_t textSize);
