# Cross build for Windows x64 with Debian's clang and lld against mingw-w64's
# headers and import libraries. lld writes the image's PDB and its CodeView
# debug record, which a debugger needs to read a crash dump of the driver.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KVR_WINDOWS_TRIPLE x86_64-w64-windows-gnu)
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${KVR_WINDOWS_TRIPLE})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${KVR_WINDOWS_TRIPLE})
set(CMAKE_EXE_LINKER_FLAGS_INIT -fuse-ld=lld)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -fuse-ld=lld)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Nothing links against a C run-time here (the kernel image uses -nostdlib),
# so the compiler checks compile without linking a test program.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
