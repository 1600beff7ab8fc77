# The Windows x64 kernel image, kvrminiport.sys, its PDB, its checks and its
# test-signed package.
#
# Every driver source is compiled as kernel code into one object library and
# linked by lld against ntoskrnl.exe and videoprt.sys, together with any glue
# that only the kernel image needs (target/windows/*.cpp; the driver needs none
# today: no stack probes, no run-time helpers). The debug information goes
# into kvrminiport.pdb beside the image, which names it in a CodeView record;
# the image itself carries no symbol table. After the link a fix-up marks the
# start-up section discardable and writes the image checksum, and
# kvrminiport.sym is written from the PDB: the routines, globals and the
# state record's layout, for the simulated kernel's image loader (sim/image/). The tests of
# this build (ctest) inspect the finished image, its PDB, the INF and the
# signed package, and prove that the ABI check can fail and that the kernel
# flags reject a host header.

find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_program(KVR_DLLTOOL NAMES x86_64-w64-mingw32-dlltool REQUIRED)
find_program(KVR_OBJDUMP NAMES x86_64-w64-mingw32-objdump REQUIRED)
find_program(KVR_PDBUTIL NAMES llvm-pdbutil REQUIRED)

set(KVR_WINDOWS_DIR ${CMAKE_SOURCE_DIR}/target/windows)
set(KVR_DDK_INCLUDE /usr/x86_64-w64-mingw32/include/ddk)

# The oldest Windows the image is for: Vista x64 and Server 2008 (NT 6.0).
# The header's OS and subsystem versions say so, and no import may be newer.
set(KVR_OLDEST_WINDOWS 6.0)
string(REPLACE "." ";" KVR_OLDEST_WINDOWS_PARTS ${KVR_OLDEST_WINDOWS})
list(GET KVR_OLDEST_WINDOWS_PARTS 0 KVR_OLDEST_WINDOWS_MAJOR)
list(GET KVR_OLDEST_WINDOWS_PARTS 1 KVR_OLDEST_WINDOWS_MINOR)

# No C run-time, no Windows user-mode libraries: whatever the driver calls must
# come from the import libraries named below, or the link fails.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

# Kernel code. No header but our own can be found (-nostdinc), so a driver
# file that includes a host header fails here.
set(KVR_KERNEL_FLAGS
    ${KVR_WARNINGS}
    ${KVR_KERNEL_CXX_FLAGS}
    -ffreestanding
    -nostdinc
    -nostdinc++
    -mno-red-zone
    -fno-builtin
    -fno-stack-protector
    -fno-common
    -fno-ident
    -funwind-tables
    -gcodeview
    -g
    -O2)

add_library(kvrdriver_kernel OBJECT ${KVR_DRIVER_SOURCES})
target_compile_options(kvrdriver_kernel PRIVATE ${KVR_KERNEL_FLAGS})
target_compile_definitions(kvrdriver_kernel PRIVATE KVR_KERNEL_TARGET=1)

# ABI check: our platform declarations against the DDK headers of the tool
# chain. These files are only compiled; a size, offset, value or signature that
# differs stops the build.
add_library(kvr_abi_check OBJECT
            ${KVR_WINDOWS_DIR}/abi/ntddk_types.cpp
            ${KVR_WINDOWS_DIR}/abi/ntddk_values.cpp
            ${KVR_WINDOWS_DIR}/abi/video_types.cpp
            ${KVR_WINDOWS_DIR}/abi/video_values.cpp)
target_compile_options(kvr_abi_check PRIVATE ${KVR_WARNINGS} -isystem ${KVR_DDK_INCLUDE})
target_compile_definitions(kvr_abi_check PRIVATE KVR_KERNEL_TARGET=1)
target_include_directories(kvr_abi_check PRIVATE ${CMAKE_SOURCE_DIR}/driver/platform
                                                 ${KVR_WINDOWS_DIR}/abi)

# videoprt.sys ships no import library with the tool chain; build one from the
# list of routines the driver takes from it.
set(KVR_VIDEOPRT_LIB ${CMAKE_CURRENT_BINARY_DIR}/libvideoprt.a)
add_custom_command(
    OUTPUT ${KVR_VIDEOPRT_LIB}
    COMMAND ${KVR_DLLTOOL} -D videoprt.sys -d ${KVR_WINDOWS_DIR}/videoprt.def -l
            ${KVR_VIDEOPRT_LIB}
    DEPENDS ${KVR_WINDOWS_DIR}/videoprt.def
    COMMENT "Import library for videoprt.sys"
    VERBATIM)
add_custom_target(kvr_videoprt_lib DEPENDS ${KVR_VIDEOPRT_LIB})

