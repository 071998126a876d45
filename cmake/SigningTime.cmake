# Run at every build (cmake -P): writes the time the shipped images are signed
# at into OUT: SOURCE_DATE_EPOCH when set, else the commit time of SOURCE_DIR's
# HEAD, else a fixed time, never the clock. The file is rewritten only when the
# time changes, so that a new commit signs the images again (with the new
# time) and a build of the same commit signs nothing.
#   cmake -DSOURCE_DIR=... -DOUT=... -P SigningTime.cmake
if(DEFINED ENV{SOURCE_DATE_EPOCH} AND NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git -C "${SOURCE_DIR}" log -1 --format=%ct
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
  if(failed OR epoch STREQUAL "")
    set(epoch 315532800)
  endif()
endif()
set(old "")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL "${epoch}\n")
  file(WRITE "${OUT}" "${epoch}\n")
endif()
