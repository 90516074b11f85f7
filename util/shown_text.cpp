#include "util/shown_text.h"

#include <cstdio>

namespace {
constexpr const char* kReplacement = "\xEF\xBF\xBD";

bool Continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The length of the well-formed character at text[at] (RFC 3629: no
// overlong forms, no surrogates, nothing above U+10FFFF), 0 when there is
// none.
size_t CharacterLength(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) { return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0; };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  // The second byte's range depends on the lead; the others are any continuation.
  unsigned char low = 0x80, high = 0xBF;
  size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) length = 3;
  else if (lead >= 0xF0 && lead <= 0xF4) length = 4;
  else return 0;
  if (lead == 0xE0) low = 0xA0;
  if (lead == 0xED) high = 0x9F;
  if (lead == 0xF0) low = 0x90;
  if (lead == 0xF4) high = 0x8F;
  if (byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (!Continuation(byte(i))) return 0;
  return length;
}
}  // namespace

std::string ValidUtf8(const std::string& text) {
  std::string shown;
  shown.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const size_t length = CharacterLength(text, at);
    shown += length == 0 ? std::string(kReplacement) : text.substr(at, length);
    at += length == 0 ? 1 : length;
  }
  return shown;
}

std::string TerminalText(const std::string& text) {
  const std::string valid = ValidUtf8(text);
  std::string shown;
  shown.reserve(valid.size());
  for (size_t at = 0; at < valid.size(); ++at) {
    const auto c = static_cast<unsigned char>(valid[at]);
    // C1 controls are U+0080 to U+009F: 0xC2 then 0x80 to 0x9F.
    const bool c1 = c == 0xC2 && at + 1 < valid.size() && static_cast<unsigned char>(valid[at + 1]) <= 0x9F;
    if (c >= 0x20 && c != 0x7F && !c1) {
      shown += valid[at];
      continue;
    }
    const unsigned code = c1 ? static_cast<unsigned char>(valid[++at]) : c;
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", code);
    shown += escaped;
  }
  return shown;
}
