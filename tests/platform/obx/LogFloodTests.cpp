// A line said over and over is written a few times a second, each kind on its own, with the count
// of the lines each written one stands for; what is held back is said when the flood stops; and a
// host that logs now and then sees every line at once. Time is a manual clock's: lines are
// counted, never timed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ForkedChild.h"
#include "dispatch/Clock.h"
#include "dispatch/Testing.h"
#include "obx/OBXLogger.h"

namespace {

struct FloodLine {
  double uptime;  // the clock's when written
  std::string code;
  std::string message;
};

// The lines a written line stands for: itself and the count of " (and N more like it ...)".
std::uint64_t standsFor(const std::string& message) {
  const std::string::size_type at = message.rfind(" (and ");
  if (at == std::string::npos) return 1;
  return 1 + std::stoull(message.substr(at + 6));
}

class LogFloodTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OBXLoggerResetForTesting();
    previous_ = OBXLoggerSetSink([this](const OBXLogLine& line) {
      lines.push_back({clock->uptime(), line.messageCode, line.message});
    });
  }
  void TearDown() override {
    OBXLoggerSetSink(std::move(previous_));
    OBXLoggerResetForTesting();
  }

  std::vector<FloodLine> linesOf(const std::string& code) const {
    std::vector<FloodLine> of;
    for (const FloodLine& line : lines) {
      if (line.code == code) of.push_back(line);
    }
    return of;
  }
  // No second has more than kBurst + 1 written lines of `code`; they stand for `logged` lines.
  void expectBounded(const std::string& code, std::uint64_t logged) const {
    const std::vector<FloodLine> of = linesOf(code);
    std::uint64_t total = 0;
    for (const FloodLine& line : of) {
      total += standsFor(line.message);
      std::size_t inSecond = 0;
      for (const FloodLine& other : of) inSecond += other.uptime >= line.uptime && other.uptime < line.uptime + 1;
      EXPECT_LE(inSecond, kBurst + 1) << code << " from " << line.uptime;
    }
    EXPECT_EQ(total, logged) << code;
  }
  // Bounded, the first kBurst lines the first logged, each standing for itself, then one a second.
  void expectBurstThenOnceASecond(const std::string& code, std::uint64_t logged) const {
    expectBounded(code, logged);
    const std::vector<FloodLine> of = linesOf(code);
    ASSERT_GT(of.size(), kBurst + 1) << code;
    for (std::size_t i = 0; i < of.size(); ++i) {
      if (i < kBurst) {
        EXPECT_EQ(standsFor(of[i].message), 1u) << code << " line " << i << ": " << of[i].message;
      } else if (i > kBurst) {
        EXPECT_GE(of[i].uptime - of[i - 1].uptime, 0.999) << code << " line " << i;
      }
    }
  }

  static constexpr std::size_t kBurst = 5;
  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped{clock};
  std::vector<FloodLine> lines;

 private:
  OBXLogSink previous_;
};

}  // namespace

TEST_F(LogFloodTest, OneKindLoggedFlatOutIsSaidOnceASecondWithTheCountOfTheLinesHeldBack) {
  // 2,000 lines a second for 5 seconds.
  for (int i = 0; i < 10000; ++i) {
    OBXLogError("[Svc]", false, "I-SVC000100", "Event dropped: " + std::to_string(i));
    clock->advance(0.0005);
  }
  EXPECT_LE(lines.size(), kBurst + 5);
  clock->advance(1);  // the flood stopped: what the last second held back is said
  expectBurstThenOnceASecond("I-SVC000100", 10000);
  EXPECT_EQ(lines.size(), kBurst + 6);
  for (std::size_t i = 0; i < kBurst; ++i) EXPECT_EQ(lines[i].message, "Event dropped: " + std::to_string(i));
  EXPECT_EQ(lines.back().message.rfind("Event dropped: 9999 (and ", 0), 0u) << lines.back().message;
}

