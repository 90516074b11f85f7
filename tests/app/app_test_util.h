#pragma once
// Helpers of the application-shell tests: a private folder per test with the
// registry file in it (PYLAX_REGISTRY), so no test ever touches a real one.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/standins/step_log.h"

inline std::string ReadText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The lines of a text, each without its line end.
inline std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pylax-app-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempFolder() { std::filesystem::remove_all(path_); }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Each test: a folder of its own, the registry file in it, an empty step log.
class RegistryFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    registryPath_ = folder_.Path() + "/registry.reg";
    ::setenv("PYLAX_REGISTRY", registryPath_.c_str(), 1);
    ::unsetenv("PYLAX_STEP_LOG");
    ClearRecordedSteps();
  }
  void TearDown() override { ::unsetenv("PYLAX_REGISTRY"); }

  std::string Registry() const { return ReadText(registryPath_); }

  TempFolder folder_;
  std::string registryPath_;
};

// The program's AppID, as its registry script carries it.
inline const std::string kAppId = "{8C5D2E71-4B3A-4F96-A1D7-3E9B62C0F54A}";

// The registry file after a registration run, without type library.
inline std::string RegisteredAppIdLines() {
  return Lines({"REGEDIT4", "", "[HKEY_CLASSES_ROOT\\AppID]", "",
                "[HKEY_CLASSES_ROOT\\AppID\\Pylax.EXE]", "\"AppID\"=\"" + kAppId + "\"", "",
                "[HKEY_CLASSES_ROOT\\AppID\\" + kAppId + "]", "@=\"Pylax\"", ""});
}

// A minimal type library in the MSFT format: header, segment directory,
// guid table, name table and string table, with the identity given.
struct TypeLibFields {
  std::uint8_t guid[16] = {0x78, 0x56, 0x34, 0x12, 0xBC, 0x9A, 0xF0, 0xDE,
                           0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  std::uint32_t lcid = 0;
  std::uint32_t syskind = 1;  // win32
  std::uint16_t major = 1;
  std::uint16_t minor = 0;
  std::string name = "PylaxLib";
  std::string helpString = "Pylax Type Library";  // "" for none
};
// {12345678-9ABC-DEF0-0123-456789ABCDEF}
inline const std::string kTypeLibId = "{12345678-9ABC-DEF0-0123-456789ABCDEF}";

std::string MakeTypeLibrary(const TypeLibFields& fields);
