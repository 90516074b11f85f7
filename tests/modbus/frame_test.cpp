// Frame codec: the published check values and example frames, the order in
// which the response checks decide, and the trace line format.
#include "modbus/frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "modbus/link.h"
#include "modbus/model.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes WithCrc(Bytes body) {
  const uint16_t crc = Crc16(body.data(), body.size());
  body.push_back(crc & 0xFF);
  body.push_back(crc >> 8);
  return body;
}

std::string HexLine(const char* prefix, const Bytes& bytes, size_t size = 1024) {
  std::vector<char> line(size, '#');
  FormatHexLine(prefix, line.data(), size, bytes.data(), static_cast<int>(bytes.size()));
  return line.data();
}

TEST(Frame, CrcCheckValuesAndExampleFrames) {
  const char* digits = "123456789";
  EXPECT_EQ(Crc16(reinterpret_cast<const uint8_t*>(digits), 9), 0x4B37);
  EXPECT_EQ(Crc16(nullptr, 0), 0xFFFF);

  const Bytes body = {0x01, 0x03, 0x01, 0x02, 0x00, 0x04};
  EXPECT_EQ(Crc16(body.data(), body.size()), 0x35E4);

  uint8_t frame[kRequestLength];
  BuildReadRequest(frame, 1, 258, 4);
  EXPECT_EQ(Bytes(frame, frame + 8), (Bytes{0x01, 0x03, 0x01, 0x02, 0x00, 0x04, 0xE4, 0x35}));
  EXPECT_EQ(Crc16(frame, 8), 0) << "a whole intact frame checks to 0";

  BuildWriteRequest(frame, 1, 128, 0x757E);
  EXPECT_EQ(Bytes(frame, frame + 8), (Bytes{0x01, 0x06, 0x00, 0x80, 0x75, 0x7E, 0x2E, 0x92}));

  uint8_t id[kReportSlaveIdRequestLength];
  BuildReportSlaveIdRequest(id, 1);
  EXPECT_EQ(Bytes(id, id + 4), (Bytes{0x01, 0x11, 0xC0, 0x2C}));
}

TEST(Frame, HexLineFormatAndLength) {
  const Bytes request = {0x01, 0x03, 0x01, 0x02, 0x00, 0x04, 0xE4, 0x35};
  const std::string line = HexLine("Send->", request);
  EXPECT_EQ(line, "Send->01 03 01 02 00 04 E4 35\r\n");
  EXPECT_EQ(line.size(), 31u);
  EXPECT_EQ(HexLine("Recv->", {}), "Recv->\r\n");
  EXPECT_EQ(HexLine("Recv->", {0xAB}), "Recv->AB\r\n");
  // 3r + 7 characters for r response bytes.
  EXPECT_EQ(HexLine("Recv->", Bytes(101, 0x5A)).size(), 3u * 101 + 7);
}

TEST(Frame, HexLineThatDoesNotFitIsCutVisiblyInsideItsBuffer) {
  const Bytes big(400, 0xEE);  // 3 * 400 + 7 = 1207 characters: more than an entry
  std::vector<char> buffer(64 + 8, '#');
  FormatHexLine("Recv->", buffer.data(), 64, big.data(), static_cast<int>(big.size()));
  const std::string line = buffer.data();
  EXPECT_LT(line.size(), 64u) << "terminator inside the buffer";
  EXPECT_EQ(line.substr(line.size() - 6), " ...\r\n");
  EXPECT_EQ(buffer[64], '#') << "nothing written past the buffer";
  // A line that fits exactly is not marked as cut.
  const Bytes two = {0x01, 0x02};
  std::vector<char> exact(6 + 5 + 3);
  FormatHexLine("Recv->", exact.data(), exact.size(), two.data(), 2);
  EXPECT_STREQ(exact.data(), "Recv->01 02\r\n");
}

