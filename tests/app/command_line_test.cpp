// The registration switches and the framework flags, as a user types them.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "app/standins/command_line.h"

namespace {

std::string Join(std::vector<const char*> args) {
  return JoinCommandLine(static_cast<int>(args.size()), args.data());
}

CCommandLineInfo Parse(std::vector<const char*> args) {
  return ParseCommandLine(static_cast<int>(args.size()), args.data());
}

struct SwitchCase {
  const char* line;
  RegistrationSwitch expected;
};

// The case's line, so that its ctest name is the same at every discovery
// (the default prints the struct's bytes, a pointer among them).
void PrintTo(const SwitchCase& c, std::ostream* os) { *os << '[' << c.line << ']'; }

class SwitchMatching : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(SwitchMatching, FindsOnlyASwitchThatEndsTheLine) {
  EXPECT_EQ(FindRegistrationSwitch(GetParam().line), GetParam().expected) << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SwitchMatching,
    ::testing::Values(
        SwitchCase{"/usr/bin/pylax /RegServer", RegistrationSwitch::Register},
        SwitchCase{"/usr/bin/pylax -RegServer", RegistrationSwitch::Register},
        SwitchCase{"/usr/bin/pylax /UnregServer", RegistrationSwitch::Unregister},
        SwitchCase{"/usr/bin/pylax -unregserver", RegistrationSwitch::Unregister},
        SwitchCase{"/usr/bin/pylax /REGSERVER", RegistrationSwitch::Register},
        // Followed by a blank or by another argument: not a switch.
        SwitchCase{"/usr/bin/pylax /RegServer ", RegistrationSwitch::None},
        SwitchCase{"/usr/bin/pylax -UnregServer x", RegistrationSwitch::None},
        SwitchCase{"/usr/bin/pylax /RegServer /Embedding", RegistrationSwitch::None},
        // Not introduced by a separator, or with a blank after it.
        SwitchCase{"/usr/bin/pylax RegServer", RegistrationSwitch::None},
        SwitchCase{"/usr/bin/pylax / RegServer", RegistrationSwitch::None},
        // Every hyphen and slash is tried: the last one of "--RegServer"
        // leaves "RegServer", and "/x-RegServer" still ends in one.
        SwitchCase{"/usr/bin/pylax --RegServer", RegistrationSwitch::Register},
        SwitchCase{"/usr/bin/pylax /x-RegServer", RegistrationSwitch::Register},
        // "UnregServer" is not "RegServer" with something in front: the rest
        // after "-" is "UnregServer", after no separator is "RegServer".
        SwitchCase{"pylax -UnRegServer", RegistrationSwitch::Unregister},
        SwitchCase{"pylax -Un/RegServer", RegistrationSwitch::Register},
        // Hyphens and slashes in the program's own path change nothing.
        SwitchCase{"/opt/my-tools/pylax-2/bin.d/it's/pylax /RegServer", RegistrationSwitch::Register},
        SwitchCase{"/opt/my-tools/pylax-2/bin.d/it's/pylax", RegistrationSwitch::None},
        SwitchCase{"/opt/x-RegServer/pylax", RegistrationSwitch::None},
        // ...unless the path itself ends in one.
        SwitchCase{"/opt/tools/-RegServer", RegistrationSwitch::Register},
        SwitchCase{"", RegistrationSwitch::None}));

TEST(FindSwitch, ReturnsThePositionAfterTheFirstSeparator) {
  const char* text = "ab/cd-ef";
  EXPECT_EQ(FindSwitch(text, "-/"), text + 3);
  EXPECT_EQ(FindSwitch(text + 3, "-/"), text + 6);
  EXPECT_EQ(FindSwitch(text + 6, "-/"), nullptr);
  EXPECT_EQ(FindSwitch("", "-/"), nullptr);
  // A separator at the very end leaves an empty rest, not a null.
  const char* trailing = "x/";
  EXPECT_EQ(FindSwitch(trailing, "-/"), trailing + 2);
}

TEST(FindSwitch, StepsOverMultiByteSeparatorsWhole) {
  // "é" (C3 A9) as a separator: its continuation byte A9 is not tried on its
  // own, so a text holding A9 alone does not match.
  EXPECT_EQ(FindSwitch("a\xA9" "b", "\xC3\xA9-"), nullptr);
  const char* text = "a-b";
  EXPECT_EQ(FindSwitch(text, "\xC3\xA9-"), text + 2);
}

TEST(JoinCommandLine, JoinsProgramAndArgumentsWithSingleBlanks) {
  EXPECT_EQ(Join({"/usr/bin/pylax"}), "/usr/bin/pylax");
  EXPECT_EQ(Join({"/usr/bin/pylax", "/RegServer"}), "/usr/bin/pylax /RegServer");
  // An argument with a blank stays as it is, and an empty last argument
  // leaves a trailing blank: the switch is then not the end of the line.
  EXPECT_EQ(Join({"/p/pylax", "a b", "/RegServer", ""}), "/p/pylax a b /RegServer ");
  EXPECT_EQ(FindRegistrationSwitch(Join({"/p/pylax", "/RegServer", ""})), RegistrationSwitch::None);
}

TEST(FrameworkParser, LooksAtEachArgumentForEmbeddingOrAutomation) {
  EXPECT_TRUE(Parse({"pylax", "-Embedding"}).m_bRunEmbedded);
  EXPECT_TRUE(Parse({"pylax", "/automation"}).m_bRunAutomated);
  EXPECT_TRUE(Parse({"pylax", "/EMBEDDING", "more"}).m_bRunEmbedded);  // need not be last
  EXPECT_TRUE(Parse({"pylax", "x", "-Automation", "/RegServer "}).m_bRunAutomated);
  // Exactly one "-" or "/" introduces a flag, and the whole argument counts.
  CCommandLineInfo none = Parse({"pylax", "Embedding", "--Embedding", "-Embeddings", "-Embedding "});
  EXPECT_FALSE(none.m_bRunEmbedded);
  EXPECT_FALSE(none.m_bRunAutomated);
  // The program path is not an argument.
  EXPECT_FALSE(Parse({"/Embedding"}).m_bRunEmbedded);
}

}  // namespace
