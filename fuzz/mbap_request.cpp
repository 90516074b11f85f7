// What a Modbus TCP client sends the monitor's gateway, read as the gateway
// reads it: frame after frame out of whatever bytes came, each request
// handed to the link's relay (on a link never opened, so its checks run and
// nothing is sent). A request taken lies inside the bytes, has the length
// its header gives and its function allows; the answer frame built for it
// carries its transaction id and unit.
//
// Input: the bytes a client sent.

#include <cstring>
#include <memory>

#include "modbus/link.h"
#include "modbus/mbap.h"

namespace {
void Check(bool holds) {
  if (!holds) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const std::unique_ptr<uint8_t[]> bytes(new uint8_t[size + 1]);
  std::memcpy(bytes.get(), data, size);
  static ModbusLink link;
  int at = 0;
  for (;;) {
    MbapRequest request;
    int used = 0;
    const int got = static_cast<int>(size) - at;
    const MbapRead read = ReadMbapRequest(bytes.get() + at, got, &request, &used);
    if (read != MbapRead::Request) break;
    const uint8_t* frame = bytes.get() + at;
    Check(used >= kMbapHeaderLength + 1 && used <= got && used == 6 + (frame[4] << 8 | frame[5]));
    Check(frame[2] == 0 && frame[3] == 0);
    Check(request.pdu == frame + kMbapHeaderLength && request.pduLength == used - kMbapHeaderLength);
    const uint8_t function = request.pdu[0];
    Check((function != 3 && function != 6) || request.pduLength == 5);
    Check(function != 17 || request.pduLength == 1);

    uint8_t answer[kMaxRelayAnswer];
    int answerLength = 0;
    const ModbusResult result = link.Relay(request.unit, request.pdu, request.pduLength, answer, &answerLength);
    Check(result != ResultOk && result != ResultException);  // nothing answers a link never opened

    uint8_t out[kMbapHeaderLength + 2];
    const uint8_t exception[2] = {static_cast<uint8_t>(function | 0x80), 0x0B};
    Check(MbapAnswerFrame(request, exception, 2, out) == kMbapHeaderLength + 2);
    Check(MbapTransactionId(out) == request.transactionId && out[6] == request.unit && out[5] == 3);
    at += used;
  }
  return 0;
}
