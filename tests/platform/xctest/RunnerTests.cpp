#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <vector>

#include "xctest/XCTest.h"

namespace {

std::vector<std::string> g_log;

class StopOnFailureTests : public XCTestCase {
 public:
  void setUp() override { continueAfterFailure = false; }
  void tearDown() override { g_log.push_back("tearDown " + methodName()); }
  void testStopsAtFirstFailure() {
    g_log.push_back("before");
    XCTAssertEqual(1, 2, "numbers differ");
    g_log.push_back("after");
  }
  void testPasses() { XCTAssertTrue(true); }
};
XCTEST_CLASS(StopOnFailureTests)
XCTEST_METHOD(StopOnFailureTests, testStopsAtFirstFailure)
XCTEST_METHOD(StopOnFailureTests, testPasses)

class ContinueTests : public XCTestCase {
 public:
  void tearDown() override { g_log.push_back("tearDown " + methodName()); }
  void testContinuesAfterFailure() {
    XCTFail("first");
    g_log.push_back("after first");
    XCTAssertFalse(true);
    g_log.push_back("after second");
  }
};
XCTEST_METHOD(ContinueTests, testContinuesAfterFailure)

class SkipAndThrowTests : public XCTestCase {
 public:
  void testSkipped() { XCTSkipIf(true, "not on this device"); }
  void testThrows() { throw std::runtime_error("boom"); }
};
XCTEST_METHOD(SkipAndThrowTests, testSkipped)
XCTEST_METHOD(SkipAndThrowTests, testThrows)

class FailingSetUpTests : public XCTestCase {
 public:
  void setUp() override {
    continueAfterFailure = false;
    XCTFail("setUp failed");
  }
  void tearDown() override { g_log.push_back("tearDown after failed setUp"); }
  void testBody() { g_log.push_back("body ran"); }
};
XCTEST_METHOD(FailingSetUpTests, testBody)

// A subject whose predicate never holds.
class Never : public NSPredicateSubject {
 public:
  NSPredicateValue valueForKey(const std::string&) const override { return false; }
  std::string debugDescription() const override { return "never"; }
};

class WaitTests : public XCTestCase {
 public:
  void testLongWaitTimesOutInVirtualTime() {
    continueAfterFailure = false;
    expectation(NSPredicate("exists == TRUE"), Never());
    waitForExpectations(120);
    g_log.push_back("after wait");
  }
  void testWaitWithoutExpectations() { waitForExpectations(1); }
};
XCTEST_METHOD(WaitTests, testLongWaitTimesOutInVirtualTime)
XCTEST_METHOD(WaitTests, testWaitWithoutExpectations)

class Always : public NSPredicateSubject {
 public:
  NSPredicateValue valueForKey(const std::string&) const override { return true; }
  std::string debugDescription() const override { return "always"; }
};

// A test reads its expectations after the waits that spent them.
class SpentExpectationTests : public XCTestCase {
 public:
  void testExpectationsOutliveTheirWait() {
    XCTestExpectation& met = expectation(NSPredicate("exists == TRUE"), Always());
    waitForExpectations(5);
    XCTestExpectation& unmet = expectation(NSPredicate("exists == TRUE"), Never());
    waitForExpectations(5);
    g_log.push_back(std::string(met.isFulfilled() ? "met" : "not met") + ", " +
                    (unmet.isFulfilled() ? "met" : "not met") + ", " + unmet.expectationDescription());
    // A spent expectation is not waited for again.
    expectation(NSPredicate("exists == TRUE"), Always());
    waitForExpectations(5);
  }
};
XCTEST_METHOD(SpentExpectationTests, testExpectationsOutliveTheirWait)

// Prints on standard output through the C++ and the C library, then fails twice.
class NoisyTests : public XCTestCase {
 public:
  void testPrintsAndFails() {
    std::cout << "amount <1.00> & \x1b[31mred\x1b[0m" << std::endl;
    std::printf("from C: caf\xc3\xa9 \xff\n");
    std::fflush(stdout);
    XCTFail("first");
    XCTAssertEqual(1, 2);
  }
  void testPrintsAndPasses() { std::cout << "all good" << std::endl; }
};
XCTEST_METHOD(NoisyTests, testPrintsAndFails)
XCTEST_METHOD(NoisyTests, testPrintsAndPasses)

// Prints more than a report keeps of one test.
class FloodTests : public XCTestCase {
 public:
  void testFloods() {
    std::string line(1023, 'x');
    for (int i = 0; i < 1536; ++i) std::cout << line << '\n';
    std::cout << "last line" << std::endl;
  }
};
XCTEST_METHOD(FloodTests, testFloods)

// A folder of its own under the temporary folder (mkdtemp), removed with everything in it: the
// reports of two users or two checkouts running these tests at once never meet.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = testing::TempDir() + "xctest-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  bool made() const { return !path_.empty(); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct Captured {
  xctest::TestRunSummary summary;
  std::string out;
};

