// The pylax program as a user starts it: registration runs that end at once
// (with no display at all), the windowless run that waits for a signal, the
// simulated meters, and pylax's own options.

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include "app_test_util.h"

extern char** environ;

namespace {

// Generous: only there so that a hung pylax fails the test instead of CI.
constexpr auto kPatience = std::chrono::seconds(30);

class PylaxProcess : public RegistryFixture {
 protected:
  void SetUp() override {
    RegistryFixture::SetUp();
    stepLog_ = folder_.Path() + "/steps.log";
    program_ = PYLAX_PATH;
  }
  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    RegistryFixture::TearDown();
  }

  // pylax's environment: ours, with the registry and the step log in the
  // test's folder; no display unless asked for (the offscreen platform).
  std::vector<std::string> Environment(bool offscreen) const {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      std::string entry = *e;
      static const char* kDropped[] = {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=",
                                       "PYLAX_REGISTRY=", "PYLAX_STEP_LOG="};
      bool dropped = false;
      for (const char* name : kDropped) dropped = dropped || entry.rfind(name, 0) == 0;
      if (!dropped) env.push_back(entry);
    }
    env.push_back("PYLAX_REGISTRY=" + registryPath_);
    env.push_back("PYLAX_STEP_LOG=" + stepLog_);
    if (offscreen) env.push_back("QT_QPA_PLATFORM=offscreen");
    return env;
  }

  void Start(const std::vector<std::string>& args, bool offscreen = true) {
    std::vector<std::string> argv = {program_};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = Environment(offscreen);
    std::vector<char*> argvp, envp;
    for (std::string& a : argv) argvp.push_back(a.data());
    for (std::string& e : env) envp.push_back(e.data());
    argvp.push_back(nullptr);
    envp.push_back(nullptr);
    std::string out = folder_.Path() + "/stdout.txt";
    pid_ = ::fork();
    if (pid_ == 0) {
      FILE* redirected = std::freopen(out.c_str(), "w", stdout);
      std::freopen((out + ".err").c_str(), "w", stderr);
      if (redirected != nullptr) ::execve(argvp[0], argvp.data(), envp.data());
      ::_exit(127);
    }
    ASSERT_GT(pid_, 0);
  }

  // The exit status of the running pylax: its exit code, or 128 + signal.
  int Wait() {
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "pylax did not end";
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  int RunToEnd(const std::vector<std::string>& args, bool offscreen = true) {
    Start(args, offscreen);
    return Wait();
  }

  std::vector<std::string> Steps() const {
    std::vector<std::string> steps;
    std::istringstream text(ReadText(stepLog_));
    for (std::string line; std::getline(text, line);) steps.push_back(line);
    return steps;
  }

  // The windowless run records its last step once the signals are caught.
  bool WaitForStep(const std::string& step) {
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
      auto steps = Steps();
      if (std::find(steps.begin(), steps.end(), step) != steps.end()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  std::string stepLog_;
  std::string program_;
  pid_t pid_ = -1;
};

long Count(const std::vector<std::string>& steps, const std::string& step) {
  return std::count(steps.begin(), steps.end(), step);
}

const std::vector<std::string> kServerExit = {"ExitInstance", "WithdrawClassObjects", "Shutdown",
                                              "CoUninitialize"};

std::vector<std::string> Tail(const std::vector<std::string>& steps, std::size_t n) {
  return std::vector<std::string>(steps.end() - std::min(n, steps.size()), steps.end());
}

TEST_F(PylaxProcess, RegistersAndUnregistersFromAnOddPathWithoutADisplay) {
  // Hyphens, slashes, a "." only in a directory name and a quote: the type
  // library is looked for where that directory's "." cuts the path.
  std::string dir = folder_.Path() + "/my-tools/v2.d/it's";
  std::filesystem::create_directories(dir);
  program_ = dir + "/pylax";
  std::filesystem::copy_file(PYLAX_PATH, program_);
  std::filesystem::permissions(program_, std::filesystem::perms::owner_all);
  const std::string tlb = folder_.Path() + "/my-tools/v2.tlb";
  WriteText(tlb, MakeTypeLibrary(TypeLibFields{}));

  EXPECT_EQ(RunToEnd({"/RegServer"}, false), 0);
  const std::string key = "[HKEY_CLASSES_ROOT\\TypeLib\\" + kTypeLibId;
  EXPECT_EQ(Registry(), RegisteredAppIdLines() +
                            Lines({"[HKEY_CLASSES_ROOT\\TypeLib]", "", key + "]", "", key + "\\1.0]",
                                   "@=\"Pylax Type Library\"", "", key + "\\1.0\\0]", "",
                                   key + "\\1.0\\0\\win32]", "@=\"" + tlb + "\"", "",
                                   key + "\\1.0\\FLAGS]", "@=\"0\"", "", key + "\\1.0\\HELPDIR]",
                                   "@=\"" + folder_.Path() + "/my-tools/\"", ""}));
  auto steps = Steps();
  EXPECT_EQ(Count(steps, "AddReplacement Module=" + folder_.Path() + "/my-tools/v2.d/it''s/pylax"), 1);
  EXPECT_EQ(Count(steps, "Shutdown"), 1);  // not again in ExitInstance
  EXPECT_EQ(Tail(steps, 3), (std::vector<std::string>{"Shutdown", "CoUninitialize", "ExitInstance"}));

  std::filesystem::remove(stepLog_);
  EXPECT_EQ(RunToEnd({"-unregserver"}, false), 0);
  EXPECT_EQ(Registry(), Lines({"REGEDIT4", "", "[HKEY_CLASSES_ROOT\\AppID]", "",
                               "[HKEY_CLASSES_ROOT\\TypeLib]", ""}));
  EXPECT_EQ(Count(Steps(), "Shutdown"), 1);
}

TEST_F(PylaxProcess, EmbeddingRunsWithoutAWindowUntilSigtermThenExitsWithZero) {
  Start({"-Embedding"});
  ASSERT_TRUE(WaitForStep("WindowlessRun"));
  EXPECT_EQ(Count(Steps(), "RunConsole"), 0);
  ::kill(pid_, SIGTERM);
  EXPECT_EQ(Wait(), 0);
  EXPECT_EQ(Tail(Steps(), 4), kServerExit);
  EXPECT_FALSE(std::filesystem::exists(registryPath_));
}

TEST_F(PylaxProcess, LowerCaseAutomationAfterASlashEndsOnSigintWithZero) {
  Start({"/automation"});
  ASSERT_TRUE(WaitForStep("WindowlessRun"));
  ::kill(pid_, SIGINT);
  EXPECT_EQ(Wait(), 0);
  EXPECT_EQ(Tail(Steps(), 4), kServerExit);
}

// The children of pid, from /proc/*/stat (field 4 is the parent).
std::vector<pid_t> ChildrenOf(pid_t parent) {
  std::vector<pid_t> children;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string stat = ReadText(entry.path().string() + "/stat");
    std::size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 2));
    std::string state;
    pid_t ppid = 0;
    fields >> state >> ppid;
    if (ppid == parent) children.push_back(std::stoi(name));
  }
  return children;
}

