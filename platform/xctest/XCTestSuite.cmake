# vesmora_add_xctest_suite(<target> [TIMEOUT <seconds>])
#
# Registers one ctest entry per test class of an XCTest runner executable (a program whose main
# returns XCTestMain(argc, argv)). After every build of <target> the executable is run with
# --list-classes and the ctest entries "<target>.<Class>" are written from its answer, so the list
# always matches the classes compiled in. Each entry runs "<target> <Class>".
set(VESMORA_XCTEST_DISCOVER_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/XCTestDiscover.cmake CACHE INTERNAL "")

function(vesmora_add_xctest_suite target)
  cmake_parse_arguments(ARG "" "TIMEOUT" "" ${ARGN})
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
      -D "WORKING_DIRECTORY=${CMAKE_CURRENT_BINARY_DIR}"
      -P ${VESMORA_XCTEST_DISCOVER_SCRIPT}
    BYPRODUCTS ${tests_file}
    VERBATIM)
  file(WRITE ${include_file}
    "if(EXISTS \"${tests_file}\")\n"
    "  include(\"${tests_file}\")\n"
    "else()\n"
    "  add_test(${target}_NOT_BUILT ${target}_NOT_BUILT)\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${include_file})
endfunction()