Captured run(const std::vector<std::string>& filters, const std::string& junit = {}) {
  g_log.clear();
  testing::internal::CaptureStdout();
  auto summary = xctest::runTests(filters, junit);
  return {summary, testing::internal::GetCapturedStdout()};
}

TEST(Runner, ContinueAfterFailureFalseEndsTheMethodButTearDownRuns) {
  auto r = run({"StopOnFailureTests"});
  EXPECT_EQ(r.summary.passed, 1);
  EXPECT_EQ(r.summary.failed, 1);
  // Alphabetical: testPasses before testStopsAtFirstFailure.
  EXPECT_EQ(g_log, (std::vector<std::string>{"tearDown testPasses", "before", "tearDown testStopsAtFirstFailure"}));
  EXPECT_NE(r.out.find("error: -[StopOnFailureTests testStopsAtFirstFailure] : XCTAssertEqual failed: (\"1\") is not "
                       "equal to (\"2\") - numbers differ"),
            std::string::npos);
  EXPECT_NE(r.out.find("Test Case '-[StopOnFailureTests testPasses]' passed ("), std::string::npos);
  EXPECT_NE(r.out.find("Test Case '-[StopOnFailureTests testStopsAtFirstFailure]' failed ("), std::string::npos);
  EXPECT_NE(r.out.find("\n1 passed, 1 failed\n"), std::string::npos);
}

// What the runner prints at the end of a run comes before the summary, which stays the last line.
TEST(Runner, TheSummaryStaysTheLastLineAfterTheClosingNote) {
  g_log.clear();
  testing::internal::CaptureStdout();
  xctest::runTests({"StopOnFailureTests/testPasses"}, {}, [] { std::cout << "Virtual time: 3 seconds" << std::endl; });
  std::string out = testing::internal::GetCapturedStdout();
  const std::string tail = "\nVirtual time: 3 seconds\n1 passed, 0 failed\n";
  ASSERT_GE(out.size(), tail.size()) << out;
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << out;
}

TEST(Runner, ContinueAfterFailureTrueRecordsEveryFailure) {
  auto r = run({"ContinueTests/testContinuesAfterFailure"});
  EXPECT_EQ(r.summary.failed, 1);
  EXPECT_EQ(g_log, (std::vector<std::string>{"after first", "after second", "tearDown testContinuesAfterFailure"}));
  EXPECT_NE(r.out.find(" : failed - first"), std::string::npos);
  EXPECT_NE(r.out.find(" : XCTAssertFalse failed"), std::string::npos);
}

TEST(Runner, FailedSetUpSkipsTheBodyAndStillTearsDown) {
  auto r = run({"FailingSetUpTests"});
  EXPECT_EQ(r.summary.failed, 1);
  EXPECT_EQ(g_log, (std::vector<std::string>{"tearDown after failed setUp"}));
}

TEST(Runner, SkipsAndExceptionsAreReported) {
  auto r = run({"SkipAndThrowTests"});
  EXPECT_EQ(r.summary.skipped, 1);
  EXPECT_EQ(r.summary.failed, 1);
  EXPECT_NE(r.out.find("caught error: \"boom\""), std::string::npos);
  EXPECT_NE(r.out.find("\n0 passed, 1 failed, 1 skipped\n"), std::string::npos);
}