TEST_F(PylaxProcess, SimulateStartsTheDemoMetersAndEndsThemWithPylax) {
  Start({"--simulate", "-Embedding"});
  ASSERT_TRUE(WaitForStep("WindowlessRun")) << ReadText(folder_.Path() + "/stdout.txt.err");
  std::vector<pid_t> children = ChildrenOf(pid_);
  ASSERT_EQ(children.size(), 1u);
  std::string cmdline = ReadText("/proc/" + std::to_string(children[0]) + "/cmdline");
  std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
  EXPECT_NE(cmdline.find("qm4sim --link "), std::string::npos) << cmdline;
  EXPECT_NE(cmdline.find("--meter 3:QM4C --meter 7:QM4A --meter 9:QM4B --prefill "),
            std::string::npos)
      << cmdline;
  ::kill(pid_, SIGTERM);
  EXPECT_EQ(Wait(), 0);
  EXPECT_NE(::kill(children[0], 0), 0);  // reaped: no such process any more
}

// Ctrl+C or SIGTERM while the terms dialog waits: the dialog is closed as by
// its close box (declined), the run ends the usual way with 0, and the
// simulated meters go with their temporary link folder.
TEST_F(PylaxProcess, InteractiveRunEndsInOrderOnSigterm) {
  Start({"--simulate"});
  ASSERT_TRUE(WaitForStep("QuitOnSignal")) << ReadText(folder_.Path() + "/stdout.txt.err");
  const std::vector<pid_t> children = ChildrenOf(pid_);
  ASSERT_EQ(children.size(), 1u);
  std::string cmdline = ReadText("/proc/" + std::to_string(children[0]) + "/cmdline");
  std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
  const size_t link = cmdline.find("--link ") + 7;
  const std::string linkFolder = std::filesystem::path(cmdline.substr(link, cmdline.find(' ', link) - link)).parent_path();
  ASSERT_TRUE(std::filesystem::exists(linkFolder)) << cmdline;

  ::kill(pid_, SIGTERM);
  EXPECT_EQ(Wait(), 0);
  EXPECT_NE(::kill(children[0], 0), 0);
  EXPECT_FALSE(std::filesystem::exists(linkFolder));
  const std::vector<std::string> steps = Steps();
  EXPECT_NE(std::find(steps.begin(), steps.end(), "ExitInstance"), steps.end()) << "ended through ExitInstance";
}

TEST_F(PylaxProcess, VersionPrintsTheVersionResourceAndEnds) {
  EXPECT_EQ(RunToEnd({"--version"}, false), 0);
  EXPECT_EQ(ReadText(folder_.Path() + "/stdout.txt"),
            Lines({"pylax 2.2.0.0", "FileVersion: 2, 2, 0, 0", "ProductVersion: 2, 2, 0, 0",
                   "FileDescription: Pylax MFC Application", "InternalName: Pylax",
                   "OriginalFilename: Pylax.EXE", "ProductName: Pylax Application",
                   "LegalCopyright: Copyright (C) 2026 the Pylax developers. Provided as is, "
                   "without warranty of any kind."}));
  EXPECT_FALSE(std::filesystem::exists(stepLog_));  // nothing else ran
}

