# Writes the INF of the package: the source INF unchanged, or, when the build
# is given a display driver (KVR_DISPLAY_DRIVER), the INF that names it in
# the adapter's InstalledDisplayDrivers value, so that win32k loads it for
# the adapter and opens its video device.
#   cmake -DINPUT=kvrminiport.inf -DOUTPUT=out.inf -DDISPLAY_DRIVER=name -P configure_inf.cmake
file(READ ${INPUT} text)
if(NOT DISPLAY_DRIVER STREQUAL "")
  if(NOT DISPLAY_DRIVER MATCHES "^[A-Za-z0-9_]+$")
    message(FATAL_ERROR "KVR_DISPLAY_DRIVER must be a display driver's file name without "
                        ".dll (letters, digits, _): ${DISPLAY_DRIVER}")
  endif()
  set(setting "HKR,, VideoDebugLevel, %REG_DWORD%, 0")
  set(comment "; The adapter has no display driver: no InstalledDisplayDrivers value is\n; written, so no graphics driver is ever loaded for this adapter and it draws\n; no desktop. Its hardware key (the key the video port treats as the\n; adapter's Device0 key) receives only the usual VideoDebugLevel setting.")
  string(FIND "${text}" "${setting}" at_setting)
  string(FIND "${text}" "${comment}" at_comment)
  if(at_setting EQUAL -1 OR at_comment EQUAL -1)
    message(FATAL_ERROR "${INPUT}: the display settings are not where this script expects them")
  endif()
  string(REPLACE "${comment}"
         "; The adapter's display driver is ${DISPLAY_DRIVER}.dll, named in the\n; InstalledDisplayDrivers value of its hardware key (the key the video port\n; treats as the adapter's Device0 key): win32k loads it for the adapter and\n; opens the adapter's video device, which is how the companion application's\n; control codes reach the miniport (ExtEscape, DrvEscape, EngDeviceIoControl).\n; The package does not carry that driver; it must be installed on its own."
         text "${text}")
  string(REPLACE "${setting}"
         "${setting}\nHKR,, InstalledDisplayDrivers, %REG_MULTI_SZ%, ${DISPLAY_DRIVER}"
         text "${text}")
  string(REPLACE "REG_DWORD               = 0x00010001"
         "REG_DWORD               = 0x00010001\nREG_MULTI_SZ            = 0x00010000" text "${text}")
endif()
file(WRITE ${OUTPUT} "${text}")
