// The registry script resource and our registrar running it over the
// registry file.

#include <gtest/gtest.h>

#include "app/standins/registrar.h"
#include "app/standins/resources.h"
#include "app_test_util.h"

namespace {

using Registrar = RegistryFixture;

TEST(RegistryScript, IsTheElevenLinesWithTabsAndCrLf) {
  const std::string expected =
      "HKCR\r\n"
      "{\r\n"
      "\tNoRemove AppID\r\n"
      "\t{\r\n"
      "\t\t" + kAppId + " = s 'Pylax'\r\n"
      "\t\t'Pylax.EXE'\r\n"
      "\t\t{\r\n"
      "\t\t\tval AppID = s " + kAppId + "\r\n"
      "\t\t}\r\n"
      "\t}\r\n"
      "}\r\n";
  EXPECT_EQ(std::string(RegistryScriptResource()), expected);
}

TEST(RegistryScript, IsFoundOnlyAsResource103OfTypeRegistryInAnExistingModule) {
  std::string bytes;
  EXPECT_EQ(LoadModuleResource("/proc/self/exe", 103, "REGISTRY", bytes), S_OK);
  EXPECT_EQ(bytes, RegistryScriptResource());
  EXPECT_EQ(LoadModuleResource("/proc/self/exe", 103, "registry", bytes), S_OK);
  EXPECT_EQ(LoadModuleResource("/proc/self/exe", 104, "REGISTRY", bytes), HRESULT_RESOURCE_NOT_FOUND);
  EXPECT_EQ(LoadModuleResource("/proc/self/exe", 103, "TYPELIB", bytes), HRESULT_RESOURCE_NOT_FOUND);
  EXPECT_EQ(LoadModuleResource("/no/such/module", 103, "REGISTRY", bytes), HRESULT_MOD_NOT_FOUND);
}

TEST_F(Registrar, RegistrationWritesTheAppIdKeysAndUnregistrationKeepsAppId) {
  CRegistrar registrar;
  registrar.AddReplacement("Module", "/usr/bin/pylax");
  ASSERT_EQ(registrar.ResourceRegister("/proc/self/exe", 103, "REGISTRY"), S_OK);
  EXPECT_EQ(Registry(), RegisteredAppIdLines());
  // Again: the same file, nothing doubled.
  ASSERT_EQ(registrar.ResourceRegister("/proc/self/exe", 103, "REGISTRY"), S_OK);
  EXPECT_EQ(Registry(), RegisteredAppIdLines());

  ASSERT_EQ(registrar.ResourceUnregister("/proc/self/exe", 103, "REGISTRY"), S_OK);
  EXPECT_EQ(Registry(), Lines({"REGEDIT4", "", "[HKEY_CLASSES_ROOT\\AppID]", ""}));
}

TEST_F(Registrar, OtherProgramsEntriesSurviveBothRuns) {
  const std::string others = Lines({
      "REGEDIT4", "", "[HKEY_CLASSES_ROOT\\AppID]", "",
      "[HKEY_CLASSES_ROOT\\AppID\\{00000000-1111-2222-3333-444444444444}]", "@=\"Other\"", "",
      "[HKEY_CURRENT_USER\\Software]", "", "[HKEY_CURRENT_USER\\Software\\Other]", "\"k\"=\"v\"", ""});
  WriteText(registryPath_, others);
  CRegistrar registrar;
  registrar.AddReplacement("Module", "/usr/bin/pylax");
  ASSERT_EQ(registrar.ResourceRegister("/proc/self/exe", 103, "REGISTRY"), S_OK);
  ASSERT_EQ(registrar.ResourceUnregister("/proc/self/exe", 103, "REGISTRY"), S_OK);
  EXPECT_EQ(Registry(), others);
}

TEST_F(Registrar, AMalformedRegistryFileFailsTheRunAndIsKept) {
  const std::string damaged = "not a registry file\n";
  WriteText(registryPath_, damaged);
  CRegistrar registrar;
  EXPECT_EQ(registrar.ResourceRegister("/proc/self/exe", 103, "REGISTRY"), HRESULT_REGISTRY_CORRUPT);
  EXPECT_EQ(Registry(), damaged);
}

TEST_F(Registrar, AMissingModuleFailsWithoutTouchingTheRegistry) {
  CRegistrar registrar;
  EXPECT_EQ(registrar.ResourceRegister("/no/such/pylax", 103, "REGISTRY"), HRESULT_MOD_NOT_FOUND);
  EXPECT_FALSE(std::filesystem::exists(registryPath_));
}

// The grammar beyond our own script, on a tree in memory.
std::string Apply(const std::string& script, bool doRegister, RegistryTree& tree,
                  HRESULT expected = S_OK, CRegistrar registrar = CRegistrar()) {
  EXPECT_EQ(registrar.ApplyScript(script, doRegister, tree), expected) << script;
  return FormatRegistryText(tree);
}

TEST(RegistrarGrammar, ReplacementVariablesAreSubstitutedAndQuotesUnescaped) {
  CRegistrar registrar;
  registrar.AddReplacement("Module", "/opt/it''s/pylax");
  RegistryTree tree;
  Apply("HKCR { K = s '%MODULE%' { val Pct = s '100%%' val Q = s 'it''s' } }", true, tree, S_OK,
        registrar);
  const RegistryKey* key = tree.Find("HKEY_CLASSES_ROOT\\K");
  ASSERT_NE(key, nullptr);
  // The doubled quote of the value is one quote again once read as a token.
  EXPECT_EQ(key->Value("")->data, "/opt/it's/pylax");
  EXPECT_EQ(key->Value("Pct")->data, "100%");
  EXPECT_EQ(key->Value("Q")->data, "it's");
}

TEST(RegistrarGrammar, NumbersAreDwordsAndOtherHivesWork) {
  RegistryTree tree;
  EXPECT_EQ(Apply("HKCU { S { val N = d 42 val H = d 0x10 } }", true, tree),
            Lines({"REGEDIT4", "", "[HKEY_CURRENT_USER\\S]", "\"N\"=dword:0000002a",
                   "\"H\"=dword:00000010", ""}));
}

TEST(RegistrarGrammar, ForceRemoveClearsOnRegistrationAndDeleteRemoves) {
  RegistryTree tree;
  tree.Create("HKEY_CLASSES_ROOT\\F\\stale");
  tree.Create("HKEY_CLASSES_ROOT\\D\\x");
  EXPECT_EQ(Apply("HKCR { ForceRemove F { fresh } Delete D }", true, tree),
            Lines({"REGEDIT4", "", "[HKEY_CLASSES_ROOT\\F]", "", "[HKEY_CLASSES_ROOT\\F\\fresh]", ""}));
}

TEST(RegistrarGrammar, UnregistrationKeepsAKeyThatStillHasForeignSubkeys) {
  RegistryTree tree;
  Apply("HKCR { K = s 'mine' { val V = s 'x' Sub } }", true, tree);
  tree.Create("HKEY_CLASSES_ROOT\\K\\Foreign");
  EXPECT_EQ(Apply("HKCR { K = s 'mine' { val V = s 'x' Sub } }", false, tree),
            Lines({"REGEDIT4", "", "[HKEY_CLASSES_ROOT\\K]", "@=\"mine\"", "",
                   "[HKEY_CLASSES_ROOT\\K\\Foreign]", ""}));
}

// Each bound of registry_limits.h: a script at the bound is applied; one past
// it is refused, named, and changes nothing.
TEST(RegistrarGrammar, BoundsAreAppliedAtTheLimitAndRefusedOnePast) {
  auto nested = [](int depth) {
    std::string script = "HKCR {";
    for (int i = 0; i < depth; ++i) script += " k {";
    for (int i = 0; i <= depth; ++i) script += " }";
    return script;
  };
  auto name = [](size_t n) { return "HKCR { " + std::string(n, 'k') + " }"; };
  auto value = [](size_t n) { return "HKCR { k = s '" + std::string(n, 'x') + "' }"; };
  auto keys = [](int n) {
    std::string script = "HKCR {";
    for (int i = 0; i < n; ++i) script += " k" + std::to_string(i);
    return script + " }";
  };
  auto bytes = [](size_t n) { return "HKCR { k }" + std::string(n - 10, ' '); };
  const struct {
    std::string atLimit, pastLimit, bound;
  } cases[] = {
      {nested(32), nested(33), "keys nested deeper than 32 levels"},
      {name(255), name(256), "a name longer than 255 characters"},
      {value(16383), value(16384), "a value longer than 16383 characters"},
      {keys(1000), keys(1001), "more than 1000 keys"},
      {bytes(1 << 20), bytes((1 << 20) + 1), "it is larger than 1048576 bytes"},
  };
  CRegistrar registrar;
  for (const auto& c : cases) {
    RegistryTree tree;
    std::string bound;
    EXPECT_EQ(registrar.ApplyScript(c.atLimit, true, tree, &bound), S_OK) << c.bound;
    EXPECT_EQ(bound, "");
    const std::string before = FormatRegistryText(tree);
    EXPECT_EQ(registrar.ApplyScript(c.pastLimit, true, tree, &bound), DISP_E_EXCEPTION) << c.bound;
    EXPECT_EQ(bound, c.bound);
    EXPECT_EQ(FormatRegistryText(tree), before);
  }
}

TEST(RegistrarGrammar, AFaultyScriptChangesNothing) {
  const char* faulty[] = {
      "HKCR { A { val = s 'x' } }",   // a value without a name
      "HKCR { A = q 'x' }",           // an unknown type
      "HKCR { A = d 4294967296 }",    // too big for a dword
      "HKCR { A { B }",               // a brace not closed
      "HKCR { 'open }",               // a quote not closed
      "HKXX { A }",                   // no such hive
      "HKCR { A = s '%UNKNOWN%' }",   // a variable nobody added
      "HKCR { 'a\\b' }",              // a name that would be a path
      "HKCR { A } HKCR { B = s }",    // a fault after a good root
  };
  for (const char* script : faulty) {
    RegistryTree tree;
    tree.Create("HKEY_CLASSES_ROOT\\Existing");
    EXPECT_EQ(Apply(script, true, tree, DISP_E_EXCEPTION),
              Lines({"REGEDIT4", "", "[HKEY_CLASSES_ROOT\\Existing]", ""}))
        << script;
  }
}

}  // namespace
