// The runner's sweep of start times: which start times it tries, how it reports the failed ones,
// its in-process runs of real test methods across a midnight, and the same numbers drawn by a run
// whenever it starts at the same time.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>
#include <vector>

#include "ScopedVariable.h"
#include "StartTimeSweep.h"
#include "dispatch/Random.h"
#include "foundation/Date.h"
#include "xctest/XCTest.h"

namespace {

// 2026-12-08T00:00:00Z.
constexpr double kMidnight = 1796688000;

std::string clockText(double date) { return std::to_string(static_cast<long long>(date - kMidnight)); }

// Fails while the device's UTC day changes during its ten virtual seconds; chatters on the way.
class MidnightProbe : public XCTestCase {
 public:
  void testDayStaysTheSame() {
    auto day = [] { return platform::componentsOfDate(XCTVirtualClock::epochSeconds(), platform::TimeZone::utc()).day; };
    int first = day();
    std::cout << "probe chatter" << std::endl;
    XCTVirtualClock::advance(10);
    XCTAssertEqual(first, day(), "the day turned");
  }
  void testShort() { XCTVirtualClock::advance(5); }
};

XCTEST_CLASS(MidnightProbe)
XCTEST_METHOD(MidnightProbe, testDayStaysTheSame)
XCTEST_METHOD(MidnightProbe, testShort)

// What DrawingProbe drew, by the device's clock as it started.
std::map<double, std::vector<std::uint32_t>>& drawsByStart() {
  static std::map<double, std::vector<std::uint32_t>> draws;
  return draws;
}

// Draws two numbers of days ahead, as the future-dated payments do, in a run of 3 seconds.
class DrawingProbe : public XCTestCase {
 public:
  void testDraws() {
    auto random = platform::Random::current();
    drawsByStart()[XCTVirtualClock::epochSeconds()] = {random->uniform(364), random->uniform(364)};
    XCTVirtualClock::advance(3);
  }
};

XCTEST_CLASS(DrawingProbe)
XCTEST_METHOD(DrawingProbe, testDraws)

using testsupport::ScopedVariable;

}  // namespace

TEST(StartTimeSweep, TriesEveryStepBackToTheTestsLengthAndGroupsNeighbouringFailures) {
  // "Form/confirm" takes 42 s and fails when the moment falls 10 to 13 s into it; "Short/one"
  // takes 10 s and never fails; "Broken/any" fails wherever it starts.
  std::map<std::string, std::vector<double>> starts;
  StartTimeSweep::RunTest run = [&](const std::string& test, double start) {
    starts[test].push_back(start - kMidnight);
    double into = kMidnight - start;
    StartTimeSweep::Outcome outcome;
    outcome.seconds = test == "Short/one" ? 10 : 42;
    outcome.passed = test == "Short/one" || (test == "Form/confirm" && !(into >= 10 && into < 14));
    if (!outcome.passed) outcome.failure = "error: " + test + " refused";
    return outcome;
  };
  std::ostringstream report;
  auto summary =
      StartTimeSweep::sweep({"Form/confirm", "Short/one", "Broken/any"}, kMidnight, 1, run, clockText, report);

  ASSERT_EQ(starts["Form/confirm"].size(), 43u);
  EXPECT_EQ(starts["Form/confirm"][0], -StartTimeSweep::kFarFromMoment) << "the length is learnt far from it";
  EXPECT_EQ(starts["Form/confirm"][1], -1);
  EXPECT_EQ(starts["Form/confirm"][42], -42);
  EXPECT_EQ(starts["Short/one"].size(), 11u);
  EXPECT_EQ(starts["Broken/any"].size(), 1u) << "a test failing far from the moment is not swept";
  EXPECT_EQ(summary.runs, 43 + 11 + 1);
  EXPECT_EQ(summary.failed, 4 + 1);
  const std::string text = report.str();
  EXPECT_NE(text.find("Form/confirm: 42 s, 42 start times, 4 failed\n"
                      "  failed when started at -10 and back to -13 (4 start times): error: Form/confirm refused\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Short/one: 10 s, 10 start times, 0 failed\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Broken/any: fails when started at -43200, far from the moment: error: Broken/any refused\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Swept 3 tests across 0 every 1 s: 55 runs, 5 failed\n"), std::string::npos) << text;

  // A step that does not divide the length: the last start is the first at least its length before.
  starts.clear();
  std::ostringstream coarse;
  StartTimeSweep::sweep({"Form/confirm"}, kMidnight, 5, run, clockText, coarse);
  EXPECT_EQ(starts["Form/confirm"].back(), -45);
  EXPECT_NE(coarse.str().find("9 start times, 1 failed\n  failed when started at -10: error: Form/confirm refused\n"),
            std::string::npos)
      << coarse.str();

  // A step as long as the test: one start time.
  std::ostringstream single;
  StartTimeSweep::sweep({"Short/one"}, kMidnight, 10, run, clockText, single);
  EXPECT_NE(single.str().find("Short/one: 10 s, 1 start time, 0 failed\n"), std::string::npos) << single.str();
}

