# Writes INPUT's bytes into OUTPUT as the body of FUNCTION, a C++ function
# returning std::string_view, so a resource is built into the program byte for
# byte (tabs and CR LF included). Run as: cmake -DINPUT= -DOUTPUT= -DFUNCTION= -P
file(READ "${INPUT}" hex HEX)
# Every byte as \xNN: a hex escape is ended by the next backslash, never by a
# following digit.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" escaped "${hex}")
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${INPUT} at build time.\n"
"#include <string_view>\n"
"std::string_view ${FUNCTION}() {\n"
"  static const char kBytes[] = \"${escaped}\";\n"
"  return std::string_view(kBytes, ${size});\n"
"}\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
