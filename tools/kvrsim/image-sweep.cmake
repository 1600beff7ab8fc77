# The fault sweep at the scenario level, on the real image: one fault (a pool
# allocation, a registry write, a registry read, a request that cannot be
# built, the sibling failing from then on) put before each command of a
# scenario in turn; the image's run must give the host build's transcript and
# exit status, byte for byte. With no image built yet, skipped, saying why.
#   cmake -DKVRSIM=exe -DIMAGE=kvrminiport.sys -DSCENARIO=file -DWORK=dir -P image-sweep.cmake
if(NOT EXISTS ${IMAGE})
  message("SKIPPED: no image at ${IMAGE}: build the windows-x64 preset first")
  return()
endif()
set(faults "pool fail 1" "reg fail write 1" "reg fail read 1" "frame nobuild 1"
           "frame reply fail")
file(STRINGS ${SCENARIO} lines)
list(LENGTH lines count)
file(MAKE_DIRECTORY ${WORK})
set(runs 0)
math(EXPR last "${count} - 1")
foreach(at RANGE ${last})
  list(GET lines ${at} line)
  string(STRIP "${line}" command)
  if(command STREQUAL "" OR command MATCHES "^#")
    continue()
  endif()
  foreach(fault IN LISTS faults)
    set(text "")
    foreach(i RANGE ${last})
      if(i EQUAL at)
        string(APPEND text "${fault}\n")
      endif()
      list(GET lines ${i} copy)
      string(APPEND text "${copy}\n")
    endforeach()
    set(faulty ${WORK}/faulty.kvs)
    file(WRITE ${faulty} "${text}")
    execute_process(COMMAND ${KVRSIM} --json ${faulty} OUTPUT_VARIABLE host RESULT_VARIABLE host_rc
                    ERROR_QUIET)
    execute_process(COMMAND ${KVRSIM} --image ${IMAGE} --json ${faulty} OUTPUT_VARIABLE image
                    RESULT_VARIABLE image_rc ERROR_VARIABLE image_err)
    if(NOT host_rc STREQUAL image_rc OR NOT host STREQUAL image)
      file(WRITE ${WORK}/host.jsonl "${host}")
      file(WRITE ${WORK}/image.jsonl "${image}")
      message(FATAL_ERROR "'${fault}' before '${command}' (line ${at}): the image gives exit "
                          "${image_rc}, the host build ${host_rc}; transcripts in ${WORK}\n"
                          "${image_err}")
    endif()
    math(EXPR runs "${runs} + 1")
  endforeach()
endforeach()
message("${runs} faulty runs, the image's transcripts the host build's")