TEST(Runner, UnmetLongWaitFailsAtOnceInVirtualTime) {
  double before = XCTVirtualClock::now();
  auto started = std::chrono::steady_clock::now();
  auto r = run({"WaitTests/testLongWaitTimesOutInVirtualTime"});
  auto wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_LT(wall, 60.0);  // waited for real, the 120 s would take that long
  EXPECT_GE(XCTVirtualClock::now() - before, 120.0);
  EXPECT_EQ(r.summary.failed, 1);
  EXPECT_TRUE(g_log.empty());  // the failed wait ended the method
  EXPECT_NE(r.out.find("Asynchronous wait failed: Exceeded timeout of 120 seconds, with unfulfilled expectations: "
                       "\"Expect predicate `exists == TRUE` for object never\"."),
            std::string::npos);
}

TEST(Runner, ExpectationsStayReadableAfterTheirWait) {
  auto r = run({"SpentExpectationTests"});
  EXPECT_EQ(r.summary.failed, 1);  // the unmet wait, and only that one
  EXPECT_EQ(g_log, (std::vector<std::string>{"met, not met, Expect predicate `exists == TRUE` for object never"}));
  EXPECT_EQ(r.out.find("Exceeded timeout"), r.out.rfind("Exceeded timeout"));
}

TEST(Runner, WaitWithoutExpectationsIsAnApiViolation) {
  auto r = run({"WaitTests/testWaitWithoutExpectations"});
  EXPECT_EQ(r.summary.failed, 1);
  EXPECT_NE(r.out.find("API violation - call made to wait without any expectations having been set."),
            std::string::npos);
}

int mainWith(std::vector<std::string> args, std::string* out = nullptr, const XCTestRunnerSetup& setup = {},
             std::string* err = nullptr) {
  std::vector<char*> argv;
  args.insert(args.begin(), "suite");
  for (auto& a : args) argv.push_back(a.data());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int status = XCTestMain(static_cast<int>(argv.size()), argv.data(), setup);
  std::string text = testing::internal::GetCapturedStdout();
  std::string errors = testing::internal::GetCapturedStderr();
  if (out) *out = text;
  if (err) *err = errors;
  return status;
}

TEST(Runner, MainExitStatusListingAndFilters) {
  std::string out;
  EXPECT_EQ(mainWith({"StopOnFailureTests/testPasses"}, &out), 0);
  EXPECT_NE(out.find("1 passed, 0 failed"), std::string::npos);
  EXPECT_EQ(mainWith({"StopOnFailureTests"}), 1);
  std::string err;
  EXPECT_EQ(mainWith({"NoSuchClass"}, nullptr, {}, &err), 2);
  EXPECT_NE(err.find("no test matches NoSuchClass (--list prints every test"), std::string::npos) << err;
  EXPECT_EQ(mainWith({"--bogus"}), 2);
  // A report option that would quietly write nothing, or one report instead of two, is refused.
  EXPECT_EQ(mainWith({"--junit", "", "StopOnFailureTests/testPasses"}, &out), 2);
  EXPECT_EQ(out.find("passed"), std::string::npos);
  EXPECT_EQ(mainWith({"--junit", "a.xml", "--junit", "b.xml", "StopOnFailureTests/testPasses"}, &out), 2);
  EXPECT_EQ(out.find("passed"), std::string::npos);
  EXPECT_EQ(mainWith({"--list-classes"}, &out), 0);
  EXPECT_NE(out.find("ContinueTests\n"), std::string::npos);
  EXPECT_LT(out.find("ContinueTests\n"), out.find("StopOnFailureTests\n"));
  EXPECT_EQ(mainWith({"--list"}, &out), 0);
  EXPECT_NE(out.find("StopOnFailureTests/testPasses\n"), std::string::npos);
}

