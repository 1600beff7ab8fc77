# Writes the image's TimeDateStamp for the linker, run at every build:
#   cmake -DSOURCE_DIR=... -DOUT=link-timestamp.rsp -P source_date.cmake
# The stamp is SOURCE_DATE_EPOCH when the environment sets it; otherwise, in
# a git checkout, the committer time of the checked-out commit; otherwise (a
# tree without git metadata, such as an unpacked release tarball) the newest
# modification time of the tree's files, leaving out build/ and hidden
# entries. `git archive` gives every file the commit's time, so its tarball
# builds the same image as a checkout of the commit. The file is rewritten
# only when the stamp changes, which relinks the image.
if(DEFINED ENV{SOURCE_DATE_EPOCH} AND NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(stamp "$ENV{SOURCE_DATE_EPOCH}")
elseif(EXISTS "${SOURCE_DIR}/.git")
  execute_process(
    COMMAND git -C "${SOURCE_DIR}" log -1 --format=%ct
    OUTPUT_VARIABLE stamp
    OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE status
    ERROR_VARIABLE error)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${SOURCE_DIR} has git metadata, but git cannot give the commit's "
                        "time to take the image's time from (set SOURCE_DATE_EPOCH): ${error}")
  endif()
else()
  # Only the tree's own entries: not build/ (the presets' build directories
  # live there) and nothing hidden.
  file(GLOB entries LIST_DIRECTORIES true "${SOURCE_DIR}/*")
  set(stamp 0)
  foreach(entry ${entries})
    get_filename_component(name "${entry}" NAME)
    if(name STREQUAL "build")
      continue()
    endif()
    if(IS_DIRECTORY "${entry}")
      file(GLOB_RECURSE files LIST_DIRECTORIES false "${entry}/*")
      list(FILTER files EXCLUDE REGEX "/\\.")
    else()
      set(files "${entry}")
    endif()
    foreach(f ${files})
      file(TIMESTAMP "${f}" t "%s" UTC)
      if(t GREATER stamp)
        set(stamp "${t}")
      endif()
    endforeach()
  endforeach()
  if(stamp EQUAL 0)
    message(FATAL_ERROR "no SOURCE_DATE_EPOCH, no git commit and no source file under "
                        "${SOURCE_DIR} to take the image's time from")
  endif()
endif()
if(NOT stamp MATCHES "^[1-9][0-9]*$" OR stamp GREATER 4294967295)
  message(FATAL_ERROR "image time '${stamp}' is not a non-zero 32-bit count of seconds")
endif()
file(WRITE "${OUT}.new" "-Wl,--Xlink=-timestamp:${stamp}\n")
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
