#include "app/standins/registry_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>

#include "app/standins/registry_limits.h"
#include "util/replacement_file.h"

namespace {

char LowerChar(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }


std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = LowerChar(c);
  return lower;
}

// Splits "A\B\C" into its key names; empty names (a doubled or trailing
// backslash) make the path invalid.
bool SplitPath(std::string_view path, std::vector<std::string_view>& parts) {
  parts.clear();
  std::size_t start = 0;
  for (;;) {
    std::size_t end = path.find('\\', start);
    std::string_view part = path.substr(start, end == std::string_view::npos ? end : end - start);
    if (part.empty()) return false;
    parts.push_back(part);
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

constexpr const char* kHives[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                                  "HKEY_USERS", "HKEY_CURRENT_CONFIG"};

}  // namespace

// Every byte counts: a name with a NUL in it is not the same as its part
// before the NUL (strncasecmp would stop there).
bool SameRegistryName(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return LowerChar(x) == LowerChar(y); });
}

// ---- keys and values ----------------------------------------------------

RegistryKey* RegistryKey::Find(std::string_view name) const {
  for (const auto& key : subkeys_) {
    if (SameRegistryName(key->name_, name)) return key.get();
  }
  return nullptr;
}

RegistryKey& RegistryKey::Create(std::string_view name) {
  if (RegistryKey* existing = Find(name)) return *existing;
  subkeys_.push_back(std::make_unique<RegistryKey>(std::string(name)));
  return *subkeys_.back();
}

bool RegistryKey::Remove(std::string_view name) {
  auto it = std::find_if(subkeys_.begin(), subkeys_.end(),
                         [&](const auto& key) { return SameRegistryName(key->name_, name); });
  if (it == subkeys_.end()) return false;
  subkeys_.erase(it);
  return true;
}

const RegistryValue* RegistryKey::Value(std::string_view name) const {
  for (const RegistryValue& value : values_) {
    if (SameRegistryName(value.name, name)) return &value;
  }
  return nullptr;
}

void RegistryKey::SetValue(std::string_view name, std::string data, bool isString) {
  for (RegistryValue& value : values_) {
    if (SameRegistryName(value.name, name)) {
      value.data = std::move(data);
      value.isString = isString;
      return;
    }
  }
  values_.push_back(RegistryValue{std::string(name), std::move(data), isString});
}

bool RegistryKey::DeleteValue(std::string_view name) {
  auto it = std::find_if(values_.begin(), values_.end(),
                         [&](const RegistryValue& value) { return SameRegistryName(value.name, name); });
  if (it == values_.end()) return false;
  values_.erase(it);
  return true;
}

// ---- the tree -------------------------------------------------------------

RegistryTree::RegistryTree() : root_("") {
  for (const char* hive : kHives) root_.Create(hive);
}

RegistryKey* RegistryTree::Find(std::string_view path) const {
  std::vector<std::string_view> parts;
  if (!SplitPath(path, parts)) return nullptr;
  RegistryKey* key = root_.Find(parts[0]);
  for (std::size_t i = 1; key != nullptr && i < parts.size(); ++i) key = key->Find(parts[i]);
  return key;
}

RegistryKey* RegistryTree::Create(std::string_view path) {
  std::vector<std::string_view> parts;
  if (!SplitPath(path, parts)) return nullptr;
  RegistryKey* key = root_.Find(parts[0]);
  for (std::size_t i = 1; key != nullptr && i < parts.size(); ++i) key = &key->Create(parts[i]);
  return key;
}

bool RegistryTree::Remove(std::string_view path) {
  std::size_t cut = path.rfind('\\');
  if (cut == std::string_view::npos) return false;  // a hive is never removed
  RegistryKey* parent = Find(path.substr(0, cut));
  return parent != nullptr && parent->Remove(path.substr(cut + 1));
}

