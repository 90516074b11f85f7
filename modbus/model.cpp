#include "modbus/model.h"

#include <cstring>

const char* ModelName(int model) {
  static constexpr const char* kNames[] = {"QM4A", "QM4B", "QM4C"};
  return model >= ModelQM4A && model <= ModelQM4C ? kNames[model - ModelQM4A] : "unknown";
}

int ModelCodeFromText(const char* text) {
  for (int model = ModelQM4A; model <= ModelQM4C; ++model)
    if (std::strstr(text, ModelName(model))) return model;
  return ModelNone;
}
