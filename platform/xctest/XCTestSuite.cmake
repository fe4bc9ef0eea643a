# vesmora_add_xctest_suite(<target> [TIMEOUT <seconds>] [JUNIT_DIR <dir>]
#                          [PROPERTIES <name> <value> ...])
#
# Registers one ctest entry per test class of an XCTest runner executable (a program whose main
# returns XCTestMain(argc, argv)). After every build of <target> the executable is run with
# --list-classes and the ctest entries "<target>.<Class>" are written from its answer, so the list
# always matches the classes compiled in. Each entry runs "<target> <Class>"; with JUNIT_DIR it
# also writes the JUnit report <dir>/<target>.<Class>.xml. PROPERTIES are set on every entry
# (e.g. PROPERTIES ENVIRONMENT "test_env=sim" RESOURCE_LOCK port8080).
set(VESMORA_XCTEST_DISCOVER_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/XCTestDiscover.cmake CACHE INTERNAL "")

function(vesmora_add_xctest_suite target)
  cmake_parse_arguments(ARG "" "TIMEOUT;JUNIT_DIR" "PROPERTIES" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 600)
  endif()
  set(tests_file "${CMAKE_CURRENT_BINARY_DIR}/${target}_xctest_classes.cmake")
  set(include_file "${CMAKE_CURRENT_BINARY_DIR}/${target}_xctest_include.cmake")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND}
      -D "EXECUTABLE=$<TARGET_FILE:${target}>"
      -D "TARGET_NAME=${target}"
      -D "OUTPUT=${tests_file}"
      -D "TIMEOUT=${ARG_TIMEOUT}"
      -D "JUNIT_DIR=${ARG_JUNIT_DIR}"
      -D "WORKING_DIRECTORY=${CMAKE_CURRENT_BINARY_DIR}"
      -P ${VESMORA_XCTEST_DISCOVER_SCRIPT}
    BYPRODUCTS ${tests_file}
    VERBATIM)
  set(properties "")
  foreach(item IN LISTS ARG_PROPERTIES)
    string(APPEND properties " [==[${item}]==]")
  endforeach()
  set(apply "")
  if(properties)
    set(apply "  if(vesmora_xctest_tests)\n    set_tests_properties(\${vesmora_xctest_tests} PROPERTIES${properties})\n  endif()\n")
  endif()
  file(WRITE ${include_file}
    "if(EXISTS \"${tests_file}\")\n"
    "  set(vesmora_xctest_tests \"\")\n"
    "  include(\"${tests_file}\")\n"
    "${apply}"
    "else()\n"
    "  add_test(${target}_NOT_BUILT ${target}_NOT_BUILT)\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${include_file})
endfunction()

# vesmora_add_xctest_expected_failure(<target> NAME <test name> TESTS <Class | Class/method>...
#                                     [ENVIRONMENT <VAR=value>...] [TIMEOUT <seconds>]
#                                     [PROPERTIES <name> <value> ...])
#
# Registers the ctest entry <test name>, which runs "<target> <tests...>" and passes only when the
# run completes and reports at least one failed test. A run that is all green, that ends on a bad
# command line, or that crashes before its closing "N passed, N failed" line fails the entry.
function(vesmora_add_xctest_expected_failure target)
  cmake_parse_arguments(ARG "" "NAME;TIMEOUT" "TESTS;ENVIRONMENT;PROPERTIES" ${ARGN})
  if(NOT ARG_NAME OR NOT ARG_TESTS)
    message(FATAL_ERROR "vesmora_add_xctest_expected_failure needs NAME and TESTS")
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 600)
  endif()
  add_test(NAME ${ARG_NAME} COMMAND ${target} ${ARG_TESTS})
  set_tests_properties(${ARG_NAME} PROPERTIES
    PASS_REGULAR_EXPRESSION "[0-9]+ passed, [1-9][0-9]* failed"
    TIMEOUT ${ARG_TIMEOUT})
  if(ARG_ENVIRONMENT)
    set_property(TEST ${ARG_NAME} PROPERTY ENVIRONMENT ${ARG_ENVIRONMENT})
  endif()
  if(ARG_PROPERTIES)
    set_tests_properties(${ARG_NAME} PROPERTIES ${ARG_PROPERTIES})
  endif()
endfunction()
