// The REGEDIT4 registry file reader and writer, as a registration run uses
// them: a file read is written back, and what is written reads back as the
// same tree (writing is idempotent), so a registration never changes a file
// it did not mean to.

#include <string>
#include <string_view>

#include "app/standins/registry_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RegistryTree tree;
  std::string error;
  if (!ParseRegistryText(std::string_view(reinterpret_cast<const char*>(data), size), tree, error)) return 0;
  const std::string written = FormatRegistryText(tree);
  RegistryTree again;
  if (!ParseRegistryText(written, again, error) || FormatRegistryText(again) != written) __builtin_trap();
  return 0;
}