TEST(Runner, WritesJUnitReport) {
  ScratchFolder scratch;
  ASSERT_TRUE(scratch.made());
  std::string path = scratch.file("report.xml");
  run({"StopOnFailureTests", "SkipAndThrowTests/testSkipped"}, path);
  std::ifstream in(path);
  std::stringstream xml;
  xml << in.rdbuf();
  std::string text = xml.str();
  EXPECT_NE(text.find("<testsuites name=\"All tests\" tests=\"3\" failures=\"1\" skipped=\"1\""), std::string::npos);
  EXPECT_NE(text.find("<testcase classname=\"StopOnFailureTests\" name=\"testPasses\""), std::string::npos);
  EXPECT_NE(text.find("<failure type=\"Failure\" message=\"XCTAssertEqual failed: (&quot;1&quot;) is not equal to "
                      "(&quot;2&quot;) - numbers differ\">"),
            std::string::npos);
  EXPECT_NE(text.find("<skipped message=\"not on this device\"/>"), std::string::npos);

  // A path that cannot be written stops the run before any test, with the status --help gives
  // for it and the reason.
  std::string out, err, help;
  EXPECT_EQ(mainWith({"--junit", scratch.file("no-such-dir/report.xml"), "StopOnFailureTests/testPasses"}, &out, {},
                     &err),
            2);
  EXPECT_EQ(out.find("passed"), std::string::npos);
  EXPECT_NE(err.find("no-such-dir/report.xml: No such file or directory"), std::string::npos) << err;
  mainWith({"--help"}, &help);
  EXPECT_NE(help.find("path that cannot be written or a set-up"), std::string::npos) << help;
  // Written at the end to a path that has become a folder: status 3, with the reason.
  std::string later = scratch.file("later.xml");
  XCTestRunnerSetup setup;
  setup.prepare = [&] { return std::filesystem::remove(later) && std::filesystem::create_directory(later) ? 0 : 9; };
  EXPECT_EQ(mainWith({"--junit", later, "StopOnFailureTests/testPasses"}, &out, setup, &err), 3);
  EXPECT_NE(err.find("later.xml: Is a directory"), std::string::npos) << err;
}

TEST(Runner, PrintsSuitesAndCasesInThePlatformRunnersFormat) {
  auto r = run({"StopOnFailureTests"});
  const std::string date = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}";
  const std::string time = "[0-9]+\\.[0-9]{3}";
  std::regex expected(
      "Test Suite 'Selected tests' started at " + date + "\n" +
      "Test Suite 'StopOnFailureTests' started at " + date + "\n" +
      "Test Case '-\\[StopOnFailureTests testPasses\\]' started\\.\n" +
      "Test Case '-\\[StopOnFailureTests testPasses\\]' passed \\(" + time + " seconds\\)\\.\n" +
      "Test Case '-\\[StopOnFailureTests testStopsAtFirstFailure\\]' started\\.\n" +
      "[^\n]*RunnerTests.cpp:[0-9]+: error: -\\[StopOnFailureTests testStopsAtFirstFailure\\] : XCTAssertEqual "
      "failed[^\n]*\n" +
      "Test Case '-\\[StopOnFailureTests testStopsAtFirstFailure\\]' failed \\(" + time + " seconds\\)\\.\n" +
      "Test Suite 'StopOnFailureTests' failed at " + date + "\\.\n" +
      "\t Executed 2 tests, with 1 failure \\(0 unexpected\\) in " + time + " \\(" + time + "\\) seconds\n" +
      "Test Suite 'Selected tests' failed at " + date + "\\.\n" +
      "\t Executed 2 tests, with 1 failure \\(0 unexpected\\) in " + time + " \\(" + time + "\\) seconds\n" +
      "1 passed, 1 failed\n");
  EXPECT_TRUE(std::regex_match(r.out, expected)) << r.out;

  // Failures are counted one by one; exceptions thrown out of a test are the unexpected ones.
  EXPECT_NE(run({"ContinueTests"}).out.find("\t Executed 1 test, with 2 failures (0 unexpected) in "),
            std::string::npos);
  r = run({"SkipAndThrowTests"});
  EXPECT_NE(r.out.find("Test Suite 'SkipAndThrowTests' failed at "), std::string::npos);
  EXPECT_NE(r.out.find("\t Executed 2 tests, with 1 test skipped and 1 failure (1 unexpected) in "),
            std::string::npos);
  // A run of everything is "All tests"; a suite of passed and skipped tests passed.
  r = run({});
  EXPECT_EQ(r.out.rfind("Test Suite 'All tests' started at ", 0), 0u) << r.out.substr(0, 200);
  EXPECT_NE(r.out.find("Test Suite 'All tests' failed at "), std::string::npos);
  r = run({"StopOnFailureTests/testPasses", "SkipAndThrowTests/testSkipped"});
  EXPECT_NE(r.out.find("Test Suite 'Selected tests' passed at "), std::string::npos);
}

