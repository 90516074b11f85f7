// A Modbus TCP answer as the link's Modbus TCP backend checks it: any bytes,
// any count, in a buffer of exactly that size. The header must tie the answer
// to its request: when it does, the answer is intact and no fault is named;
// when it does not, the fault is named and the shared checks give no result
// but a failure. The PDU handed on lies inside the bytes that came.
//
// Input: the transaction id of the request (two bytes), then the answer.

#include <cstring>
#include <memory>

#include "modbus/frame.h"
#include "modbus/link.h"
#include "modbus/mbap.h"

namespace {
void Check(bool holds) {
  if (!holds) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 2 + 300) return 0;
  const uint16_t transactionId = static_cast<uint16_t>(data[0] * 256 + data[1]);
  const int got = static_cast<int>(size - 2);
  const std::unique_ptr<uint8_t[]> frame(new uint8_t[size - 2]);
  std::memcpy(frame.get(), data + 2, size - 2);

  MbapFault fault = MbapFault::None;
  const ModbusAnswer answer = MbapAnswer(frame.get(), got, transactionId, &fault);
  if (got < kMbapHeaderLength) {
    Check(answer.pduLength == 0 && fault == MbapFault::None);
    return 0;
  }
  const bool headerFits = MbapTransactionId(frame.get()) == transactionId && frame[2] == 0 && frame[3] == 0 &&
                          MbapLengthSoFar(frame.get(), got) == got;
  Check(answer.intact == headerFits && (fault == MbapFault::None) == headerFits);
  Check(answer.pdu == frame.get() + kMbapHeaderLength && answer.pduLength == got - kMbapHeaderLength);
  Check(answer.address == frame[6]);

  char note[64];
  DescribeMbapFault(fault, frame.get(), got, transactionId, note, sizeof note);
  Check(std::memchr(note, '\0', sizeof note) != nullptr && (note[0] == '\0') == headerFits);

  int values[kMaxReadCount];
  const int count = answer.pduLength >= 2 ? frame[kMbapHeaderLength + 1] / 2 + 1 : 1;
  const ModbusResult read = CheckReadAnswer(answer, frame[6], count, values);
  Check(read != ResultOk || headerFits);
  int slaveId = -1;
  char text[kSlaveIdTextSize];
  const ModbusResult id = CheckReportSlaveIdAnswer(answer, frame[6], &slaveId, text, sizeof text);
  Check(id != ResultOk || (headerFits && std::memchr(text, '\0', sizeof text) != nullptr));
  return 0;
}
