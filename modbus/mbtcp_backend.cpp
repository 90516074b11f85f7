#include "modbus/mbtcp_backend.h"

namespace {

// Ends a read at the MBAP length.
class MbapAnswerEnd final : public AnswerEnd {
 public:
  int LengthSoFar(const uint8_t* bytes, int got) override { return MbapLengthSoFar(bytes, got); }
  Verdict Judge(const uint8_t*, int) override { return Verdict::Take; }
};

}  // namespace

int ModbusTcpBackend::Wrap(const uint8_t* request, int length, uint8_t* wire) {
  note_[0] = '\0';
  return MbapFromRtu(request, length, ++transactionId_, wire);
}

ModbusResult ModbusTcpBackend::Read(Channel& channel, const uint8_t*, uint8_t* buffer, int m, int* received) {
  MbapAnswerEnd end;
  return ReadByLength(channel, end, buffer, m, received);
}

ModbusAnswer ModbusTcpBackend::Unwrap(const uint8_t* bytes, int got) {
  MbapFault fault = MbapFault::None;
  const ModbusAnswer answer = MbapAnswer(bytes, got, transactionId_, &fault);
  DescribeMbapFault(fault, bytes, got, transactionId_, note_, sizeof note_);
  return answer;
}