TEST(Runner, JUnitReportHasOneFailurePerTestAndTheTestsOutput) {
  ScratchFolder scratch;
  ASSERT_TRUE(scratch.made());
  std::string path = scratch.file("noisy.xml");
  auto r = run({"NoisyTests", "SkipAndThrowTests/testThrows"}, path);
  // What the tests print still reaches the standard output.
  EXPECT_NE(r.out.find("amount <1.00> & \x1b[31mred"), std::string::npos);
  EXPECT_NE(r.out.find("from C: caf\xc3\xa9 \xff\n"), std::string::npos);
  std::ifstream in(path);
  std::stringstream xml;
  xml << in.rdbuf();
  std::string text = xml.str();
  std::size_t failing = text.find("<testcase classname=\"NoisyTests\" name=\"testPrintsAndFails\"");
  std::size_t passing = text.find("<testcase classname=\"NoisyTests\" name=\"testPrintsAndPasses\"");
  ASSERT_NE(failing, std::string::npos) << text;
  ASSERT_NE(passing, std::string::npos) << text;
  std::string failed = text.substr(failing, passing - failing);
  std::regex oneFailure(
      "<failure type=\"Failure\" message=\"failed - first\">[^<]*RunnerTests\\.cpp:[0-9]+: failed - first\n"
      "[^<]*RunnerTests\\.cpp:[0-9]+: XCTAssertEqual failed: \\(&quot;1&quot;\\) is not equal to "
      "\\(&quot;2&quot;\\)\n</failure>");
  EXPECT_TRUE(std::regex_search(failed, oneFailure)) << failed;
  EXPECT_EQ(failed.find("<failure", failed.find("</failure>")), std::string::npos) << failed;
  // The output, escaped: markup, control characters and bytes that are not UTF-8.
  EXPECT_NE(failed.find("<system-out>amount &lt;1.00&gt; &amp; \\x1B[31mred\\x1B[0m\nfrom C: caf\xc3\xa9 \\xFF\n"),
            std::string::npos)
      << failed;
  EXPECT_NE(failed.find("error: -[NoisyTests testPrintsAndFails] : failed - first"), std::string::npos);
  EXPECT_NE(text.find("<system-out>all good\n</system-out>", passing), std::string::npos);
  EXPECT_NE(text.find("<failure type=\"Uncaught Exception\" message=\"failed: caught error: &quot;boom&quot;\">"),
            std::string::npos)
      << text;
  // A report keeps the first MiB of a test's output; the console gets all of it.
  r = run({"FloodTests"}, path);
  EXPECT_NE(r.out.find("last line\n"), std::string::npos);
  std::ifstream flood(path);
  std::stringstream floodXml;
  floodXml << flood.rdbuf();
  text = floodXml.str();
  std::size_t out = text.find("<system-out>"), end = text.find("</system-out>");
  ASSERT_NE(end, std::string::npos);
  EXPECT_EQ(end - out - 12, (1u << 20) + std::string("\n(output beyond 1048576 bytes left out)\n").size());
  EXPECT_EQ(text.find("last line"), std::string::npos);
  // Nothing is captured, and no report written, without a report asked for.
  r = run({"NoisyTests/testPrintsAndPasses"});
  EXPECT_NE(r.out.find("all good\n"), std::string::npos);
}

TEST(Runner, XmlEscapeKeepsTextAndRefusesWhatXmlCannotHold) {
  EXPECT_EQ(xctest::xmlEscape("a<b>&\"c'\n\t\r"), "a&lt;b&gt;&amp;&quot;c&apos;\n\t&#13;");
  EXPECT_EQ(xctest::xmlEscape("two\nlines\t", true), "two&#10;lines&#9;");
  EXPECT_EQ(xctest::xmlEscape("\x01\x1b\x7f"), "\\x01\\x1B\x7f");
  // Well-formed UTF-8 stays; overlong forms, surrogates, non-characters, stray and cut-off
  // sequences become their bytes' text.
  EXPECT_EQ(xctest::xmlEscape("\u00e9\u20ac\U0001F600"), "\u00e9\u20ac\U0001F600");
  EXPECT_EQ(xctest::xmlEscape("\xc0\xaf"), "\\xC0\\xAF");
  EXPECT_EQ(xctest::xmlEscape("\xed\xa0\x80"), "\\xED\\xA0\\x80");
  EXPECT_EQ(xctest::xmlEscape("\xef\xbf\xbe"), "\\xEF\\xBF\\xBE");
  EXPECT_EQ(xctest::xmlEscape("\x80z"), "\\x80z");
  EXPECT_EQ(xctest::xmlEscape("ok\xe2\x82"), "ok\\xE2\\x82");
  EXPECT_EQ(xctest::xmlEscape("\xf4\x90\x80\x80"), "\\xF4\\x90\\x80\\x80");  // past U+10FFFF
}