TEST(Frame, ReadResponseChecksInOrder) {
  int values[4] = {-1, -1, -1, -1};
  const Bytes good = WithCrc({0x01, 0x03, 0x02, 0x12, 0x34});
  EXPECT_EQ(CheckReadResponse(good.data(), 7, 1, 1, values), ResultOk);
  EXPECT_EQ(values[0], 0x1234);

  // One register expects 7 bytes: 6 or 8 are a length failure.
  EXPECT_EQ(CheckReadResponse(good.data(), 6, 1, 1, values), ResultBadLength);
  const Bytes eight = WithCrc({0x01, 0x03, 0x02, 0x12, 0x34, 0x00});
  EXPECT_EQ(CheckReadResponse(eight.data(), 8, 1, 1, values), ResultBadLength);

  // Right length, bad CRC, wrong address: the CRC decides.
  Bytes badCrc = WithCrc({0x02, 0x03, 0x02, 0x12, 0x34});
  badCrc[6] ^= 0x01;
  EXPECT_EQ(CheckReadResponse(badCrc.data(), 7, 1, 1, values), ResultCrc);

  const Bytes wrongFunction = WithCrc({0x01, 0x04, 0x02, 0x12, 0x34});
  EXPECT_EQ(CheckReadResponse(wrongFunction.data(), 7, 1, 1, values), ResultWrongFunction);

  int untouched[1] = {77};
  const Bytes badCount = WithCrc({0x01, 0x03, 0x04, 0x12, 0x34});
  EXPECT_EQ(CheckReadResponse(badCount.data(), 7, 1, 1, untouched), ResultBadByteCount);
  EXPECT_EQ(untouched[0], 77) << "values stay as they were on failure";

  // Exception frame 01 83 02 C0 F1: 4 from slave 1, 6 for slave 2, 5 broken.
  Bytes exception = {0x01, 0x83, 0x02, 0xC0, 0xF1};
  EXPECT_EQ(Crc16(exception.data(), 5), 0);
  EXPECT_EQ(CheckReadResponse(exception.data(), 5, 1, 4, values), ResultException);
  EXPECT_EQ(CheckReadResponse(exception.data(), 5, 2, 4, values), ResultWrongAddress);
  exception[4] ^= 0x10;
  EXPECT_EQ(CheckReadResponse(exception.data(), 5, 1, 4, values), ResultCrc);
  // A 5-byte frame that is not the exception form is a length failure.
  const Bytes shortWrite = WithCrc({0x01, 0x86, 0x02});
  EXPECT_EQ(CheckReadResponse(shortWrite.data(), 5, 1, 4, values), ResultBadLength);
}

TEST(Frame, ReadOf128RegistersCarriesByteCountZero) {
  Bytes body = {0x01, 0x03, 0x00};
  for (int i = 0; i < 128; ++i) {
    body.push_back(0);
    body.push_back(static_cast<uint8_t>(i));
  }
  const Bytes frame = WithCrc(body);
  std::vector<int> values(128);
  ASSERT_EQ(frame.size(), 261u);
  EXPECT_EQ(CheckReadResponse(frame.data(), 261, 1, 128, values.data()), ResultOk);
  EXPECT_EQ(values[127], 127);
}

TEST(Frame, AnswerLengthAsFarAsTheBytesTell) {
  uint8_t read48[kRequestLength], write[kRequestLength], id[kReportSlaveIdRequestLength];
  BuildReadRequest(read48, 1, 258, 48);
  BuildWriteRequest(write, 1, 149, 60);
  BuildReportSlaveIdRequest(id, 1);
  const struct {
    const uint8_t* request;
    Bytes response;
    int expected;
  } cases[] = {
      {read48, {}, 2},                  {read48, {0x01}, 2},
      {read48, {0x01, 0x03}, 101},      {read48, {0x01, 0x83}, 5},
      {read48, {0x01, 0x04}, 101},      {write, {0x01, 0x06}, 8},
      {write, {0x01, 0x86}, 5},         {id, {0x01, 0x11}, 3},
      {id, {0x01, 0x11, 0x20}, 37},     {id, {0x01, 0x91}, 5},
  };
  for (const auto& c : cases)
    EXPECT_EQ(AnswerLengthSoFar(c.request, c.response.data(), static_cast<int>(c.response.size())), c.expected)
        << c.response.size() << " bytes, function " << int(c.request[1]);
}

