// A line said over and over is written a few times a second, each kind on its own, with the count
// of the lines each written one stands for; what is held back is said when the flood stops; and a
// host that logs now and then sees every line at once. Time is a manual clock's: lines are
// counted, never timed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
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
  // Each written line of `code` after the first comes a second or more after the one before it;
  // all of them stand for `logged` lines.
  void expectOnceASecond(const std::string& code, std::uint64_t logged) const {
    const std::vector<FloodLine> of = linesOf(code);
    ASSERT_FALSE(of.empty()) << code;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < of.size(); ++i) {
      total += standsFor(of[i].message);
      if (i > 0) {
        EXPECT_GE(of[i].uptime - of[i - 1].uptime, 0.999) << code << " line " << i;
      }
    }
    EXPECT_EQ(total, logged) << code;
  }

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
  EXPECT_LE(lines.size(), 6u);
  clock->advance(1);  // the flood stopped: what the last second held back is said
  expectOnceASecond("I-SVC000100", 10000);
  EXPECT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines.front().message, "Event dropped: 0");
  EXPECT_EQ(lines.back().message.rfind("Event dropped: 9999 (and ", 0), 0u) << lines.back().message;
}

TEST_F(LogFloodTest, KindsLoggedFlatOutTogetherAreEachSaidOnceASecond) {
  OBXSetLoggerLevel(OBXLoggerLevelNotice);
  // Three kinds, one of them the same code under another service, interleaved for 3 seconds.
  for (int i = 0; i < 3000; ++i) {
    OBXLogError("[Svc]", false, "I-SVC000101", "error");
    OBXLogWarning("[Svc]", false, "I-SVC000102", "warning");
    OBXLogNotice("[Other]", false, "I-SVC000101", "notice");
    clock->advance(0.001);
  }
  clock->advance(1);
  EXPECT_LE(lines.size(), 3u * 5);
  expectOnceASecond("I-SVC000102", 3000);
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
  ASSERT_EQ(lines.size(), 1u);
  clock->advance(0.5);
  EXPECT_EQ(lines.size(), 1u);  // held until the second has passed
  clock->advance(0.5);
  ASSERT_EQ(lines.size(), 2u);  // by the timer: no further line of the kind came
  EXPECT_EQ(lines[1].message, "line 99 (and 98 more like it in the last second)");
  clock->advance(5);
  EXPECT_EQ(lines.size(), 2u);

  // Written at once on demand (the app's end), a lone held line as it was logged.
  OBXLogWarning("[Svc]", false, "I-SVC000103", "after");
  OBXLogWarning("[Svc]", false, "I-SVC000103", "after, held");
  ASSERT_EQ(lines.size(), 3u);
  OBXLoggerWriteHeldLines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[3].message, "after, held");
  clock->advance(5);
  EXPECT_EQ(lines.size(), 4u);
}

TEST_F(LogFloodTest, AHostLoggingNowAndThenSeesEveryLineAtOnce) {
  // Lines of several kinds, back to back, and each kind again once its second has passed.
  const std::vector<std::string> codes = {"I-SVC000110", "I-SVC000111", "I-SVC000112", "I-SVC000113"};
  std::size_t logged = 0;
  for (int round = 0; round < 5; ++round) {
    for (const std::string& code : codes) {
      OBXLogWarning("[Svc]", false, code, "now and then");
      ++logged;
      ASSERT_EQ(lines.size(), logged) << code << " in round " << round;
    }
    clock->advance(round % 2 == 0 ? 1.0 : 3.5);
  }
  // The first line of a kind never waits, even while another kind floods.
  for (int i = 0; i < 500; ++i) OBXLogError("[Svc]", false, "I-SVC000114", "flood");
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
}

TEST_F(LogFloodTest, AForkedChildHoldsNothingOfItsParentsAndSaysItsOwnAtExit) {
  OBXLogError("[Svc]", false, "I-SVC000120", "parent");
  OBXLogError("[Svc]", false, "I-SVC000120", "parent held");
  ASSERT_EQ(lines.size(), 1u);
  std::FILE* written = std::tmpfile();
  ASSERT_NE(written, nullptr);
  const testsupport::ChildEnd end = testsupport::runInChild(
      [&] {
        OBXLoggerSetSink(nullptr);
        if (::dup2(::fileno(written), 2) != 2) _exit(2);
        OBXLoggerWriteHeldLines();  // nothing of the parent's
        OBXLogError("[Svc]", false, "I-SVC000120", "child");  // at once: a kind new to the child
        OBXLogError("[Svc]", false, "I-SVC000120", "child held");
        std::exit(0);  // says what it holds
      },
      std::chrono::seconds(30));
  EXPECT_TRUE(end.exitedWith(0));
  std::string text;
  std::rewind(written);
  for (int c; (c = std::fgetc(written)) != EOF;) text += static_cast<char>(c);
  std::fclose(written);
  EXPECT_EQ(text.find("parent"), std::string::npos) << text;
  const std::string::size_type child = text.find("] ERROR child\n");
  const std::string::size_type held = text.find("] ERROR child held\n");
  EXPECT_NE(child, std::string::npos) << text;
  EXPECT_NE(held, std::string::npos) << text;
  EXPECT_LT(child, held);
  OBXLoggerWriteHeldLines();  // the parent's own is still held
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].message, "parent held");
}