TEST(Runner, HelpListsEveryOptionAndTheRunnersEnvironment) {
  XCTestRunnerSetup setup;
  int prepared = 0, listed = 0;
  setup.optionsHelp = "  --list-things    print the things\n";
  setup.environmentHelp = "  THING_COUNT      how many things\n";
  setup.commands["--list-things"] = [&] { return ++listed, 0; };
  setup.prepare = [&] { return ++prepared, 2; };
  auto main = [&](std::vector<std::string> args, std::string* out = nullptr) { return mainWith(args, out, setup); };
  std::string out;
  EXPECT_EQ(main({"--help"}, &out), 0);
  for (const char* item : {"--list-classes", "--list ", "--junit <file>", "--help", "--list-things", "THING_COUNT"})
    EXPECT_NE(out.find(item), std::string::npos) << item;
  EXPECT_EQ(main({"--list-things"}), 0);
  EXPECT_EQ(listed, 1);
  EXPECT_EQ(main({"--list-things", "ContinueTests"}), 2);  // given alone only
  EXPECT_EQ(main({"--list-classes"}), 0);
  EXPECT_EQ(prepared, 0);  // nothing to set up for help, listings and the runner's commands
  // A set-up that refuses ends the run with its status before any test.
  EXPECT_EQ(main({"StopOnFailureTests/testPasses"}, &out), 2);
  EXPECT_EQ(prepared, 1);
  EXPECT_EQ(out.find("Test Case"), std::string::npos) << out;
  setup.prepare = [&] { return ++prepared, 0; };
  EXPECT_EQ(main({"StopOnFailureTests/testPasses"}, &out), 0);
  EXPECT_NE(out.find("1 passed, 0 failed"), std::string::npos);
}

TEST(Runner, RunModesGetTheirValueAndTheFiltersAfterSetUp) {
  XCTestRunnerSetup setup;
  std::vector<std::string> calls;
  setup.prepare = [&] { return calls.push_back("prepare"), 0; };
  // A mode's check of its value comes before the set-up, which may print what it pinned.
  setup.runModeChecks["--again"] = [&](const std::string& value) {
    calls.push_back("check " + value);
    return value == "bad" ? 5 : 0;
  };
  setup.runModes["--again"] = [&](const std::string& value, const std::vector<std::string>& filters) {
    std::string call = "again " + value;
    for (const auto& f : filters) call += " " + f;
    calls.push_back(call);
    return 7;
  };
  std::string out;
  EXPECT_EQ(mainWith({"ContinueTests", "--again", "3", "StopOnFailureTests/testPasses"}, &out, setup), 7);
  EXPECT_EQ(calls, (std::vector<std::string>{"check 3", "prepare", "again 3 ContinueTests StopOnFailureTests/testPasses"}));
  EXPECT_EQ(out.find("Test Case"), std::string::npos) << "the mode runs instead of the ordinary run";
  calls.clear();
  EXPECT_EQ(mainWith({"--again", "bad"}, &out, setup), 5);
  EXPECT_EQ(calls, (std::vector<std::string>{"check bad"})) << "a value the mode refuses ends the run before set-up";
  calls.clear();
  for (std::vector<std::string> args : {std::vector<std::string>{"--again"}, {"--again", ""}, {"--again", "3", "--again", "4"},
                                        {"--again", "3", "--junit", "a.xml"}, {"--again", "3", "NoSuchClass"}}) {
    EXPECT_EQ(mainWith(args, nullptr, setup), 2) << args.size();
  }
  EXPECT_TRUE(calls.empty()) << "refused before any set-up";

  EXPECT_EQ(xctest::selectedTests({"StopOnFailureTests", "ContinueTests/testContinuesAfterFailure"}),
            (std::vector<std::string>{"ContinueTests/testContinuesAfterFailure", "StopOnFailureTests/testPasses",
                                      "StopOnFailureTests/testStopsAtFirstFailure"}));
  std::string listed, selected;
  mainWith({"--list"}, &listed);
  for (const auto& test : xctest::selectedTests({})) selected += test + "\n";
  EXPECT_EQ(selected, listed) << "no filter: every test, in the listing's order";
}

