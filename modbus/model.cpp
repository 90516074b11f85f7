#include "modbus/model.h"

#include <cstring>

int ModelCodeFromText(const char* text) {
  if (std::strstr(text, "QM4A")) return ModelQM4A;
  if (std::strstr(text, "QM4B")) return ModelQM4B;
  if (std::strstr(text, "QM4C")) return ModelQM4C;
  return ModelNone;
}
