# Run at build time by vesmora_add_xctest_suite: lists the classes of an XCTest runner and writes
# one ctest entry per class.
execute_process(
  COMMAND "${EXECUTABLE}" --list-classes
  OUTPUT_VARIABLE classes
  RESULT_VARIABLE status
  WORKING_DIRECTORY "${WORKING_DIRECTORY}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${EXECUTABLE} --list-classes failed (${status})")
endif()
string(REPLACE "\n" ";" classes "${classes}")
set(content "")
foreach(class IN LISTS classes)
  string(STRIP "${class}" class)
  if(class STREQUAL "")
    continue()
  endif()
  set(junit "")
  if(JUNIT_DIR)
    set(junit " --junit [==[${JUNIT_DIR}/${TARGET_NAME}.${class}.xml]==]")
  endif()
  string(APPEND content
    "add_test([=[${TARGET_NAME}.${class}]=] [==[${EXECUTABLE}]==]${junit} [=[${class}]=])\n"
    "set_tests_properties([=[${TARGET_NAME}.${class}]=] PROPERTIES TIMEOUT ${TIMEOUT} WORKING_DIRECTORY [==[${WORKING_DIRECTORY}]==])\n"
    "list(APPEND vesmora_xctest_tests [=[${TARGET_NAME}.${class}]=])\n")
endforeach()
file(WRITE "${OUTPUT}" "${content}")
