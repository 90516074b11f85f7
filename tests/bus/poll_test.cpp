// The poll of each model against known register values on qm4sim.

#include "bus/poll.h"
#include "util/shown_text.h"
#include "meter/register_map.h"

#include <cstdio>

#include "tests/support/core_fixture.h"

namespace {
// Distinct values for the 24 float pairs of the reading block (address
// 258 + 2k), chosen so that "%.3f" rounding shows.
float PairValue(int pair) { return 1000.0f + 11.1115f * static_cast<float>(pair) - 0.0004f; }

std::string Shown(float value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(value));
  return text;
}

class Poll : public CoreOverSim {
 protected:
  void StartMeters() {
    StartBus({"--static", "--meter", "3:QM4C", "--meter", "7:QM4A", "--meter", "9:QM4B"});
  }
  void SetReadingBlock(int address, int pairs) {
    for (int pair = 0; pair < pairs; ++pair) {
      char line[96];
      std::snprintf(line, sizeof line, "setfloat %d %d %.9g", address, 258 + 2 * pair,
                    static_cast<double>(PairValue(pair)));
      Sim(line);
    }
  }
  void Pick(int address, int model) {
    pickedMeter_.address = address;
    pickedMeter_.model = model;
  }
  std::vector<std::string> Reads() {
    std::vector<std::string> reads;
    for (const std::string& event : sim_->TakeEvents(0, 200))
      if (event.rfind("read", 0) == 0) reads.push_back(event);
    return reads;
  }
  PollFields fields_;
};
}  // namespace

TEST_F(Poll, Qm4cFillsEveryFieldFromItsThreeBlocks) {
  StartMeters();
  SetReadingBlock(3, 24);
  Sim("set 3 149 60");
  Sim("clock 3 2009 06 15 14 03 07");
  Sim("set 3 161 44");
  Sim("set 3 162 130");
  Sim("set 3 165 " + std::to_string((5 << 8) | 3));   // 5 March
  Sim("set 3 166 " + std::to_string((14 << 8) | 10)); // 2010, 14 h
  Sim("set 3 167 " + std::to_string((7 << 8) | 3));   // 14:03:07
  Pick(3, 3);
  sim_->TakeEvents(0, 0);
  ASSERT_TRUE(PollMeter(link_, pickedMeter_, pollState_, fields_, phaseOffset_));
  EXPECT_EQ(Reads(), (std::vector<std::string>{"read 3 258 48", "read 3 149 8", "read 3 159 9"}));
  EXPECT_EQ(fields_.kwh, Shown(PairValue(0)));
  EXPECT_EQ(fields_.kw, Shown(PairValue(1)));
  EXPECT_EQ(fields_.pf, Shown(PairValue(4)));
  EXPECT_EQ(fields_.voltsLL, Shown(PairValue(5)));
  EXPECT_EQ(fields_.voltsLN, Shown(PairValue(6)));
  EXPECT_EQ(fields_.amps, Shown(PairValue(7)));
  EXPECT_EQ(fields_.subInterval, "60");
  EXPECT_EQ(pollState_.subIntervalSeconds, 60);
  // The clock runs: allow the second it may have ticked on.
  ASSERT_TRUE(fields_.clock.has_value());
  EXPECT_TRUE(*fields_.clock == "6/15/2009  14:03:07" || *fields_.clock == "6/15/2009  14:03:08") << *fields_.clock;
  EXPECT_EQ(fields_.bufferStatus, "NOT FULL");
  EXPECT_EQ(fields_.rollovers, "0");
  EXPECT_EQ(fields_.daysToRollover, "44");
  EXPECT_EQ(fields_.logEntries, "130");
  EXPECT_EQ(fields_.newestEntry, "3/5/2010  14:03:07");
  EXPECT_EQ(pollState_.ok, 3);
  EXPECT_EQ(pollState_.bad, 0);
}

TEST_F(Poll, FullBufferShows5760WhateverTheEntryRegisterHolds) {
  StartMeters();
  Sim("set 3 160 2");
  Sim("set 3 162 0");  // a full log has its newest entry whatever this says
  Sim("set 3 149 65535");
  Sim("set 3 165 " + std::to_string((31 << 8) | 12));
  Sim("set 3 166 " + std::to_string((23 << 8) | 123));
  Sim("set 3 167 " + std::to_string((59 << 8) | 9));
  Pick(3, 3);
  PollMeter(link_, pickedMeter_, pollState_, fields_, phaseOffset_);
  EXPECT_EQ(fields_.bufferStatus, "FULL");
  EXPECT_EQ(fields_.rollovers, "2");
  EXPECT_EQ(fields_.logEntries, "5760");
  EXPECT_EQ(fields_.subInterval, "65535");  // unsigned in the field, -1 as the 16-bit copy
  EXPECT_EQ(pollState_.subIntervalSeconds, -1);
  EXPECT_EQ(fields_.newestEntry, "12/31/2123  23:09:59");
}

