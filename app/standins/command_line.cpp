#include "app/standins/command_line.h"

#include <strings.h>

std::string JoinCommandLine(int argc, const char* const* argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) line += ' ';
    line += argv[i];
  }
  return line;
}

namespace {
// Steps over one UTF-8 character: its lead byte and its continuation bytes.
const char* NextCharacter(const char* p) {
  if (*p == '\0') return p;
  ++p;
  while ((static_cast<unsigned char>(*p) & 0xC0) == 0x80) ++p;
  return p;
}
}  // namespace

const char* FindSwitch(const char* text, const char* separators) {
  for (const char* p = text; *p != '\0'; ++p) {
    for (const char* s = separators; *s != '\0'; s = NextCharacter(s)) {
      if (*p == *s) return p + 1;
    }
  }
  return nullptr;
}

RegistrationSwitch FindRegistrationSwitch(const std::string& commandLine) {
  static const char kSeparators[] = "-/";
  for (const char* p = FindSwitch(commandLine.c_str(), kSeparators); p != nullptr;
       p = FindSwitch(p, kSeparators)) {
    if (::strcasecmp(p, "UnregServer") == 0) return RegistrationSwitch::Unregister;
    if (::strcasecmp(p, "RegServer") == 0) return RegistrationSwitch::Register;
  }
  return RegistrationSwitch::None;
}

CCommandLineInfo ParseCommandLine(int argc, const char* const* argv) {
  CCommandLineInfo info;
  for (int i = 1; i < argc; ++i) {
    const char* param = argv[i];
    if (param[0] != '-' && param[0] != '/') continue;  // a file name: ignored
    const char* flag = param + 1;
    if (::strcasecmp(flag, "Embedding") == 0) info.m_bRunEmbedded = true;
    if (::strcasecmp(flag, "Automation") == 0) info.m_bRunAutomated = true;
  }
  return info;
}
