# tirvan_add_test(NAME SOURCES src... LIBS lib... [TIMEOUT seconds])
# One GoogleTest executable; each of its tests becomes a CTest test (120 s each unless
# TIMEOUT says otherwise).
function(tirvan_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main tirvan_options)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "TIRVAN_BUILD_DIR=${PROJECT_BINARY_DIR}")
endfunction()
