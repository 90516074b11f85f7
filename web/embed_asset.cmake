# cmake -DNAME=kPylaxJs -DINPUT=FILE -DOUTPUT=FILE.cpp -P embed_asset.cmake
# writes FILE's text into a std::string_view NAME, as a raw string literal.
set(delimiter "pylax_asset")
file(READ "${INPUT}" content)
string(FIND "${content}" ")${delimiter}\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} holds the raw string's delimiter )${delimiter}\"")
endif()
file(WRITE "${OUTPUT}.tmp" "// Made from ${INPUT} by embed_asset.cmake.\n#include <string_view>\nextern const std::string_view ${NAME};\nconst std::string_view ${NAME} = R\"${delimiter}(${content})${delimiter}\";\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
