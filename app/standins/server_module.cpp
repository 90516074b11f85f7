#include "app/standins/server_module.h"

#include "app/standins/registrar.h"
#include "app/standins/resources.h"
#include "app/standins/step_log.h"
#include "app/standins/type_library.h"

namespace {

std::string DoubleSingleQuotes(const std::string& text) {
  std::string doubled;
  for (char c : text) {
    doubled += c;
    if (c == '\'') doubled += '\'';
  }
  return doubled;
}

bool Skipped(const ClassTableEntry& row) {
  return row.getDescription != nullptr && row.getDescription() != nullptr;
}

// The type library that belongs to the module: first the module file itself
// (an executable is no MSFT file, so this load fails), then TypeLibraryPathFor.
HRESULT LoadModuleTypeLibrary(HINSTANCE instance, TypeLibrary& library, std::string& loadedPath) {
  loadedPath = GetModuleFileName(instance);
  HRESULT hr = LoadTypeLib(loadedPath, library);
  if (FAILED(hr)) {
    loadedPath = TypeLibraryPathFor(loadedPath);
    hr = LoadTypeLib(loadedPath, library);
  }
  return hr;
}

}  // namespace

HRESULT CServerModule::Initialize(ClassTableEntry* classTable, HINSTANCE instance) {
  RecordStep("Initialize");
  m_classTable = classTable;
  m_hInstance = instance;
  for (ClassTableEntry* row = m_classTable; row->clsid != nullptr; ++row) {
    if (row->startStop != nullptr) row->startStop(true);
  }
  return S_OK;
}

void CServerModule::Shutdown() {
  RecordStep("Shutdown");
  for (ClassTableEntry* row = m_classTable; row != nullptr && row->clsid != nullptr; ++row) {
    if (row->classObject != nullptr) {
      row->classObject->Release();
      row->classObject = nullptr;
    }
    if (row->startStop != nullptr) row->startStop(false);
  }
}

HRESULT CServerModule::PublishClassObjects() {
  RecordStep("PublishClassObjects");
  HRESULT hr = S_OK;
  for (ClassTableEntry* row = m_classTable; SUCCEEDED(hr) && row->clsid != nullptr; ++row) {
    if (row->getClassObject == nullptr) continue;
    void* object = nullptr;
    hr = row->getClassObject(row->createInstance, IID_IUnknown, &object);
    if (FAILED(hr)) break;
    auto* unknown = static_cast<IUnknown*>(object);
    hr = CoRegisterClassObject(*row->clsid, unknown, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                               &row->registrationCookie);
    unknown->Release();
  }
  return hr;
}

HRESULT CServerModule::WithdrawClassObjects() {
  RecordStep("WithdrawClassObjects");
  HRESULT hr = S_OK;
  for (ClassTableEntry* row = m_classTable; hr == S_OK && row->clsid != nullptr; ++row) {
    hr = CoRevokeClassObject(row->registrationCookie);
  }
  return hr;
}

HRESULT CServerModule::ApplyRegistryScript(unsigned resourceId, bool doRegister) {
  RecordStep("ApplyRegistryScript " + std::to_string(resourceId) +
             (doRegister ? " register" : " unregister"));
  CRegistrar registrar;
  std::string path = GetModuleFileName(m_hInstance);
  // There are no short names to prefer on Linux, and no fixed buffer for one
  // to overflow: the long path is used as it is.
  std::string shortPath;
  if (GetShortPathName(path, shortPath) != 0) path = shortPath;
  // The script may quote %MODULE% in single quotes, so its quotes are doubled;
  // the path that locates the script keeps them single.
  registrar.AddReplacement("Module", DoubleSingleQuotes(path));
  return doRegister ? registrar.ResourceRegister(path, resourceId, "REGISTRY")
                    : registrar.ResourceUnregister(path, resourceId, "REGISTRY");
}

HRESULT CServerModule::RegisterCategories(const ClassTableEntry& row, bool doRegister) {
  if (row.getCategories == nullptr) return S_OK;
  for (const CategoryEntry* entry = row.getCategories(); entry->kind != 0; ++entry) {
    HRESULT hr = doRegister ? RegisterClassCategory(*row.clsid, entry->kind, *entry->category)
                            : UnregisterClassCategory(*row.clsid, entry->kind, *entry->category);
    if (doRegister && FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT CServerModule::RegisterClasses() {
  RecordStep("RegisterClasses");
  for (ClassTableEntry* row = m_classTable; row->clsid != nullptr; ++row) {
    if (Skipped(*row)) continue;
    HRESULT hr = row->updateRegistry(true);
    if (SUCCEEDED(hr)) hr = RegisterCategories(*row, true);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT CServerModule::UnregisterClasses() {
  RecordStep("UnregisterClasses");
  for (ClassTableEntry* row = m_classTable; row->clsid != nullptr; ++row) {
    if (Skipped(*row)) continue;
    row->updateRegistry(false);
    RegisterCategories(*row, false);
  }
  return S_OK;
}

HRESULT CServerModule::RegisterTypeLibrary() {
  RecordStep("RegisterTypeLibrary");
  TypeLibrary library;
  std::string path;
  HRESULT hr = LoadModuleTypeLibrary(m_hInstance, library, path);
  if (FAILED(hr)) return hr;
  return RegisterTypeLib(library, path, HelpDirectoryOf(path));
}

HRESULT CServerModule::UnregisterTypeLibrary() {
  RecordStep("UnregisterTypeLibrary");
  TypeLibrary library;
  std::string path;
  HRESULT hr = LoadModuleTypeLibrary(m_hInstance, library, path);
  // UnRegisterTypeLib is our own here, so there is no system library to
  // look it up in at run time, and no case in which it is missing.
  if (SUCCEEDED(hr)) {
    const TLIBATTR& attr = library.attr;
    UnRegisterTypeLib(attr.guid, attr.wMajorVerNum, attr.wMinorVerNum, attr.lcid, attr.syskind);
  }
  return hr;
}

void RunRegistration(CServerModule& module) {
  module.ApplyRegistryScript(IDR_PYLAX, true);
  if (FAILED(module.RegisterClasses())) return;
  module.RegisterTypeLibrary();
}

void RunUnregistration(CServerModule& module) {
  module.ApplyRegistryScript(IDR_PYLAX, false);
  module.UnregisterClasses();
  module.UnregisterTypeLibrary();
}
