// A Modbus TCP answer as the link takes it in: any bytes, any count, in a
// buffer of exactly that size, unwrapped in place to the RTU form that the
// response checks read. The header must tie the answer to its request: when
// it does, the RTU frame made from it carries a good CRC; when it does not,
// a bad one.
//
// Input: the transaction id of the request (two bytes), then the answer.

#include <cstring>
#include <memory>

#include "modbus/frame.h"
#include "modbus/mbap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 2 + 300) return 0;
  const uint16_t transactionId = static_cast<uint16_t>(data[0] * 256 + data[1]);
  const int got = static_cast<int>(size - 2);
  const std::unique_ptr<uint8_t[]> frame(new uint8_t[size]);
  std::memcpy(frame.get(), data + 2, size - 2);

  const bool headerFits = got >= kMbapHeaderLength && MbapTransactionId(frame.get()) == transactionId &&
                          frame[2] == 0 && frame[3] == 0 && MbapLengthSoFar(frame.get(), got) == got;
  const int rtuLength = RtuFromMbap(frame.get(), got, transactionId);
  if (got < kMbapHeaderLength) {
    if (rtuLength != 0) __builtin_trap();
    return 0;
  }
  if (rtuLength != got - kMbapExtraLength) __builtin_trap();
  const bool crcGood = Crc16(frame.get(), static_cast<size_t>(rtuLength)) == 0;
  if (crcGood != headerFits) __builtin_trap();
  return 0;
}
