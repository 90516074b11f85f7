#include "meter/reading_format.h"

#include <charconv>

std::string FormatReading(double value) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 3);
  if (result.ec != std::errc()) return std::string();
  return std::string(text, result.ptr);
}

std::string GroupedNumber(double value, int decimals) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
  if (result.ec != std::errc()) return std::string();
  std::string plain(text, result.ptr);
  const size_t digitsFrom = plain[0] == '-' ? 1 : 0;
  size_t point = plain.find('.');
  if (point == std::string::npos) point = plain.size();
  for (size_t at = point; at > digitsFrom + 3; at -= 3) plain.insert(at - 3, 1, ',');
  return plain;
}

std::string FormatRegister(int value) { return std::to_string(value & 0xFFFF); }