TEST_F(PylaxProcess, ABadPortMappingOrFramingIsExplainedAndNothingStarts) {
  const struct {
    const char* environment;  // PYLAX_FRAMING
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {nullptr, {"--port", "COM0=/dev/ttyUSB0"}, "pylax: --port wants COMn=PATH (n from 1 to 9), not \"COM0=/dev/ttyUSB0\"\n"},
      {nullptr, {"--port"}, "pylax: --port wants COMn=PATH (n from 1 to 9), not \"\"\n"},
      {nullptr, {"--framing", "fast"}, "pylax: --framing wants silence or length, not \"fast\"\n"},
      {nullptr, {"--framing"}, "pylax: --framing wants silence or length\n"},
      {"fast", {}, "pylax: PYLAX_FRAMING wants silence or length, not \"fast\"\n"},
      {"fast", {"--framing=bytes"}, "pylax: --framing wants silence or length, not \"bytes\"\n"},
      {nullptr, {"--plot"}, "pylax: --plot wants the data file to show\n"},
      {nullptr, {"--plot="}, "pylax: --plot wants the data file to show\n"},
  };
  for (const auto& c : cases) {
    if (c.environment != nullptr)
      ::setenv("PYLAX_FRAMING", c.environment, 1);
    else
      ::unsetenv("PYLAX_FRAMING");
    EXPECT_EQ(RunToEnd(c.args, false), 2) << c.message;
    EXPECT_EQ(ReadText(folder_.Path() + "/stdout.txt.err"), c.message);
  }
  ::unsetenv("PYLAX_FRAMING");
  EXPECT_FALSE(std::filesystem::exists(stepLog_));
}

// --help and an unknown --option end at once, before anything else runs
// (the terms dialog would need a display, and there is none here). A line
// that ends in a registration switch registers whatever stands before it, as
// it always has.
TEST_F(PylaxProcess, HelpAndUnknownOptionsEndAtOnceButRegistrationRunsStay) {
  const std::string usage = "Usage: pylax [--simulate] [--port COMn=PATH]... [--framing silence|length]\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string refused;  // the unknown option named on stderr, before the usage
    bool registers;       // else --help's usage on stdout
  } cases[] = {
      {{"--help"}, 0, "", false},
      {{"-h", "--simulate"}, 0, "", false},
      {{"/RegServer", "--help"}, 0, "", false},
      {{"--simulat"}, 2, "--simulat", false},
      {{"--port", "COM2=/dev/null", "--Embedding"}, 2, "--Embedding", false},
      {{"--"}, 2, "--", false},
      {{"--help", "/RegServer"}, 0, "", true},
      {{"--no-such-option", "-RegServer"}, 0, "", true},
      {{"--RegServer"}, 0, "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " ... " + c.args.back());
    std::filesystem::remove(registryPath_);
    std::filesystem::remove(stepLog_);
    EXPECT_EQ(RunToEnd(c.args, false), c.status);
    const std::string out = ReadText(folder_.Path() + "/stdout.txt");
    const std::string err = ReadText(folder_.Path() + "/stdout.txt.err");
    const std::string refusal = c.refused.empty() ? "" : "pylax: unknown option \"" + c.refused + "\"\n";
    EXPECT_EQ(err.substr(0, refusal.size() + usage.size()), c.refused.empty() ? "" : refusal + usage);
    EXPECT_EQ(out.substr(0, usage.size()), c.registers || !c.refused.empty() ? "" : usage);
    EXPECT_EQ(std::filesystem::exists(stepLog_), c.registers);  // nothing else ran
    EXPECT_EQ(std::filesystem::exists(registryPath_) ? Registry() : "", c.registers ? RegisteredAppIdLines() : "");
  }
}

// A file --plot shows nothing of: its message stands on stderr while the
// box (offscreen here) waits for its OK.
TEST_F(PylaxProcess, PlotOfATrendFileSaysWhyOnStderr) {
  const std::string path = folder_.Path() + "/trend.csv", err = folder_.Path() + "/stdout.txt.err";
  const std::string message = "pylax: \"" + path +
                              "\" is a trend file saved by the trend window, not a data file downloaded from a "
                              "meter: only those can be plotted.\n";
  WriteText(path, "PC time,Meter,kWh,kW\n2026-12-07 12:51:02.250,03 - QM4C,1.5,2\n");
  Start({"--plot", path});
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (ReadText(err).find(message) == std::string::npos && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_NE(ReadText(err).find(message), std::string::npos) << ReadText(err);
}

TEST_F(PylaxProcess, OwnOptionsAreTakenOutBeforeTheSwitchIsLookedFor) {
  // "--port COM2=/dev/null" and "--framing length" are pylax's; what is
  // left ends in the switch.
  EXPECT_EQ(RunToEnd({"/RegServer", "--port", "COM2=/dev/null", "--framing", "length"}, false), 0);
  EXPECT_EQ(Registry(), RegisteredAppIdLines());
}

}  // namespace
