# Run by cpack after it packed (CPACK_POST_BUILD_SCRIPTS): writes each ZIP
# again so that the same files give the same bytes (release/repeatable-zip.py:
# sorted entries, one date, no owners or creation times). The date is
# SOURCE_DATE_EPOCH when set, else the commit time of the source tree's HEAD.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git -C ${CPACK_OLV_SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
  if(failed OR NOT epoch)
    # Outside a git checkout: a fixed time, never the clock.
    set(epoch 315532800)
  endif()
endif()
execute_process(COMMAND ${CPACK_OLV_PYTHON} ${CPACK_OLV_SOURCE_DIR}/release/repeatable-zip.py ${epoch}
                        ${CPACK_PACKAGE_FILES}
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "could not rewrite ${CPACK_PACKAGE_FILES}")
endif()
