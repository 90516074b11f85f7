#pragma once
// Linux stand-ins for the COM and module services the server module calls.
// Each keeps its place in the order of steps and records itself in the step
// log; none can fail except where noted, because there is nothing under them.

#include <cstdint>
#include <string>

#include "app/standins/com_types.h"

// The program's instance handle: which file "the module" is. In the program
// it is the running executable; tests hand the server module one of their own
// so the path rules can be tried on paths with hyphens, quotes and dots.
struct ModuleInstance {
  std::string path;
};
using HINSTANCE = const ModuleInstance*;

// The running executable (/proc/self/exe), read once.
HINSTANCE GetModuleHandle();
// The module's file path. Unlike the 260-character buffer on Windows the path
// is never cut short: a cut path would point the registry at a wrong file.
std::string GetModuleFileName(HINSTANCE instance);
// Linux has no short (8.3) names; like GetShortPathNameA on a volume without
// them, this reports failure (0), and the caller goes on with the long path.
std::size_t GetShortPathName(const std::string& longPath, std::string& shortPath);

// Entering and leaving the apartment: nothing to set up on Linux.
HRESULT CoInitialize(void* reserved);
void CoUninitialize();

constexpr std::uint32_t CLSCTX_LOCAL_SERVER = 4;
constexpr std::uint32_t REGCLS_MULTIPLEUSE = 1;
// Publication has no broker to publish to: the object is accepted and a
// cookie handed out, so a class table with rows would run its full course.
HRESULT CoRegisterClassObject(const Guid& clsid, IUnknown* classObject, std::uint32_t context,
                              std::uint32_t flags, std::uint32_t* cookie);
HRESULT CoRevokeClassObject(std::uint32_t cookie);

// The component-categories manager: records a class's category in the step
// log. Only classes with categories use it, and this program has no classes.
HRESULT RegisterClassCategory(const Guid& clsid, int kind, const Guid& category);
HRESULT UnregisterClassCategory(const Guid& clsid, int kind, const Guid& category);
