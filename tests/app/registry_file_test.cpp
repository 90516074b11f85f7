// The REGEDIT4 file: what is read, what is written, and that a file we
// cannot read is never replaced.

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include "app/standins/registry_file.h"
#include "app_test_util.h"

namespace {

using RegistryFile = RegistryFixture;

std::vector<std::string> FolderEntries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(RegistryText, ReadsWhatItWritesEscapesIncluded) {
  const std::string text = Lines({
      "REGEDIT4", "",
      "[HKEY_CLASSES_ROOT\\A]", "@=\"quote \\\" and backslash \\\\\"", "\"n\"=\"v\"",
      "\"d\"=dword:0000002a", "",
      "[HKEY_CLASSES_ROOT\\A\\b]", "", "[HKEY_CURRENT_USER\\Software]", "",
      "[HKEY_CURRENT_USER\\Software\\X y]", "\"path\"=\"C:\\\\dir\\\\\"", ""});
  RegistryTree tree;
  std::string error;
  ASSERT_TRUE(ParseRegistryText(text, tree, error)) << error;
  EXPECT_EQ(tree.Find("HKEY_CLASSES_ROOT\\A")->Value("")->data, "quote \" and backslash \\");
  EXPECT_EQ(tree.Find("HKEY_CURRENT_USER\\Software\\X y")->Value("PATH")->data, "C:\\dir\\");
  EXPECT_FALSE(tree.Find("HKEY_CLASSES_ROOT\\A")->Value("d")->isString);
  EXPECT_EQ(FormatRegistryText(tree), text);
}

TEST(RegistryText, AcceptsCrLfCommentsHexContinuationsAndImpliedParents) {
  const std::string text =
      "REGEDIT4\r\n\r\n; a comment\r\n[HKEY_LOCAL_MACHINE\\S\\T]\r\n"
      "\"bin\"=hex:01,02, \\\r\n  03,04\r\n";
  RegistryTree tree;
  std::string error;
  ASSERT_TRUE(ParseRegistryText(text, tree, error)) << error;
  ASSERT_NE(tree.Find("HKEY_LOCAL_MACHINE\\S"), nullptr);
  EXPECT_EQ(tree.Find("hkey_local_machine\\s\\t")->Value("bin")->data, "hex:01,02,03,04");
}

TEST(RegistryText, WritesKeysInNameOrderWithoutRegardToCase) {
  RegistryTree tree;
  tree.Create("HKEY_CLASSES_ROOT\\b");
  tree.Create("HKEY_CLASSES_ROOT\\C");
  tree.Create("HKEY_CLASSES_ROOT\\a");
  EXPECT_EQ(FormatRegistryText(tree),
            Lines({"REGEDIT4", "", "[HKEY_CLASSES_ROOT\\a]", "", "[HKEY_CLASSES_ROOT\\b]", "",
                   "[HKEY_CLASSES_ROOT\\C]", ""}));
}

TEST(RegistryText, RefusesWhatItCannotReadFaithfully) {
  const char* bad[] = {
      "REGEDIT5\n",                                       // another format
      "[HKEY_CLASSES_ROOT\\A]\n",                         // no header
      "REGEDIT4\n\"v\"=\"x\"\n",                          // a value before any key
      "REGEDIT4\n[HKEY_NOWHERE\\A]\n",                    // no such hive
      "REGEDIT4\n[-HKEY_CLASSES_ROOT\\A]\n",              // a deletion, not content
      "REGEDIT4\n[HKEY_CLASSES_ROOT\\A\\\\B]\n",          // an empty key name
      "REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n@=\"open\n",     // an open string
      "REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n@=\"a\\nb\"\n",  // an escape the format lacks
      "REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n\"v\"=-\n",      // a value deletion
      "REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n\"v\"=hex:01,\\\n",  // ends inside a value
      "REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\njunk\n",
  };
  for (const char* text : bad) {
    RegistryTree tree;
    std::string error;
    EXPECT_FALSE(ParseRegistryText(text, tree, error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST_F(RegistryFile, MissingFileIsAnEmptyRegistryAndAnUnchangedOneIsNotWritten) {
  RegistryTransaction transaction(registryPath_);
  ASSERT_EQ(transaction.Open(), S_OK);
  EXPECT_EQ(transaction.Commit(), S_OK);
  EXPECT_FALSE(std::filesystem::exists(registryPath_));
}

TEST_F(RegistryFile, CommitReplacesTheFileAndLeavesNoTemporaryBehind) {
  WriteText(registryPath_, Lines({"REGEDIT4", "", "[HKEY_CLASSES_ROOT\\Old]", "@=\"kept\"", ""}));
  ::chmod(registryPath_.c_str(), 0640);
  {
    RegistryTransaction transaction(registryPath_);
    ASSERT_EQ(transaction.Open(), S_OK);
    transaction.Tree().Create("HKEY_CLASSES_ROOT\\New")->SetValue("n", "v");
    ASSERT_EQ(transaction.Commit(), S_OK);
  }
  EXPECT_EQ(Registry(), Lines({"REGEDIT4", "", "[HKEY_CLASSES_ROOT\\New]", "\"n\"=\"v\"", "",
                               "[HKEY_CLASSES_ROOT\\Old]", "@=\"kept\"", ""}));
  EXPECT_EQ(FolderEntries(folder_.Path()),
            (std::vector<std::string>{"registry.reg", "registry.reg.lock"}));
  struct stat info {};
  ::stat(registryPath_.c_str(), &info);
  EXPECT_EQ(info.st_mode & 0777, 0640u);  // the file keeps its permissions
}

TEST_F(RegistryFile, AMalformedFileIsRefusedAndLeftByteForByte) {
  const std::string damaged = "REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n@=\"cut off";
  WriteText(registryPath_, damaged);
  RegistryTransaction transaction(registryPath_);
  EXPECT_EQ(transaction.Open(), HRESULT_REGISTRY_CORRUPT);
  EXPECT_EQ(Registry(), damaged);
}

TEST_F(RegistryFile, AValueWithALineBreakIsRefusedAndTheFileKept) {
  const std::string before = Lines({"REGEDIT4", "", "[HKEY_CLASSES_ROOT\\A]", ""});
  WriteText(registryPath_, before);
  RegistryTransaction transaction(registryPath_);
  ASSERT_EQ(transaction.Open(), S_OK);
  transaction.Tree().Create("HKEY_CLASSES_ROOT\\A")->SetValue("", "/tmp/odd\nname");
  EXPECT_EQ(transaction.Commit(), E_INVALIDARG);
  EXPECT_EQ(Registry(), before);
}

// Each bound of registry_limits.h: a file at the bound is read and written
// back; one past it is refused with a message naming the file and the line,
// and the file stays byte for byte.
TEST_F(RegistryFile, BoundsAreReadAtTheLimitAndRefusedOnePast) {
  const std::string hive = "REGEDIT4\n[HKEY_CLASSES_ROOT";
  auto nested = [&](int depth) {
    std::string text = hive;
    for (int i = 0; i < depth; ++i) text += "\\k";
    return text + "]\n";
  };
  auto keyName = [&](size_t n) { return hive + "\\" + std::string(n, 'k') + "]\n"; };
  auto valueName = [&](size_t n) { return hive + "\\k]\n\"" + std::string(n, 'v') + "\"=\"x\"\n"; };
  auto value = [&](size_t n) { return hive + "\\k]\n@=\"" + std::string(n, 'x') + "\"\n"; };
  auto keys = [&](int n) {
    std::string text = "REGEDIT4\n";
    for (int i = 0; i < n; ++i) text += "[HKEY_CLASSES_ROOT\\k" + std::to_string(i) + "]\n";
    return text;
  };
  auto bytes = [&](size_t n) { return "REGEDIT4\n;" + std::string(n - 11, 'c') + "\n"; };
  const struct {
    std::string atLimit, pastLimit, message;
  } cases[] = {
      {nested(32), nested(33), "line 2 holds a key nested deeper than 32 levels"},
      {keyName(255), keyName(256), "line 2 holds a key name longer than 255 characters"},
      {valueName(255), valueName(256), "line 3 holds a value name longer than 255 characters"},
      {value(16383), value(16384), "line 3 holds a value longer than 16383 characters"},
      {keys(1000), keys(1001), "line 1002 holds more than 1000 keys"},
      {bytes(1 << 20), bytes((1 << 20) + 1), "it is larger than 1048576 bytes"},
  };
  for (const auto& c : cases) {
    WriteText(registryPath_, c.atLimit);
    {
      RegistryTransaction transaction(registryPath_);
      ASSERT_EQ(transaction.Open(), S_OK) << c.message;
      transaction.Tree().Create("HKEY_CLASSES_ROOT\\added");
      EXPECT_EQ(transaction.Commit(), S_OK) << c.message;
    }
    WriteText(registryPath_, c.pastLimit);
    testing::internal::CaptureStderr();
    RegistryTransaction transaction(registryPath_);
    EXPECT_EQ(transaction.Open(), HRESULT_REGISTRY_CORRUPT) << c.message;
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "pylax: registry file " + registryPath_ + " left as it is: " + c.message + "\n");
    EXPECT_EQ(Registry(), c.pastLimit) << c.message;
  }
}

// A NUL inside a name is part of it: "a\0x" and "a\0y" are two keys.
TEST(RegistryText, NamesDifferingAfterANulAreTwoKeys) {
  RegistryTree tree;
  std::string error;
  static const char kText[] = "REGEDIT4\n[HKEY_CLASSES_ROOT\\a\0x]\n[HKEY_CLASSES_ROOT\\a\0y]\n";
  const std::string text(kText, sizeof kText - 1);
  ASSERT_TRUE(ParseRegistryText(text, tree, error)) << error;
  EXPECT_EQ(tree.Root().Find("HKEY_CLASSES_ROOT")->Subkeys().size(), 2u);
}

TEST_F(RegistryFile, CreatesMissingFoldersOnTheWay) {
  std::string nested = folder_.Path() + "/a/b/registry.reg";
  RegistryTransaction transaction(nested);
  ASSERT_EQ(transaction.Open(), S_OK);
  transaction.Tree().Create("HKEY_CLASSES_ROOT\\K");
  ASSERT_EQ(transaction.Commit(), S_OK);
  EXPECT_EQ(ReadText(nested), Lines({"REGEDIT4", "", "[HKEY_CLASSES_ROOT\\K]", ""}));
}

TEST_F(RegistryFile, AnUnwritableFolderIsAnIoFailureNotACrash) {
  RegistryTransaction transaction("/proc/pylax-cannot-be-here/registry.reg");
  EXPECT_EQ(transaction.Open(), HRESULT_REGISTRY_IO_FAILED);
}

TEST(RegistryFilePath, FollowsTheEnvironmentThenTheXdgRules) {
  ::setenv("PYLAX_REGISTRY", "/x/r.reg", 1);
  EXPECT_EQ(RegistryFilePath(), "/x/r.reg");
  ::unsetenv("PYLAX_REGISTRY");
  ::setenv("XDG_DATA_HOME", "/data", 1);
  EXPECT_EQ(RegistryFilePath(), "/data/pylax/registry.reg");
  ::setenv("XDG_DATA_HOME", "relative", 1);  // ignored, as the XDG rules say
  ::setenv("HOME", "/home/u", 1);
  EXPECT_EQ(RegistryFilePath(), "/home/u/.local/share/pylax/registry.reg");
  ::unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(RegistryFilePath(), "/home/u/.local/share/pylax/registry.reg");
}

}  // namespace