// A restarted log is empty and its newest-entry registers read 0: the field
// shows nothing rather than a date of zeros.
TEST_F(Poll, NewestEntryOfARestartedLogIsEmpty) {
  StartMeters();
  Sim("prefill 3 130");
  ASSERT_EQ(link_.WriteSingleRegister(3, reg::kCommand, reg::kCommandRestartLogging), ResultOk);
  Pick(3, 3);
  PollMeter(link_, pickedMeter_, pollState_, fields_, phaseOffset_);
  EXPECT_EQ(fields_.logEntries, "0");
  EXPECT_EQ(fields_.newestEntry, "");
}

TEST_F(Poll, PhaseSelectorsPickTheirPairsFromTheSameRequest) {
  StartMeters();
  SetReadingBlock(9, 24);
  Pick(9, 2);
  phaseOffset_[RowKw] = PhaseOffset(RowKw, 3);            // KW-C, offset 20
  phaseOffset_[RowPf] = PhaseOffset(RowPf, 1);            // PF-A, offset 22
  phaseOffset_[RowVoltsLL] = PhaseOffset(RowVoltsLL, 2);  // V-BC, offset 30
  phaseOffset_[RowVoltsLN] = PhaseOffset(RowVoltsLN, 3);  // V-CN, offset 38
  phaseOffset_[RowAmps] = PhaseOffset(RowAmps, 2);        // AMPS-B, offset 42
  sim_->TakeEvents(0, 0);
  ASSERT_TRUE(PollMeter(link_, pickedMeter_, pollState_, fields_, phaseOffset_));
  EXPECT_EQ(Reads(), (std::vector<std::string>{"read 9 258 48"}));
  EXPECT_EQ(fields_.kw, Shown(PairValue(10)));
  EXPECT_EQ(fields_.pf, Shown(PairValue(11)));
  EXPECT_EQ(fields_.voltsLL, Shown(PairValue(15)));
  EXPECT_EQ(fields_.voltsLN, Shown(PairValue(19)));
  EXPECT_EQ(fields_.amps, Shown(PairValue(21)));
  // A QM4B has no clock or log: those fields are not touched.
  EXPECT_FALSE(fields_.subInterval || fields_.clock || fields_.bufferStatus || fields_.logEntries);
  EXPECT_EQ(pollState_.ok, 1);
}

TEST_F(Poll, Qm4aReadsFourRegistersAndShowsOnlyEnergyAndTotalPower) {
  StartMeters();
  SetReadingBlock(7, 2);
  Pick(7, 1);
  sim_->TakeEvents(0, 0);
  ASSERT_TRUE(PollMeter(link_, pickedMeter_, pollState_, fields_, phaseOffset_));
  EXPECT_EQ(Reads(), (std::vector<std::string>{"read 7 258 4"}));
  EXPECT_EQ(fields_.kwh, Shown(PairValue(0)));
  EXPECT_EQ(fields_.kw, Shown(PairValue(1)));
  EXPECT_FALSE(fields_.pf || fields_.voltsLL || fields_.voltsLN || fields_.amps || fields_.clock);
  EXPECT_EQ(pollState_.ok, 1);
}

// Phase A of kW is never read from a QM4A: the field is blanked, not left
// with an older value nor filled from registers that were not asked for.
TEST_F(Poll, Qm4aWithAPhaseSelectedShowsNothingForKw) {
  StartMeters();
  SetReadingBlock(7, 2);
  Pick(7, 1);
  phaseOffset_[RowKw] = PhaseOffset(RowKw, 1);
  ASSERT_TRUE(PollMeter(link_, pickedMeter_, pollState_, fields_, phaseOffset_));
  EXPECT_EQ(fields_.kwh, Shown(PairValue(0)));
  EXPECT_EQ(fields_.kw, "");
}

TEST_F(Poll, ClockBlockFailureIsCountedNowhereAndSkipsTheLogStatus) {
  StartMeters();
  Pick(3, 3);
  Sim("fault 3 exception 1 at 150");
  sim_->TakeEvents(0, 0);
  ASSERT_TRUE(PollMeter(link_, pickedMeter_, pollState_, fields_, phaseOffset_));
  EXPECT_EQ(Reads(), (std::vector<std::string>{"read 3 258 48", "read 3 149 8"}));
  EXPECT_TRUE(fields_.kwh.has_value());
  EXPECT_FALSE(fields_.subInterval || fields_.clock || fields_.bufferStatus || fields_.newestEntry);
  EXPECT_EQ(pollState_.ok, 1);
  EXPECT_EQ(pollState_.bad, 0);
  EXPECT_EQ(pollState_.lastResult, ResultOk);
  EXPECT_EQ(fields_.lastFailure, ResultException);
}

