# Fault checks: each proves that a UI test catches one fault of the simulated app.
#
# vesmora_fault_check(<fault> <Class | Class/method>... [VARIANT <suffix>] [SWEEP]
#                     [ENVIRONMENT <VAR=value>...])
#
# Registers the ctest entry "vesmora-uitests.fault.<fault>[.<suffix>]": the runner runs the given
# tests against the data set "sim" with the app launched with VESMORA_FAULTS=<fault> (plus the
# extra environment, e.g. a pinned clock), and the entry passes only when at least one of them
# fails (see vesmora_add_xctest_expected_failure). With SWEEP the runner sweeps them across the
# pinned clock (VESMORA_DEVICE_TIME, a midnight say) with "--sweep 1": each test runs at every
# start second from its own length before that moment up to it, and the entry passes only when
# a run started near it failed. That is the check for a fault that shows only while the moment
# falls between two steps of a test: where those steps lie at least the sweep's 1 s apart, the
# moment then falls there whatever the pace of the test's steps, where one pinned start time
# catches it only at one pace. Closer steps can fall between two whole-second starts: in the
# transfer and e-Transfer tests the window is about a request's loading time wide, so the swept
# entries set VESMORA_LOADING_SECONDS=2 (with 0.25 s none of the transfer review's 27 starts
# fails, and with 0 s no window opens in either test); the bill payment's windows stay open at
# any loading time. The faults themselves are
# declared in the simulator's code (simulator/model/Faults.h); the entry
# "vesmora-uitests.fault-checks" fails when a declared fault has no check or a check names no
# declared fault.

function(vesmora_fault_check fault)
  cmake_parse_arguments(ARG "SWEEP" "VARIANT" "ENVIRONMENT" ${ARGN})
  set(name vesmora-uitests.fault.${fault})
  if(ARG_VARIANT)
    string(APPEND name .${ARG_VARIANT})
  endif()
  if(ARG_SWEEP)
    # A test's line "<test>: <length> s, N start time(s), F failed" (a test that fails far from the
    # moment gets another line: the fault must show where the moment falls in its run), then the
    # closing line "Swept ...: R runs, F failed"; a clock or step the sweep cannot use, or a
    # crash, ends the run without it.
    add_test(NAME ${name} COMMAND vesmora-uitests --sweep 1 ${ARG_UNPARSED_ARGUMENTS})
    set_tests_properties(${name} PROPERTIES
      PASS_REGULAR_EXPRESSION "start times?, [1-9][0-9]* failed.*: [0-9]+ runs, [1-9][0-9]* failed"
      TIMEOUT 600 RESOURCE_LOCK port8080 LABELS fault)
    set_property(TEST ${name} PROPERTY ENVIRONMENT test_env=sim VESMORA_FAULTS=${fault} ${ARG_ENVIRONMENT})
  else()
    vesmora_add_xctest_expected_failure(vesmora-uitests
      NAME ${name}
      TESTS ${ARG_UNPARSED_ARGUMENTS}
      ENVIRONMENT test_env=sim VESMORA_FAULTS=${fault} ${ARG_ENVIRONMENT}
      PROPERTIES RESOURCE_LOCK port8080 LABELS fault)
  endif()
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
