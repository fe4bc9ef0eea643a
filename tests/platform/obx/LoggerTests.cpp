#include <gtest/gtest.h>

#include <vector>

#include "obx/OBXLogger.h"

namespace {

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OBXLoggerResetForTesting();
    previous_ = OBXLoggerSetSink([this](const OBXLogLine& line) { lines.push_back(line); });
  }
  void TearDown() override {
    OBXLoggerSetSink(std::move(previous_));
    OBXLoggerResetForTesting();
  }
  std::vector<std::string> codes() const {
    std::vector<std::string> result;
    for (const auto& line : lines) result.push_back(line.messageCode);
    return result;
  }
  std::vector<OBXLogLine> lines;

 private:
  OBXLogSink previous_;
};

}  // namespace

TEST_F(LoggerTest, WritesLinesUpToTheMaximumLevelWhichStartsAtNotice) {
  EXPECT_TRUE(OBXIsLoggableLevel(OBXLoggerLevelNotice));
  EXPECT_FALSE(OBXIsLoggableLevel(OBXLoggerLevelInfo));
  OBXLogError("[Svc]", false, "I-SVC000001", "error");
  OBXLogWarning("[Svc]", false, "I-SVC000002", "warning");
  OBXLogNotice("[Svc]", false, "I-SVC000003", "notice");
  OBXLogInfo("[Svc]", false, "I-SVC000004", "info");
  OBXLogDebug("[Svc]", false, "I-SVC000005", "debug");
  EXPECT_EQ(codes(), (std::vector<std::string>{"I-SVC000001", "I-SVC000002", "I-SVC000003"}));

  lines.clear();
  OBXSetLoggerLevel(OBXLoggerLevelError);
  OBXLogBasic(OBXLoggerLevelWarning, "[Svc]", false, "I-SVC000006", "hidden");
  OBXLogBasic(OBXLoggerLevelError, "[Svc]", false, "I-SVC000007", "100% shown");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, OBXLoggerLevelError);
  EXPECT_EQ(lines[0].service, "[Svc]");
  EXPECT_EQ(lines[0].message, "100% shown");
  EXPECT_FALSE(lines[0].forced);

  lines.clear();
  OBXSetLoggerLevel(OBXLoggerLevelDebug);
  EXPECT_TRUE(OBXIsLoggableLevel(OBXLoggerLevelDebug));
  OBXLogDebug("[Svc]", false, "I-SVC000008", "debug now");
  EXPECT_EQ(codes(), (std::vector<std::string>{"I-SVC000008"}));
}

TEST_F(LoggerTest, InvalidLevelsAreRefusedWithAnErrorLine) {
  OBXSetLoggerLevel(OBXLoggerLevelWarning);
  OBXSetLoggerLevel(9);
  OBXSetLoggerLevel(0);
  EXPECT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, OBXLoggerLevelError);
  EXPECT_EQ(lines[0].message, "Invalid logger level, 9");
  EXPECT_FALSE(OBXIsLoggableLevel(OBXLoggerLevelNotice));  // the valid setting stays
  EXPECT_TRUE(OBXIsLoggableLevel(OBXLoggerLevelWarning));
}

TEST_F(LoggerTest, ForcedLinesAndForcedDebugPassTheFilter) {
  OBXSetLoggerLevel(OBXLoggerLevelError);
  OBXLogDebug("[Svc]", true, "I-SVC000010", "forced");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].forced);
  EXPECT_EQ(lines[0].level, OBXLoggerLevelDebug);

  EXPECT_FALSE(OBXLoggerIsDebugForced());
  OBXLoggerForceDebug();
  EXPECT_TRUE(OBXLoggerIsDebugForced());
  EXPECT_TRUE(OBXIsLoggableLevel(OBXLoggerLevelDebug));
  OBXSetLoggerLevel(OBXLoggerLevelError);  // forced debug wins over a lower level
  OBXLogDebug("[Svc]", false, "I-SVC000011", "debug while forced");
  EXPECT_EQ(lines.size(), 2u);
}

TEST_F(LoggerTest, RecordsVersionAndSwitchesAndResetRestoresDefaults) {
  OBXLoggerRegisterVersion("6.4.0");
  OBXLoggerInitializeASL();
  OBXLoggerEnableSTDERR();
  OBXSetLoggerLevel(OBXLoggerLevelDebug);
  EXPECT_EQ(OBXLoggerRegisteredVersion(), "6.4.0");
  EXPECT_TRUE(OBXLoggerIsSTDERREnabled());
  OBXLoggerResetForTesting();
  EXPECT_EQ(OBXLoggerRegisteredVersion(), "");
  EXPECT_FALSE(OBXLoggerIsSTDERREnabled());
  EXPECT_FALSE(OBXIsLoggableLevel(OBXLoggerLevelInfo));

  // A replaced sink no longer receives lines; the previous one is handed back.
  std::vector<OBXLogLine> other;
  OBXLogSink mine = OBXLoggerSetSink([&](const OBXLogLine& line) { other.push_back(line); });
  EXPECT_TRUE(static_cast<bool>(mine));
  OBXLogError("[Svc]", false, "I-SVC000012", "to the other sink");
  OBXLoggerSetSink(std::move(mine));
  EXPECT_EQ(other.size(), 1u);
  EXPECT_TRUE(lines.empty());
}
