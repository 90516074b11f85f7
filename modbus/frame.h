#pragma once
// RTU frame codec: pure functions over byte buffers. Nothing here touches the
// port; the transactions in master.cpp drive these on their own fixed buffers.

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

// Response checks, in the order that decides precedence (length, CRC, address,
// exception, function, then the function's own fields). They read no byte at
// or beyond r. On ResultOk the decoded values are stored; otherwise the out
// arguments are left untouched.
ModbusResult CheckReadResponse(const uint8_t* response, int r, int slave, int count, int* values);
ModbusResult CheckWriteResponse(const uint8_t* response, int r, int slave, int address, int value);
// text must hold textSize bytes; the identification text is cut to fit and
// always terminated.
ModbusResult CheckReportSlaveIdResponse(const uint8_t* response, int r, int slave, int* slaveId,
                                        char* text, size_t textSize);
