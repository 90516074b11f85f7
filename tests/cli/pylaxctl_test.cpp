// pylaxctl end to end: the tool as a process against qm4sim, its output,
// its writes on the line and its exit statuses.

#include <fcntl.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <csignal>
#include <cstdio>
#include <chrono>
#include <thread>

#include "tests/support/core_fixture.h"
#include "tests/support/gateway_monitor.h"
#include "tests/support/pylaxctl_process.h"


namespace {
struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
  std::vector<std::string> ErrLines() const { return SplitLines(err); }
};

ToolRun FinishPylaxctl(pid_t pid) {
  ToolRun run;
  run.status = FinishPylaxctlProcess(pid);
  run.out = ReadWholeFile("stdout.txt");
  run.err = ReadWholeFile("stderr.txt");
  return run;
}

ToolRun Pylaxctl(const std::vector<std::string>& args) { return FinishPylaxctl(StartPylaxctl(args)); }

class Cli : public CoreOverSim {
 protected:
  void SetUp() override {
    CoreOverSim::SetUp();
    StartBus({"--static", "--meter", "3:QM4C", "--meter", "7:QM4A", "--meter", "9:QM4B", "--prefill", "20"});
    link_.Close();  // the tool opens the line itself
  }
  void TearDown() override {
    if (running_ > 0 && !Ended()) {
      ::kill(running_, SIGKILL);
      waitpid(running_, nullptr, 0);
    }
    CoreOverSim::TearDown();
  }
  // Whether the tool started into running_ has ended; its status in status_.
  bool Ended() {
    int status = 0;
    if (waitpid(running_, &status, WNOHANG) != running_) return running_ <= 0;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    running_ = -1;
    return true;
  }
  pid_t running_ = -1;
  int status_ = -1;
  std::vector<std::string> ToolArgs(int slave, std::vector<std::string> args) {
    std::vector<std::string> all{"--port", sim_->LinkPath()};
    if (slave > 0) all.insert(all.end(), {"--slave", std::to_string(slave)});
    all.insert(all.end(), args.begin(), args.end());
    return all;
  }
  ToolRun Tool(int slave, std::vector<std::string> args) { return Pylaxctl(ToolArgs(slave, std::move(args))); }
};

class CliOffline : public ::testing::Test {
 protected:
  TempCurrentDirectory cwd_;
};
}  // namespace

