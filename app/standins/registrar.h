#pragma once
// Our registrar for registry scripts (.rgs), the grammar of the program's
// resource 103:
//
//   HKCR
//   {
//       NoRemove AppID
//       {
//           {GUID} = s 'Pylax'
//           'Pylax.EXE'
//           {
//               val AppID = s {GUID}
//           }
//       }
//   }
//
// A token is a run of non-blank characters or a single-quoted text ('' in it
// is one quote). Under a hive: keys, each with optional flags (NoRemove,
// ForceRemove, Delete), a name, an optional default value "= s 'text'" (or
// "= d 42" for a number), and an optional body in braces holding subkeys and
// named values "val NAME = s 'text'". %NAME% is replaced by a replacement
// variable's value before the script is read, %% by one %.
//
// Registering creates the keys and writes the values (ForceRemove first
// clears the key, Delete removes it). Unregistering removes the values the
// script names and each key it names unless it is NoRemove; a key that still
// has subkeys the script does not name stays, so nothing of another program's
// is lost. The whole script is read before the registry is touched, and the
// file is rewritten once: a script with a fault changes nothing.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/standins/com_types.h"
#include "app/standins/registry_file.h"

class CRegistrar {
 public:
  HRESULT AddReplacement(std::string_view name, std::string_view value);
  // The script is the module's resource (id, type); the registry file is
  // RegistryFilePath(). The result is what the step gave: S_OK,
  // HRESULT_MOD_NOT_FOUND, HRESULT_RESOURCE_NOT_FOUND, DISP_E_EXCEPTION for a
  // script fault, or the registry file's own failure.
  HRESULT ResourceRegister(const std::string& modulePath, unsigned resourceId, std::string_view type);
  HRESULT ResourceUnregister(const std::string& modulePath, unsigned resourceId,
                             std::string_view type);

  // The script applied to a tree in memory (S_OK or DISP_E_EXCEPTION). A
  // script past a bound of registry_limits.h is refused, the bound named in
  // *error; a script fault leaves *error empty.
  HRESULT ApplyScript(std::string_view script, bool doRegister, RegistryTree& tree,
                      std::string* error = nullptr) const;

 private:
  HRESULT ApplyResource(const std::string& modulePath, unsigned resourceId, std::string_view type,
                        bool doRegister) const;
  bool ExpandVariables(std::string_view script, std::string& expanded) const;

  std::vector<std::pair<std::string, std::string>> replacements_;
};