TEST(Frame, WriteResponseChecks) {
  const Bytes echo = WithCrc({0x01, 0x06, 0x00, 0x80, 0x75, 0x7E});
  EXPECT_EQ(CheckWriteResponse(echo.data(), 8, 1, 128, 0x757E), ResultOk);
  EXPECT_EQ(CheckWriteResponse(echo.data(), 8, 1, 128, 0x757F), ResultWriteMismatch);
  EXPECT_EQ(CheckWriteResponse(echo.data(), 8, 1, 129, 0x757E), ResultWriteMismatch);
  EXPECT_EQ(CheckWriteResponse(echo.data(), 7, 1, 128, 0x757E), ResultBadLength);
  const Bytes exception = WithCrc({0x01, 0x86, 0x02});
  EXPECT_EQ(CheckWriteResponse(exception.data(), 5, 1, 128, 1), ResultException);
  const Bytes readException = WithCrc({0x01, 0x83, 0x02});
  EXPECT_EQ(CheckWriteResponse(readException.data(), 5, 1, 128, 1), ResultBadLength);
}

TEST(Frame, ReportSlaveIdResponseChecks) {
  int id = -1;
  char text[kSlaveIdTextSize];
  std::memset(text, 'x', sizeof text);
  // Byte count 6, total length 11: a 4-character text.
  const Bytes four = WithCrc({0x05, 0x11, 0x06, 0x2A, 0xFF, 'Q', 'M', '4', 'C'});
  EXPECT_EQ(CheckReportSlaveIdResponse(four.data(), 11, 5, &id, text, sizeof text), ResultOk);
  EXPECT_EQ(id, 0x2A);
  EXPECT_STREQ(text, "QM4C");

  const Bytes empty = WithCrc({0x05, 0x11, 0x02, 0x01, 0xFF});
  EXPECT_EQ(CheckReportSlaveIdResponse(empty.data(), 7, 5, &id, text, sizeof text), ResultOk);
  EXPECT_STREQ(text, "");

  const Bytes badCount = WithCrc({0x05, 0x11, 0x07, 0x2A, 0xFF, 'Q', 'M', '4', 'C'});
  EXPECT_EQ(CheckReportSlaveIdResponse(badCount.data(), 11, 5, &id, text, sizeof text), ResultBadByteCount);
  EXPECT_EQ(CheckReportSlaveIdResponse(four.data(), 6, 5, &id, text, sizeof text), ResultBadLength);

  // The text is cut to the caller's buffer, always terminated.
  char small[3] = {'x', 'x', 'x'};
  EXPECT_EQ(CheckReportSlaveIdResponse(four.data(), 11, 5, &id, small, sizeof small), ResultOk);
  EXPECT_STREQ(small, "QM");
}

TEST(Link, ReconnectBackOffDoublesFrom5sUpTo60s) {
  const struct {
    int failedTries, backoffMs;
  } cases[] = {{1, 5000}, {2, 10000}, {3, 20000}, {4, 40000}, {5, 60000}, {6, 60000}, {40, 60000}};
  for (const auto& c : cases) EXPECT_EQ(ReconnectBackoffMs(c.failedTries), c.backoffMs) << c.failedTries << " failed";
}

TEST(Model, CodeFromTextFirstMatchDecides) {
  EXPECT_EQ(ModelCodeFromText("03 - Orvant QM4C"), ModelQM4C);
  EXPECT_EQ(ModelCodeFromText("07 - QM4A meter"), ModelQM4A);
  EXPECT_EQ(ModelCodeFromText("QM4B and QM4A"), ModelQM4A);
  EXPECT_EQ(ModelCodeFromText("QM4C QM4B"), ModelQM4B);
  EXPECT_EQ(ModelCodeFromText("qm4c"), ModelNone) << "the search is case-sensitive";
  EXPECT_EQ(ModelCodeFromText(""), ModelNone);
}

}  // namespace