TEST_F(CliOffline, VersionAndHelpForTheToolAndEachCommand) {
  ToolRun version = Pylaxctl({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("pylaxctl 2.2.0.0\nFileVersion: 2, 2, 0, 0\n", 0), 0u) << version.out;
  ToolRun help = Pylaxctl({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: pylaxctl [--port NAME] [--baud N] [--slave N] [--simulate] [--trace] [--framing silence|length] [--echo] [--rs485] [--rs485-delays BEFORE,AFTER] [--bus-id NAME] [--config FILE] COMMAND", 0), 0u);
  for (const std::string command : {"scan", "read", "reset-energy", "set-clock", "log show", "log start", "log download", "monitor"}) {
    std::vector<std::string> args;
    std::stringstream words(command);
    for (std::string word; words >> word;) args.push_back(word);
    args.push_back("--help");
    ToolRun run = Pylaxctl(args);
    EXPECT_EQ(run.status, 0) << command;
    EXPECT_EQ(run.out.rfind("Usage: pylaxctl " + command, 0), 0u) << run.out;
  }
}

TEST_F(CliOffline, UsageErrorsExitTwoWithOneLine) {
  const std::vector<std::vector<std::string>> wrong = {
      {},
      {"frobnicate"},
      {"--baud", "1000", "scan"},
      {"--slave", "0", "read"},
      {"--slave", "256", "read"},
      {"read", "--count", "2"},
      {"log"},
      {"log", "start", "--slots", "1,2"},
      {"log", "start", "--slots", "1,x", "--interval", "60"},
      {"log", "start", "--slots", "1,2,3,4,5,6,7,8,9,10,11", "--interval", "60"},
      {"scan", "--json"},
      {"--slave"},
      {"--port", "COMx=/tmp/y", "scan"},
      {"read", "--watch", "--count", "0"},
      {"log", "frob"},
      {"log", "start", "--slots", "1", "2", "--interval", "60"},
      {"--framing", "crc", "scan"},
      {"--framing", "Length", "scan"},
  };
  for (const auto& args : wrong) {
    ToolRun run = Pylaxctl(args);
    EXPECT_EQ(run.status, 2) << (args.empty() ? "" : args[0]);
    EXPECT_EQ(run.ErrLines().size(), 1u) << run.err;
    EXPECT_EQ(run.err.rfind("pylaxctl: ", 0), 0u) << run.err;
  }
}

TEST_F(CliOffline, PortThatCannotBeOpenedSaysWhy) {
  ToolRun run = Pylaxctl({"--port", "/dev/pylax-no-such-port", "scan"});
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.err, "pylaxctl: Unable to open /dev/pylax-no-such-port: /dev/pylax-no-such-port does not exist\n");
}

// A port that cannot be the line asked for is refused at open, by name and
// with the reason, never tried: RS-485 mode on a port whose driver has
// none, anything that is not a terminal (it would take the requests and
// answer nothing, or without end).
TEST_F(CliOffline, PortThatCannotBeTheLineAskedForIsRefusedAtOnce) {
  SimProcess sim({});
  { std::ofstream("plain-file") << "x"; }
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"--port", sim.LinkPath(), "--rs485"},
       sim.LinkPath() + " cannot be switched to RS-485 mode (its driver has none: a pseudo terminal or an adapter "
                        "that switches direction itself); leave --rs485 off for it"},
      {{"--port", sim.LinkPath(), "--rs485-delays", "2,0"}, sim.LinkPath() + " cannot be switched to RS-485 mode"},
      {{"--port", "/dev/zero"}, "/dev/zero is not a serial port (not a terminal device)"},
      {{"--port", "plain-file"}, "plain-file is not a serial port (not a terminal device)"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back("scan");
    const ToolRun run = Pylaxctl(args);
    EXPECT_EQ(run.status, 3) << c.args[1];
    EXPECT_EQ(run.err.rfind("pylaxctl: Unable to open " + c.args[1] + ": " + c.err, 0), 0u) << run.err;
  }
  EXPECT_EQ(ReadWholeFile("plain-file"), "x");  // nothing written into it
}

// Through a line as strict as a real slave about the silence between frames,
// at two rates and under both framings, the scan, the reading and a
// 130-entry download come out the same, and no request is taken for the
// tail of the frame before it.
TEST_F(CliOffline, AStrictLineGivesTheSameScanReadingAndDownloadAtEachRateAndFraming) {
  SimProcess sim({"--static", "--log-sequence", "--prefill", "130", "--baud", "38400", "--meter", "3:QM4C",
                  "--meter", "5:QM4B"});
  std::string firstOutput, firstCsv;
  for (const std::string baud : {"38400", "9600"}) {
    ASSERT_EQ(sim.Command("baud " + baud), "ok");
    for (const std::string framing : {"length", "silence"}) {
      const std::vector<std::string> line{"--port", sim.LinkPath(), "--baud", baud, "--framing", framing};
      std::string output;
      for (const std::vector<std::string>& command :
           {std::vector<std::string>{"scan", "--start", "3", "--end", "5"}, {"--slave", "3", "read"}, {"--slave", "3", "log", "download"}}) {
        std::vector<std::string> args = line;
        args.insert(args.end(), command.begin(), command.end());
        const ToolRun run = Pylaxctl(args);
        EXPECT_EQ(run.status, 0) << baud << " " << framing << " " << command.back() << ": " << run.err;
        for (const std::string& printed : SplitLines(run.out))
          if (printed.rfind("CLOCK", 0) != 0) output += printed + "\n";  // the meter's clock runs on
      }
      const std::string csv = ReadWholeFile("03-data.csv");
      EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 131) << baud << " " << framing;
      if (firstCsv.empty()) {
        firstOutput = output;
        firstCsv = csv;
      }
      EXPECT_EQ(output, firstOutput) << baud << " " << framing;
      EXPECT_EQ(csv, firstCsv) << baud << " " << framing;
      for (const std::string& event : sim.TakeEvents(0, 50))
        EXPECT_NE(event.rfind("tail ", 0), 0u) << baud << " " << framing << ": " << event;
    }
  }
}

