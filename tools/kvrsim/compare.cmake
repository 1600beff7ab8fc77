# Runs kvrsim --json on one scenario (none: the built-in one) and compares its
# transcript with the expected one byte for byte. The run must exit 0.
#   cmake -DKVRSIM=exe -DSCENARIO=file|"" -DEXPECTED=file -DACTUAL=file -P compare.cmake
if(SCENARIO)
  set(args --json ${SCENARIO})
else()
  set(args --json)
endif()
execute_process(COMMAND ${KVRSIM} ${args} OUTPUT_FILE ${ACTUAL} ERROR_VARIABLE err
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "kvrsim exited with ${rc}:\n${err}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${EXPECTED} ${ACTUAL}
                RESULT_VARIABLE same)
if(NOT same EQUAL 0)
  find_program(DIFF diff)
  if(DIFF)
    execute_process(COMMAND ${DIFF} -u ${EXPECTED} ${ACTUAL} OUTPUT_VARIABLE delta)
  endif()
  message(FATAL_ERROR "transcript differs from ${EXPECTED} (actual: ${ACTUAL})\n${delta}")
endif()
