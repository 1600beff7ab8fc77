# Writes the image's TimeDateStamp for the linker, run at every build:
#   cmake -DSOURCE_DIR=... -DOUT=link-timestamp.rsp -P source_date.cmake
# The stamp is SOURCE_DATE_EPOCH when the environment sets it, otherwise the
# committer time of the checked-out commit, so that two builds of one commit
# give the same bytes. The file is rewritten only when the stamp changes,
# which relinks the image.
if(DEFINED ENV{SOURCE_DATE_EPOCH} AND NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(stamp "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(
    COMMAND git -C "${SOURCE_DIR}" log -1 --format=%ct
    OUTPUT_VARIABLE stamp
    OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE status
    ERROR_QUIET)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "no SOURCE_DATE_EPOCH and no git commit to take the image's time from")
  endif()
endif()
if(NOT stamp MATCHES "^[1-9][0-9]*$" OR stamp GREATER 4294967295)
  message(FATAL_ERROR "image time '${stamp}' is not a non-zero 32-bit count of seconds")
endif()
file(WRITE "${OUT}.new" "-Wl,--Xlink=-timestamp:${stamp}\n")
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
