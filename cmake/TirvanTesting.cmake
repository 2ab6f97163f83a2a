# tirvan_add_test(NAME SOURCES src... LIBS lib...)
# One GoogleTest executable; each of its tests becomes a CTest test.
function(tirvan_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main tirvan_options)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120 ENVIRONMENT "TIRVAN_BUILD_DIR=${PROJECT_BINARY_DIR}")
endfunction()