TEST(StartTimeSweep, RunsTheTestsInThisProcessAcrossThePinnedMoment) {
  ScopedVariable pinned("VESMORA_DEVICE_TIME", "2026-12-08T00:00:00");
  XCTVirtualClock::pinEpochSeconds(kMidnight);
  testing::internal::CaptureStdout();
  int status = StartTimeSweep::runMode("3", {"MidnightProbe"});
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, 1);
  // Started 3, 6 and 9 s before midnight the day turns within the run; 12 s before, it does not.
  EXPECT_NE(out.find("MidnightProbe/testDayStaysTheSame: 10 s, 4 start times, 3 failed\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  failed when started at 2026-12-07T23:59:57Z and back to 2026-12-07T23:59:51Z (3 start times): "),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("the day turned"), std::string::npos) << "the failure line of the run: " << out;
  EXPECT_NE(out.find("MidnightProbe/testShort: 5 s, 2 start times, 0 failed\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("probe chatter"), std::string::npos) << "the runs' own output is hidden";
  EXPECT_EQ(out.find("Test Case"), std::string::npos);

  testing::internal::CaptureStdout();
  EXPECT_EQ(StartTimeSweep::runMode("3", {"MidnightProbe/testShort"}), 0);
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Swept 1 test across "), std::string::npos) << out;
}

TEST(StartTimeSweep, RefusesAStepOrAClockItCannotUse) {
  ScopedVariable pinned("VESMORA_DEVICE_TIME", "2026-12-08T00:00:00");
  testing::internal::CaptureStderr();
  // A fraction of a second (1e-6 would be 22 million runs of a 22-second test) gives start times
  // that VESMORA_DEVICE_TIME cannot name.
  for (const char* step : {"0", "-3", "3s", "", "nan", "3601", "1e-6", "0.5", "2.5", "99999"})
    EXPECT_EQ(StartTimeSweep::runMode(step, {}), 2) << step;
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("a whole number from 1 to 3600, not \"1e-6\""), std::string::npos) << err;
  EXPECT_NE(err.find("a whole number from 1 to 3600, not \"3s\""), std::string::npos) << err;
  // Leading zeros are taken alike, however many: they neither make a step nor refuse one.
  for (const char* step : {"0000", "00000", "03601", "000003601", "-0001", "+1"}) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(StartTimeSweep::runMode(step, {}), 2) << step;
    EXPECT_NE(testing::internal::GetCapturedStderr().find(std::string("not \"") + step + "\""), std::string::npos);
  }
  for (const char* step : {"0001", "00001", "0000000001"}) {
    XCTVirtualClock::pinEpochSeconds(kMidnight);
    testing::internal::CaptureStdout();
    EXPECT_EQ(StartTimeSweep::runMode(step, {"MidnightProbe/testShort"}), 0) << step;
    const std::string swept = testing::internal::GetCapturedStdout();
    EXPECT_NE(swept.find("MidnightProbe/testShort: 5 s, 5 start times, 0 failed\n"), std::string::npos) << swept;
  }

  // A clock pinned less than 12 hours after the epoch: its first run, far from the moment, would
  // start before it. Refused before any test runs; 12 hours after it, the sweep runs.
  XCTVirtualClock::pinEpochSeconds(StartTimeSweep::kFarFromMoment - 1);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(StartTimeSweep::runMode("1", {"MidnightProbe/testShort"}), 2);
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "no test ran";
  EXPECT_NE(err.find("--sweep: a start time before 1970-01-01T00:00:00 UTC"), std::string::npos) << err;
  // The same check, made by the runner's set-up before it echoes the clock.
  testing::internal::CaptureStderr();
  EXPECT_EQ(StartTimeSweep::checkMoment(StartTimeSweep::kFarFromMoment - 1), 2);
  EXPECT_EQ(testing::internal::GetCapturedStderr().find("--sweep: a start time before 1970-01-01T00:00:00 UTC"), 0u);
  EXPECT_EQ(StartTimeSweep::checkMoment(StartTimeSweep::kFarFromMoment), 0);
  XCTVirtualClock::pinEpochSeconds(StartTimeSweep::kFarFromMoment);
  testing::internal::CaptureStdout();
  EXPECT_EQ(StartTimeSweep::runMode("1", {"MidnightProbe/testShort"}), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("MidnightProbe/testShort: 5 s, 5 start times, 0 failed\n"), std::string::npos) << out;

  ScopedVariable unpinned("VESMORA_DEVICE_TIME", nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(StartTimeSweep::runMode("3", {}), 2);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("needs VESMORA_DEVICE_TIME"), std::string::npos);
}

TEST(StartTimeSweep, ARunStartedAtTheSameTimeDrawsTheSameNumbers) {
  platform::ScopedRandom systemRandomAfterwards(nullptr);
  ScopedVariable pinned("VESMORA_DEVICE_TIME", "2026-12-08T00:00:00");
  auto sweepOnce = [] {
    drawsByStart().clear();
    XCTVirtualClock::pinEpochSeconds(kMidnight);
    testing::internal::CaptureStdout();
    EXPECT_EQ(StartTimeSweep::runMode("1", {"DrawingProbe"}), 0);
    testing::internal::GetCapturedStdout();
    return drawsByStart();
  };
  const auto first = sweepOnce();
  ASSERT_EQ(first.size(), 4u) << "far from midnight and 1 to 3 s before it";
  EXPECT_EQ(sweepOnce(), first);
  EXPECT_NE(first.at(kMidnight - 1), first.at(kMidnight - 2)) << "each start has numbers of its own";

  // On its own, as the runner starts with VESMORA_DEVICE_TIME, after other numbers were drawn.
  platform::Random::current()->next64();
  drawsByStart().clear();
  StartTimeSweep::pinStart(kMidnight - 2);
  testing::internal::CaptureStdout();
  xctest::runTests({"DrawingProbe"});
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(drawsByStart().at(kMidnight - 2), first.at(kMidnight - 2));
}
