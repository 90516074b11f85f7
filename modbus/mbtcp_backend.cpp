#include "modbus/mbtcp_backend.h"

#include <cstdio>
#include <cstring>

namespace {

// Ends a read at the MBAP length; a whole frame with another transaction id
// is dropped and counted.
class MbapAnswerEnd final : public AnswerEnd {
 public:
  explicit MbapAnswerEnd(uint16_t transactionId) : transactionId_(transactionId) {}
  int LengthSoFar(const uint8_t* bytes, int got) override { return MbapLengthSoFar(bytes, got); }
  Verdict Judge(const uint8_t* bytes, int) override {
    const uint16_t id = MbapTransactionId(bytes);
    if (id == transactionId_) return Verdict::Take;
    ++dropped_;
    droppedId_ = id;
    return Verdict::Drop;
  }
  int Dropped() const { return dropped_; }
  uint16_t DroppedId() const { return droppedId_; }

 private:
  uint16_t transactionId_;
  int dropped_ = 0;
  uint16_t droppedId_ = 0;  // the last one dropped
};

// Adds part to note, after a "; " when note already says something.
void AppendNote(char* note, size_t size, const char* part) {
  if (part[0] == '\0') return;
  const size_t used = std::strlen(note);
  std::snprintf(note + used, size - used, "%s%s", used > 0 ? "; " : "", part);
}

}  // namespace

int ModbusTcpBackend::Wrap(const uint8_t* request, int length, uint8_t* wire) {
  note_[0] = '\0';
  return MbapFromRtu(request, length, ++transactionId_, wire);
}

ModbusResult ModbusTcpBackend::Read(const uint8_t*, uint8_t* buffer, int m, int* received) {
  // An answer that comes after its read gave up (a gateway slower than our
  // timeout) arrives while the next request waits: its id tells it apart, so
  // it is dropped there rather than failing that request too.
  MbapAnswerEnd end(transactionId_);
  const ModbusResult result = ReadByLength(end, buffer, m, received, Settings().timeouts.gatewayQueueMs);
  char part[96] = "";
  const uint16_t id = end.DroppedId();
  if (end.Dropped() == 1) {
    std::snprintf(part, sizeof part, "dropped an answer with transaction id %02X %02X", id >> 8, id & 0xFF);
  } else if (end.Dropped() > 1) {
    std::snprintf(part, sizeof part, "dropped %d answers with other transaction ids (the last %02X %02X)",
                  end.Dropped(), id >> 8, id & 0xFF);
  }
  AppendNote(note_, sizeof note_, part);
  return result;
}

ModbusAnswer ModbusTcpBackend::Unwrap(const uint8_t* bytes, int got) {
  MbapFault fault = MbapFault::None;
  const ModbusAnswer answer = MbapAnswer(bytes, got, transactionId_, &fault);
  char part[96];
  DescribeMbapFault(fault, bytes, got, transactionId_, part, sizeof part);
  AppendNote(note_, sizeof note_, part);
  return answer;
}
