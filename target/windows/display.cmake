# The display driver's image, kvrdisplay.dll, its PDB, its symbol file and its
# layout check; included by windows.cmake, whose settings it shares (kernel
# flags, the image's time, the fix-up, the symbol file).
#
# win32k loads a display driver as a kernel-mode DLL of the native subsystem
# and calls its entry point, DrvEnableDriver, the one routine it also finds
# by name (the DLL exports it, kvrdisplay.def). The DLL imports from
# win32k.sys only, the graphics engine's Eng* routines; the tool chain has no
# import library for win32k.sys, so one is built from win32k.def, as for
# videoprt.sys.

# KVR_DISPLAY_SOURCES: the display driver's sources (CMakeLists.txt).
if(NOT KVR_DISPLAY_SOURCES)
  message(STATUS "kvrdisplay.dll: no display driver sources; the package holds the miniport only")
  return()
endif()

add_library(kvrdisplay_kernel OBJECT ${KVR_DISPLAY_SOURCES})
target_compile_options(kvrdisplay_kernel PRIVATE ${KVR_KERNEL_FLAGS})
target_compile_definitions(kvrdisplay_kernel PRIVATE KVR_KERNEL_TARGET=1)

# The display driver's types against winddi.h and wingdi.h (see
# abi/ddi_types.cpp); winddi/ holds stand-ins for the two headers winddi.h
# includes that the tool chain lacks.
set(KVR_DDI_HEADER ${CMAKE_SOURCE_DIR}/display/platform/kvr_ddi.h)
add_library(kvr_ddi_abi_check OBJECT ${KVR_WINDOWS_DIR}/abi/ddi_types.cpp)
target_compile_options(kvr_ddi_abi_check PRIVATE ${KVR_WARNINGS})
target_compile_definitions(kvr_ddi_abi_check PRIVATE KVR_KERNEL_TARGET=1)
target_include_directories(kvr_ddi_abi_check PRIVATE ${CMAKE_SOURCE_DIR}/display/platform
                                                     ${KVR_WINDOWS_DIR}/abi
                                                     ${KVR_WINDOWS_DIR}/abi/winddi)

set(KVR_WIN32K_LIB ${CMAKE_CURRENT_BINARY_DIR}/libwin32k.a)
add_custom_command(
    OUTPUT ${KVR_WIN32K_LIB}
    COMMAND ${KVR_DLLTOOL} -D win32k.sys -d ${KVR_WINDOWS_DIR}/win32k.def -l ${KVR_WIN32K_LIB}
    DEPENDS ${KVR_WINDOWS_DIR}/win32k.def
    COMMENT "Import library for win32k.sys"
    VERBATIM)
add_custom_target(kvr_win32k_lib DEPENDS ${KVR_WIN32K_LIB})

# A DLL (-shared) whose only export the .def names (without
# --exclude-all-symbols the GNU-style link would export every routine). The OS and subsystem
# versions are the miniport's: the pair is installed together, on NT 6.0 and
# later; the imports are held to Windows 2000's win32k (check_sys.py).
set(KVR_DISPLAY_PDB ${CMAKE_CURRENT_BINARY_DIR}/kvrdisplay.pdb)
add_executable(kvrdisplay $<TARGET_OBJECTS:kvrdisplay_kernel>)
set_target_properties(
    kvrdisplay PROPERTIES PREFIX "" SUFFIX ".dll" LINKER_LANGUAGE CXX
                          LINK_DEPENDS "${KVR_TIMESTAMP_RSP};${KVR_WINDOWS_DIR}/kvrdisplay.def")
add_dependencies(kvrdisplay kvr_win32k_lib kvr_ddi_abi_check kvr_source_date)
target_link_options(
    kvrdisplay
    PRIVATE
    ${KVR_KERNEL_LINK_OPTIONS}
    -shared
    -Wl,--exclude-all-symbols
    ${KVR_WINDOWS_DIR}/kvrdisplay.def
    -Wl,--entry,DrvEnableDriver
    -Wl,--image-base,0x180000000
    -Wl,--pdb=${KVR_DISPLAY_PDB}
    -Wl,--Xlink=-pdbaltpath:kvrdisplay.pdb)
target_link_libraries(kvrdisplay PRIVATE ${KVR_WIN32K_LIB})
add_custom_command(
    TARGET kvrdisplay
    POST_BUILD
    COMMAND Python3::Interpreter ${KVR_WINDOWS_DIR}/pe_fixup.py $<TARGET_FILE:kvrdisplay>
            ${KVR_DISPLAY_PDB}
    COMMAND Python3::Interpreter ${KVR_WINDOWS_DIR}/image_symbols.py --pdbutil ${KVR_PDBUTIL}
            $<TARGET_FILE:kvrdisplay> ${KVR_DISPLAY_PDB} ${CMAKE_CURRENT_BINARY_DIR}/kvrdisplay.sym
    COMMENT "kvrdisplay.dll: PDB GUID from the image, image checksum, symbol file"
    VERBATIM)

# Checks of the DLL, run with ctest beside the miniport's: the image and its
# PDB (a DLL of the native subsystem entered at DrvEnableDriver, which it
# exports by name; imports from win32k.sys only, each listed in
# expected-display-imports.txt and none newer than Windows 2000), each
# check's self-test, and the layout check's self-test on the display
# driver's header.
enable_testing()
set(KVR_DISPLAY_CHECK_ARGS
    --objdump ${KVR_OBJDUMP}
    --pdbutil ${KVR_PDBUTIL}
    --pdb ${KVR_DISPLAY_PDB}
    --expected-imports ${KVR_WINDOWS_DIR}/expected-display-imports.txt
    --oldest ${KVR_OLDEST_WINDOWS}
    --timestamp-file ${KVR_TIMESTAMP_RSP}
    --entry DrvEnableDriver
    --exports DrvEnableDriver
    --dlls win32k.sys
    --imports-from 2000
    --procedures DrvEnableDriver)
add_test(NAME dll_image
         COMMAND Python3::Interpreter ${KVR_WINDOWS_DIR}/check_sys.py ${KVR_DISPLAY_CHECK_ARGS}
                 --objects $<TARGET_OBJECTS:kvrdisplay_kernel> -- $<TARGET_FILE:kvrdisplay>
         COMMAND_EXPAND_LISTS)
add_test(NAME dll_check_selftest
         COMMAND Python3::Interpreter ${KVR_WINDOWS_DIR}/check_sys.py --selftest
                 ${KVR_DISPLAY_CHECK_ARGS} -- $<TARGET_FILE:kvrdisplay>)
add_test(NAME ddi_abi_check_selftest
         COMMAND Python3::Interpreter ${KVR_WINDOWS_DIR}/check_abi_selftest.py --header
                 ${KVR_DDI_HEADER} --abi ${KVR_WINDOWS_DIR}/abi -- ${CMAKE_CXX_COMPILER}
                 --target=${CMAKE_CXX_COMPILER_TARGET} -std=c++20 ${KVR_WARNINGS}
                 -DKVR_KERNEL_TARGET=1 -I ${KVR_WINDOWS_DIR}/abi/winddi)
