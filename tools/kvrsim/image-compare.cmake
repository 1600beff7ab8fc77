# Runs kvrsim --json on one scenario with the real image and compares the
# transcript with the expected one byte for byte; the run must exit 0. With no
# image built yet, the test is skipped (SKIP_REGULAR_EXPRESSION) and says why.
#   cmake -DKVRSIM=exe -DIMAGE=kvrminiport.sys -DSCENARIO=file -DEXPECTED=file
#         -DACTUAL=file -P image-compare.cmake
if(NOT EXISTS ${IMAGE})
  message("SKIPPED: no image at ${IMAGE}: build the windows-x64 preset first")
  return()
endif()
execute_process(COMMAND ${KVRSIM} --image ${IMAGE} --json ${SCENARIO} OUTPUT_FILE ${ACTUAL}
                ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "kvrsim --image exited with ${rc}:\n${err}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${EXPECTED} ${ACTUAL}
                RESULT_VARIABLE same)
if(NOT same EQUAL 0)
  find_program(DIFF diff)
  if(DIFF)
    execute_process(COMMAND ${DIFF} -u ${EXPECTED} ${ACTUAL} OUTPUT_VARIABLE delta)
  endif()
  message(FATAL_ERROR "the image's transcript differs from ${EXPECTED} (actual: ${ACTUAL})\n"
                      "${delta}")
endif()
message("${err}")