TEST(Runner, ObserversSeeEveryTestAroundSetUpAndTearDown) {
  struct Recorder : XCTestObservation {
    std::vector<std::string> events;
    void testCaseWillStart(XCTestCase& t) override { events.push_back("start " + t.name()); }
    void testCaseDidRecordFailure(XCTestCase&, const std::string& d, const std::string&, int) override {
      events.push_back("failure " + d);
    }
    void testCaseDidFinish(XCTestCase& t) override {
      events.push_back("finish " + t.name() + " " + std::to_string(t.failures().size()));
    }
  } recorder;
  XCTestObservationCenter::shared().addTestObserver(&recorder);
  XCTestObservationCenter::shared().addTestObserver(&recorder);  // once only
  auto r = run({"StopOnFailureTests"});
  XCTestObservationCenter::shared().removeTestObserver(&recorder);
  EXPECT_EQ(recorder.events,
            (std::vector<std::string>{
                "start -[StopOnFailureTests testPasses]", "finish -[StopOnFailureTests testPasses] 0",
                "start -[StopOnFailureTests testStopsAtFirstFailure]",
                "failure XCTAssertEqual failed: (\"1\") is not equal to (\"2\") - numbers differ",
                "finish -[StopOnFailureTests testStopsAtFirstFailure] 1"}));
  // The hooks bracket setUp and tearDown.
  EXPECT_EQ(g_log.back(), "tearDown testStopsAtFirstFailure");
}

TEST(Assertions, DescribeOptionalsAndCompareMixedTypes) {
  std::optional<std::string> none;
  EXPECT_EQ(xctest::describeValue(none), "nil");
  EXPECT_EQ(xctest::describeValue(std::optional<std::string>("a")), "a");
  EXPECT_TRUE(xctest::valuesEqual(std::optional<std::string>("a"), "a"));
  EXPECT_FALSE(xctest::valuesEqual(none, "a"));
  EXPECT_TRUE(xctest::valuesEqual(std::size_t{2}, 2));
  EXPECT_FALSE(xctest::valuesEqual(-1, std::size_t(-1)));
  EXPECT_TRUE(xctest::isNil(none));
  EXPECT_FALSE(xctest::isNil(std::optional<int>(0)));
}

TEST(VirtualClock, StopsAtClientDeadlinesInOrder) {
  struct Client : xctest::TimeDriven {
    std::vector<double> due;
    std::vector<double> seen;
    std::optional<double> nextDeadline() const override {
      return due.empty() ? std::nullopt : std::optional<double>(due.front());
    }
    void timeAdvanced(double now) override {
      while (!due.empty() && due.front() <= now) {
        seen.push_back(now);
        due.erase(due.begin());
      }
    }
  } client;
  double t0 = XCTVirtualClock::now();
  client.due = {t0 + 1, t0 + 5};
  XCTVirtualClock::addClient(&client);
  bool met = XCTVirtualClock::waitUntil([&] { return client.seen.size() == 1; }, 10);
  EXPECT_TRUE(met);
  EXPECT_DOUBLE_EQ(XCTVirtualClock::now(), t0 + 1);  // stopped as soon as the condition held
  XCTVirtualClock::advance(10);
  EXPECT_EQ(client.seen, (std::vector<double>{t0 + 1, t0 + 5}));
  EXPECT_DOUBLE_EQ(XCTVirtualClock::now(), t0 + 11);
  XCTVirtualClock::removeClient(&client);
}

}  // namespace

TEST(VirtualClock, APinnedWallClockRunsOnWithVirtualTime) {
  double before = XCTVirtualClock::epochSeconds();
  XCTVirtualClock::pinEpochSeconds(1796617740);  // 2026-12-07T04:29:00Z
  EXPECT_DOUBLE_EQ(XCTVirtualClock::epochSeconds(), 1796617740);
  XCTVirtualClock::advance(60);
  EXPECT_DOUBLE_EQ(XCTVirtualClock::epochSeconds(), 1796617800);
  XCTVirtualClock::pinEpochSeconds(before);  // back to the real start for later tests
}
