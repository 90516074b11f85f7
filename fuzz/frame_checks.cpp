// The three response checks, the length framing's rule and the trace line,
// as a transaction calls them: any bytes, any received count r up to the
// response buffer's size. The response lies in a buffer of exactly r bytes
// and the trace line in one of exactly its size, so a read or write past
// either trips the address sanitizer.
//
// Input: which check (0 read, 1 write, 2 report slave ID), slave, two bytes
// of register count (or address), two of value (or trace line size), then
// the response.

#include <cstring>
#include <memory>

#include "modbus/frame.h"
#include "modbus/link.h"

namespace {
int BufferSize(int which) {
  const int sizes[] = {kReadResponseBufferSize, kWriteResponseBufferSize, kReportSlaveIdResponseBufferSize};
  return sizes[which];
}

void Check(bool holds) {
  if (!holds) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kHeader = 6;
  if (size < kHeader) return 0;
  const int which = data[0] % 3;
  const int slave = data[1];
  const int word = data[2] * 256 + data[3];
  const int value = data[4] * 256 + data[5];
  const int count = word % kMaxReadCount + 1;
  const int r = static_cast<int>(std::min<size_t>(size - kHeader, static_cast<size_t>(BufferSize(which))));
  const std::unique_ptr<uint8_t[]> response(new uint8_t[static_cast<size_t>(r)]);
  std::memcpy(response.get(), data + kHeader, static_cast<size_t>(r));

  uint8_t request[kRequestLength];
  ModbusResult result = ResultOk;
  if (which == 0) {
    BuildReadRequest(request, slave, 0, count);
    int values[kMaxReadCount];
    result = CheckReadResponse(response.get(), r, slave, count, values);
    // A value returned with result 0 is the one the answer carried.
    for (int i = 0; result == ResultOk && i < count; ++i)
      Check(values[i] == response[3 + 2 * i] * 256 + response[4 + 2 * i]);
  } else if (which == 1) {
    BuildWriteRequest(request, slave, word % 1024, value);
    result = CheckWriteResponse(response.get(), r, slave, word % 1024, value);
  } else {
    BuildReportSlaveIdRequest(request, slave);
    int slaveId = -1;
    char text[kSlaveIdTextSize];
    result = CheckReportSlaveIdResponse(response.get(), r, slave, &slaveId, text, sizeof text);
    Check(result != ResultOk || (slaveId == response[3] && std::memchr(text, '\0', sizeof text) != nullptr));
  }
  Check(result >= ResultOk && result < kResultCount);
  Check(result != ResultOk || r >= 5);
  if (r > 0) {
    const int length = AnswerLengthSoFar(request, response.get(), r);
    Check(length >= 2);
  }

  const size_t lineSize = static_cast<size_t>(value % (kTraceEntryChars + 1));
  const std::unique_ptr<char[]> line(new char[lineSize]);
  FormatHexLine("Recv->", line.get(), lineSize, response.get(), r);
  Check(lineSize == 0 || std::memchr(line.get(), '\0', lineSize) != nullptr);
  return 0;
}
