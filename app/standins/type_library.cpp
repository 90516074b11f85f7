#include "app/standins/type_library.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "app/standins/registry_file.h"
#include "app/standins/step_log.h"

namespace {

// The MSFT file header: 21 little-endian 32-bit fields, 0x54 bytes, of which
// these are read (byte offsets).
constexpr std::uint32_t kMsftMagic = 0x5446534D;  // "MSFT"
constexpr std::size_t kMagic = 0x00;
constexpr std::size_t kGuidPosition = 0x08;  // the libid's place in the guid table
constexpr std::size_t kLcid = 0x0C;
constexpr std::size_t kVarFlags = 0x14;      // low nibble: the system kind
constexpr std::size_t kVersion = 0x18;       // low word major, high word minor
constexpr std::size_t kFlags = 0x1C;
constexpr std::size_t kTypeInfoCount = 0x20;
constexpr std::size_t kHelpString = 0x24;    // offset in the string table, -1 none
constexpr std::size_t kNameOffset = 0x38;    // offset in the name table, -1 none
constexpr std::size_t kHeaderSize = 0x54;
// A help-string DLL adds one field after the header.
constexpr std::uint32_t kHelpDllFlag = 0x100;
// After the header (and the typeinfo offsets, one per typeinfo) comes the
// segment directory: 15 segments of {offset, length, -1, 0x0F}.
constexpr std::size_t kSegmentSize = 16;
constexpr std::size_t kSegmentCount = 15;
constexpr std::size_t kGuidTableSegment = 5;
constexpr std::size_t kNameTableSegment = 7;
constexpr std::size_t kStringTableSegment = 8;
constexpr std::size_t kGuidEntrySize = 24;  // the guid, then two hash fields
constexpr std::size_t kNameIntroSize = 12;  // hreftype, next hash, length in the low byte

// Reads the header fields it needs straight from the file, each read checked
// against the file's size, so a short or hostile file is "not a type library"
// and never a read past the end.
class MsftReader {
 public:
  MsftReader(int fd, std::int64_t size) : fd_(fd), size_(size) {}

  bool Read(TypeLibrary& library) {
    std::uint32_t magic = 0;
    std::int64_t typeInfos = 0;
    if (!Int(kMagic, magic) || magic != kMsftMagic || !Int(kVarFlags, varFlags_) ||
        !Int(kTypeInfoCount, typeInfos) || typeInfos < 0) {
      return false;
    }
    segments_ = kHeaderSize + ((varFlags_ & kHelpDllFlag) ? 4 : 0) + 4 * typeInfos;
    if (!SegmentDirectoryIsThere() || !ReadAttributes(library.attr)) return false;
    ReadName(library.name);
    ReadHelpString(library.docString);
    return true;
  }

 private:
  bool Bytes(std::int64_t offset, std::int64_t count, unsigned char* out) const {
    if (offset < 0 || count < 0 || offset + count > size_) return false;
    return ::pread(fd_, out, static_cast<std::size_t>(count), offset) == count;
  }
  bool Int(std::int64_t offset, std::int64_t& value) const {
    unsigned char p[4];
    if (!Bytes(offset, 4, p)) return false;
    std::uint32_t raw = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    value = static_cast<std::int32_t>(raw);
    return true;
  }
  bool Int(std::int64_t offset, std::uint32_t& value) const {
    std::int64_t wide = 0;
    if (!Int(offset, wide)) return false;
    value = static_cast<std::uint32_t>(wide);
    return true;
  }
  bool Segment(std::size_t index, std::int64_t& offset, std::int64_t& length) const {
    std::int64_t at = segments_ + static_cast<std::int64_t>(index * kSegmentSize);
    return Int(at, offset) && Int(at + 4, length) && offset >= 0 && length >= 0;
  }
  // Both the typeinfo table and the import table carry the 0x0F marker: the
  // check that the directory really is where the header says.
  bool SegmentDirectoryIsThere() const {
    std::int64_t marker1 = 0, marker2 = 0;
    return Int(segments_ + 12, marker1) && marker1 == 0x0F &&
           Int(segments_ + kSegmentSize + 12, marker2) && marker2 == 0x0F &&
           segments_ + static_cast<std::int64_t>(kSegmentCount * kSegmentSize) <= size_;
  }

