# Warnings and sanitizers for every target of the project.
add_compile_options(-Wall -Wextra -Wpedantic -Wno-missing-field-initializers)

if(VELTRIX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(VELTRIX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "VELTRIX_FUZZ needs clang (configure with CXX=clang++-14 CC=clang-14)")
  endif()
  # Libraries get coverage instrumentation; only the fuzz targets link the libFuzzer main.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
