#include "monitor/publisher.h"

#include <cstdio>

#include "modbus/model.h"

const char* ModelName(int model) {
  switch (model) {
    case ModelQM4A:
      return "QM4A";
    case ModelQM4B:
      return "QM4B";
    case ModelQM4C:
      return "QM4C";
    default:
      return "unknown";
  }
}

void JsonLinesPublisher::State(const MeterInfo&, const PollFields&, const std::string& state) {
  std::printf("%s\n", state.c_str());
  std::fflush(stdout);
}