file(GLOB KVR_GLUE_SOURCES CONFIGURE_DEPENDS ${KVR_WINDOWS_DIR}/*.cpp)

# Linked as an executable image rather than with -shared: a -shared link always
# writes an export directory, and the driver exports nothing. The image is
# relocatable all the same (--dynamicbase keeps the base relocations).
# The image's TimeDateStamp: SOURCE_DATE_EPOCH or the commit's time, looked up
# at every build and handed to the linker in a response file (see
# source_date.cmake).
set(KVR_TIMESTAMP_RSP ${CMAKE_CURRENT_BINARY_DIR}/link-timestamp.rsp)
add_custom_target(
    kvr_source_date
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DOUT=${KVR_TIMESTAMP_RSP} -P
            ${KVR_WINDOWS_DIR}/source_date.cmake
    BYPRODUCTS ${KVR_TIMESTAMP_RSP}
    COMMENT "Image time from SOURCE_DATE_EPOCH or the commit"
    VERBATIM)

set(KVR_PDB ${CMAKE_CURRENT_BINARY_DIR}/kvrminiport.pdb)
add_executable(kvrminiport $<TARGET_OBJECTS:kvrdriver_kernel> ${KVR_GLUE_SOURCES})
target_compile_options(kvrminiport PRIVATE ${KVR_KERNEL_FLAGS})
target_compile_definitions(kvrminiport PRIVATE KVR_KERNEL_TARGET=1)
set_target_properties(kvrminiport PROPERTIES PREFIX "" SUFFIX ".sys" LINKER_LANGUAGE CXX
                                             LINK_DEPENDS ${KVR_TIMESTAMP_RSP})
add_dependencies(kvrminiport kvr_videoprt_lib kvr_abi_check kvr_source_date)
# The debug record names the PDB without a directory (pdbaltpath), so the
# image does not depend on where it was built; a debugger finds the PDB on
# its symbol path. The fix-up after the link makes the PDB's GUID a hash of
# the image (see pe_fixup.py), so two builds of one commit write the same
# image.
# The link options of every kernel image of the build (the miniport's and the
# display driver's): native subsystem and OS version of the oldest target, no
# run-time, relocatable, the time stamp of the source.
set(KVR_KERNEL_LINK_OPTIONS
    -nostdlib
    -Wl,--subsystem,native:${KVR_OLDEST_WINDOWS}
    -Wl,--major-os-version,${KVR_OLDEST_WINDOWS_MAJOR}
    -Wl,--minor-os-version,${KVR_OLDEST_WINDOWS_MINOR}
    -Wl,--file-alignment,0x200
    -Wl,--section-alignment,0x1000
    -Wl,--disable-auto-import
    -Wl,--disable-runtime-pseudo-reloc
    -Wl,--dynamicbase
    -Wl,--nxcompat
    -Wl,--disable-high-entropy-va
    -Wl,--disable-tsaware
    -Wl,--Xlink=-driver
    @${KVR_TIMESTAMP_RSP})
target_link_options(
    kvrminiport
    PRIVATE
    ${KVR_KERNEL_LINK_OPTIONS}
    -Wl,--entry,DriverEntry
    -Wl,--image-base,0x140000000
    -Wl,--pdb=${KVR_PDB}
    -Wl,--Xlink=-pdbaltpath:kvrminiport.pdb)
target_link_libraries(kvrminiport PRIVATE ${KVR_VIDEOPRT_LIB} ntoskrnl)
add_custom_command(
    TARGET kvrminiport
    POST_BUILD
    COMMAND Python3::Interpreter ${KVR_WINDOWS_DIR}/pe_fixup.py $<TARGET_FILE:kvrminiport>
            ${KVR_PDB}
    COMMAND Python3::Interpreter ${KVR_WINDOWS_DIR}/image_symbols.py --pdbutil ${KVR_PDBUTIL}
            $<TARGET_FILE:kvrminiport> ${KVR_PDB} ${CMAKE_CURRENT_BINARY_DIR}/kvrminiport.sym
    COMMENT "Discardable INIT section, PDB GUID from the image, image checksum, symbol file"
    VERBATIM)

# The display driver, kvrdisplay.dll (display.cmake).
include(${KVR_WINDOWS_DIR}/display.cmake)

# The INF of the package: the source INF, which names the package's display
# driver kvrdisplay in InstalledDisplayDrivers, or with KVR_DISPLAY_DRIVER the
# one that names another display driver there.
set(KVR_DISPLAY_DRIVER "kvrdisplay" CACHE STRING
    "Display driver (file name without .dll) the INF names in InstalledDisplayDrivers")
if(KVR_DISPLAY_DRIVER STREQUAL "")
  # A build directory configured before the package had a display driver.
  set(KVR_DISPLAY_DRIVER kvrdisplay CACHE STRING
      "Display driver (file name without .dll) the INF names in InstalledDisplayDrivers" FORCE)
endif()
set(KVR_INF ${CMAKE_CURRENT_BINARY_DIR}/kvrminiport.inf)
add_custom_command(
    OUTPUT ${KVR_INF}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${KVR_WINDOWS_DIR}/kvrminiport.inf -DOUTPUT=${KVR_INF}
            -DDISPLAY_DRIVER=${KVR_DISPLAY_DRIVER} -P ${KVR_WINDOWS_DIR}/configure_inf.cmake
    DEPENDS ${KVR_WINDOWS_DIR}/kvrminiport.inf ${KVR_WINDOWS_DIR}/configure_inf.cmake
    COMMENT "INF for the package"
    VERBATIM)
add_custom_target(inf ALL DEPENDS ${KVR_INF})

# The package: build/windows-x64/package/ with the signed image, the INF, the
# signer's certificate, the PDB and a README (see make_package.sh). Built with
# everything else, or alone with --target package. A real certificate and key
# can be given instead of the test certificate made for the build.
find_program(KVR_OPENSSL NAMES openssl REQUIRED)
find_program(KVR_OSSLSIGNCODE NAMES osslsigncode REQUIRED)
set(KVR_SIGN_CERT "" CACHE FILEPATH "Code-signing certificate (PEM); empty: a test certificate")
set(KVR_SIGN_KEY "" CACHE FILEPATH "Private key of KVR_SIGN_CERT (PEM)")
set(KVR_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File holding the password of KVR_SIGN_KEY")
set(KVR_SIGN_CROSS_CERT "" CACHE FILEPATH "Cross-certificate to embed in the signatures")
set(KVR_PACKAGE_DIR ${CMAKE_CURRENT_BINARY_DIR}/package)
set(KVR_SIGNING_DIR ${CMAKE_CURRENT_BINARY_DIR}/signing)
set(KVR_PACKAGE_FILES
    ${KVR_PACKAGE_DIR}/kvrminiport.sys ${KVR_PACKAGE_DIR}/kvrminiport.inf
    ${KVR_PACKAGE_DIR}/kvrminiport.cer ${KVR_PACKAGE_DIR}/kvrminiport.pdb
    ${KVR_PACKAGE_DIR}/README.txt)
set(KVR_PACKAGE_DISPLAY_ARGS)
set(KVR_PACKAGE_CHECK_DISPLAY_ARGS)
if(TARGET kvrdisplay)
  list(APPEND KVR_PACKAGE_FILES ${KVR_PACKAGE_DIR}/kvrdisplay.dll ${KVR_PACKAGE_DIR}/kvrdisplay.pdb)
  set(KVR_PACKAGE_DISPLAY_ARGS $<TARGET_FILE:kvrdisplay> ${KVR_DISPLAY_PDB})
  set(KVR_PACKAGE_CHECK_DISPLAY_ARGS --dll $<TARGET_FILE:kvrdisplay> --dll-pdb ${KVR_DISPLAY_PDB})
endif()
set(KVR_SIGNING_INPUTS)
foreach(input KVR_SIGN_CERT KVR_SIGN_KEY KVR_SIGN_PASSWORD_FILE KVR_SIGN_CROSS_CERT)
  if(${input})
    list(APPEND KVR_SIGNING_INPUTS ${${input}})
  endif()
endforeach()
add_custom_command(
    OUTPUT ${KVR_PACKAGE_FILES}
    COMMAND ${CMAKE_COMMAND} -E env KVR_SIGN_CERT=${KVR_SIGN_CERT} KVR_SIGN_KEY=${KVR_SIGN_KEY}
            KVR_SIGN_PASSWORD_FILE=${KVR_SIGN_PASSWORD_FILE}
            KVR_SIGN_CROSS_CERT=${KVR_SIGN_CROSS_CERT} OPENSSL=${KVR_OPENSSL}
            OSSLSIGNCODE=${KVR_OSSLSIGNCODE} bash ${KVR_WINDOWS_DIR}/make_package.sh
            $<TARGET_FILE:kvrminiport> ${KVR_PDB} ${KVR_INF}
            ${KVR_WINDOWS_DIR}/package-README.txt ${KVR_PACKAGE_DIR} ${KVR_SIGNING_DIR}
            ${KVR_PACKAGE_DISPLAY_ARGS}
    DEPENDS kvrminiport $<TARGET_NAME_IF_EXISTS:kvrdisplay> ${KVR_WINDOWS_DIR}/make_package.sh
            ${KVR_INF}
            ${KVR_WINDOWS_DIR}/package-README.txt ${KVR_SIGNING_INPUTS}
    COMMENT "Signed package in ${KVR_PACKAGE_DIR}"
    VERBATIM)
add_custom_target(package ALL DEPENDS ${KVR_PACKAGE_FILES})

# Checks, run with ctest in this build directory (and by target/windows/ci.sh).
enable_testing()
set(KVR_IMAGE_CHECK_ARGS
    --objdump ${KVR_OBJDUMP}
    --pdbutil ${KVR_PDBUTIL}
    --pdb ${KVR_PDB}
    --expected-imports ${KVR_WINDOWS_DIR}/expected-imports.txt
    --placement ${KVR_WINDOWS_DIR}/expected-placement.txt
    --oldest ${KVR_OLDEST_WINDOWS}
    --timestamp-file ${KVR_TIMESTAMP_RSP})
add_test(NAME sys_image
         COMMAND Python3::Interpreter ${KVR_WINDOWS_DIR}/check_sys.py ${KVR_IMAGE_CHECK_ARGS}
                 --objects $<TARGET_OBJECTS:kvrdriver_kernel> -- $<TARGET_FILE:kvrminiport>
         COMMAND_EXPAND_LISTS)
add_test(NAME sys_check_selftest
         COMMAND Python3::Interpreter ${KVR_WINDOWS_DIR}/check_sys.py --selftest
                 ${KVR_IMAGE_CHECK_ARGS} -- $<TARGET_FILE:kvrminiport>)
add_test(NAME abi_check_selftest
         COMMAND Python3::Interpreter ${KVR_WINDOWS_DIR}/check_abi_selftest.py --header
                 ${CMAKE_SOURCE_DIR}/driver/platform/kvr_platform.h --abi ${KVR_WINDOWS_DIR}/abi
                 -- ${CMAKE_CXX_COMPILER} --target=${CMAKE_CXX_COMPILER_TARGET} -std=c++20
                 ${KVR_WARNINGS} -DKVR_KERNEL_TARGET=1
                 -isystem ${KVR_DDK_INCLUDE})
add_test(NAME kernel_flags_reject_host_header
         COMMAND Python3::Interpreter ${KVR_WINDOWS_DIR}/check_host_header.py
                 --probes ${KVR_WINDOWS_DIR}/probe -- ${CMAKE_CXX_COMPILER}
                 --target=${CMAKE_CXX_COMPILER_TARGET} -std=c++20 ${KVR_KERNEL_FLAGS} -DKVR_KERNEL_TARGET=1
                 -I ${CMAKE_SOURCE_DIR}/driver)
add_test(NAME inf_sections COMMAND Python3::Interpreter ${KVR_WINDOWS_DIR}/check_inf.py
                                   --display-driver ${KVR_DISPLAY_DRIVER} ${KVR_INF})
add_test(NAME inf_check_selftest COMMAND Python3::Interpreter ${KVR_WINDOWS_DIR}/check_inf.py
                                         --selftest ${KVR_WINDOWS_DIR}/kvrminiport.inf)
# The signed package: osslsigncode verify against the signer's root (the
# test certificate, or KVR_SIGN_CA_FILE for a real one).
set(KVR_SIGN_CA_FILE "" CACHE FILEPATH "Root certificates that a real KVR_SIGN_CERT chains to")
if(KVR_SIGN_CA_FILE)
  set(KVR_PACKAGE_CA ${KVR_SIGN_CA_FILE})
elseif(KVR_SIGN_CERT)
  set(KVR_PACKAGE_CA ${KVR_SIGN_CERT})
else()
  set(KVR_PACKAGE_CA ${KVR_SIGNING_DIR}/test-cert.pem)
endif()
set(KVR_PACKAGE_CHECK_ARGS
    --osslsigncode ${KVR_OSSLSIGNCODE}
    --openssl ${KVR_OPENSSL}
    --image $<TARGET_FILE:kvrminiport>
    --pdb ${KVR_PDB}
    ${KVR_PACKAGE_CHECK_DISPLAY_ARGS}
    --inf ${KVR_INF}
    --cafile ${KVR_PACKAGE_CA})
add_test(NAME package_signature
         COMMAND Python3::Interpreter ${KVR_WINDOWS_DIR}/check_package.py
                 ${KVR_PACKAGE_CHECK_ARGS} -- ${KVR_PACKAGE_DIR})
add_test(NAME package_check_selftest
         COMMAND Python3::Interpreter ${KVR_WINDOWS_DIR}/check_package.py --selftest
                 ${KVR_PACKAGE_CHECK_ARGS} -- ${KVR_PACKAGE_DIR})
add_custom_target(
    check-sys
    COMMAND ${CMAKE_CTEST_COMMAND} --output-on-failure
    DEPENDS kvrminiport $<TARGET_NAME_IF_EXISTS:kvrdisplay> package
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    COMMENT "Checks of kvrminiport.sys and its INF")
