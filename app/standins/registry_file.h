#pragma once
// The registry stand-in: a tree of keys and values kept in a REGEDIT4 text
// file, the format Windows' own registry editor exports:
//
//   REGEDIT4
//
//   [HKEY_CLASSES_ROOT\AppID\{...}]
//   @="Pylax"
//
// one block per key, "@" for a key's default value, strings in double quotes
// with \\ and \" escaped. Key and value names compare without regard to case,
// as in the registry; a key keeps the spelling it was created with.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/standins/com_types.h"

struct RegistryValue {
  std::string name;  // "" is the key's default value ("@" in the file)
  std::string data;  // a string's text, or the file's text for other types
  bool isString = true;
};

class RegistryKey {
 public:
  explicit RegistryKey(std::string name) : name_(std::move(name)) {}

  const std::string& Name() const { return name_; }
  RegistryKey* Find(std::string_view name) const;
  RegistryKey& Create(std::string_view name);  // opens it when it exists
  bool Remove(std::string_view name);          // with everything below it
  bool HasSubkeys() const { return !subkeys_.empty(); }
  const std::vector<std::unique_ptr<RegistryKey>>& Subkeys() const { return subkeys_; }

  const RegistryValue* Value(std::string_view name) const;
  void SetValue(std::string_view name, std::string data, bool isString = true);
  bool DeleteValue(std::string_view name);
  const std::vector<RegistryValue>& Values() const { return values_; }

 private:
  std::string name_;
  std::vector<RegistryValue> values_;
  std::vector<std::unique_ptr<RegistryKey>> subkeys_;
};

// The whole registry: the hives (HKEY_CLASSES_ROOT, HKEY_CURRENT_USER,
// HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CURRENT_CONFIG) always exist.
class RegistryTree {
 public:
  RegistryTree();
  // "HKEY_CLASSES_ROOT\AppID\Pylax.EXE"; nullptr when any part is missing.
  RegistryKey* Find(std::string_view path) const;
  // Creates every missing key along the path; nullptr for an unknown hive.
  RegistryKey* Create(std::string_view path);
  // Removes the last key of the path with everything below it; a hive stays.
  bool Remove(std::string_view path);
  const RegistryKey& Root() const { return root_; }

 private:
  RegistryKey root_;
};

// Names compare without regard to ASCII case, every byte of them.
bool SameRegistryName(std::string_view a, std::string_view b);

// "HKCR" and the other abbreviations a registry script uses, and the full
// names, to the full hive name; "" for anything else.
std::string HiveName(std::string_view name);

// The file's text, and back. ParseRegistryText refuses (false, with the line
// number in error) anything it cannot read faithfully or that goes past a
// bound of registry_limits.h, so such a file is never rewritten. FormatRegistryText writes keys in name order, each key's
// default value first.
bool ParseRegistryText(std::string_view text, RegistryTree& tree, std::string& error);
std::string FormatRegistryText(const RegistryTree& tree);

// $PYLAX_REGISTRY, else $XDG_DATA_HOME/pylax/registry.reg, else
// ~/.local/share/pylax/registry.reg.
std::string RegistryFilePath();

// One read-modify-write of the registry file, under an exclusive lock
// (flock on "<file>.lock") so two registration runs cannot lose each other's
// keys. Commit writes a temporary file beside it and renames it over the old
// one: a reader sees the old file or the new one, never a part. A file that
// cannot be parsed makes Open fail and is left untouched.
class RegistryTransaction {
 public:
  explicit RegistryTransaction(std::string path);
  ~RegistryTransaction();
  RegistryTransaction(const RegistryTransaction&) = delete;
  RegistryTransaction& operator=(const RegistryTransaction&) = delete;

  HRESULT Open();  // S_OK; HRESULT_REGISTRY_CORRUPT; HRESULT_REGISTRY_IO_FAILED
  RegistryTree& Tree() { return tree_; }
  // Writes the tree when it differs from what was read. E_INVALIDARG for a
  // value the format cannot hold (a line break); HRESULT_REGISTRY_IO_FAILED.
  HRESULT Commit();

 private:
  // Says on stderr why the file stays as it is.
  void Refuse(const std::string& reason) const;
  std::string path_;
  int lockFd_ = -1;
  RegistryTree tree_;
  std::string original_;
};
