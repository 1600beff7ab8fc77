# Writes the INF of the package: the source INF, which names the package's own
# display driver (kvrdisplay) in the adapter's InstalledDisplayDrivers value,
# unchanged; or, when the build is given another display driver
# (KVR_DISPLAY_DRIVER), the INF that names that one instead, so that win32k
# loads it for the adapter and opens its video device. kvrdisplay.dll is
# still copied then, but nothing loads it.
#   cmake -DINPUT=kvrminiport.inf -DOUTPUT=out.inf -DDISPLAY_DRIVER=name -P configure_inf.cmake
file(READ ${INPUT} text)
if(NOT DISPLAY_DRIVER STREQUAL "" AND NOT DISPLAY_DRIVER STREQUAL "kvrdisplay")
  if(NOT DISPLAY_DRIVER MATCHES "^[A-Za-z0-9_]+$")
    message(FATAL_ERROR "KVR_DISPLAY_DRIVER must be a display driver's file name without "
                        ".dll (letters, digits, _): ${DISPLAY_DRIVER}")
  endif()
  set(setting "HKR,, InstalledDisplayDrivers, %REG_MULTI_SZ%, kvrdisplay")
  set(comment "; The adapter's display driver is kvrdisplay.dll, named in the\n")
  string(FIND "${text}" "${setting}" at_setting)
  string(FIND "${text}" "${comment}" at_comment)
  if(at_setting EQUAL -1 OR at_comment EQUAL -1)
    message(FATAL_ERROR "${INPUT}: the display settings are not where this script expects them")
  endif()
  string(REPLACE "${comment}"
         "; The adapter's display driver is ${DISPLAY_DRIVER}.dll, which the package\n; does not carry (it must be installed on its own; kvrdisplay.dll is copied\n; but not loaded). It is named in the\n"
         text "${text}")
  string(REPLACE "${setting}" "HKR,, InstalledDisplayDrivers, %REG_MULTI_SZ%, ${DISPLAY_DRIVER}"
         text "${text}")
endif()
file(WRITE ${OUTPUT} "${text}")