std::string HiveName(std::string_view name) {
  static const struct {
    const char* shortName;
    const char* fullName;
  } kNames[] = {{"HKCR", "HKEY_CLASSES_ROOT"}, {"HKCU", "HKEY_CURRENT_USER"},
                {"HKLM", "HKEY_LOCAL_MACHINE"}, {"HKU", "HKEY_USERS"},
                {"HKCC", "HKEY_CURRENT_CONFIG"}};
  for (const auto& entry : kNames) {
    if (SameRegistryName(name, entry.shortName) || SameRegistryName(name, entry.fullName)) return entry.fullName;
  }
  return {};
}

// ---- the text -------------------------------------------------------------

namespace {

std::string Quote(std::string_view text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + '"';
}

// Reads a quoted string at text[pos] (which is '"'); pos ends after the
// closing quote. Only \\ and \" are escapes in the format.
bool ReadQuoted(std::string_view text, std::size_t& pos, std::string& out) {
  out.clear();
  for (++pos; pos < text.size(); ++pos) {
    char c = text[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c == '\\') {
      if (++pos >= text.size() || (text[pos] != '\\' && text[pos] != '"')) return false;
      c = text[pos];
    }
    out += c;
  }
  return false;
}

std::string_view TrimRight(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

class RegistryTextParser {
 public:
  RegistryTextParser(std::string_view text, RegistryTree& tree) : text_(text), tree_(tree) {}

  bool Parse(std::string& error) {
    if (text_.size() > kRegistryMaxBytes) {
      error = "it is larger than " + std::to_string(kRegistryMaxBytes) + " bytes";
      return false;
    }
    std::string_view line;
    bool sawHeader = false;
    while (NextLine(line)) {
      if (line.empty() || line[0] == ';') continue;
      bool ok = sawHeader ? ParseLine(line) : line == "REGEDIT4";
      if (!ok) {
        error = "line " + std::to_string(lineNumber_) + (bound_.empty() ? " cannot be read" : " holds " + bound_);
        return false;
      }
      sawHeader = true;
    }
    if (!sawHeader && !text_.empty()) error = "no REGEDIT4 header";
    return sawHeader || text_.empty();
  }

 private:
  bool NextLine(std::string_view& line) {
    if (pos_ >= text_.size()) return false;
    std::size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) end = text_.size();
    line = TrimRight(text_.substr(pos_, end - pos_));
    pos_ = end + 1;
    ++lineNumber_;
    return true;
  }

  bool ParseLine(std::string_view line) {
    if (line[0] == '[') return ParseKeyLine(line);
    if (line[0] == '@' || line[0] == '"') return key_ != nullptr && ParseValueLine(line);
    return false;
  }

  // Names the bound a line goes past; false to refuse the line.
  bool Beyond(const std::string& what) {
    bound_ = what;
    return false;
  }

  // "[path]"; the deletion form "[-path]" is an instruction, not content.
  bool ParseKeyLine(std::string_view line) {
    if (line.back() != ']' || line.size() < 3 || line[1] == '-') return false;
    const std::string_view path = line.substr(1, line.size() - 2);
    if (++keys_ > kRegistryMaxKeys) return Beyond("more than " + std::to_string(kRegistryMaxKeys) + " keys");
    int depth = 0;
    for (std::size_t start = 0, end = 0; end != std::string_view::npos; start = end + 1, ++depth) {
      end = path.find('\\', start);
      if (path.substr(start, end - start).size() > kRegistryMaxNameLength) return Beyond(LongName("key"));
    }
    if (depth - 1 > kRegistryMaxDepth)
      return Beyond("a key nested deeper than " + std::to_string(kRegistryMaxDepth) + " levels");
    key_ = tree_.Create(path);
    return key_ != nullptr;
  }

  static std::string LongName(const char* what) {
    return std::string("a ") + what + " name longer than " + std::to_string(kRegistryMaxNameLength) + " characters";
  }
  bool SetValue(const std::string& name, std::string data, bool isString) {
    if (name.size() > kRegistryMaxNameLength) return Beyond(LongName("value"));
    if (data.size() > kRegistryMaxValueLength)
      return Beyond("a value longer than " + std::to_string(kRegistryMaxValueLength) + " characters");
    key_->SetValue(name, std::move(data), isString);
    return true;
  }

  bool ParseValueLine(std::string_view line) {
    std::size_t pos = 0;
    std::string name;
    if (line[0] == '@') {
      pos = 1;
    } else if (!ReadQuoted(line, pos, name)) {
      return false;
    }
    if (pos >= line.size() || line[pos] != '=') return false;
    ++pos;
    if (pos < line.size() && line[pos] == '"') {
      std::string data;
      if (!ReadQuoted(line, pos, data) || pos != line.size()) return false;
      return SetValue(name, std::move(data), true);
    }
    return ParseTypedData(name, line.substr(pos));
  }

  // dword:0000002a, hex:..., hex(2):... kept as written; a long hex value
  // continues over lines ending in a backslash.
  bool ParseTypedData(const std::string& name, std::string_view first) {
    if (first.find(':') == std::string_view::npos) return false;  // also "-": a deletion
    std::string data(first);
    std::string_view next;
    while (!data.empty() && data.back() == '\\' && NextLine(next)) {
      data.pop_back();
      // Blanks around a line break are layout, as the next line's indent is:
      // kept, they would be lost when the file is read back.
      data.erase(data.find_last_not_of(" \t") + 1);
      std::size_t lead = next.find_first_not_of(" \t");
      data += lead == std::string_view::npos ? std::string_view() : next.substr(lead);
    }
    if (!data.empty() && data.back() == '\\') return false;  // the file ended inside it
    return SetValue(name, std::move(data), false);
  }

  std::string_view text_;
  RegistryTree& tree_;
  std::size_t pos_ = 0;
  int lineNumber_ = 0;
  RegistryKey* key_ = nullptr;
  std::size_t keys_ = 0;
  std::string bound_;  // the bound the refused line goes past, if that is why
};

std::vector<const RegistryKey*> SortedSubkeys(const RegistryKey& key) {
  std::vector<const RegistryKey*> sorted;
  for (const auto& subkey : key.Subkeys()) sorted.push_back(subkey.get());
  std::stable_sort(sorted.begin(), sorted.end(), [](const RegistryKey* a, const RegistryKey* b) {
    return Lower(a->Name()) < Lower(b->Name());
  });
  return sorted;
}

void FormatValues(const RegistryKey& key, std::string& text) {
  if (const RegistryValue* value = key.Value("")) {
    text += "@=" + (value->isString ? Quote(value->data) : value->data) + "\n";
  }
  for (const RegistryValue& value : key.Values()) {
    if (value.name.empty()) continue;
    text += Quote(value.name) + "=" + (value.isString ? Quote(value.data) : value.data) + "\n";
  }
}

void FormatKey(const RegistryKey& key, const std::string& path, std::string& text) {
  text += "[" + path + "]\n";
  FormatValues(key, text);
  text += "\n";
  for (const RegistryKey* subkey : SortedSubkeys(key)) {
    FormatKey(*subkey, path + "\\" + subkey->Name(), text);
  }
}

}  // namespace

