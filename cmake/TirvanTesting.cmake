# tirvan_add_test(NAME SOURCES src... LIBS lib... [TIMEOUT seconds])
# One GoogleTest executable; each of its tests becomes a CTest test (120 s each unless
# TIMEOUT says otherwise). The tests under tray/ get the tray's test main
# (tray/testsupport/hermetic.h) in place of GoogleTest's.
function(tirvan_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  file(RELATIVE_PATH where ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  if(where MATCHES "^tray(/|$)")
    set(main tirvan_tray_test_main)
  else()
    set(main GTest::gtest_main)
  endif()
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest ${main} tirvan_options)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "TIRVAN_BUILD_DIR=${PROJECT_BINARY_DIR}")
endfunction()
