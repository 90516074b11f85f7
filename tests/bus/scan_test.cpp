// The device scan against meters on qm4sim.

#include "bus/scan.h"

#include "tests/support/core_fixture.h"

namespace {
class RecordingScan : public ScanSink {
 public:
  explicit RecordingScan(const Meter& picked) : picked_(picked) {}
  void Progress(const std::string& line) override { progress.push_back(line); }
  void MeterFound(const std::string& entry, bool first) override {
    entries.push_back(entry);
    firsts.push_back(first);
    addressAtFound.push_back(picked_.address);
  }
  void AddressDone() override { ++done; }
  std::vector<std::string> progress;
  std::vector<std::string> entries;
  std::vector<bool> firsts;
  std::vector<int> addressAtFound;
  int done = 0;

 private:
  const Meter& picked_;  // the meter the scan picks
};

class Scan : public CoreOverSim {
 protected:
  std::vector<std::string> IdEvents() {
    std::vector<std::string> ids;
    for (const std::string& event : sim_->TakeEvents(0, 200))
      if (event.rfind("id", 0) == 0) ids.push_back(event);
    return ids;
  }
  RecordingScan sink_{pickedMeter_};
};
}  // namespace

TEST_F(Scan, MetersAtThreeAndSevenListedInOrderAndTheFirstPicked) {
  StartBus({"--meter", "3:QM4C", "--meter", "7:QM4A"});
  EXPECT_EQ(ScanBus(link_, 1, 10, sink_, pickedMeter_), 2);
  ASSERT_EQ(sink_.entries.size(), 2u);
  EXPECT_EQ(sink_.entries[0].rfind("03 - ", 0), 0u);
  EXPECT_NE(sink_.entries[0].find("QM4C"), std::string::npos);
  EXPECT_EQ(sink_.entries[1].rfind("07 - ", 0), 0u);
  EXPECT_NE(sink_.entries[1].find("QM4A"), std::string::npos);
  EXPECT_EQ(sink_.firsts, (std::vector<bool>{true, false}));
  EXPECT_EQ(sink_.addressAtFound[0], 3);  // already set when the first is reported
  EXPECT_EQ(pickedMeter_.address, 3);
  EXPECT_EQ(pickedMeter_.model, 3);
  ASSERT_EQ(sink_.progress.size(), 10u);
  EXPECT_EQ(sink_.progress.front(), "Searching: 1 of 10");
  EXPECT_EQ(sink_.progress.back(), "Searching: 10 of 10");
  EXPECT_EQ(sink_.done, 10);
  EXPECT_EQ(IdEvents(), (std::vector<std::string>{"id 3", "id 7"}));
}

TEST_F(Scan, StartAboveEndAsksNothingAndKeepsThePick) {
  StartBus({"--meter", "3:QM4C"});
  pickedMeter_.address = 9;
  pickedMeter_.model = 2;
  EXPECT_EQ(ScanBus(link_, 5, 4, sink_, pickedMeter_), 0);
  EXPECT_TRUE(sink_.progress.empty());
  EXPECT_TRUE(IdEvents().empty());
  EXPECT_EQ(pickedMeter_.address, 9);
  EXPECT_EQ(pickedMeter_.model, 2);
}

TEST_F(Scan, EqualStartAndEndAskExactlyThatAddress) {
  StartBus({"--meter", "5:QM4B"});
  EXPECT_EQ(ScanBus(link_, 5, 5, sink_, pickedMeter_), 1);
  EXPECT_EQ(sink_.progress, (std::vector<std::string>{"Searching: 5 of 5"}));
  EXPECT_EQ(IdEvents(), (std::vector<std::string>{"id 5"}));
  EXPECT_EQ(pickedMeter_.address, 5);
  EXPECT_EQ(pickedMeter_.model, 2);
}

TEST_F(Scan, NoAnswerLeavesTheEarlierPick) {
  StartBus({"--meter", "3:QM4C"});
  pickedMeter_.address = 3;
  pickedMeter_.model = 3;
  EXPECT_EQ(ScanBus(link_, 4, 5, sink_, pickedMeter_), 0);
  EXPECT_TRUE(sink_.entries.empty());
  EXPECT_EQ(pickedMeter_.address, 3);
  EXPECT_EQ(pickedMeter_.model, 3);
}

// An end typed as -1 is 4294967295 unsigned: the scan stops after 255, and a
// meter above 63 is picked directly (the 1..63 rule is the list selection's).
TEST_F(Scan, HugeEndStopsAfterAddress255AndPicksAHighAddress) {
  StartBus({"--meter", "254:QM4B"});
  EXPECT_EQ(ScanBus(link_, 252, 0xFFFFFFFFu, sink_, pickedMeter_), 1);
  EXPECT_EQ(sink_.progress, (std::vector<std::string>{"Searching: 252 of -1", "Searching: 253 of -1",
                                                      "Searching: 254 of -1", "Searching: 255 of -1"}));
  EXPECT_EQ(pickedMeter_.address, 254);
  EXPECT_EQ(pickedMeter_.model, 2);
}

// The model comes from the identification text alone: a device naming no
// model is listed and picked with model 0 (the poll then reads nothing from
// it); a text naming two models takes the first of QM4A, QM4B, QM4C.
TEST_F(Scan, ModelComesFromTheIdentificationText) {
  StartBus({"--meter", "2:QM4C", "--meter", "4:QM4C"});
  ASSERT_EQ(sim_->Command("idtext 2 Acme Flow Computer"), "ok");
  ASSERT_EQ(sim_->Command("idtext 4 QM4B and QM4A gateway"), "ok");
  EXPECT_EQ(ScanBus(link_, 1, 5, sink_, pickedMeter_), 2);
  EXPECT_EQ(sink_.entries, (std::vector<std::string>{"02 - Acme Flow Computer", "04 - QM4B and QM4A gateway"}));
  EXPECT_EQ(pickedMeter_.address, 2);
  EXPECT_EQ(pickedMeter_.model, 0);
  EXPECT_EQ(ScanBus(link_, 3, 5, sink_, pickedMeter_), 1);
  EXPECT_EQ(pickedMeter_.address, 4);
  EXPECT_EQ(pickedMeter_.model, 1);
}