  bool ReadAttributes(TLIBATTR& attr) const {
    std::int64_t guidPosition = 0, tableOffset = 0, tableLength = 0;
    std::uint32_t lcid = 0, version = 0, flags = 0;
    unsigned char g[16];
    if (!Int(kGuidPosition, guidPosition) || guidPosition < 0 || !Int(kLcid, lcid) ||
        !Int(kVersion, version) || !Int(kFlags, flags) ||
        !Segment(kGuidTableSegment, tableOffset, tableLength) ||
        guidPosition + static_cast<std::int64_t>(kGuidEntrySize) > tableLength ||
        !Bytes(tableOffset + guidPosition, 16, g) || (varFlags_ & 0x0F) > SYS_WIN64) {
      return false;
    }
    attr.guid.data1 = g[0] | (g[1] << 8) | (g[2] << 16) | (static_cast<std::uint32_t>(g[3]) << 24);
    attr.guid.data2 = static_cast<std::uint16_t>(g[4] | (g[5] << 8));
    attr.guid.data3 = static_cast<std::uint16_t>(g[6] | (g[7] << 8));
    for (int i = 0; i < 8; ++i) attr.guid.data4[i] = g[8 + i];
    attr.lcid = lcid;
    attr.syskind = static_cast<SYSKIND>(varFlags_ & 0x0F);
    attr.wMajorVerNum = static_cast<std::uint16_t>(version & 0xFFFF);
    attr.wMinorVerNum = static_cast<std::uint16_t>(version >> 16);
    attr.wLibFlags = static_cast<std::uint16_t>(flags & 0xFFFF);
    return true;
  }

  bool Text(std::int64_t offset, std::int64_t length, std::string& text) const {
    std::string bytes(static_cast<std::size_t>(length), '\0');
    if (!Bytes(offset, length, reinterpret_cast<unsigned char*>(bytes.data()))) return false;
    text = std::move(bytes);
    return true;
  }

  void ReadName(std::string& name) const {
    std::int64_t offset = 0, tableOffset = 0, tableLength = 0, length = 0;
    if (Int(kNameOffset, offset) && offset >= 0 &&
        Segment(kNameTableSegment, tableOffset, tableLength) &&
        Int(tableOffset + offset + 8, length)) {
      Text(tableOffset + offset + kNameIntroSize, length & 0xFF, name);
    }
  }

  // A string-table entry: a 16-bit length, then the characters.
  void ReadHelpString(std::string& text) const {
    std::int64_t offset = 0, tableOffset = 0, tableLength = 0;
    unsigned char lengthBytes[2];
    if (Int(kHelpString, offset) && offset >= 0 &&
        Segment(kStringTableSegment, tableOffset, tableLength) &&
        Bytes(tableOffset + offset, 2, lengthBytes)) {
      Text(tableOffset + offset + 2, lengthBytes[0] | (lengthBytes[1] << 8), text);
    }
  }

  int fd_;
  std::int64_t size_;
  std::uint32_t varFlags_ = 0;
  std::int64_t segments_ = 0;
};

const char* SyskindName(SYSKIND syskind) {
  switch (syskind) {
    case SYS_WIN16: return "win16";
    case SYS_MAC: return "mac";
    case SYS_WIN64: return "win64";
    case SYS_WIN32: break;
  }
  return "win32";
}

std::string Hex(std::uint32_t value) {
  char text[12];
  std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(value));
  return text;
}

