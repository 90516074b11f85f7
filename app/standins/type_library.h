#pragma once
// Type libraries on Linux: a type library is a file in the standard MSFT
// format (what MIDL writes as a .tlb). We read only its identity from the
// file header, which is all registration needs, and keep its registry entries
// in the registry file as Windows keeps them:
//
//   HKEY_CLASSES_ROOT\TypeLib\{LIBID}\MAJOR.MINOR        @ = help string, else name
//   HKEY_CLASSES_ROOT\TypeLib\{LIBID}\MAJOR.MINOR\LCID\win32   @ = full path
//   HKEY_CLASSES_ROOT\TypeLib\{LIBID}\MAJOR.MINOR\FLAGS        @ = library flags
//   HKEY_CLASSES_ROOT\TypeLib\{LIBID}\MAJOR.MINOR\HELPDIR      @ = help directory
//
// with the version numbers and the locale in hexadecimal, as Windows writes
// them ("1.a" for version 1.10). The interfaces described inside a library
// are not registered: nothing on Linux would marshal them.

#include <cstdint>
#include <string>

#include "app/standins/com_types.h"

enum SYSKIND { SYS_WIN16 = 0, SYS_WIN32 = 1, SYS_MAC = 2, SYS_WIN64 = 3 };

struct TLIBATTR {
  Guid guid;
  std::uint32_t lcid = 0;
  SYSKIND syskind = SYS_WIN32;
  std::uint16_t wMajorVerNum = 0;
  std::uint16_t wMinorVerNum = 0;
  std::uint16_t wLibFlags = 0;
};

struct TypeLibrary {
  TLIBATTR attr;
  std::string name;       // "" when the file does not carry one we can read
  std::string docString;  // the library's help string, "" when none
};

// S_OK and the library's identity; TYPE_E_CANTLOADLIBRARY for a missing file
// or one that is not a type library in the MSFT format.
HRESULT LoadTypeLib(const std::string& path, TypeLibrary& library);

// Where a module's type library sits when the module holds none itself: the
// path cut at its last "." (even one in a directory name) with ".tlb" put in
// its place, or ".tlb" appended when the path has no "." at all.
std::string TypeLibraryPathFor(const std::string& modulePath);
// The path up to and including its last "\", "/" or ":"; "" when none.
std::string HelpDirectoryOf(const std::string& path);

// Write and remove the entries above in the registry file (S_OK or the
// registry file's failure).
HRESULT RegisterTypeLib(const TypeLibrary& library, const std::string& fullPath,
                        const std::string& helpDir);
HRESULT UnRegisterTypeLib(const Guid& libid, std::uint16_t major, std::uint16_t minor,
                          std::uint32_t lcid, SYSKIND syskind);
