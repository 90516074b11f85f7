#pragma once
// pylax's own options, taken out of the argument list before the server
// module and the framework's parser see it (the parser would ignore them):
//
//   --version           print the version resource and end
//   --simulate          run against qm4sim's meters, with COM1 mapped to it
//   --port COMn=PATH    map COMn to a device (also --port=COMn=PATH)
//   --framing MODE      silence or length: how the link ends a response (also
//                       --framing=MODE); without it PYLAX_FRAMING decides
//   --echo, --rs485, --rs485-delays BEFORE,AFTER  the line's settings, as
//                       pylaxctl takes them, for the windows' link
//   --plot FILE         show the plot of a downloaded data file, nothing else
//                       (also --plot=FILE)
//   --help, -h          print the usage and end
// Any other argument of two hyphens is refused. A line that ends in a
// registration switch is a registration run whatever stands before the
// switch, as it always was: neither --help nor an unknown option counts there.

#include <string>

#include "modbus/link.h"

struct LaunchOptions {
  bool showVersion = false;
  bool showHelp = false;
  bool simulate = false;
  std::string plotFile;       // --plot: empty when not given
  std::string unknownOption;  // the first "--..." none of the above; empty for none
  // The windows' link: --echo, --rs485, --rs485-delays; --framing or PYLAX_FRAMING.
  LineSettings line;
  Framing framing = Framing::Silence;
  PortMap ports;  // --port COMn=PATH
};

// Removes the options above from argv (argc shrinks; argv[argc] stays null),
// but for --help, -h and an unknown option, which stay as the registration
// switch's test and Qt see them, and applies each --port at once; the line
// settings and the framing go into options. False, with a message,
// for a --port whose value is not COMn=PATH, a framing (given or from the
// environment) that is neither silence nor length, or a --plot without a file.
bool TakeLaunchOptions(int& argc, char** argv, LaunchOptions& options, std::string& error);

// The text of "pylax --version": every value of the version resource.
std::string VersionText();
// The text of "pylax --help", also shown after an unknown option.
std::string UsageText();
