// The test runner.
//
// A UI suite's executable sets up what its tests need (the simulated device and its apps) and
// returns `XCTestMain(argc, argv)` from main. Command line:
//
//   <suite> [options] [Class | Class/method]...
//     (no filter)            run every registered test
//     Class                  run every test method of the class
//     Class/method           run one test method
//     --list-classes         print the registered class names, one a line, and exit 0
//     --list                 print "Class/method" of every test, one a line, and exit 0
//     --junit <file>         also write a JUnit XML report to <file>
//
// Output: one line per finished test in the platform's style,
//   Test Case '-[Class method]' passed (0.012 seconds).
// (or failed / skipped), preceded by one line per recorded failure,
//   <file>:<line>: error: -[Class method] : <description>
// and, at the end, the plain line "N passed, N failed" (", N skipped" appended when any test was
// skipped). Exit status: 0 when nothing failed; 1 when a test failed; 2 for a bad command line, a
// filter that names no registered test, or a JUnit report path that cannot be written (checked
// before any test runs); 3 when the report could not be written at the end.
#pragma once

#include <string>
#include <vector>

int XCTestMain(int argc, char** argv);

namespace xctest {

struct TestRunSummary {
  int passed = 0;
  int failed = 0;
  int skipped = 0;
  bool reportWritten = true;  // false when the JUnit report was asked for and could not be written
};

// Runs the registered tests selected by `filters` (empty: all); prints as XCTestMain does and
// writes the JUnit report when `junitPath` is not empty. Used by XCTestMain and by the framework's
// own tests.
TestRunSummary runTests(const std::vector<std::string>& filters, const std::string& junitPath = {});

}  // namespace xctest
