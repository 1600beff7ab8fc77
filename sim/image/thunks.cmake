# Writes the import thunks of the image loader from the lists of the routines
# the real images import (target/windows/expected-imports.txt for
# kvrminiport.sys, expected-display-imports.txt for kvrdisplay.dll), one
# thunk a routine: an import without a routine of the simulated kernel (or
# GDI engine) of that name and signature fails the build here, at the thunk
# that names it.
#   cmake "-DIMPORTS=expected-imports.txt;..." -DOUTPUT=image_thunks.cpp -P thunks.cmake
# An import's entry point (thunks.h): the image's stack pointer noted, the
# home space and eight stack arguments copied to the stack below the filled
# area (or just below the image's frames when it went deeper), the thunk's
# body called there, and the image's stack pointer back.
set(entry [=[
    .globl kvrsim_import_INDEX
kvrsim_import_INDEX:
    movq %rsp, %r11
    movq %r11, kvrsim_image_caller(%rip)
    movq kvrsim_image_call_stack(%rip), %r10
    testq %r10, %r10
    je 1f
    cmpq %r11, %r10
    jb 2f
1:  movq %r11, %r10
2:  andq $-16, %r10
    subq $112, %r10
    movdqu 8(%r11), %xmm5
    movdqu %xmm5, 0(%r10)
    movdqu 24(%r11), %xmm5
    movdqu %xmm5, 16(%r10)
    movdqu 40(%r11), %xmm5
    movdqu %xmm5, 32(%r10)
    movdqu 56(%r11), %xmm5
    movdqu %xmm5, 48(%r10)
    movdqu 72(%r11), %xmm5
    movdqu %xmm5, 64(%r10)
    movdqu 88(%r11), %xmm5
    movdqu %xmm5, 80(%r10)
    movq %r11, 96(%r10)
    movq %r10, %rsp
    callq *kvrsim_import_bodies+8*INDEX(%rip)
    movq 96(%rsp), %rsp
    ret
]=])
set(entries "")
set(bodies "")
set(stubs "")
set(declarations "")
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
    string(APPEND entries "    {\"${dll}\", \"${routine}\", (const void *)&kvrsim_import_${index}},\n")
    string(APPEND bodies "    (const void *)&Thunk<${index}, &::${routine}>::Call,\n")
    string(REPLACE "INDEX" "${index}" stub "${entry}")
    string(APPEND stubs "${stub}")
    string(APPEND declarations "void kvrsim_import_${index}();\n")
    math(EXPR index "${index} + 1")
  endforeach()
endforeach()
list(JOIN IMPORTS ", " sources)
set(text "// Written by sim/image/thunks.cmake from ${sources}; do not edit.\n\n")
string(APPEND text "#include \"image/thunks.h\"\n\n")
string(APPEND text "// The entry points the image's import table holds (thunks.h).\n")
string(APPEND text "asm(R\"(\n    .text\n${stubs})\");\n\n")
string(APPEND text "using namespace sim::detail;\n\nextern \"C\" {\n${declarations}\n")
string(APPEND text "const void *const kvrsim_import_bodies[] = {\n${bodies}};\n}\n\n")
string(APPEND text "namespace sim::detail\n{\n\n")
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
