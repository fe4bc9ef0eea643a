include(GoogleTest)

# vesmora_add_test(<name> SOURCES <files...> LIBS <targets...> [FORKS_WHILE_ALLOCATING <filter>]
#                  [RESOURCE_LOCK <resource>] [TIMEOUT <seconds>])
# One GoogleTest executable; each of its tests becomes one ctest entry. Tests that use the
# default data folder find it in the build folder, not in the user's own. RESOURCE_LOCK keeps
# every entry apart from the other tests that use the resource (port8080: 127.0.0.1:8080).
# TIMEOUT (300 s by default) only tells a hang from a busy machine: a test whose work takes
# minutes on an idle one gets more.
#
# FORKS_WHILE_ALLOCATING names the tests (a GoogleTest filter, "Suite.Test:Suite.Other") that fork
# while other threads of theirs allocate. Under AddressSanitizer a child forked while another
# thread stored an allocation's stack finds the runtime's lock of its stack store taken (this
# runtime does not take it across fork) and waits for ever at its first allocation: the entries of
# these tests record no allocation stacks (malloc_context_size=0 added to ASAN_OPTIONS). Without
# stacks the leak checker reports nothing, so every other test keeps them.
function(vesmora_add_test name)
  cmake_parse_arguments(ARG "" "FORKS_WHILE_ALLOCATING;RESOURCE_LOCK;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set(properties TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT "XDG_DATA_HOME=${PROJECT_BINARY_DIR}/test-data")
  if(ARG_RESOURCE_LOCK)
    list(APPEND properties RESOURCE_LOCK ${ARG_RESOURCE_LOCK})
  endif()
  if(NOT ARG_FORKS_WHILE_ALLOCATING)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 PROPERTIES ${properties})
    return()
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 TEST_FILTER "-${ARG_FORKS_WHILE_ALLOCATING}"
                       PROPERTIES ${properties})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 TEST_FILTER "${ARG_FORKS_WHILE_ALLOCATING}"
                       PROPERTIES ${properties}
                         ENVIRONMENT_MODIFICATION "ASAN_OPTIONS=string_append::malloc_context_size=0")
endfunction()

# vesmora_unity_build()
# The targets made after it in this folder and the folders below are compiled in batches of up to
# 16 source files (CMake's unity build; VESMORA_UNITY_BUILD=OFF compiles file by file): what the
# files of a batch share, GoogleTest and the standard library's templates, is compiled once per
# batch, not once per file (16 in one batch took a fifth less processor time than two of 8). The test programs and the UI suite take it; the SDK's and the platform's own
# libraries are compiled file by file, as a host's build does. In a batch, a file's names in an anonymous
# namespace meet the others' of the same target (a call may even pick another file's overload):
# each must be unique within its target.
macro(vesmora_unity_build)
  set(CMAKE_UNITY_BUILD ${VESMORA_UNITY_BUILD})
  set(CMAKE_UNITY_BUILD_BATCH_SIZE 16)
  # GCC takes a file included by the batch as a header, and a class of it with a member or base
  # from the file's anonymous namespace as a class other files could see.
  if(VESMORA_UNITY_BUILD AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-subobject-linkage)
  endif()
endmacro()

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
