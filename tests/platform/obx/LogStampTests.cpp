// The time stamp of a log line: UTC worked out without the C library's time functions (they take
// its time-zone lock, which a child made by fork() may find held by a thread it does not have),
// right across the edges of days, months, leap years and 1970; and a line below the level shown
// reads no clock at all.
//
// This program defines gmtime_r and localtime_r itself, counting the calls (and answering none):
// the C library's are then not used by anything linked here.
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dispatch/Testing.h"
#include "obx/OBXLogger.h"

namespace {
std::atomic<int> gTimeFunctionCalls{0};
}  // namespace

extern "C" struct tm* gmtime_r(const time_t*, struct tm*) noexcept {
  ++gTimeFunctionCalls;
  return nullptr;
}
extern "C" struct tm* localtime_r(const time_t*, struct tm*) noexcept {
  ++gTimeFunctionCalls;
  return nullptr;
}

namespace {

// What `body` writes to standard error.
std::string writtenBy(const std::function<void()>& body) {
  int ends[2];
  if (::pipe(ends) != 0) return "no pipe";
  std::fflush(stderr);
  const int saved = ::dup(2);
  ::dup2(ends[1], 2);
  body();
  std::fflush(stderr);
  ::dup2(saved, 2);
  ::close(saved);
  ::close(ends[1]);
  std::string text;
  char block[4096];
  for (ssize_t got = 0; (got = ::read(ends[0], block, sizeof block)) > 0;) text.append(block, static_cast<std::size_t>(got));
  ::close(ends[0]);
  return text;
}

class CountingClock final : public platform::ManualClock {
 public:
  using ManualClock::ManualClock;
  double now() const override {
    ++reads;
    return ManualClock::now();
  }
  mutable std::atomic<int> reads{0};
};

class LogStamp : public ::testing::Test {
 protected:
  void SetUp() override { OBXLoggerResetForTesting(); }
  void TearDown() override { OBXLoggerResetForTesting(); }
};

}  // namespace

TEST_F(LogStamp, IsUTCWorkedOutWithoutTheCLibrarysTimeFunctions) {
  // Fractions a double holds exactly: the milliseconds are cut, not rounded.
  const std::vector<std::pair<double, std::string>> moments = {
      {0.0, "1970-01-01 00:00:00.000"},
      {-0.25, "1969-12-31 23:59:59.750"},
      {-2208988800.0, "1900-01-01 00:00:00.000"},
      {951782399.5, "2000-02-28 23:59:59.500"},
      {951782400.0, "2000-02-29 00:00:00.000"},  // divisible by 400: a leap year
      {1709251199.625, "2024-02-29 23:59:59.625"},
      {2147483648.0, "2038-01-19 03:14:08.000"},  // past 32 bits
      {4107542399.875, "2100-02-28 23:59:59.875"},
      {4107542400.0, "2100-03-01 00:00:00.000"},  // divisible by 100 alone: no leap day
      {253402300799.0, "9999-12-31 23:59:59.000"},
  };
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock installed(clock);
  gTimeFunctionCalls = 0;
  for (const auto& [seconds, stamp] : moments) {
    clock->setNow(seconds);
    const std::string line = writtenBy([] { OBXLogNotice("[Svc]", false, "I-SVC000001", "stamped"); });
    EXPECT_EQ(line, stamp + " - [Svc][I-SVC000001] NOTICE stamped\n") << "at " << std::fixed << seconds;
  }
  EXPECT_EQ(gTimeFunctionCalls, 0);
}

TEST_F(LogStamp, ALineNotShownReadsNoClock) {
  auto clock = std::make_shared<CountingClock>();
  platform::ScopedClock installed(clock);
  const std::string hidden = writtenBy([] { OBXLogDebug("[Svc]", false, "I-SVC000002", "hidden"); });
  EXPECT_EQ(hidden, "");
  EXPECT_EQ(clock->reads, 0);
  const std::string shown = writtenBy([] { OBXLogDebug("[Svc]", true, "I-SVC000003", "forced"); });
  EXPECT_NE(shown.find("[I-SVC000003] DEBUG forced"), std::string::npos) << shown;
  EXPECT_EQ(clock->reads, 1);
}
