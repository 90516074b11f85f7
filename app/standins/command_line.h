#pragma once
// The program's command line as the server module and the framework see it.

#include <string>

// The whole command line, program path included, as one text: argv[0] and
// every argument joined with single blanks, each taken verbatim (no quotes
// added, none removed), which is how a shell user typed it. The registration
// switch must end this text, so "pylax /RegServer" registers and
// "pylax /RegServer ''" (an empty last argument: a trailing blank) does not.
std::string JoinCommandLine(int argc, const char* const* argv);

// Walks text byte by byte; at the first byte equal to one of the separator
// characters, returns the position just after it; nullptr when none matches.
// Separators are stepped over as whole UTF-8 characters.
const char* FindSwitch(const char* text, const char* separators);

enum class RegistrationSwitch { None, Register, Unregister };

// Tries every "-" and "/" of the line in turn: the run is asked for only when
// the whole rest of the line after one of them equals "UnregServer" or
// "RegServer" (compared in that order, without regard to case).
RegistrationSwitch FindRegistrationSwitch(const std::string& commandLine);

// The framework parser's view: each argument after the program path on its
// own; one that begins with "-" or "/" is a flag, and the two flags that
// matter are "Embedding" and "Automation", in any case.
struct CCommandLineInfo {
  bool m_bRunEmbedded = false;
  bool m_bRunAutomated = false;
};
CCommandLineInfo ParseCommandLine(int argc, const char* const* argv);
