// The register map's decoders, on any register values: the meter time (its
// text in a field of any size), float pairs, scale exponents, logged values
// and energy pairs, and the label tables for any register number.

#include <cstring>
#include <memory>

#include "meter/register_map.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kWords = 8;
  if (size < 2 * kWords + 1) return 0;
  int words[kWords];
  for (size_t i = 0; i < kWords; ++i) words[i] = data[2 * i] * 256 + data[2 * i + 1];
  const unsigned fieldSize = data[2 * kWords];
  UnpackMeterTime(words[0], words[1], words[2]);
  MeterTimeValue(words[0], words[1], words[2]);
  const std::unique_ptr<char[]> field(new char[fieldSize]);
  FormatMeterTime(words[0], words[1], words[2], field.get(), fieldSize);
  if (fieldSize > 0 && std::memchr(field.get(), '\0', fieldSize) == nullptr) __builtin_trap();
  WordsToFloat(words[3], words[4]);
  const int exponents[4] = {ScaleExponent(words[5]), ScaleExponent(words[6]), ScaleExponent(words[7]),
                            ScaleExponent(words[3])};
  const unsigned number = static_cast<unsigned>(words[0]);
  ConvertLoggedValue(ClassOfRegister(number), static_cast<unsigned>(words[1]), exponents);
  ConvertEnergyPair(static_cast<unsigned>(words[1]), static_cast<unsigned>(words[2]), exponents[3]);
  RegisterLabel(number);
  RegisterDescription(number);
  LegendFloatPair(number);
  IsLoggableRegister(number);
  return 0;
}
