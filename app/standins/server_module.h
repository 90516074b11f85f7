#pragma once
// The COM server module: the class table, its publication at start and
// withdrawal at exit, and the registration steps of a /RegServer or
// /UnregServer run. Every step's HRESULT is handed back to the caller, which
// decides what to ignore.

#include <cstdint>

#include "app/standins/com_standins.h"
#include "app/standins/com_types.h"

// One category of a class: kind 1 implemented, 2 required; kind 0 ends a list.
struct CategoryEntry {
  int kind;
  const Guid* category;
};

// One creatable class. A row whose clsid is null ends the table.
struct ClassTableEntry {
  const Guid* clsid;
  HRESULT (*updateRegistry)(bool doRegister);  // the class's own registry keys
  HRESULT (*getClassObject)(void* createInstance, const Guid& iid, void** classObject);
  void* createInstance;  // handed to getClassObject
  IUnknown* classObject;  // held by the row, null when none
  std::uint32_t registrationCookie;
  const char* (*getDescription)();  // a row with a description is not registered
  const CategoryEntry* (*getCategories)();
  void (*startStop)(bool starting);
};

// The row that ends a class table. The program offers no classes, so its
// table is this row alone.
constexpr ClassTableEntry kClassTableEnd{nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr};

class CServerModule {
 public:
  // Keeps the table and the instance and starts every row (startStop(true)).
  HRESULT Initialize(ClassTableEntry* classTable, HINSTANCE instance);
  // Releases each row's class object and stops the row (startStop(false)).
  void Shutdown();
  // Publishes each row's class object, in table order, up to the first
  // failure; that failure's result, or S_OK for an empty table.
  HRESULT PublishClassObjects();
  // Revokes the rows' publications in table order up to the first refusal.
  HRESULT WithdrawClassObjects();

  // Runs the registry script resource (IDR_PYLAX) forwards or backwards
  // through the registrar, with the replacement variable "Module".
  HRESULT ApplyRegistryScript(unsigned resourceId, bool doRegister);
  // Each row's own keys and categories. Registration ends at the first
  // failure; unregistration ignores failures and does every row.
  HRESULT RegisterClasses();
  HRESULT UnregisterClasses();
  // The module's type library, when it has one: in the module itself (never,
  // here) or beside it (see TypeLibraryPathFor).
  HRESULT RegisterTypeLibrary();
  HRESULT UnregisterTypeLibrary();

  HINSTANCE Instance() const { return m_hInstance; }

 private:
  HRESULT RegisterCategories(const ClassTableEntry& row, bool doRegister);

  HINSTANCE m_hInstance = nullptr;
  ClassTableEntry* m_classTable = nullptr;
};

// The runs of a command line ending in /RegServer or /UnregServer: the script,
// the classes, the type library. Nothing is reported; a run ends silently
// whatever its steps gave, and a failing class ends registration before the
// type library.
void RunRegistration(CServerModule& module);
void RunUnregistration(CServerModule& module);
