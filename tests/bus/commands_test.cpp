// Energy reset and clock setting: the writes on the line, and their needs.

#include "bus/commands.h"

#include "tests/support/core_fixture.h"

namespace {
class Commands : public CoreOverSim {
 protected:
  void SetUp() override {
    CoreOverSim::SetUp();
    StartBus({"--meter", "3:QM4C", "--meter", "7:QM4A", "--meter", "9:QM4B"});
  }
  void Pick(int address, int model) {
    pickedMeter_.address = address;
    pickedMeter_.model = model;
  }
};

struct tm June15At140307() {
  struct tm t {};
  t.tm_year = 109;
  t.tm_mon = 5;
  t.tm_mday = 15;
  t.tm_hour = 14;
  t.tm_min = 3;
  t.tm_sec = 7;
  return t;
}
}  // namespace

TEST_F(Commands, ResetEnergyWrites30078To128OfAnyModel) {
  for (int model = 1; model <= 3; ++model) {
    const int address = model == 1 ? 7 : model == 2 ? 9 : 3;
    Pick(address, model);
    ResetEnergy(link_, pickedMeter_);
    EXPECT_EQ(Writes(), (std::vector<std::string>{"write " + std::to_string(address) + " 128 30078"}));
  }
}

TEST_F(Commands, ResetEnergySendsNothingWithoutModelOrPort) {
  Pick(3, 0);
  ResetEnergy(link_, pickedMeter_);
  Pick(3, 3);
  link_.Close();
  ResetEnergy(link_, pickedMeter_);
  EXPECT_TRUE(sim_->TakeEvents(0, 200).empty());
}

TEST_F(Commands, ClockOfJune15At140307WritesTheThreeRegistersInOrder) {
  Pick(3, 3);
  SetClockFrom(link_, pickedMeter_, June15At140307());
  EXPECT_EQ(Writes(), (std::vector<std::string>{"write 3 154 3846", "write 3 155 3593", "write 3 156 1795"}));
  EXPECT_EQ(sim_->Command("get 3 154"), "ok 3846");
  EXPECT_EQ(sim_->Command("get 3 155"), "ok 3593");
}

TEST_F(Commands, ClockNeedsAQm4cAndAnOpenPort) {
  Pick(7, 1);
  SetClockFrom(link_, pickedMeter_, June15At140307());
  Pick(9, 2);
  SetClockFromPc(link_, pickedMeter_);
  Pick(3, 3);
  link_.Close();
  SetClockFrom(link_, pickedMeter_, June15At140307());
  EXPECT_TRUE(sim_->TakeEvents(0, 200).empty());
}

// All three writes go out whatever the first gave; the first failure is what
// a reporting caller hears.
TEST_F(Commands, ClockWritesAllThreeAfterAFailure) {
  Pick(3, 3);
  Sim("fault 3 exception 1 at 154");
  EXPECT_EQ(SetClockFrom(link_, pickedMeter_, June15At140307()), ResultException);
  EXPECT_EQ(Writes(), (std::vector<std::string>{"write 3 155 3593", "write 3 156 1795"}));
}
