#include "app/standins/com_standins.h"

#include <unistd.h>

#include <cstdio>
#include <vector>

#include "app/standins/step_log.h"

const Guid IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

std::string GuidToRegistryForm(const Guid& g) {
  char text[39];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.data1), g.data2, g.data3, g.data4[0], g.data4[1],
                g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
  return text;
}

namespace {
std::string ReadOwnExecutablePath() {
  std::vector<char> buffer(4096);
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}
}  // namespace

HINSTANCE GetModuleHandle() {
  static const ModuleInstance self{ReadOwnExecutablePath()};
  return &self;
}

std::string GetModuleFileName(HINSTANCE instance) {
  return instance != nullptr ? instance->path : std::string();
}

std::size_t GetShortPathName(const std::string&, std::string& shortPath) {
  shortPath.clear();
  return 0;
}

HRESULT CoInitialize(void*) {
  RecordStep("CoInitialize");
  return S_OK;
}

void CoUninitialize() { RecordStep("CoUninitialize"); }

HRESULT CoRegisterClassObject(const Guid& clsid, IUnknown*, std::uint32_t, std::uint32_t,
                              std::uint32_t* cookie) {
  static std::uint32_t nextCookie = 1;
  *cookie = nextCookie++;
  RecordStep("CoRegisterClassObject " + GuidToRegistryForm(clsid));
  return S_OK;
}

HRESULT CoRevokeClassObject(std::uint32_t cookie) {
  RecordStep("CoRevokeClassObject " + std::to_string(cookie));
  return S_OK;
}

HRESULT RegisterClassCategory(const Guid& clsid, int kind, const Guid& category) {
  RecordStep("RegisterClassCategory " + GuidToRegistryForm(clsid) + " " + std::to_string(kind) +
             " " + GuidToRegistryForm(category));
  return S_OK;
}

HRESULT UnregisterClassCategory(const Guid& clsid, int kind, const Guid& category) {
  RecordStep("UnregisterClassCategory " + GuidToRegistryForm(clsid) + " " +
             std::to_string(kind) + " " + GuidToRegistryForm(category));
  return S_OK;
}
