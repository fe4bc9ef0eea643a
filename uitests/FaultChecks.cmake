# Fault checks: each proves that a UI test catches one fault of the simulated app.
#
# vesmora_fault_check(<fault> <Class | Class/method>... [VARIANT <suffix>]
#                     [ENVIRONMENT <VAR=value>...])
#
# Registers the ctest entry "vesmora-uitests.fault.<fault>[.<suffix>]": the runner runs the given
# tests against the data set "sim" with the app launched with VESMORA_FAULTS=<fault> (plus the
# extra environment, e.g. a pinned clock), and the entry passes only when at least one of them
# fails (see vesmora_add_xctest_expected_failure). The faults themselves are declared in the
# simulator's code (simulator/model/Faults.h); the entry "vesmora-uitests.fault-checks" fails
# when a declared fault has no check or a check names no declared fault.

function(vesmora_fault_check fault)
  cmake_parse_arguments(ARG "" "VARIANT" "ENVIRONMENT" ${ARGN})
  set(name vesmora-uitests.fault.${fault})
  if(ARG_VARIANT)
    string(APPEND name .${ARG_VARIANT})
  endif()
  vesmora_add_xctest_expected_failure(vesmora-uitests
    NAME ${name}
    TESTS ${ARG_UNPARSED_ARGUMENTS}
    ENVIRONMENT test_env=sim VESMORA_FAULTS=${fault} ${ARG_ENVIRONMENT}
    PROPERTIES RESOURCE_LOCK port8080 LABELS fault)
  set_property(GLOBAL APPEND PROPERTY VESMORA_CHECKED_FAULTS ${fault})
endfunction()

# Runs once the directory is read, after every vesmora_fault_check call of it.
function(vesmora_fault_check_coverage)
  get_property(checked GLOBAL PROPERTY VESMORA_CHECKED_FAULTS)
  list(REMOVE_DUPLICATES checked)
  string(REPLACE ";" "," checked "${checked}")
  add_test(NAME vesmora-uitests.fault-checks
    COMMAND ${CMAKE_COMMAND} -D "EXECUTABLE=$<TARGET_FILE:vesmora-uitests>" -D "CHECKED=${checked}"
      -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/FaultCoverage.cmake)
endfunction()
cmake_language(DEFER CALL vesmora_fault_check_coverage)
