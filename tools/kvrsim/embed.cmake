# Turns a text file into a C++ header that holds it as one zero-terminated
# character array: cmake -DINPUT=file -DOUTPUT=header -DSYMBOL=name -P embed.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" length)
set(body "")
set(column 0)
set(i 0)
while(i LESS length)
  string(SUBSTRING "${hex}" ${i} 2 byte)
  string(APPEND body "'\\x${byte}',")
  math(EXPR column "${column} + 1")
  if(column EQUAL 12)
    string(APPEND body "\n    ")
    set(column 0)
  endif()
  math(EXPR i "${i} + 2")
endwhile()
get_filename_component(name "${INPUT}" NAME)
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${name} at build time; do not edit.\n"
  "#pragma once\n"
  "inline constexpr char ${SYMBOL}[] = {\n    ${body}'\\0'};\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
