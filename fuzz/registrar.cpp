// The registry script (.rgs) parser and its registrar, as a registration run
// uses them: the script registered into a registry holding keys of its own,
// then unregistered, with the program's one replacement variable.

#include <string>
#include <string_view>

#include "app/standins/registrar.h"
#include "app/standins/step_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view script(reinterpret_cast<const char*>(data), size);
  CRegistrar registrar;
  registrar.AddReplacement("Module", "/usr/bin/pylax");
  RegistryTree tree;
  tree.Create("HKEY_CLASSES_ROOT\\AppID\\Other")->SetValue("", "kept");
  std::string bound;
  if (registrar.ApplyScript(script, true, tree, &bound) == S_OK) {
    registrar.ApplyScript(script, false, tree, &bound);
    FormatRegistryText(tree);
  }
  // The registrar records its steps for the tests; a record kept from run to
  // run would look like a leak to libFuzzer and slow every run down.
  ClearRecordedSteps();
  return 0;
}
