# Writes the import thunks of the image loader from the lists of the routines
# the real images import (target/windows/expected-imports.txt for
# kvrminiport.sys, expected-display-imports.txt for kvrdisplay.dll), one
# thunk a routine: an import without a routine of the simulated kernel (or
# GDI engine) of that name and signature fails the build here, at the thunk
# that names it.
#   cmake "-DIMPORTS=expected-imports.txt;..." -DOUTPUT=image_thunks.cpp -P thunks.cmake
set(entries "")
set(index 0)
foreach(list IN LISTS IMPORTS)
  file(STRINGS ${list} lines)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "#.*" "" line "${line}")
    string(STRIP "${line}" line)
    if(line STREQUAL "")
      continue()
    endif()
    string(REGEX MATCH "^([^ \t]+)[ \t]+([A-Za-z_][A-Za-z0-9_]*)[ \t]+[^ \t]+$" matched "${line}")
    if(NOT matched)
      message(FATAL_ERROR "${list}: not 'DLL routine first-version': ${line}")
    endif()
    set(dll ${CMAKE_MATCH_1})
    set(routine ${CMAKE_MATCH_2})
    string(APPEND entries
           "    {\"${dll}\", \"${routine}\", (const void *)&Thunk<${index}, &::${routine}>::Call},\n")
    math(EXPR index "${index} + 1")
  endforeach()
endforeach()
list(JOIN IMPORTS ", " sources)
set(text "// Written by sim/image/thunks.cmake from ${sources}; do not edit.\n\n")
string(APPEND text "#include \"image/thunks.h\"\n\nnamespace sim::detail\n{\n\n")
string(APPEND text "const ImportThunk ImportThunks[] = {\n${entries}};\n")
string(APPEND text "const size_t ImportThunkCount = ${index};\n\n} // namespace sim::detail\n")
# Rewritten only when it changes, so that the library is not rebuilt for nothing.
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
  if(old STREQUAL text)
    return()
  endif()
endif()
file(WRITE ${OUTPUT} "${text}")
