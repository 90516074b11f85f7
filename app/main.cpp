// pylax: the Modbus RTU master for Orvant QM4 power meters.

#include <cstdio>
#include <string>

#include "app/CMeterApp.h"
#include "app/launch_options.h"
#include "charts/CLogPlotDlg.h"

// The application object, one for the process as the framework has it.
CMeterApp theApp;

int main(int argc, char** argv) {
  LaunchOptions options;
  std::string error;
  if (!TakeLaunchOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "pylax: %s\n", error.c_str());
    return 2;
  }
  // Before anything else runs: the terms dialog would otherwise greet a
  // user who only asked how to start the program, or mistyped an option.
  if (options.showHelp) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }
  if (!options.unknownOption.empty()) {
    std::fprintf(stderr, "pylax: unknown option \"%s\"\n%s", options.unknownOption.c_str(), UsageText().c_str());
    return 2;
  }
  if (options.showVersion) {
    std::fputs(VersionText().c_str(), stdout);
    return 0;
  }
  // A downloaded file is looked at without a meter: no terms, no console.
  if (!options.plotFile.empty()) return CLogPlotDlg::RunStandalone(argc, argv, QString::fromStdString(options.plotFile));
  return theApp.Run(argc, argv, options);
}