TEST_F(CliOffline, SimulateStartsTheDemoBus) {
  ToolRun run = Pylaxctl({"--simulate", "scan", "--start", "3", "--end", "9"});
  EXPECT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> lines = SplitLines(run.out);
  ASSERT_EQ(lines.size(), 3u) << run.out;
  EXPECT_EQ(lines[0], "03 - Orvant QM4C Power Meter");
  EXPECT_EQ(lines[1], "07 - Orvant QM4A Power Meter");
  EXPECT_EQ(lines[2], "09 - Orvant QM4B Power Meter");
}

TEST_F(Cli, ScanListsMetersInOrderOrSaysNoneAnswered) {
  ToolRun run = Tool(0, {"scan", "--start", "2", "--end", "8"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "03 - Orvant QM4C Power Meter\n07 - Orvant QM4A Power Meter\n");
  ToolRun none = Tool(0, {"scan", "--start", "4", "--end", "5"});
  EXPECT_EQ(none.status, 4);
  EXPECT_EQ(none.err, "pylaxctl: no meter answered at addresses 4 to 5\n");
}

TEST_F(Cli, WithoutSlaveTheFirstMeterOfOneToTenIsUsedAndNoAddressAfterItIsAsked) {
  // Meters at 3, 7 and 9: the scan that picks the meter asks 1 to 3 only.
  const struct {
    std::vector<std::string> command;
    std::vector<std::string> writes;
  } cases[] = {
      {{"reset-energy"}, {"write 3 128 30078"}},
      {{"read"}, {}},
      {{"log", "show"}, {}},
  };
  for (const auto& c : cases) {
    ToolRun run = Tool(0, c.command);
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::string> identified, written;
    for (const std::string& event : sim_->TakeEvents(0, 200)) {
      if (event.rfind("id ", 0) == 0) identified.push_back(event);
      if (event.rfind("write ", 0) == 0) written.push_back(event);
    }
    EXPECT_EQ(identified, (std::vector<std::string>{"id 3"})) << c.command[0];
    EXPECT_EQ(written, c.writes) << c.command[0];
  }
}

TEST_F(Cli, NumbersOnTheCommandLineAreDecimal) {
  ToolRun run = Tool(0, {"--slave", "011", "read"});  // octal 011 is the QM4B at 9
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(run.err, "pylaxctl: no meter identified at address 11: Err #1, Timeout Waiting For Response\n");
}

TEST_F(Cli, ReadPrintsEachValueAsTheConsoleShowsIt) {
  Sim("setfloat 9 258 1234.5678");
  Sim("setfloat 9 272 42.0004");
  ToolRun run = Tool(9, {"read"});
  EXPECT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> lines = SplitLines(run.out);
  ASSERT_EQ(lines.size(), 23u) << run.out;  // the 23 labelled pairs, no clock or log
  EXPECT_EQ(lines[0], "KWH               1234.568");
  EXPECT_EQ(lines[7], "AMPS-AVG          42.000");
  EXPECT_EQ(lines[22].rfind("AMPS-C ", 0), 0u);
}

TEST_F(Cli, ReadJsonOfAQm4aHasEnergyAndPowerOnly) {
  Sim("setfloat 7 258 1.5");
  Sim("setfloat 7 260 -2.25");
  ToolRun run = Tool(7, {"read", "--json"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "{\"KWH\":1.5,\"KW\":-2.25}\n");
}

TEST_F(Cli, ReadJsonWritesEachFloatAsItsShortestText) {
  // The value set in each pair, and its key and text in the line; nlohmann's
  // own dump would write 13720.0, 1000000.0 and 0.10000000149011612.
  const std::vector<std::pair<std::string, std::string>> pairs = {
      {"0.1", "\"KWH\":0.1"},
      {"1e-7", "\"KW\":1e-07"},
      {"123456.7", "\"KVAR\":123456.7"},
      {"13720", "\"KVA\":13720"},
      {"-0", "\"PF\":-0"},
      {"1e6", "\"VLL\":1e+06"},
      {"0.0001", "\"VLN\":1e-04"},
      {"nan", "\"AMPS-AVG\":null"},
      {"-inf", "\"KW-A\":null"}};
  std::string expected = "{";
  for (size_t pair = 0; pair < pairs.size(); ++pair) {
    Sim("setfloat 9 " + std::to_string(258 + 2 * pair) + " " + pairs[pair].first);
    expected += pairs[pair].second + ",";
  }
  ToolRun run = Tool(9, {"read", "--json"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind(expected, 0), 0u) << run.out;
}

TEST_F(Cli, ReadJsonOfAQm4cCarriesTheConsoleTexts) {
  Sim("set 3 149 60");
  Sim("set 3 160 1");
  ToolRun run = Tool(3, {"read", "--json"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.front(), '{');
  for (const char* key : {"\"KWH\":", "\"AMPS-C\":", "\"SUBINTERVAL\":\"60\"", "\"BUFFER\":\"FULL\"",
                          "\"LOG-ENTRIES\":\"5760\"", "\"ROLLOVERS\":\"1\"", "\"CLOCK\":\"", "\"NEWEST-ENTRY\":\"",
                          "\"DAYS-TO-ROLLOVER\":\""})
    EXPECT_NE(run.out.find(key), std::string::npos) << key << " in " << run.out;
}

TEST_F(Cli, WatchPollsCountTimes) {
  ToolRun run = Tool(7, {"read", "--json", "--watch", "--count", "2"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(SplitLines(run.out).size(), 2u);
}

TEST_F(Cli, FailedReadExitsOneWithTheResultText) {
  Sim("fault 3 exception 0 at 300");
  ToolRun run = Tool(3, {"read"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "pylaxctl: reading the meter at address 03: Err #4, Exception Response from Modbus Device\n");
}

TEST_F(Cli, ADeviceThatGoesAwayIsNamedOnceAndEndsTheCommand) {
  const std::string device = sim_->LinkPath();
  const pid_t tool = StartPylaxctl(ToolArgs(3, {"read", "--watch", "--count", "30"}));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  sim_.reset();  // the adapter is pulled
  ToolRun run = FinishPylaxctl(tool);
  EXPECT_EQ(run.status, 3);
  const std::vector<std::string> lines = run.ErrLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "pylaxctl: " + device + " has gone away (unplugged, or the program behind it ended)");
  EXPECT_LE(lines.size(), 2u) << run.err;
}

TEST_F(Cli, SlaveThatDoesNotAnswer) {
  ToolRun run = Tool(5, {"read"});
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(run.err, "pylaxctl: no meter identified at address 5: Err #1, Timeout Waiting For Response\n");
}

TEST_F(Cli, SetClockWritesThreeRegistersOnAQm4cOnly) {
  ToolRun refused = Tool(7, {"set-clock"});
  EXPECT_EQ(refused.status, 5);
  EXPECT_EQ(refused.err, "pylaxctl: this command needs a QM4C; the meter at address 07 is a QM4A\n");
  ToolRun run = Tool(3, {"set-clock"});
  EXPECT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> writes = Writes();
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[0].rfind("write 3 154 ", 0), 0u);
  EXPECT_EQ(writes[1].rfind("write 3 155 ", 0), 0u);
  EXPECT_EQ(writes[2].rfind("write 3 156 ", 0), 0u);
}

TEST_F(Cli, ResetEnergyFailureExitsOne) {
  Sim("fault 9 exception 1 at 128");
  ToolRun run = Tool(9, {"reset-energy"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "pylaxctl: Reset kWH: Err #4, Exception Response from Modbus Device\n");
}

TEST_F(Cli, LogStartWritesInOrderOrRefusesWithItsMessages) {
  ToolRun run = Tool(3, {"log", "start", "--slots", "3,26,146", "--interval", "60", "--one-shot"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "Logging Started Successfully\n");
  const std::vector<std::string> expected = {
      "write 3 128 16640", "write 3 168 3", "write 3 169 26", "write 3 170 146", "write 3 171 0",
      "write 3 172 0",     "write 3 173 0", "write 3 174 0",  "write 3 175 0",   "write 3 176 0",
      "write 3 177 0",     "write 3 158 1", "write 3 149 60", "write 3 157 0"};
  EXPECT_EQ(Writes(), expected);
  ToolRun refused = Tool(3, {"log", "start", "--slots", "3,43", "--interval", "60"});
  EXPECT_EQ(refused.status, 6);
  EXPECT_EQ(refused.err,
            "Illegal \"Registers to log\" value.  Must be 0-42, 146, or 155-157, 257-336.\nError starting logging.\n");
  EXPECT_TRUE(Writes().empty());
}

TEST_F(Cli, LogShowListsTheSlots) {
  ToolRun run = Tool(3, {"log", "show"});
  EXPECT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> lines = SplitLines(run.out);
  ASSERT_EQ(lines.size(), 11u) << run.out;
  EXPECT_EQ(lines[0], "slot  1      1  KWH");
  EXPECT_EQ(lines[7], "slot  8    261  KW");
  EXPECT_EQ(lines[10], "sub-interval  900 s");
}

TEST_F(Cli, LogDownloadWritesTheFileAndReportsTheSteps) {
  Sim("set 3 158 2");  // no new entry while the test runs
  ToolRun run = Tool(3, {"log", "download"});
  EXPECT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> lines = SplitLines(ReadWholeFile("03-data.csv"));
  ASSERT_EQ(lines.size(), 21u);
  EXPECT_EQ(lines[0], "Data#, UTC, Date/Time,KWH,KWH,KW,PF,VLN,AMPS-AVG,HZ,KW,KW,");
  EXPECT_EQ(lines[20].rfind("20,0x", 0), 0u);
  const std::vector<std::string> messages = run.ErrLines();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front(), "Starting Download.");
  EXPECT_EQ(messages.back(), "Data written to file \"03-data.csv\". Log available at \"log.txt\"");
  EXPECT_EQ(SplitLines(ReadWholeFile("log.txt")).size(), messages.size() - 1);
}

// Through a monitor's gateway that serves reads only, every command that
// writes names the gateway's refusal, exits 13 and puts nothing on the line.
TEST_F(Cli, AWriteRefusedByAReadOnlyGatewaySaysWhyAndExitsThirteen) {
  GatewayMonitor monitor(sim_->LinkPath(), "1", false);
  ASSERT_TRUE(monitor.Ready());
  const std::string refusal = "the gateway at " + monitor.Address() +
                              " refused the write (exception 01): it serves reads only; its monitor needs "
                              "--gateway-writes";
  struct Case { std::vector<std::string> args; std::string lastLine; };  // lastLine: how stderr's ends
  const Case cases[] = {
      {{"set-clock"}, "pylaxctl: Set Clock: " + refusal},
      {{"reset-energy"}, "pylaxctl: Reset kWH: " + refusal},
      {{"log", "start", "--slots", "3,26", "--interval", "60"}, refusal},
      {{"log", "download"}, refusal},
      {{"log", "sync", "--archive", "sqlite:a.sqlite"}, "_3: " + refusal + "; nothing archived"},
  };
  Writes();
  for (const Case& c : cases) {
    std::vector<std::string> args{"--port", monitor.PortName(), "--slave", "3"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ToolRun run = Pylaxctl(args);
    EXPECT_EQ(run.status, 13) << c.args[0] << run.err;
    ASSERT_FALSE(run.ErrLines().empty()) << c.args[0];
    EXPECT_TRUE(run.ErrLines().back().ends_with(c.lastLine)) << run.err;
    EXPECT_EQ(run.err.find("Retry"), std::string::npos) << run.err;
  }
  EXPECT_TRUE(Writes().empty());
}

TEST_F(Cli, LogDownloadThatFailsExitsSevenAndKeepsThePreviousFile) {
  // A section, and the scale exponents read after the last slot.
  for (const char* fault : {"fault 3 exception 0 at 7999", "fault 3 exception 0 at 137"}) {
    std::ofstream("03-data.csv") << "yesterday\n";
    Sim(fault);
    ToolRun run = Tool(3, {"log", "download"});
    EXPECT_EQ(run.status, 7) << fault;
    EXPECT_EQ(run.ErrLines().back(), "Error while reading data: the meter refused a request (exception response).")
        << fault;
    EXPECT_EQ(ReadWholeFile("03-data.csv"), "yesterday\n") << fault;
    Sim("fault 3 none");
  }
}

namespace {
struct StopCase {
  const char* name;
  std::vector<std::string> args;  // after --trace; without --slave the command picks the first meter itself
  int exchangesBefore;            // whole exchanges traced when the signal is sent
  int signal, status;
  int exchanges;    // in all: the one under way when the signal came ends, then only a slot's release
  size_t outLines;  // on stdout
  const char* errEnd;                // stderr's last line; null: not looked at
  std::vector<std::string> writes;  // each as it begins
};

// Every answer comes 400 ms late and an empty address costs the whole
// timeout; the signal goes 150 ms after the last traced response, so it
// arrives while the next exchange is under way even when the tool was slow
// to go on from the response. In this order: the logging start erases the
// log the download reads.
const StopCase kStopCases[] = {
    {"Scan", {"scan", "--start", "10", "--end", "255"}, 2, SIGTERM, 12, 3, 0, "pylaxctl: stopped by SIGTERM", {}},
    {"ScanPrintsWhatItFound", {"scan", "--end", "255"}, 4, SIGINT, 12, 5, 1, "pylaxctl: stopped by SIGINT", {}},
    {"ReadLookingForItsMeter", {"read"}, 1, SIGINT, 12, 2, 0, "pylaxctl: stopped by SIGINT", {}},
    {"WatchEndsAfterTheWholePoll", {"--slave", "3", "read", "--json", "--watch"}, 5, SIGTERM, 0, 7, 2, nullptr, {}},
    {"ResetEnergyNeverSent", {"reset-energy"}, 2, SIGTERM, 12, 3, 0, "pylaxctl: stopped by SIGTERM", {}},
    {"SetClockSendsAllThree", {"--slave", "3", "set-clock"}, 2, SIGINT, 0, 4, 1, nullptr,
     {"write 3 154", "write 3 155", "write 3 156"}},
    {"LogShowAfterTheSlots", {"--slave", "3", "log", "show"}, 1, SIGTERM, 12, 2, 0, "pylaxctl: stopped by SIGTERM", {}},
    {"LogSyncArchivesNothing", {"--slave", "3", "log", "sync", "--archive", "sqlite:archive.sqlite"}, 3, SIGINT, 12, 5,
     0, "pylaxctl: stopped by SIGINT", {"write 3 157 1", "write 3 157 0"}},
    {"LogDownload", {"--slave", "3", "log", "download"}, 4, SIGTERM, 7, 6, 0,
     "Download stopped; \"03-data.csv\" was not written. Its log is in \"log-stopped.txt\".",
     {"write 3 157 1", "write 3 157 0"}},
    {"LogStart", {"--slave", "3", "log", "start", "--slots", "3,26,146", "--interval", "60"}, 3, SIGINT, 6, 4, 0,
     "Logging start stopped before all settings were written.",
     {"write 3 128 16640", "write 3 168 3", "write 3 169 26"}},
    {"LogDownloadLookingForItsMeter", {"log", "download"}, 1, SIGINT, 7, 2, 0, "pylaxctl: stopped by SIGINT", {}},
    {"MonitorScanning", {"monitor", "--json"}, 2, SIGTERM, 0, 3, 0, nullptr, {}},
};

int TracedExchanges(const std::string& err) {
  const std::vector<std::string> lines = SplitLines(err);
  return int(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("Recv->", 0) == 0; }));
}
}  // namespace

// Each command ends at its next exchange with its own status; yesterday's
// data file stays as it was, with nothing written beside it.
TEST_F(Cli, EveryCommandEndsAtItsNextExchangeOnSigintOrSigterm) {
  Sim("turnaround 400");
  for (const StopCase& c : kStopCases) {
    SCOPED_TRACE(c.name);
    std::ofstream("03-data.csv") << "yesterday\n";
    std::vector<std::string> args{"--port", sim_->LinkPath(), "--trace"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    running_ = StartPylaxctl(args);
    while (TracedExchanges(ReadWholeFile("stderr.txt")) < c.exchangesBefore && !Ended())
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    if (running_ > 0) ::kill(running_, c.signal);  // never kill(-1): a tool that ended early
    // Generous, only to catch a tool that goes on: the scan would take three minutes.
    for (int waited = 0; waited < 1500 && !Ended(); ++waited) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(Ended()) << "still running 15 s after the signal";
    const ToolRun run = FinishPylaxctl(-1);
    EXPECT_EQ(status_, c.status) << run.err;
    EXPECT_EQ(TracedExchanges(run.err), c.exchanges) << run.err;
    EXPECT_EQ(SplitLines(run.out).size(), c.outLines) << run.out;
    if (c.errEnd != nullptr) {
      EXPECT_EQ(run.ErrLines().empty() ? "" : run.ErrLines().back(), c.errEnd);
    }
    const std::vector<std::string> writes = Writes();
    ASSERT_EQ(writes.size(), c.writes.size());
    for (size_t i = 0; i < writes.size(); ++i) EXPECT_EQ(writes[i].rfind(c.writes[i], 0), 0u) << writes[i];
    EXPECT_EQ(ReadWholeFile("03-data.csv"), "yesterday\n");
    for (const char* file : {"archive.sqlite", "archive.sqlite-wal", "archive.sqlite-shm"}) std::filesystem::remove(file);
    // The activity logs: log.txt, and a stopped download's own beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), {}),
              3 + std::filesystem::exists("log.txt") + std::filesystem::exists("log-stopped.txt"));
  }
}

TEST_F(Cli, TraceSaysTheFramingOnceThenEachRequestAndResponse) {
  // The option wins over the environment; a bad environment value is a
  // usage error of its own.
  const struct {
    const char* environment;
    std::vector<std::string> option;
    int status;
    const char* firstLine;
  } cases[] = {
      {nullptr, {}, 0, "framing: silence"},
      {"length", {}, 0, "framing: length"},
      {"silence", {"--framing", "length"}, 0, "framing: length"},
      {"length", {"--framing", "silence"}, 0, "framing: silence"},
      {"fast", {}, 2, "pylaxctl: PYLAX_FRAMING wants silence or length, not \"fast\" (see pylaxctl --help)"},
  };
  for (const auto& c : cases) {
    if (c.environment != nullptr)
      ::setenv("PYLAX_FRAMING", c.environment, 1);
    else
      ::unsetenv("PYLAX_FRAMING");
    std::vector<std::string> args = c.option;
    args.insert(args.end(), {"--trace", "reset-energy"});
    ToolRun run = Tool(9, args);
    EXPECT_EQ(run.status, c.status) << run.err;
    const std::vector<std::string> lines = run.ErrLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], c.firstLine);
    if (c.status != 0) continue;
    ASSERT_EQ(lines.size(), 5u) << run.err;  // the framing, the identification, then the write
    EXPECT_EQ(lines[1], "Send->09 11 C7 EC");
    EXPECT_EQ(lines[2].rfind("Recv->09 11 ", 0), 0u);
    EXPECT_EQ(lines[3], "Send->09 06 00 80 75 7E 2F DA");
    EXPECT_EQ(lines[4], "Recv->09 06 00 80 75 7E 2F DA");
  }
  ::unsetenv("PYLAX_FRAMING");
}