std::string VersionKeyPath(const Guid& libid, std::uint16_t major, std::uint16_t minor) {
  return "HKEY_CLASSES_ROOT\\TypeLib\\" + GuidToRegistryForm(libid) + "\\" + Hex(major) + "." +
         Hex(minor);
}

// A version key holds locale subkeys and the FLAGS and HELPDIR keys; with no
// locale left, the version is gone from this machine.
bool HasLocaleSubkeys(const RegistryKey& version) {
  for (const auto& subkey : version.Subkeys()) {
    const std::string& name = subkey->Name();
    if (name != "FLAGS" && name != "HELPDIR") return true;
  }
  return false;
}

}  // namespace

HRESULT LoadTypeLib(const std::string& path, TypeLibrary& library) {
  RecordStep("LoadTypeLib " + path);
  library = TypeLibrary{};
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return TYPE_E_CANTLOADLIBRARY;
  struct stat info {};
  // Only a regular file: a device or a pipe at the path is no library.
  bool loaded = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                MsftReader(fd, info.st_size).Read(library);
  ::close(fd);
  return loaded ? S_OK : TYPE_E_CANTLOADLIBRARY;
}

std::string TypeLibraryPathFor(const std::string& modulePath) {
  // In UTF-8 a "." byte is always a whole character, so the last "." byte is
  // the last "." character of the path.
  std::size_t dot = modulePath.rfind('.');
  return (dot == std::string::npos ? modulePath : modulePath.substr(0, dot)) + ".tlb";
}

std::string HelpDirectoryOf(const std::string& path) {
  std::size_t separator = path.find_last_of("\\/:");
  return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

HRESULT RegisterTypeLib(const TypeLibrary& library, const std::string& fullPath,
                        const std::string& helpDir) {
  RecordStep("RegisterTypeLib " + fullPath + " " + helpDir);
  const TLIBATTR& attr = library.attr;
  RegistryTransaction transaction(RegistryFilePath());
  HRESULT hr = transaction.Open();
  if (FAILED(hr)) return hr;
  RegistryTree& tree = transaction.Tree();
  std::string versionPath = VersionKeyPath(attr.guid, attr.wMajorVerNum, attr.wMinorVerNum);
  tree.Create(versionPath)->SetValue("", library.docString.empty() ? library.name : library.docString);
  tree.Create(versionPath + "\\" + Hex(attr.lcid) + "\\" + SyskindName(attr.syskind))
      ->SetValue("", fullPath);
  tree.Create(versionPath + "\\FLAGS")->SetValue("", std::to_string(attr.wLibFlags));
  tree.Create(versionPath + "\\HELPDIR")->SetValue("", helpDir);
  return transaction.Commit();
}

HRESULT UnRegisterTypeLib(const Guid& libid, std::uint16_t major, std::uint16_t minor,
                          std::uint32_t lcid, SYSKIND syskind) {
  RecordStep("UnRegisterTypeLib " + GuidToRegistryForm(libid));
  RegistryTransaction transaction(RegistryFilePath());
  HRESULT hr = transaction.Open();
  if (FAILED(hr)) return hr;
  RegistryTree& tree = transaction.Tree();
  std::string versionPath = VersionKeyPath(libid, major, minor);
  RegistryKey* version = tree.Find(versionPath);
  if (version == nullptr) return S_OK;
  std::string localePath = versionPath + "\\" + Hex(lcid);
  tree.Remove(localePath + "\\" + SyskindName(syskind));
  if (RegistryKey* locale = tree.Find(localePath); locale != nullptr && !locale->HasSubkeys()) {
    tree.Remove(localePath);
  }
  if (!HasLocaleSubkeys(*version)) {
    tree.Remove(versionPath);
    std::string libraryPath = versionPath.substr(0, versionPath.rfind('\\'));
    if (!tree.Find(libraryPath)->HasSubkeys()) tree.Remove(libraryPath);
  }
  return transaction.Commit();
}
