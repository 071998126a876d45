# One Wine server per test run: the fixture starts and warms it up before the
# first test and stops only this build's server after the last.
add_test(NAME wine_server_start COMMAND ${CMAKE_BINARY_DIR}/wine-run.sh --start)
add_test(NAME wine_server_stop COMMAND ${CMAKE_BINARY_DIR}/wine-run.sh --stop)
set_tests_properties(wine_server_start PROPERTIES FIXTURES_SETUP wine)
set_tests_properties(wine_server_stop PROPERTIES FIXTURES_CLEANUP wine)

include(GoogleTest)

# olv_add_test(NAME name SOURCES ... LIBS ... [RESOURCE_LOCK names...] [DEPENDS targets...])
# builds one GoogleTest executable and makes each of its test cases a ctest
# test of its own, "NAME.Suite.Case", run under Wine in a process of its own.
#
# The cases are listed when ctest starts (the program run under wine-run.sh with
# --gtest_list_tests, again only after it was rebuilt), so the list always
# matches the program that runs.
#
# RESOURCE_LOCK names fixed system objects (registry keys, sink names, the log
# mutex) that the cases share with other tests, so that ctest never runs two
# such tests at the same time. Every case also holds a lock named after its
# program: the cases of one program were written to run one after another, and
# never run side by side even under ctest -j.
#
# A case's second process is the program started again for a child scenario
# (tests/support/ChildScenario.h), which is no GoogleTest case and never listed.
function(olv_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;RESOURCE_LOCK;DEPENDS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  # The shared entry runs a child scenario or the tests (tests/support/TestMain.cpp).
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} olv_testsupport olv_test_main)
  if(T_DEPENDS)
    add_dependencies(${T_NAME} ${T_DEPENDS})
  endif()

  # The first listing may create the Wine prefix and start its server (a few
  # seconds on a fresh machine), hence the generous time-out.
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    NO_PRETTY_VALUES
    TEST_PREFIX "${T_NAME}."
    TEST_LIST ${T_NAME}_CASES
    EXTRA_ARGS --gtest_color=no
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin
    PROPERTIES FIXTURES_REQUIRED wine)

  # The locks are a list, which the discovery's PROPERTIES cannot carry: they
  # are set on the listed cases by a file that ctest reads after the listing.
  set(locks ${T_NAME} ${T_RESOURCE_LOCK})
  set(locks_file "${CMAKE_CURRENT_BINARY_DIR}/${T_NAME}_locks.cmake")
  file(WRITE ${locks_file}
       "if(${T_NAME}_CASES)\n"
       "  set_tests_properties(\${${T_NAME}_CASES} PROPERTIES RESOURCE_LOCK \"${locks}\")\n"
       "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${locks_file})
endfunction()
