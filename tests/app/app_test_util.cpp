#include "app_test_util.h"

namespace {
void PutInt(std::string& bytes, std::size_t at, std::uint32_t value) {
  if (bytes.size() < at + 4) bytes.resize(at + 4, '\0');
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}
void Pad4(std::string& bytes) { bytes.resize((bytes.size() + 3) / 4 * 4, '\0'); }
}  // namespace

std::string MakeTypeLibrary(const TypeLibFields& fields) {
  constexpr std::size_t kHeader = 0x54, kSegments = 15, kSegment = 16;
  std::string bytes(kHeader + kSegments * kSegment, '\0');
  PutInt(bytes, 0x00, 0x5446534D);  // "MSFT"
  PutInt(bytes, 0x04, 0x00010002);
  PutInt(bytes, 0x08, 0);           // the libid is the guid table's first entry
  PutInt(bytes, 0x0C, fields.lcid);
  PutInt(bytes, 0x10, fields.lcid);
  PutInt(bytes, 0x14, 0x40 | fields.syskind);
  PutInt(bytes, 0x18, fields.major | (static_cast<std::uint32_t>(fields.minor) << 16));
  PutInt(bytes, 0x1C, 0);           // library flags
  PutInt(bytes, 0x20, 0);           // no typeinfos
  PutInt(bytes, 0x24, fields.helpString.empty() ? 0xFFFFFFFF : 0);
  PutInt(bytes, 0x38, 0);           // the name is the name table's first entry
  PutInt(bytes, 0x3C, 0xFFFFFFFF);  // no help file
  PutInt(bytes, 0x40, 0xFFFFFFFF);  // no custom data
  PutInt(bytes, 0x4C, 0xFFFFFFFF);  // no IDispatch
  for (std::size_t i = 0; i < kSegments; ++i) {
    PutInt(bytes, kHeader + i * kSegment, 0xFFFFFFFF);
    PutInt(bytes, kHeader + i * kSegment + 8, 0xFFFFFFFF);
    PutInt(bytes, kHeader + i * kSegment + 12, 0x0F);
  }
  auto place = [&](std::size_t segment, const std::string& table) {
    PutInt(bytes, kHeader + segment * kSegment, static_cast<std::uint32_t>(bytes.size()));
    PutInt(bytes, kHeader + segment * kSegment + 4, static_cast<std::uint32_t>(table.size()));
    bytes += table;
  };
  std::string guidTable(reinterpret_cast<const char*>(fields.guid), 16);
  guidTable += std::string(8, '\xFF');  // hreftype, next hash: none
  place(5, guidTable);
  std::string nameTable(12, '\0');
  PutInt(nameTable, 0, 0xFFFFFFFF);
  PutInt(nameTable, 4, 0xFFFFFFFF);
  PutInt(nameTable, 8, static_cast<std::uint32_t>(fields.name.size()));
  nameTable += fields.name;
  Pad4(nameTable);
  place(7, nameTable);
  std::string stringTable;
  stringTable += static_cast<char>(fields.helpString.size() & 0xFF);
  stringTable += static_cast<char>(fields.helpString.size() >> 8);
  stringTable += fields.helpString;
  Pad4(stringTable);
  place(8, stringTable);
  return bytes;
}
