// Type libraries: the identity read from the MSFT header, the ".tlb" path
// rules and the TypeLib entries in the registry file.

#include <gtest/gtest.h>

#include "app/standins/type_library.h"
#include "app_test_util.h"

namespace {

using TypeLibraryFile = RegistryFixture;

TEST_F(TypeLibraryFile, ReadsIdentityNameAndHelpStringFromTheHeader) {
  TypeLibFields fields;
  fields.lcid = 0x409;
  fields.syskind = SYS_WIN64;
  fields.major = 2;
  fields.minor = 10;
  std::string path = folder_.Path() + "/lib.tlb";
  WriteText(path, MakeTypeLibrary(fields));
  TypeLibrary library;
  ASSERT_EQ(LoadTypeLib(path, library), S_OK);
  EXPECT_EQ(GuidToRegistryForm(library.attr.guid), kTypeLibId);
  EXPECT_EQ(library.attr.lcid, 0x409u);
  EXPECT_EQ(library.attr.syskind, SYS_WIN64);
  EXPECT_EQ(library.attr.wMajorVerNum, 2);
  EXPECT_EQ(library.attr.wMinorVerNum, 10);
  EXPECT_EQ(library.name, "PylaxLib");
  EXPECT_EQ(library.docString, "Pylax Type Library");
}

TEST_F(TypeLibraryFile, AnythingElseIsNoTypeLibrary) {
  std::string good = MakeTypeLibrary(TypeLibFields{});
  std::string badMagic = good;
  badMagic[0] = 'X';
  std::string badMarker = good;
  badMarker[0x54 + 12] = 0x0E;  // the first segment's 0x0F marker
  std::string badSyskind = good;
  badSyskind[0x14] = 0x47;
  std::string hugeTypeInfoCount = good;
  hugeTypeInfoCount[0x23] = 0x40;  // the directory would lie far past the end
  const std::pair<const char*, std::string> cases[] = {
      {"empty", ""},
      {"text", "MSFT but not really"},
      {"magic", badMagic},
      {"header only", good.substr(0, 0x54)},
      {"cut in the guid table", good.substr(0, 0x54 + 240 + 10)},
      {"segment marker", badMarker},
      {"system kind", badSyskind},
      {"typeinfo count", hugeTypeInfoCount},
  };
  for (const auto& [name, bytes] : cases) {
    std::string path = folder_.Path() + "/x.tlb";
    WriteText(path, bytes);
    TypeLibrary library;
    EXPECT_EQ(LoadTypeLib(path, library), TYPE_E_CANTLOADLIBRARY) << name;
  }
  TypeLibrary library;
  EXPECT_EQ(LoadTypeLib(folder_.Path() + "/missing.tlb", library), TYPE_E_CANTLOADLIBRARY);
  EXPECT_EQ(LoadTypeLib(folder_.Path(), library), TYPE_E_CANTLOADLIBRARY);  // a folder
  EXPECT_EQ(LoadTypeLib("/proc/self/exe", library), TYPE_E_CANTLOADLIBRARY);
}

TEST(TypeLibraryPath, CutsAtTheLastDotOfTheWholePath) {
  EXPECT_EQ(TypeLibraryPathFor("/usr/bin/pylax.exe"), "/usr/bin/pylax.tlb");
  EXPECT_EQ(TypeLibraryPathFor("/usr/bin/pylax"), "/usr/bin/pylax.tlb");
  // A "." only in a directory name: the path is cut there.
  EXPECT_EQ(TypeLibraryPathFor("/opt/pylax-2.2/bin/pylax"), "/opt/pylax-2.tlb");
  EXPECT_EQ(TypeLibraryPathFor("/a.b/c.d/pylax.x.y"), "/a.b/c.d/pylax.x.tlb");
  EXPECT_EQ(TypeLibraryPathFor("/opt/\xC3\xA9t\xC3\xA9.d/pylax"), "/opt/\xC3\xA9t\xC3\xA9.tlb");
  EXPECT_EQ(TypeLibraryPathFor(""), ".tlb");
}

TEST(TypeLibraryPath, HelpDirectoryKeepsItsTrailingSeparator) {
  EXPECT_EQ(HelpDirectoryOf("/usr/bin/pylax.tlb"), "/usr/bin/");
  EXPECT_EQ(HelpDirectoryOf("C:\\Program Files\\Pylax\\Pylax.tlb"), "C:\\Program Files\\Pylax\\");
  EXPECT_EQ(HelpDirectoryOf("C:Pylax.tlb"), "C:");
  EXPECT_EQ(HelpDirectoryOf("/pylax.tlb"), "/");
  EXPECT_EQ(HelpDirectoryOf("pylax.tlb"), "");
}

TEST_F(TypeLibraryFile, RegistersAsWindowsDoesAndUnregistersToNothing) {
  TypeLibFields fields;
  fields.minor = 10;
  std::string path = folder_.Path() + "/pylax.tlb";
  WriteText(path, MakeTypeLibrary(fields));
  TypeLibrary library;
  ASSERT_EQ(LoadTypeLib(path, library), S_OK);
  ASSERT_EQ(RegisterTypeLib(library, path, folder_.Path() + "/"), S_OK);
  const std::string key = "[HKEY_CLASSES_ROOT\\TypeLib\\" + kTypeLibId;
  EXPECT_EQ(Registry(), Lines({"REGEDIT4", "", "[HKEY_CLASSES_ROOT\\TypeLib]", "", key + "]", "",
                               key + "\\1.a]", "@=\"Pylax Type Library\"", "",
                               key + "\\1.a\\0]", "", key + "\\1.a\\0\\win32]",
                               "@=\"" + path + "\"", "", key + "\\1.a\\FLAGS]", "@=\"0\"", "",
                               key + "\\1.a\\HELPDIR]", "@=\"" + folder_.Path() + "/\"", ""}));

  ASSERT_EQ(UnRegisterTypeLib(library.attr.guid, 1, 10, 0, SYS_WIN32), S_OK);
  EXPECT_EQ(Registry(), Lines({"REGEDIT4", "", "[HKEY_CLASSES_ROOT\\TypeLib]", ""}));
}

TEST_F(TypeLibraryFile, TheNameStandsInForAMissingHelpString) {
  TypeLibFields fields;
  fields.helpString = "";
  std::string path = folder_.Path() + "/pylax.tlb";
  WriteText(path, MakeTypeLibrary(fields));
  TypeLibrary library;
  ASSERT_EQ(LoadTypeLib(path, library), S_OK);
  ASSERT_EQ(RegisterTypeLib(library, path, ""), S_OK);
  EXPECT_NE(Registry().find("\\1.0]\n@=\"PylaxLib\"\n"), std::string::npos) << Registry();
}

TEST_F(TypeLibraryFile, UnregisteringOneLocaleKeepsTheOthers) {
  TypeLibFields english;
  english.lcid = 0x409;
  TypeLibFields neutral;
  std::string path = folder_.Path() + "/pylax.tlb";
  for (const TypeLibFields& fields : {english, neutral}) {
    WriteText(path, MakeTypeLibrary(fields));
    TypeLibrary library;
    ASSERT_EQ(LoadTypeLib(path, library), S_OK);
    ASSERT_EQ(RegisterTypeLib(library, path, folder_.Path() + "/"), S_OK);
  }
  TypeLibrary library;
  ASSERT_EQ(LoadTypeLib(path, library), S_OK);
  ASSERT_EQ(UnRegisterTypeLib(library.attr.guid, 1, 0, 0, SYS_WIN32), S_OK);
  std::string text = Registry();
  EXPECT_EQ(text.find("\\1.0\\0]"), std::string::npos) << text;
  EXPECT_NE(text.find("\\1.0\\409\\win32]"), std::string::npos) << text;
  EXPECT_NE(text.find("\\1.0\\HELPDIR]"), std::string::npos) << text;
}

}  // namespace