TEST_F(LogFloodTest, KindsLoggedFlatOutTogetherAreEachSaidOnceASecond) {
  // Three kinds, one of them the same code under another service, interleaved for 3 seconds.
  for (int i = 0; i < 3000; ++i) {
    OBXLogError("[Svc]", false, "I-SVC000101", "error");
    OBXLogWarning("[Svc]", false, "I-SVC000102", "warning");
    OBXLogNotice("[Other]", false, "I-SVC000101", "notice");
    clock->advance(0.001);
  }
  clock->advance(1);
  EXPECT_LE(lines.size(), 3 * (kBurst + 4));
  expectBurstThenOnceASecond("I-SVC000102", 3000);
  // The two kinds of one code: each line of either stands for its own kind's lines.
  std::uint64_t error = 0;
  std::uint64_t notice = 0;
  for (const FloodLine& line : linesOf("I-SVC000101")) {
    (line.message.rfind("error", 0) == 0 ? error : notice) += standsFor(line.message);
  }
  EXPECT_EQ(error, 3000u);
  EXPECT_EQ(notice, 3000u);
}

TEST_F(LogFloodTest, WhatIsHeldBackIsSaidWhenTheFloodStopsAndOnlyOnce) {
  for (int i = 0; i < 100; ++i) OBXLogWarning("[Svc]", false, "I-SVC000103", "line " + std::to_string(i));
  ASSERT_EQ(lines.size(), kBurst);
  clock->advance(0.5);
  EXPECT_EQ(lines.size(), kBurst);  // held until the kind has earned a line
  clock->advance(0.5);
  ASSERT_EQ(lines.size(), kBurst + 1);  // by the timer: no further line of the kind came
  EXPECT_EQ(lines.back().message, "line 99 (and 94 more like it in the last second)");
  clock->advance(10);
  EXPECT_EQ(lines.size(), kBurst + 1);

  // Written at once on demand (the app's end); a lone held line as it was logged.
  lines.clear();
  for (std::size_t i = 0; i <= kBurst; ++i) OBXLogWarning("[Svc]", false, "I-SVC000103", "after " + std::to_string(i));
  ASSERT_EQ(lines.size(), kBurst);
  OBXLoggerWriteHeldLines();
  ASSERT_EQ(lines.size(), kBurst + 1);
  EXPECT_EQ(lines.back().message, "after 5");
  clock->advance(5);
  EXPECT_EQ(lines.size(), kBurst + 1);
}

TEST_F(LogFloodTest, LinesLoggedNowAndThenAreWrittenAtOnceBesideAFlood) {
  // A kind floods throughout: past its first lines, it is held back.
  const auto flood = [] {
    for (int i = 0; i < 500; ++i) OBXLogError("[Svc]", false, "I-SVC000114", "flood");
  };
  flood();
  EXPECT_EQ(linesOf("I-SVC000114").size(), kBurst);
  // Lines of several kinds, back to back, a few of one kind together, and each kind again a
  // second or more later: each written as it is logged.
  const std::vector<std::string> codes = {"I-SVC000110", "I-SVC000111", "I-SVC000112", "I-SVC000113"};
  std::map<std::string, std::size_t> logged;
  for (int round = 0; round < 6; ++round) {
    for (const std::string& code : codes) {
      for (int i = 0; i < (code == codes[0] && round == 0 ? 5 : 1); ++i) {
        OBXLogWarning("[Svc]", false, code, "now and then");
        ASSERT_EQ(linesOf(code).size(), ++logged[code]) << code << " in round " << round;
      }
    }
    flood();
    clock->advance(round % 2 == 0 ? 1.0 : 3.5);
  }
  // The first line of a kind never waits.
  const std::size_t before = lines.size();
  OBXLogError("[Svc]", false, "I-SVC000115", "new kind");
  ASSERT_EQ(lines.size(), before + 1);
  EXPECT_EQ(lines.back().code, "I-SVC000115");
  // Lines shown only when asked for (info, debug) are never held.
  OBXSetLoggerLevel(OBXLoggerLevelDebug);
  for (int i = 0; i < 50; ++i) OBXLogDebug("[Svc]", false, "I-SVC000116", "debug");
  for (int i = 0; i < 50; ++i) OBXLogInfo("[Svc]", false, "I-SVC000117", "info");
  EXPECT_EQ(linesOf("I-SVC000116").size(), 50u);
  EXPECT_EQ(linesOf("I-SVC000117").size(), 50u);
  flood();
  OBXLoggerWriteHeldLines();
  expectBounded("I-SVC000114", 500 * 8);
}

