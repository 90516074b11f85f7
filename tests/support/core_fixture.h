#pragma once
// Shared by the core and pylaxctl tests: each test runs in its own temporary
// current directory (the download and the activity log write there), and the
// core tests talk to qm4sim over a real pseudo terminal.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "meter/meter_state.h"
#include "bus/logging_start.h"
#include "modbus/link.h"
#include "tests/support/sim_process.h"

class TempCurrentDirectory {
 public:
  TempCurrentDirectory() {
    previous_ = std::filesystem::current_path();
    char pattern[] = "/tmp/pylax-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) std::abort();
    path_ = made;
    std::filesystem::current_path(path_);
  }
  ~TempCurrentDirectory() {
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// qm4sim with the given meters, its link opened as the port, and what the
// console would keep, as at program start.
class CoreOverSim : public ::testing::Test {
 protected:
  void StartBus(const std::vector<std::string>& meters) {
    sim_ = std::make_unique<SimProcess>(meters);
    ASSERT_TRUE(link_.Open(sim_->LinkPath().c_str(), 38400)) << link_.OpenFailureText();
    sim_->TakeEvents(0, 0);
  }
  void TearDown() override { link_.Close(); }

  std::string Sim(const std::string& line) {
    const std::string reply = sim_->Command(line);
    EXPECT_EQ(reply.rfind("ok", 0), 0u) << line << " -> " << reply;
    return reply;
  }
  // The "write ADDR REG VALUE" events since the last call, in order.
  std::vector<std::string> Writes() {
    std::vector<std::string> writes;
    for (const std::string& event : sim_->TakeEvents(0, 200))
      if (event.rfind("write", 0) == 0) writes.push_back(event);
    return writes;
  }

  TempCurrentDirectory cwd_;
  std::unique_ptr<SimProcess> sim_;
  ModbusLink link_;
  Meter pickedMeter_;
  PollState pollState_;
  PhaseOffsets phaseOffset_ = kRowTotals;
  LogSetup logSetup_;
};
