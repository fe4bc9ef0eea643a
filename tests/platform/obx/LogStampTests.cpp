// The time stamp of a log line: UTC worked out without the C library's time functions (they take
// its time-zone lock, which a child made by fork() may find held by a thread it does not have),
// right across the edges of days, months, leap years and 1970, with gmtime_r's digits as far as
// gmtime_r can show a time and a fixed stamp beyond; and a line below the level shown reads no
// clock at all.
//
// This program defines gmtime_r and localtime_r itself, counting the calls (and answering none):
// the C library's are then not used by anything linked here. The tests ask the C library's own
// gmtime_r (the next definition) for the digits to expect.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
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

// What the C library's gmtime_r makes of `seconds` (a whole number), as a log line's stamp; the
// fixed stamp where it cannot show it (or the number is beyond a time_t).
constexpr const char* kNoStamp = "0000-00-00 00:00:00.000";
std::string gmtimeStamp(double seconds) {
  using Gmtime = struct tm* (*)(const time_t*, struct tm*);
  static const auto real = reinterpret_cast<Gmtime>(::dlsym(RTLD_NEXT, "gmtime_r"));
  if (real == nullptr || !(seconds >= -9.2e18 && seconds <= 9.2e18)) return kNoStamp;
  const auto time = static_cast<time_t>(seconds);
  struct tm parts {};
  if (real(&time, &parts) == nullptr) return kNoStamp;
  char text[64];
  std::snprintf(text, sizeof text, "%04lld-%02d-%02d %02d:%02d:%02d.000", static_cast<long long>(parts.tm_year) + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
  return text;
}

// The stamps of log lines written at `moments`, one a line.
std::vector<std::string> stampsAt(platform::ManualClock& clock, const std::vector<double>& moments) {
  std::vector<std::string> stamps;
  constexpr std::size_t kLinesAtOnce = 256;  // their text fits in a pipe's buffer
  for (std::size_t first = 0; first < moments.size(); first += kLinesAtOnce) {
    const std::size_t end = std::min(moments.size(), first + kLinesAtOnce);
    const std::string text = writtenBy([&] {
      for (std::size_t i = first; i < end; ++i) {
        clock.advance(1);  // a line a second: none is held back
        clock.setNow(moments[i]);
        OBXLogNotice("[Svc]", false, "I-SVC000004", "m");
      }
    });
    for (std::size_t start = 0; start < text.size();) {
      const std::size_t stop = text.find(" - [Svc]", start);
      const std::size_t next = text.find('\n', start);
      if (stop == std::string::npos || next == std::string::npos) break;
      stamps.push_back(text.substr(start, stop - start));
      start = next + 1;
    }
  }
  return stamps;
}

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
    clock->advance(1);  // a line a second: none is held back
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

// Far from now: years of 5 digits and more, before year 0, up to the last second gmtime_r shows
// (its year is an int) and past it, and what no time_t holds, or is not a number.
TEST_F(LogStamp, HasGmtimeRsDigitsWhereverItAnswersAndAFixedStampBeyond) {
  const std::vector<std::pair<double, std::string>> named = {
      {971890963199.0, "32767-12-31 23:59:59.000"},
      {971890963200.0, "32768-01-01 00:00:00.000"},  // past a 16-bit year
      {1e12, "33658-09-27 01:46:40.000"},
      {1e15, "31690708-07-05 01:46:40.000"},
      {-62167219200.0, "0000-01-01 00:00:00.000"},
      {-62167219201.0, "-001-12-31 23:59:59.000"},
      {-1e12, "-29719-04-05 22:13:20.000"},
      {std::nan(""), kNoStamp},
      {std::numeric_limits<double>::infinity(), kNoStamp},
      {-std::numeric_limits<double>::infinity(), kNoStamp},
      {9.2e18, kNoStamp},
      {9.3e18, kNoStamp},
      {-9.3e18, kNoStamp},
      {1e300, kNoStamp},
  };
  // The last second gmtime_r shows, either way: a time_t whose year fits an int.
  const auto shown = [](std::int64_t seconds) { return gmtimeStamp(static_cast<double>(seconds)) != kNoStamp; };
  std::int64_t latest = 0;
  std::int64_t earliest = 0;
  for (std::int64_t step = std::int64_t{1} << 61; step > 0; step /= 2) {
    if (shown(latest + step)) latest += step;
    if (shown(earliest - step)) earliest -= step;
  }
  ASSERT_GT(latest, std::int64_t{1} << 55) << "this gmtime_r shows no year beyond 32 bits";
  ASSERT_EQ(gmtimeStamp(static_cast<double>(latest)).substr(0, 11), "2147485547-");
  ASSERT_EQ(gmtimeStamp(static_cast<double>(earliest)).substr(0, 12), "-2147481748-");

  std::vector<double> moments;
  std::vector<std::string> expected;
  for (const auto& [seconds, stamp] : named) {
    moments.push_back(seconds);
    expected.push_back(stamp);
  }
  // The doubles on either side of each end (they are 8 or 16 seconds apart there).
  for (const double edge : {static_cast<double>(latest), static_cast<double>(earliest)}) {
    const double outward = std::nextafter(edge, edge * 2);
    for (const double around : {std::nextafter(edge, 0.0), edge, outward, std::nextafter(outward, edge * 2)}) {
      moments.push_back(around);
      expected.push_back(gmtimeStamp(around));
    }
  }
  // And a spread of whole seconds of every magnitude, either side of 1970.
  std::mt19937_64 draws(20240501);
  std::uniform_real_distribution<double> exponent(0.0, 17.0);
  for (int i = 0; i < 4000; ++i) {
    const double seconds = std::floor(std::pow(10.0, exponent(draws))) * (i % 2 == 0 ? 1 : -1);
    moments.push_back(seconds);
    expected.push_back(gmtimeStamp(seconds));
  }

  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock installed(clock);
  gTimeFunctionCalls = 0;
  const std::vector<std::string> stamps = stampsAt(*clock, moments);
  ASSERT_EQ(stamps.size(), moments.size());
  int wrong = 0;
  for (std::size_t i = 0; i < moments.size(); ++i) {
    if (stamps[i] != expected[i] && ++wrong <= 10) {
      ADD_FAILURE() << "at " << std::fixed << moments[i] << ": " << stamps[i] << ", expected " << expected[i];
    }
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(gTimeFunctionCalls, 0);
}

// A shown line is written whole, every piece in its place, whether it fits the logger's stack
// buffer (1,024 bytes) or not, while another thread writes lines of its own and a third changes
// the level shown.
TEST_F(LogStamp, ALineIsWrittenWholeAtEverySizeAroundItsBufferFromTwoThreads) {
  const std::string alone = writtenBy([] { OBXLogError("[Svc]", false, "I-SVC000005", "m"); });
  ASSERT_FALSE(alone.empty());
  const std::size_t fixed = alone.size() - 1;  // all but the message
  constexpr std::size_t kShortest = 1018;
  constexpr std::size_t kLongest = 1030;
  constexpr int kRounds = 2;
  std::atomic<bool> writing{true};
  const std::string text = writtenBy([&] {
    std::thread levels([&] {
      while (writing.load()) {
        OBXSetLoggerLevel(OBXLoggerLevelDebug);
        OBXSetLoggerLevel(OBXLoggerLevelError);
      }
    });
    std::vector<std::thread> writers;
    for (const char mark : {'a', 'b'}) {
      writers.emplace_back([&, mark] {
        for (int round = 0; round < kRounds; ++round) {
          for (std::size_t length = kShortest; length <= kLongest; ++length) {
            // A code of each length's: four lines of a kind, none held back.
            OBXLogError("[Svc]", false, "I-SVC00" + std::to_string(length), std::string(length - fixed, mark));
          }
        }
      });
    }
    for (auto& writer : writers) writer.join();
    writing = false;
    levels.join();
  });
  std::map<std::pair<char, std::size_t>, int> seen;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = text.substr(start, end + 1 - start);
    const std::size_t message = line.find("[I-SVC00" + std::to_string(line.size()) + "] ERROR ");
    ASSERT_NE(message, std::string::npos) << line;
    const std::string body = line.substr(message + 20, line.size() - message - 21);
    ASSERT_FALSE(body.empty()) << line;
    EXPECT_EQ(body.find_first_not_of(body[0]), std::string::npos) << "a line mixed with another: " << line;
    EXPECT_EQ(line.size(), fixed + body.size()) << line;
    ++seen[{body[0], line.size()}];
  }
  EXPECT_EQ(start, text.size()) << "the output ends inside a line";
  for (const char mark : {'a', 'b'}) {
    for (std::size_t length = kShortest; length <= kLongest; ++length) {
      EXPECT_EQ((seen[{mark, length}]), kRounds) << mark << " lines of " << length << " bytes";
    }
  }
}