bool ParseRegistryText(std::string_view text, RegistryTree& tree, std::string& error) {
  return RegistryTextParser(text, tree).Parse(error);
}

std::string FormatRegistryText(const RegistryTree& tree) {
  std::string text = "REGEDIT4\n\n";
  for (const auto& hive : tree.Root().Subkeys()) {
    // A hive is written only when it carries values; its keys always are.
    if (!hive->Values().empty()) {
      text += "[" + hive->Name() + "]\n";
      FormatValues(*hive, text);
      text += "\n";
    }
    for (const RegistryKey* key : SortedSubkeys(*hive)) {
      FormatKey(*key, hive->Name() + "\\" + key->Name(), text);
    }
  }
  return text;
}

// ---- the file -------------------------------------------------------------

std::string RegistryFilePath() {
  const char* explicitPath = std::getenv("PYLAX_REGISTRY");
  if (explicitPath != nullptr && *explicitPath != '\0') return explicitPath;
  // The XDG rules ignore a relative XDG_DATA_HOME.
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome != nullptr && dataHome[0] == '/') return std::string(dataHome) + "/pylax/registry.reg";
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') {
    const passwd* user = ::getpwuid(::getuid());
    home = user != nullptr ? user->pw_dir : "/";
  }
  return std::string(home) + "/.local/share/pylax/registry.reg";
}

