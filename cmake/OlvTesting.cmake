# One Wine server per test run: the fixture starts and warms it up before the
# first test and stops only this build's server after the last.
add_test(NAME wine_server_start COMMAND ${CMAKE_BINARY_DIR}/wine-run.sh --start)
add_test(NAME wine_server_stop COMMAND ${CMAKE_BINARY_DIR}/wine-run.sh --stop)
set_tests_properties(wine_server_start PROPERTIES FIXTURES_SETUP wine)
set_tests_properties(wine_server_stop PROPERTIES FIXTURES_CLEANUP wine)

# olv_add_test(NAME name SOURCES ... LIBS ... [RESOURCE_LOCK names...] [DEPENDS targets...])
# builds one GoogleTest executable and runs it whole, once, under Wine.
# RESOURCE_LOCK names fixed system objects (registry keys, sink names, the log
# mutex) that the test shares with other tests, so that ctest never runs two
# such tests at the same time.
function(olv_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;RESOURCE_LOCK;DEPENDS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  if(T_DEPENDS)
    add_dependencies(${T_NAME} ${T_DEPENDS})
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_NAME} --gtest_color=no)
  set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED wine
                       WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  if(T_RESOURCE_LOCK)
    set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
endfunction()
