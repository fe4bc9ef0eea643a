// The test runner.
//
// A UI suite's executable sets up what its tests need (the simulated device and its apps) and
// returns `XCTestMain(argc, argv)` (or `XCTestMain(argc, argv, setup)`) from main. Command line:
//
//   <suite> [options] [Class | Class/method]...
//     (no filter)            run every registered test
//     Class                  run every test method of the class
//     Class/method           run one test method
//     --list-classes         print the registered class names, one a line, and exit 0
//     --list                 print "Class/method" of every test, one a line, and exit 0
//     --junit <file>         also write a JUnit XML report to <file>
//     --help, -h             print the options (the runner's own included) and the environment
//                            variables the runner reads, and exit 0
//
// Output, in the phone platform's runner's format (its tools read it): the whole run is the suite
// "All tests" ("Selected tests" when filters name the tests), each class a suite in it:
//
//   Test Suite 'All tests' started at 2026-12-07 14:13:01.123
//   Test Suite 'LoginTests' started at 2026-12-07 14:13:01.124
//   Test Case '-[LoginTests testPlaceholderText]' started.
//   <file>:<line>: error: -[LoginTests testPlaceholderText] : <description>    (each failure)
//   Test Case '-[LoginTests testPlaceholderText]' failed (0.012 seconds).
//   Test Suite 'LoginTests' failed at 2026-12-07 14:13:01.137.
//   	 Executed 1 test, with 1 failure (0 unexpected) in 0.012 (0.013) seconds
//   Test Suite 'All tests' failed at 2026-12-07 14:13:01.138.
//   	 Executed 1 test, with 1 failure (0 unexpected) in 0.012 (0.014) seconds
//   0 passed, 1 failed
//
// A suite "passed" when none of its tests failed. "failures" counts recorded failures (a test may
// record several), "unexpected" those that were exceptions thrown out of the test; the first
// time is the tests' own, the second the suite's from start to end; dates are the real clock's,
// in the system's time zone (the device's may be pinned elsewhere). With skipped tests the
// summary reads "Executed 3 tests, with 1 test skipped and 0 failures ...". The last line, on
// standard output and on both streams together, is the plain "N passed, N failed" (", N skipped"
// appended when any test was skipped), which scripts and ctest entries read: what the runner adds
// at the end of a run (`XCTestRunnerSetup::closing`) and a report that could not be written come
// before it.
//
// The JUnit report has one <testsuite> per class and one <testcase> per test; a failed test has
// one <failure> whose message is its first failure and whose text lists every failure as
// "<file>:<line>: <description>"; its `type` is "Failure", or "Uncaught Exception" when the first
// failure was an exception thrown out of the test. Whatever the process writes on its standard
// output while a test runs (the runner's failure lines included) is the test's <system-out>
// (up to 1 MiB per test); it still reaches the standard output as well.
//
// Exit status: 0 when nothing failed; 1 when a test failed; 2 for a bad command line, a filter
// that names no registered test, a JUnit report path that cannot be written (checked before any
// test runs), or a runner's set-up that refused to start; 3 when the report could not be written
// at the end.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

// What a runner executable adds to the command line.
struct XCTestRunnerSetup {
  // Its own options for --help, one "  --option   what it does" a line (each one in `commands`).
  std::string optionsHelp;
  // The environment variables it reads, for --help, one "  NAME   what it sets" a line.
  std::string environmentHelp;
  // Options that do something else than run tests: the program ends with the function's status.
  // Given alone on the command line.
  std::map<std::string, std::function<int()>> commands;
  // Options that run the selected tests another way than once each, "--option <value>" among
  // the filters: after `prepare`, the function gets the value and the filters (empty: every
  // test), and the program ends with its status. One such option a run, without --junit.
  std::map<std::string, std::function<int(const std::string& value, const std::vector<std::string>& filters)>>
      runModes;
  // Checks of a run mode's value, made as the command line is read, before `prepare` (so before
  // anything the set-up prints): a status other than 0 ends the program with it.
  std::map<std::string, std::function<int(const std::string& value)>> runModeChecks;
  // Runs once the command line has been read and before the first test (not for --help, --list
  // and the like); a status other than 0 ends the program with it before any test runs.
  std::function<int()> prepare;
  // Runs after the last test, before the closing "N passed, N failed" line: what it prints (on
  // either stream) comes ahead of that line.
  std::function<void()> closing;
};

int XCTestMain(int argc, char** argv);
int XCTestMain(int argc, char** argv, const XCTestRunnerSetup& setup);

namespace xctest {

struct TestRunSummary {
  int passed = 0;
  int failed = 0;
  int skipped = 0;
  bool reportWritten = true;  // false when the JUnit report was asked for and could not be written
};

// Runs the registered tests selected by `filters` (empty: all); prints as XCTestMain does and
// writes the JUnit report when `junitPath` is not empty; `closing` runs just before the summary
// line. Used by XCTestMain and by the framework's own tests.
TestRunSummary runTests(const std::vector<std::string>& filters, const std::string& junitPath = {},
                        const std::function<void()>& closing = {});

// "Class/method" of every registered test that `filters` select (empty: all), in the order a run
// takes them.
std::vector<std::string> selectedTests(const std::vector<std::string>& filters);

// Text as XML character data ("&amp;", "&lt;", ...); in an attribute (`attribute` true) line
// breaks and tabs become character references too. Characters XML cannot hold (control
// characters, bytes that are not UTF-8) are written as the text "\xNN".
std::string xmlEscape(const std::string& text, bool attribute = false);

}  // namespace xctest
