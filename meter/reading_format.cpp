#include "meter/reading_format.h"

#include <charconv>

std::string FormatReading(double value) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 3);
  if (result.ec != std::errc()) return std::string();
  return std::string(text, result.ptr);
}

std::string FormatRegister(int value) { return std::to_string(value & 0xFFFF); }
