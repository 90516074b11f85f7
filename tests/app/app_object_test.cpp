// The application object's order of start-up and shut-down, in this process.
// The console is replaced (RunConsole below): these tests see whether the
// interactive run was reached, not the window itself.

#include <gtest/gtest.h>

#include <algorithm>

#include "app/CMeterApp.h"
#include "app/run_console.h"
#include "app_test_util.h"

int g_consoleRuns = 0;

void RunConsole(int&, char**, QWidget*&, const LaunchOptions&) { ++g_consoleRuns; }

namespace {

class ApplicationObject : public RegistryFixture {
 protected:
  void SetUp() override {
    RegistryFixture::SetUp();
    g_consoleRuns = 0;
    instance_.path = folder_.Path() + "/bin-1/pylax";
    std::filesystem::create_directories(folder_.Path() + "/bin-1");
    WriteText(instance_.path, "\x7F" "ELF");
  }

  // Runs the object over argv (the program path first) and returns the exit code.
  int Run(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    app_.m_hInstance = &instance_;
    return app_.Run(static_cast<int>(args.size()), argv.data(), LaunchOptions{});
  }

  std::vector<std::string> ExitSteps() const {
    const std::vector<std::string>& steps = RecordedSteps();
    auto exit = std::find(steps.begin(), steps.end(), "ExitInstance");
    return std::vector<std::string>(exit, steps.end());
  }

  long Count(const std::string& step) const {
    return std::count(RecordedSteps().begin(), RecordedSteps().end(), step);
  }

  ModuleInstance instance_;
  CMeterApp app_;
};

TEST_F(ApplicationObject, RegistrationRunEndsBeforeAnythingIsShownAndShutsDownOnce) {
  EXPECT_EQ(Run({instance_.path, "/RegServer"}), 0);
  EXPECT_EQ(g_consoleRuns, 0);
  EXPECT_EQ(Registry(), RegisteredAppIdLines());
  const std::vector<std::string>& steps = RecordedSteps();
  ASSERT_GE(steps.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(steps.begin(), steps.begin() + 4),
            (std::vector<std::string>{"InitInstance", "CoInitialize", "Initialize",
                                      "ApplyRegistryScript 103 register"}));
  // StartServer has shut the module down; ExitInstance must not do it again.
  EXPECT_EQ(std::vector<std::string>(steps.end() - 3, steps.end()),
            (std::vector<std::string>{"Shutdown", "CoUninitialize", "ExitInstance"}));
  EXPECT_EQ(Count("Shutdown"), 1);
  EXPECT_EQ(Count("CoUninitialize"), 1);
  EXPECT_EQ(Count("PublishClassObjects"), 0);
  EXPECT_EQ(Count("WithdrawClassObjects"), 0);
  EXPECT_FALSE(app_.m_bServerStarted);
}

TEST_F(ApplicationObject, LowerCaseUnregistrationAfterAHyphenRemovesTheEntries) {
  EXPECT_EQ(Run({instance_.path, "/RegServer"}), 0);
  ClearRecordedSteps();
  CMeterApp second;
  second.m_hInstance = &instance_;
  std::string program = instance_.path, flag = "-unregserver";
  char* argv[] = {program.data(), flag.data(), nullptr};
  EXPECT_EQ(second.Run(2, argv, LaunchOptions{}), 0);
  EXPECT_EQ(g_consoleRuns, 0);
  EXPECT_EQ(Registry(), Lines({"REGEDIT4", "", "[HKEY_CLASSES_ROOT\\AppID]", ""}));
  EXPECT_EQ(Count("ApplyRegistryScript 103 unregister"), 1);
  EXPECT_EQ(Count("Shutdown"), 1);
}

TEST_F(ApplicationObject, InteractiveRunPublishesRunsTheConsoleThenShutsDown) {
  EXPECT_EQ(Run({instance_.path}), 0);
  EXPECT_EQ(g_consoleRuns, 1);
  EXPECT_EQ(RecordedSteps(),
            (std::vector<std::string>{"InitInstance", "CoInitialize", "Initialize",
                                      "PublishClassObjects", "RunConsole", "ExitInstance",
                                      "WithdrawClassObjects", "Shutdown", "CoUninitialize"}));
  EXPECT_FALSE(std::filesystem::exists(registryPath_));
}

TEST_F(ApplicationObject, ASwitchFollowedByABlankOrAnArgumentIsNotRecognised) {
  const std::vector<std::vector<std::string>> lines = {
      {instance_.path, "/RegServer", ""},        // "... /RegServer " ends in a blank
      {instance_.path, "-UnregServer", "now"},
      {instance_.path, "/RegServer", "-Verbose"},
  };
  for (const auto& line : lines) {
    ClearRecordedSteps();
    g_consoleRuns = 0;
    CMeterApp app;
    app.m_hInstance = &instance_;
    std::vector<std::string> args = line;
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    EXPECT_EQ(app.Run(static_cast<int>(args.size()), argv.data(), LaunchOptions{}), 0);
    EXPECT_EQ(g_consoleRuns, 1) << line[1];
    EXPECT_EQ(ExitSteps(), (std::vector<std::string>{"ExitInstance", "WithdrawClassObjects",
                                                     "Shutdown", "CoUninitialize"}));
  }
  EXPECT_FALSE(std::filesystem::exists(registryPath_));
}

TEST_F(ApplicationObject, AProgramPathWithHyphensSlashesAndAQuoteStillRegisters) {
  instance_.path = folder_.Path() + "/my-tools/v2.d/it's/pylax";
  std::filesystem::create_directories(folder_.Path() + "/my-tools/v2.d/it's");
  WriteText(instance_.path, "\x7F" "ELF");
  WriteText(folder_.Path() + "/my-tools/v2.tlb", MakeTypeLibrary(TypeLibFields{}));
  EXPECT_EQ(Run({instance_.path, "-RegServer"}), 0);
  const std::string text = Registry();
  EXPECT_EQ(text.rfind(RegisteredAppIdLines(), 0), 0u) << text;
  EXPECT_NE(text.find("@=\"" + folder_.Path() + "/my-tools/v2.tlb\""), std::string::npos) << text;
  EXPECT_NE(text.find("\\HELPDIR]\n@=\"" + folder_.Path() + "/my-tools/\""), std::string::npos);
  EXPECT_EQ(Count("AddReplacement Module=" + folder_.Path() + "/my-tools/v2.d/it''s/pylax"), 1);
  EXPECT_EQ(Count("ResourceRegister " + instance_.path + " 103 REGISTRY"), 1);
}

}  // namespace
