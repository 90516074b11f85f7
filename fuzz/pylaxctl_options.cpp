// pylaxctl's command line, as main hands it over: the input is the
// arguments, each ended by a NUL byte.

#include <string>
#include <vector>

#include "cli/options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args;
  std::string arg;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] != 0) {
      arg += static_cast<char>(data[i]);
      continue;
    }
    args.push_back(arg);
    arg.clear();
  }
  if (!arg.empty()) args.push_back(arg);
  Options options;
  ParseCommandLine(args, options);
  return 0;
}