TEST_F(Poll, FailedReadingAndLogStatusReadsAreCountedWithTheirCodes) {
  StartMeters();
  Pick(3, 3);
  Sim("fault 3 badcrc 1 at 300");
  ASSERT_TRUE(PollMeter(link_, pickedMeter_, pollState_, fields_, phaseOffset_));
  EXPECT_FALSE(fields_.kwh || fields_.kw);
  EXPECT_TRUE(fields_.clock && fields_.bufferStatus);  // the cycle goes on after the reading block
  EXPECT_EQ(pollState_.ok, 2);
  EXPECT_EQ(pollState_.bad, 1);
  EXPECT_EQ(pollState_.lastResult, ResultCrc);

  PollFields second;
  Sim("fault 3 exception 1 at 160");
  ASSERT_TRUE(PollMeter(link_, pickedMeter_, pollState_, second, phaseOffset_));
  EXPECT_TRUE(second.kwh && second.clock);
  EXPECT_FALSE(second.bufferStatus || second.logEntries || second.newestEntry);
  EXPECT_EQ(pollState_.ok, 4);
  EXPECT_EQ(pollState_.bad, 2);
  EXPECT_EQ(pollState_.lastResult, ResultException);
}

TEST_F(Poll, NothingHappensWithoutPortModelOrWhileSuspended) {
  StartMeters();
  sim_->TakeEvents(0, 0);
  Pick(3, 0);
  EXPECT_FALSE(PollMeter(link_, pickedMeter_, pollState_, fields_, phaseOffset_));
  Pick(3, 3);
  pollState_.suspended = true;
  EXPECT_FALSE(PollMeter(link_, pickedMeter_, pollState_, fields_, phaseOffset_));
  pollState_.suspended = false;
  link_.Close();
  EXPECT_FALSE(PollMeter(link_, pickedMeter_, pollState_, fields_, phaseOffset_));
  EXPECT_TRUE(sim_->TakeEvents(0, 200).empty());
  EXPECT_EQ(pollState_.ok + pollState_.bad, 0);
  EXPECT_FALSE(fields_.kwh.has_value());
}

// A model picked with no valid address: every tick fails without a frame.
TEST_F(Poll, ModelWithoutAddressCountsBadParameter) {
  StartMeters();
  Pick(-1, 2);
  ASSERT_TRUE(PollMeter(link_, pickedMeter_, pollState_, fields_, phaseOffset_));
  EXPECT_EQ(pollState_.bad, 1);
  EXPECT_EQ(pollState_.lastResult, ResultBadParameter);
}

// Each byte of no well-formed character becomes U+FFFD; each length's edges stay.
TEST(ShownText, InvalidBytesBecomeTheReplacementCharacter) {
  const std::string r = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"QM4C \x7F", "QM4C \x7F"}, {"\xC2\x80\xDF\xBF", "\xC2\x80\xDF\xBF"}, {"\xB5", r}, {"a\xFF" "b", "a" + r + "b"},
      {"\xE0\xA0\x80\xED\x9F\xBF", "\xE0\xA0\x80\xED\x9F\xBF"}, {"\xF5\x80\x80\x80", r + r + r + r}, {"\xE2\x82", r + r},
      {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
      {"\xC0\xAF", r + r}, {"\xE0\x9F\xBF", r + r + r}, {"\xED\xA0\x80", r + r + r}, {"\xF4\x90\x80\x80", r + r + r + r},
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(ValidUtf8(text), shown) << text;
}

// Controls (C0, DEL, C1) become \xNN on a terminal; other text stays.
TEST(ShownText, ControlCharactersAreEscapedForATerminal) {
  const std::pair<std::string, std::string> cases[] = {
      {"QM4C", "QM4C"}, {"a\x1b[2Jb", "a\\x1b[2Jb"}, {"\x07\x1f", "\\x07\\x1f"}, {" ~\x7f", " ~\\x7f"},
      {"\n\r\t", "\\x0a\\x0d\\x09"}, {std::string("\0", 1), "\\x00"}, {"\xc2\x80\xc2\x9b\xc2\x9f", "\\x80\\x9b\\x9f"},
      {"\xc2\xa0\xc3\xa9", "\xc2\xa0\xc3\xa9"}, {"\x9b\xff", "\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(TerminalText(text), shown) << text;
}
