# libFuzzer targets (TIRVAN_FUZZ=ON, clang only). Every library and program of the project
# is then built with the fuzzer's coverage instrumentation and with AddressSanitizer and
# UndefinedBehaviorSanitizer; the targets under fuzz/ add the fuzzer's own main.
# scripts/fuzz.sh configures such a build, builds only the targets and runs them.
option(TIRVAN_FUZZ "Build the libFuzzer targets under fuzz/ (needs clang)" OFF)

if(TIRVAN_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT CMAKE_C_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "TIRVAN_FUZZ needs clang, e.g. "
                        "-DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14")
  endif()
  if(TIRVAN_SANITIZE)
    message(FATAL_ERROR "TIRVAN_FUZZ brings its own sanitizers; leave TIRVAN_SANITIZE off")
  endif()
  set(_tirvan_fuzz_san
    -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_compile_options(tirvan_options INTERFACE -fsanitize=fuzzer-no-link ${_tirvan_fuzz_san})
  target_link_options(tirvan_options INTERFACE ${_tirvan_fuzz_san})
endif()
