// qm4sim as a master sees it: the real binary on a pseudo terminal, raw
// request bytes in, answer bytes out.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "tests/sim/raw_line.h"
#include "tests/support/sim_process.h"

namespace {

class SimWire : public ::testing::Test {
 protected:
  void Start(const std::vector<std::string>& args) {
    sim_ = std::make_unique<SimProcess>(args);
    line_ = std::make_unique<RawLine>(sim_->LinkPath());
    ASSERT_TRUE(line_->IsOpen());
  }
  std::vector<int> ReadOk(int slave, int first, int count) {
    const Bytes answer = line_->Exchange(ReadRequest(slave, first, count));
    EXPECT_EQ(answer.size(), static_cast<size_t>(2 * count + 5));
    EXPECT_TRUE(CrcHolds(answer));
    return Registers(answer);
  }
  std::unique_ptr<SimProcess> sim_;
  std::unique_ptr<RawLine> line_;
};

std::string IdText(const Bytes& answer) {
  return answer.size() < 7 ? "" : std::string(answer.begin() + 5, answer.end() - 2);
}

TEST_F(SimWire, IdentifiesEachModelByName) {
  Start({"--meter", "1:QM4A", "--meter", "2:QM4B", "--meter", "100:QM4C"});
  const struct {
    int slave;
    const char* text;
  } cases[] = {{1, "Orvant QM4A Power Meter"}, {2, "Orvant QM4B Power Meter"}, {100, "Orvant QM4C Power Meter"}};
  for (const auto& c : cases) {
    const Bytes answer = line_->Exchange(IdRequest(c.slave));
    ASSERT_GE(answer.size(), 7u) << c.slave;
    EXPECT_TRUE(CrcHolds(answer));
    EXPECT_EQ(answer[0], c.slave);
    EXPECT_EQ(answer[1], 0x11);
    EXPECT_EQ(answer[2], answer.size() - 5);  // byte count
    EXPECT_EQ(answer[4], 0xFF);               // run indicator
    EXPECT_EQ(IdText(answer), c.text);
  }
  EXPECT_EQ(sim_->TakeEvents(3), (std::vector<std::string>{"id 1", "id 2", "id 100"}));
}

TEST_F(SimWire, DefaultBusIsOneQm4cAtAddress3) {
  Start({});
  EXPECT_EQ(IdText(line_->Exchange(IdRequest(3))), "Orvant QM4C Power Meter");
  EXPECT_TRUE(line_->Exchange(IdRequest(1)).empty());
}

}  // namespace