namespace {

// mkdir -p for the file's directory; new directories are private (0700),
// as the XDG rules ask for a data directory that did not exist.
bool MakeParentDirectories(const std::string& filePath) {
  for (std::size_t slash = filePath.find('/', 1); slash != std::string::npos;
       slash = filePath.find('/', slash + 1)) {
    std::string dir = filePath.substr(0, slash);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool ReadWholeFile(const std::string& path, std::string& text, bool& exists) {
  text.clear();
  exists = false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  exists = true;
  char buffer[4096];
  ssize_t n = 0;
  // Past the bound is enough to refuse it: the rest is not read.
  while (text.size() <= kRegistryMaxBytes && (n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, n);
  ::close(fd);
  return n >= 0;
}

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

// The format has one line per value and per key: a name or a string with a
// line break in it (a path can hold one on Linux) cannot be written back.
bool FitsTheFormat(const RegistryKey& key) {
  if (HasLineBreak(key.Name())) return false;
  for (const RegistryValue& value : key.Values()) {
    if (HasLineBreak(value.name) || HasLineBreak(value.data)) return false;
  }
  for (const auto& subkey : key.Subkeys()) {
    if (!FitsTheFormat(*subkey)) return false;
  }
  return true;
}

}  // namespace

RegistryTransaction::RegistryTransaction(std::string path) : path_(std::move(path)) {}

RegistryTransaction::~RegistryTransaction() {
  if (lockFd_ >= 0) ::close(lockFd_);  // closing releases the flock
}

HRESULT RegistryTransaction::Open() {
  if (!MakeParentDirectories(path_)) return HRESULT_REGISTRY_IO_FAILED;
  lockFd_ = ::open((path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd_ < 0 || ::flock(lockFd_, LOCK_EX) != 0) return HRESULT_REGISTRY_IO_FAILED;
  std::string text;
  bool exists = false;
  if (!ReadWholeFile(path_, text, exists)) return HRESULT_REGISTRY_IO_FAILED;
  std::string error;
  if (!ParseRegistryText(text, tree_, error)) {
    Refuse(error);
    return HRESULT_REGISTRY_CORRUPT;
  }
  original_ = FormatRegistryText(tree_);
  return S_OK;
}

void RegistryTransaction::Refuse(const std::string& reason) const {
  std::fprintf(stderr, "pylax: registry file %s left as it is: %s\n", path_.c_str(), reason.c_str());
}

HRESULT RegistryTransaction::Commit() {
  std::string text = FormatRegistryText(tree_);
  if (text == original_) return S_OK;
  if (!FitsTheFormat(tree_.Root())) return E_INVALIDARG;
  if (text.size() > kRegistryMaxBytes) {
    Refuse("it would grow larger than " + std::to_string(kRegistryMaxBytes) + " bytes");
    return E_INVALIDARG;
  }
  ReplacementFile file(path_);
  if (!file.Open() || std::fwrite(text.data(), 1, text.size(), file.Stream()) != text.size() || !file.Commit())
    return HRESULT_REGISTRY_IO_FAILED;
  original_ = std::move(text);
  return S_OK;
}
