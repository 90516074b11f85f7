#include "app/standins/registrar.h"

#include <algorithm>

#include <cstdio>
#include <cstdlib>

#include "app/standins/registry_limits.h"
#include "app/standins/resources.h"
#include "app/standins/step_log.h"

namespace {

struct Token {
  std::string text;
  bool quoted = false;
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool Tokenize(std::string_view script, std::vector<Token>& tokens) {
  std::size_t pos = 0;
  for (;;) {
    while (pos < script.size() && IsBlank(script[pos])) ++pos;
    if (pos == script.size()) return true;
    Token token;
    if (script[pos] == '\'') {
      token.quoted = true;
      for (++pos;; ++pos) {
        if (pos == script.size()) return false;  // no closing quote
        if (script[pos] == '\'') {
          if (pos + 1 < script.size() && script[pos + 1] == '\'') {
            ++pos;
          } else {
            ++pos;
            break;
          }
        }
        token.text += script[pos];
      }
    } else {
      while (pos < script.size() && !IsBlank(script[pos])) token.text += script[pos++];
    }
    tokens.push_back(std::move(token));
  }
}

struct ScriptValue {
  std::string name;
  std::string data;
  bool isString = true;
};

enum class KeyFlag { None, NoRemove, ForceRemove, Delete };

struct ScriptKey {
  KeyFlag flag = KeyFlag::None;
  std::string name;
  bool hasDefault = false;
  ScriptValue defaultValue;
  std::vector<ScriptValue> values;
  std::vector<ScriptKey> subkeys;
};

struct ScriptRoot {
  std::string hive;
  std::vector<ScriptKey> keys;
};

// Reads the token list into roots; false at the first token out of place.
class ScriptParser {
 public:
  explicit ScriptParser(const std::vector<Token>& tokens) : tokens_(tokens) {}
  // The bound the script goes past, when that is why Parse refused it.
  const std::string& Bound() const { return bound_; }

  bool Parse(std::vector<ScriptRoot>& roots) {
    while (pos_ < tokens_.size()) {
      ScriptRoot root;
      root.hive = HiveName(tokens_[pos_].text);
      if (tokens_[pos_++].quoted || root.hive.empty() || !Accept("{")) return false;
      while (!Accept("}")) {
        ScriptKey key;
        if (!ParseKey(key, 1)) return false;
        root.keys.push_back(std::move(key));
      }
      roots.push_back(std::move(root));
    }
    return true;
  }

 private:
  bool AtWord(std::string_view word) const {
    return pos_ < tokens_.size() && !tokens_[pos_].quoted && SameRegistryName(tokens_[pos_].text, word);
  }
  bool Accept(std::string_view word) {
    if (!AtWord(word)) return false;
    ++pos_;
    return true;
  }

  // A name: any token but the structural ones. A backslash would make one
  // script name stand for several keys; the file format could not tell them
  // apart from a path, so it is refused.
  bool TakeName(std::string& name) {
    if (pos_ >= tokens_.size() || AtWord("{") || AtWord("}") || AtWord("=")) return false;
    name = tokens_[pos_++].text;
    if (name.size() > kRegistryMaxNameLength)
      return Beyond("a name longer than " + std::to_string(kRegistryMaxNameLength) + " characters");
    return !name.empty() && name.find('\\') == std::string::npos;
  }

  bool Beyond(const std::string& what) {
    bound_ = what;
    return false;
  }

  void TakeFlags(ScriptKey& key) {
    for (;;) {
      if (Accept("NoRemove")) {
        key.flag = KeyFlag::NoRemove;
      } else if (Accept("ForceRemove")) {
        key.flag = KeyFlag::ForceRemove;
      } else if (Accept("Delete")) {
        key.flag = KeyFlag::Delete;
      } else {
        return;
      }
    }
  }

  // Each level of nesting is a call: depth is bounded before it goes on.
  bool ParseKey(ScriptKey& key, int depth) {
    if (depth > kRegistryMaxDepth)
      return Beyond("keys nested deeper than " + std::to_string(kRegistryMaxDepth) + " levels");
    if (++keys_ > kRegistryMaxKeys) return Beyond("more than " + std::to_string(kRegistryMaxKeys) + " keys");
    TakeFlags(key);
    if (!TakeName(key.name)) return false;
    if (Accept("=")) {
      key.hasDefault = true;
      if (!ParseTypedValue(key.defaultValue)) return false;
    }
    if (!Accept("{")) return true;
    while (!Accept("}")) {
      if (pos_ >= tokens_.size()) return false;
      if (Accept("val")) {
        ScriptValue value;
        if (!TakeName(value.name) || !Accept("=") || !ParseTypedValue(value)) return false;
        key.values.push_back(std::move(value));
        continue;
      }
      ScriptKey subkey;
      if (!ParseKey(subkey, depth + 1)) return false;
      key.subkeys.push_back(std::move(subkey));
    }
    return true;
  }

  // "s TEXT" a string; "d NUMBER" a 32-bit number, decimal or 0x hex.
  bool ParseTypedValue(ScriptValue& value) {
    if (pos_ + 1 >= tokens_.size() || tokens_[pos_].quoted) return false;
    const std::string& type = tokens_[pos_].text;
    const std::string& data = tokens_[pos_ + 1].text;
    pos_ += 2;
    if (data.size() > kRegistryMaxValueLength)
      return Beyond("a value longer than " + std::to_string(kRegistryMaxValueLength) + " characters");
    if (SameRegistryName(type, "s")) {
      value.data = data;
      value.isString = true;
      return true;
    }
    if (!SameRegistryName(type, "d") || data.empty()) return false;
    char* end = nullptr;
    unsigned long long number = std::strtoull(data.c_str(), &end, 0);
    if (*end != '\0' || number > 0xFFFFFFFFull || data[0] == '-') return false;
    char text[16];
    std::snprintf(text, sizeof text, "dword:%08llx", number);
    value.data = text;
    value.isString = false;
    return true;
  }

