# Layers the build enforces. A library exports only its own headers: a folder in the
# build tree that holds links to the library's top-level headers (under PREFIX/, the
# name its includes use, such as comm/ for "comm/wire.h"), so nothing else of the source
# tree (the other libraries, peers/, tests/ or a library's own tests/) is reachable
# through it.

# tirvan_export_headers(TARGET [PREFIX name] [HEADERS h...])
# HEADERS defaults to every *.h of the current source folder.
function(tirvan_export_headers target)
  cmake_parse_arguments(E "" "PREFIX" "HEADERS" ${ARGN})
  if(E_HEADERS)
    list(TRANSFORM E_HEADERS PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/ OUTPUT_VARIABLE headers)
  else()
    file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  endif()
  set(root ${PROJECT_BINARY_DIR}/include/${target})
  set(dir ${root})
  if(E_PREFIX)
    set(dir ${root}/${E_PREFIX})
  endif()
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${dir})
  foreach(h IN LISTS headers)
    cmake_path(GET h FILENAME name)
    file(CREATE_LINK ${h} ${dir}/${name} SYMBOLIC)
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()

# tirvan_check_layer(TARGET VISIBLE include... HIDDEN path...)
# A test that preprocesses a one-line source for each header with the include folders
# TARGET compiles with: each VISIBLE include (as the code spells it) must be found, each
# HIDDEN header (a path in the source tree) must not be, however it is spelled.
function(tirvan_check_layer target)
  cmake_parse_arguments(C "" "" "VISIBLE;HIDDEN" ${ARGN})
  set(config ${PROJECT_BINARY_DIR}/layer_check/${target}.cmake)
  # A header-only library compiles nothing itself: what its users get is what it reaches.
  set(property INCLUDE_DIRECTORIES)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    set(property INTERFACE_INCLUDE_DIRECTORIES)
  endif()
  file(GENERATE OUTPUT ${config} CONTENT
"set(INCLUDES \"$<JOIN:$<TARGET_PROPERTY:${target},${property}>,$<SEMICOLON>>\")
set(VISIBLE \"${C_VISIBLE}\")
set(HIDDEN \"${C_HIDDEN}\")
")
  add_test(NAME layer_check_${target}
    COMMAND ${CMAKE_COMMAND} -DCONFIG=${config} -DCXX=${CMAKE_CXX_COMPILER}
            -DWORK=${PROJECT_BINARY_DIR}/layer_check/${target}
            -DSOURCE_ROOT=${PROJECT_SOURCE_DIR}
            -P ${PROJECT_SOURCE_DIR}/cmake/TirvanLayerCheck.cmake)
endfunction()
