#pragma once

// The outcome of every Modbus transaction: 0 for success, 1 to 10 for the
// failures. A type of its own, so that a count or an address never passes
// for one; the console shows the codes as numbers, so they keep their values.
enum ModbusResult : int {
  ResultOk = 0,
  ResultTimeout = 1,        // the read failed, or no byte arrived in time
  ResultTooLarge = 2,       // more bytes arrived than were asked for
  ResultBadLength = 3,      // the response has the wrong length
  ResultException = 4,      // the slave answered with function + 0x80
  ResultCrc = 5,            // the CRC of the response is wrong
  ResultWrongAddress = 6,   // the response came from another slave
  ResultWrongFunction = 7,  // neither the request's function nor its exception form
  ResultBadByteCount = 8,   // the byte count field disagrees
  ResultWriteMismatch = 9,  // the echo of a write differs in register or value
  ResultBadParameter = 10,  // an argument is out of range; nothing was sent
};

constexpr int kResultCount = 11;

// The message users see for result.
const char* ResultText(ModbusResult result);