  const std::vector<Token>& tokens_;
  std::size_t pos_ = 0;
  std::size_t keys_ = 0;
  std::string bound_;
};

void RegisterKey(RegistryKey& parent, const ScriptKey& script) {
  if (script.flag == KeyFlag::Delete || script.flag == KeyFlag::ForceRemove) {
    parent.Remove(script.name);
    if (script.flag == KeyFlag::Delete) return;
  }
  RegistryKey& key = parent.Create(script.name);
  if (script.hasDefault) {
    key.SetValue("", script.defaultValue.data, script.defaultValue.isString);
  }
  for (const ScriptValue& value : script.values) key.SetValue(value.name, value.data, value.isString);
  for (const ScriptKey& subkey : script.subkeys) RegisterKey(key, subkey);
}

void UnregisterKey(RegistryKey& parent, const ScriptKey& script) {
  RegistryKey* key = parent.Find(script.name);
  if (key == nullptr) return;
  if (script.flag == KeyFlag::ForceRemove) {
    parent.Remove(script.name);
    return;
  }
  for (const ScriptKey& subkey : script.subkeys) UnregisterKey(*key, subkey);
  for (const ScriptValue& value : script.values) key->DeleteValue(value.name);
  if (script.flag != KeyFlag::NoRemove && !key->HasSubkeys()) parent.Remove(script.name);
}

}  // namespace

HRESULT CRegistrar::AddReplacement(std::string_view name, std::string_view value) {
  RecordStep("AddReplacement " + std::string(name) + "=" + std::string(value));
  replacements_.emplace_back(std::string(name), std::string(value));
  return S_OK;
}

bool CRegistrar::ExpandVariables(std::string_view script, std::string& expanded) const {
  expanded.clear();
  for (std::size_t pos = 0; pos < script.size(); ++pos) {
    if (script[pos] != '%') {
      expanded += script[pos];
      continue;
    }
    std::size_t close = script.find('%', pos + 1);
    if (close == std::string_view::npos) return false;
    std::string_view name = script.substr(pos + 1, close - pos - 1);
    pos = close;
    if (name.empty()) {
      expanded += '%';
      continue;
    }
    auto found = std::find_if(replacements_.begin(), replacements_.end(),
                              [&](const auto& entry) { return SameRegistryName(entry.first, name); });
    if (found == replacements_.end()) return false;
    expanded += found->second;
  }
  return true;
}

HRESULT CRegistrar::ApplyScript(std::string_view script, bool doRegister, RegistryTree& tree,
                                std::string* error) const {
  std::string expanded;
  std::vector<Token> tokens;
  std::vector<ScriptRoot> roots;
  auto refuse = [error](const std::string& bound) {
    if (error) *error = bound;
    return DISP_E_EXCEPTION;
  };
  const std::string tooLarge = "it is larger than " + std::to_string(kRegistryMaxBytes) + " bytes";
  if (script.size() > kRegistryMaxBytes) return refuse(tooLarge);
  if (!ExpandVariables(script, expanded)) return refuse("");
  if (expanded.size() > kRegistryMaxBytes) return refuse(tooLarge);
  ScriptParser parser(tokens);
  if (!Tokenize(expanded, tokens) || !parser.Parse(roots)) return refuse(parser.Bound());
  for (const ScriptRoot& root : roots) {
    RegistryKey* hive = tree.Find(root.hive);
    for (const ScriptKey& key : root.keys) {
      if (doRegister) {
        RegisterKey(*hive, key);
      } else {
        UnregisterKey(*hive, key);
      }
    }
  }
  return S_OK;
}

HRESULT CRegistrar::ApplyResource(const std::string& modulePath, unsigned resourceId,
                                  std::string_view type, bool doRegister) const {
  RecordStep(std::string(doRegister ? "ResourceRegister " : "ResourceUnregister ") + modulePath +
             " " + std::to_string(resourceId) + " " + std::string(type));
  std::string script;
  HRESULT hr = LoadModuleResource(modulePath, resourceId, type, script);
  if (FAILED(hr)) return hr;
  RegistryTransaction transaction(RegistryFilePath());
  hr = transaction.Open();
  std::string bound;
  if (SUCCEEDED(hr)) hr = ApplyScript(script, doRegister, transaction.Tree(), &bound);
  if (!bound.empty())
    std::fprintf(stderr, "pylax: registry script %u of %s refused, registry file %s left as it is: %s\n", resourceId,
                 modulePath.c_str(), RegistryFilePath().c_str(), bound.c_str());
  if (SUCCEEDED(hr)) hr = transaction.Commit();
  return hr;
}

HRESULT CRegistrar::ResourceRegister(const std::string& modulePath, unsigned resourceId,
                                     std::string_view type) {
  return ApplyResource(modulePath, resourceId, type, true);
}

HRESULT CRegistrar::ResourceUnregister(const std::string& modulePath, unsigned resourceId,
                                       std::string_view type) {
  return ApplyResource(modulePath, resourceId, type, false);
}
