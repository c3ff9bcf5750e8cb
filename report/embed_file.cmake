# cmake -DINPUT=FILE -DOUTPUT=FILE.cpp -P embed_file.cmake: the bytes of INPUT as
# report::kChartJs, for the page's inline script element.
file(READ "${INPUT}" text)
string(TOLOWER "${text}" lower)
string(FIND "${lower}" "</script" closing)
if(NOT closing EQUAL -1)
  message(FATAL_ERROR "${INPUT} holds </script and cannot stand inside a script element")
endif()
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT} at build time.\n"
  "#include \"report/chart_js.h\"\n"
  "namespace report {\n"
  "const unsigned char kChartJs[] = {${bytes}};\n"
  "const std::size_t kChartJsSize = ${size};\n"
  "}  // namespace report\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
