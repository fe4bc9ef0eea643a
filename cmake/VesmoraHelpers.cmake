include(GoogleTest)

# vesmora_add_test(<name> SOURCES <files...> LIBS <targets...>)
# One GoogleTest executable; each of its tests becomes one ctest entry. Tests that use the
# default data folder find it in the build folder, not in the user's own.
function(vesmora_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120
                       PROPERTIES TIMEOUT 300 ENVIRONMENT "XDG_DATA_HOME=${PROJECT_BINARY_DIR}/test-data")
endfunction()

# vesmora_add_fuzzer(<name> SOURCES <files...> LIBS <targets...>)
# A libFuzzer target; only the fuzz build (VESMORA_FUZZ) has them. Its seed corpus is replayed
# by an ordinary unit test in every build.
function(vesmora_add_fuzzer name)
  if(NOT VESMORA_FUZZ)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/platform/foundation/fuzz/FuzzQuiet.cpp)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/fuzzers)
endfunction()
