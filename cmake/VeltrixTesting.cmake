include(GoogleTest)

# veltrix_add_test_suite(<name> LIBS <libs...> [TIMEOUT seconds] [PROCESSORS n])
# One GoogleTest program per tests/ folder, built from every *.cpp in it; each test case becomes its
# own CTest entry so that ctest -j runs them in parallel. PROCESSORS counts each test of the suite
# as that many of ctest's -j slots, for suites whose tests run several busy threads or programs.
# Sanitizer builds run several times slower, so their time-outs are three times as long.
function(veltrix_add_test_suite name)
  cmake_parse_arguments(ARG "" "TIMEOUT;PROCESSORS" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} veltrix_test_support GTest::gtest GTest::gmock)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 60)
  endif()
  if(VELTRIX_SANITIZE)
    math(EXPR ARG_TIMEOUT "${ARG_TIMEOUT} * 3")
  endif()
  if(NOT ARG_PROCESSORS)
    set(ARG_PROCESSORS 1)
  endif()
  # Tests that run the project's scripts or programs find them here (a discovered test's
  # ENVIRONMENT property cannot carry a list, so the folders are compiled in).
  target_compile_definitions(${name} PRIVATE VELTRIX_TEST_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                                             VELTRIX_TEST_BUILD_DIR="${CMAKE_BINARY_DIR}")
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 30
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} PROCESSORS ${ARG_PROCESSORS})
endfunction()

# veltrix_add_fuzzer(<name> <source> LIBS <libs...>)
# A libFuzzer target; scripts/test runs each for a bounded time from tests/fuzz/corpus/<name>.
function(veltrix_add_fuzzer name source)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  if(NOT VELTRIX_FUZZ)
    return()
  endif()
  add_executable(${name} ${source})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
endfunction()