// Threads logging two kinds together while the clock moves (its timers firing on yet another
// thread): every line logged is counted in one written line, none twice.
TEST_F(LogFloodTest, ThreadsLoggingTogetherLoseNoLineOfTheCount) {
  std::mutex sinkMutex;
  std::map<std::string, std::uint64_t> counted;
  OBXLoggerSetSink([&](const OBXLogLine& line) {
    std::lock_guard lock(sinkMutex);
    counted[line.messageCode] += standsFor(line.message);
  });
  constexpr int kThreads = 4;
  constexpr int kLines = 2000;
  std::atomic<int> done{0};
  std::thread time([&] {
    while (done.load() < kThreads) clock->advance(0.01);
  });
  std::vector<std::thread> loggers;
  for (int t = 0; t < kThreads; ++t) {
    loggers.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) {
        OBXLogError("[Svc]", false, t % 2 == 0 ? "I-SVC000130" : "I-SVC000131", "from " + std::to_string(t));
      }
      ++done;
    });
  }
  for (std::thread& logger : loggers) logger.join();
  time.join();
  OBXLoggerWriteHeldLines();
  std::lock_guard lock(sinkMutex);
  EXPECT_EQ(counted["I-SVC000130"], std::uint64_t{kThreads / 2 * kLines});
  EXPECT_EQ(counted["I-SVC000131"], std::uint64_t{kThreads / 2 * kLines});
}

TEST_F(LogFloodTest, AForkedChildHoldsNothingOfItsParentsAndSaysItsOwnAtExit) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer takes the locks the clock's fork handler makes anew in a child as still held";
#endif
  for (std::size_t i = 0; i <= kBurst; ++i) OBXLogError("[Svc]", false, "I-SVC000120", "parent " + std::to_string(i));
  ASSERT_EQ(lines.size(), kBurst);
  std::FILE* written = std::tmpfile();
  ASSERT_NE(written, nullptr);
  const testsupport::ChildEnd end = testsupport::runInChild(
      [&] {
        OBXLoggerSetSink(nullptr);
        if (::dup2(::fileno(written), 2) != 2) _exit(2);
        OBXLoggerWriteHeldLines();  // nothing of the parent's
        // A kind new to the child: its first lines at once, the last held until the exit.
        for (std::size_t i = 0; i <= kBurst; ++i) OBXLogError("[Svc]", false, "I-SVC000120", "child " + std::to_string(i));
        std::exit(0);
      },
      std::chrono::seconds(30));
  std::string text;
  std::rewind(written);
  for (int c; (c = std::fgetc(written)) != EOF;) text += static_cast<char>(c);
  std::fclose(written);
  EXPECT_TRUE(end.exitedWith(0)) << "status " << end.status << ", standard error:\n" << text;
  EXPECT_EQ(text.find("parent"), std::string::npos) << text;
  std::size_t at = 0;
  for (std::size_t i = 0; i <= kBurst; ++i) {
    at = text.find("] ERROR child " + std::to_string(i) + "\n", at);
    ASSERT_NE(at, std::string::npos) << "child " << i << " in:\n" << text;
  }
  OBXLoggerWriteHeldLines();  // the parent's own is still held
  ASSERT_EQ(lines.size(), kBurst + 1);
  EXPECT_EQ(lines.back().message, "parent 5");
}
