# Compiler settings shared by every target of the project: warnings and sanitizers.
add_library(tirvan_options INTERFACE)
target_compile_options(tirvan_options INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
  -Wformat=2 -Wimplicit-fallthrough -Wmissing-declarations)
if(TIRVAN_WERROR)
  target_compile_options(tirvan_options INTERFACE -Werror)
endif()
if(TIRVAN_SANITIZE)
  set(_san -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_compile_options(tirvan_options INTERFACE ${_san})
  target_link_options(tirvan_options INTERFACE ${_san})
endif()
