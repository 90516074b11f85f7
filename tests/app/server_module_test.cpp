// The server module's runs over a module of the test's own: where it looks
// for its type library, what it registers, and the class table's steps.

#include <gtest/gtest.h>

#include "app/standins/server_module.h"
#include "app/standins/type_library.h"
#include "app_test_util.h"

namespace {

class ServerModule : public RegistryFixture {
 protected:
  // A module file at folder/relative (any bytes: it is no type library).
  void PlaceModule(const std::string& relative) {
    instance_.path = folder_.Path() + "/" + relative;
    std::filesystem::create_directories(std::filesystem::path(instance_.path).parent_path());
    WriteText(instance_.path, "\x7F" "ELF not really");
  }
  void Initialize(ClassTableEntry* table = nullptr) {
    module_ = CServerModule();
    module_.Initialize(table != nullptr ? table : noClasses_, &instance_);
  }

  ClassTableEntry noClasses_[1] = {kClassTableEnd};

  ModuleInstance instance_;
  CServerModule module_;
};

TEST_F(ServerModule, RegistrationWithoutTypeLibraryWritesOnlyTheAppIdKeys) {
  // Hyphens, a quote and a "." only in a directory name.
  PlaceModule("my-tools/v2.d/it's/pylax");
  Initialize();
  RunRegistration(module_);
  EXPECT_EQ(Registry(), RegisteredAppIdLines());
  const std::string modulePath = instance_.path;
  const std::string quoted = folder_.Path() + "/my-tools/v2.d/it''s/pylax";
  EXPECT_EQ(RecordedSteps(),
            (std::vector<std::string>{
                "Initialize", "ApplyRegistryScript 103 register", "AddReplacement Module=" + quoted,
                "ResourceRegister " + modulePath + " 103 REGISTRY", "RegisterClasses",
                "RegisterTypeLibrary", "LoadTypeLib " + modulePath,
                "LoadTypeLib " + folder_.Path() + "/my-tools/v2.tlb"}));
}

TEST_F(ServerModule, ATypeLibraryBesideTheProgramIsRegisteredWithItsFolderAsHelpDirectory) {
  PlaceModule("bin/pylax");
  const std::string tlb = folder_.Path() + "/bin/pylax.tlb";
  WriteText(tlb, MakeTypeLibrary(TypeLibFields{}));
  Initialize();
  RunRegistration(module_);
  const std::string key = "[HKEY_CLASSES_ROOT\\TypeLib\\" + kTypeLibId;
  std::string expected = RegisteredAppIdLines() +
                         Lines({"[HKEY_CLASSES_ROOT\\TypeLib]", "", key + "]", "", key + "\\1.0]",
                                "@=\"Pylax Type Library\"", "", key + "\\1.0\\0]", "",
                                key + "\\1.0\\0\\win32]", "@=\"" + tlb + "\"", "",
                                key + "\\1.0\\FLAGS]", "@=\"0\"", "", key + "\\1.0\\HELPDIR]",
                                "@=\"" + folder_.Path() + "/bin/\"", ""});
  EXPECT_EQ(Registry(), expected);

  ClearRecordedSteps();
  RunUnregistration(module_);
  EXPECT_EQ(Registry(), Lines({"REGEDIT4", "", "[HKEY_CLASSES_ROOT\\AppID]", "",
                               "[HKEY_CLASSES_ROOT\\TypeLib]", ""}));
  EXPECT_EQ(RecordedSteps().front(), "ApplyRegistryScript 103 unregister");
  EXPECT_NE(std::find(RecordedSteps().begin(), RecordedSteps().end(),
                      "UnRegisterTypeLib " + kTypeLibId),
            RecordedSteps().end());
}

TEST_F(ServerModule, ADotOnlyInADirectoryNamePutsTheTypeLibraryThere) {
  PlaceModule("v2.d/pylax");
  const std::string tlb = folder_.Path() + "/v2.tlb";
  WriteText(tlb, MakeTypeLibrary(TypeLibFields{}));
  Initialize();
  EXPECT_EQ(module_.RegisterTypeLibrary(), S_OK);
  EXPECT_NE(Registry().find("\\win32]\n@=\"" + tlb + "\"\n"), std::string::npos) << Registry();
  EXPECT_NE(Registry().find("\\HELPDIR]\n@=\"" + folder_.Path() + "/\"\n"), std::string::npos);
}

TEST_F(ServerModule, AFaultyScriptStepStillLetsTheTypeLibraryStepRun) {
  PlaceModule("bin/pylax");
  WriteText(folder_.Path() + "/bin/pylax.tlb", MakeTypeLibrary(TypeLibFields{}));
  const std::string damaged = "garbage\n";
  WriteText(registryPath_, damaged);
  Initialize();
  RunRegistration(module_);
  EXPECT_EQ(Registry(), damaged);  // both steps refused the file; nothing lost
  EXPECT_NE(std::find(RecordedSteps().begin(), RecordedSteps().end(), "RegisterTypeLibrary"),
            RecordedSteps().end());
}

TEST_F(ServerModule, TheEmptyTablePublishesAndWithdrawsNothing) {
  PlaceModule("pylax");
  Initialize();
  EXPECT_EQ(module_.PublishClassObjects(), S_OK);
  EXPECT_EQ(module_.WithdrawClassObjects(), S_OK);
  module_.Shutdown();
  EXPECT_EQ(RecordedSteps(), (std::vector<std::string>{"Initialize", "PublishClassObjects",
                                                       "WithdrawClassObjects", "Shutdown"}));
}

// A table with rows, to see each row's routines called in their order.
std::vector<std::string> g_rowCalls;
HRESULT g_updateResult = S_OK;

struct FakeClassObject : IUnknown {
  unsigned long Release() override {
    g_rowCalls.push_back("Release");
    return 0;
  }
};
FakeClassObject g_classObject;
const Guid kClsid1 = {0x11111111, 0x1111, 0x1111, {1, 1, 1, 1, 1, 1, 1, 1}};
const Guid kClsid2 = {0x22222222, 0x2222, 0x2222, {2, 2, 2, 2, 2, 2, 2, 2}};
const Guid kCategory = {0x33333333, 0x3333, 0x3333, {3, 3, 3, 3, 3, 3, 3, 3}};
const CategoryEntry kCategories[] = {{1, &kCategory}, {2, &kCategory}, {0, nullptr}};

HRESULT Update1(bool doRegister) {
  g_rowCalls.push_back(doRegister ? "register 1" : "unregister 1");
  return g_updateResult;
}
HRESULT Update2(bool doRegister) {
  g_rowCalls.push_back(doRegister ? "register 2" : "unregister 2");
  return S_OK;
}
HRESULT GetClassObject(void*, const Guid&, void** object) {
  g_rowCalls.push_back("GetClassObject");
  *object = static_cast<IUnknown*>(&g_classObject);
  return S_OK;
}
const char* Described() { return "hidden"; }
const CategoryEntry* Categories() { return kCategories; }
void StartStop1(bool starting) { g_rowCalls.push_back(starting ? "start 1" : "stop 1"); }

class ServerModuleRows : public ServerModule {
 protected:
  void SetUp() override {
    ServerModule::SetUp();
    g_rowCalls.clear();
    g_updateResult = S_OK;
    PlaceModule("pylax");
  }
  ClassTableEntry table_[4] = {
      {&kClsid1, Update1, GetClassObject, nullptr, nullptr, 0, nullptr, Categories, StartStop1},
      {&kClsid2, Update2, nullptr, nullptr, nullptr, 0, Described, nullptr, nullptr},
      {&kClsid2, Update2, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr},
  };
};

TEST_F(ServerModuleRows, RowsStartPublishWithdrawAndStopInTableOrder) {
  Initialize(table_);
  EXPECT_EQ(module_.PublishClassObjects(), S_OK);
  EXPECT_EQ(module_.WithdrawClassObjects(), S_OK);
  table_[0].classObject = &g_classObject;  // a row holding a class object
  module_.Shutdown();
  EXPECT_EQ(g_rowCalls, (std::vector<std::string>{"start 1", "GetClassObject", "Release",
                                                  "Release", "stop 1"}));
  EXPECT_EQ(table_[0].classObject, nullptr);
  EXPECT_NE(table_[0].registrationCookie, 0u);
}

TEST_F(ServerModuleRows, RegistrationSkipsDescribedRowsAndRegistersCategories) {
  Initialize(table_);
  ClearRecordedSteps();
  EXPECT_EQ(module_.RegisterClasses(), S_OK);
  EXPECT_EQ(g_rowCalls, (std::vector<std::string>{"start 1", "register 1", "register 2"}));
  const std::string clsid = GuidToRegistryForm(kClsid1), category = GuidToRegistryForm(kCategory);
  EXPECT_EQ(RecordedSteps(), (std::vector<std::string>{
                                 "RegisterClasses", "RegisterClassCategory " + clsid + " 1 " + category,
                                 "RegisterClassCategory " + clsid + " 2 " + category}));
}

TEST_F(ServerModuleRows, AFailingRowEndsRegistrationBeforeTheTypeLibrary) {
  g_updateResult = E_FAIL;
  Initialize(table_);
  RunRegistration(module_);
  EXPECT_EQ(g_rowCalls, (std::vector<std::string>{"start 1", "register 1"}));
  EXPECT_EQ(std::find(RecordedSteps().begin(), RecordedSteps().end(), "RegisterTypeLibrary"),
            RecordedSteps().end());
  // Unregistration goes through every row whatever they answer.
  g_rowCalls.clear();
  RunUnregistration(module_);
  EXPECT_EQ(g_rowCalls, (std::vector<std::string>{"unregister 1", "unregister 2"}));
  EXPECT_NE(std::find(RecordedSteps().begin(), RecordedSteps().end(), "UnregisterTypeLibrary"),
            RecordedSteps().end());
}

}  // namespace
