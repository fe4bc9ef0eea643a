// The console monitor (in force until the engine installs its own) writes its error lines as
// every line of the SDK's, and a line that comes over and over is held back as the others are.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "StandardError.h"
#include "dispatch/Testing.h"
#include "measurement/model/TLMMonitor.h"
#include "obx/OBXLogger.h"

TEST(ConsoleMonitor, ALineComingOverAndOverIsHeldBackInTheSDKsFormat) {
  OBXLoggerResetForTesting();
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  std::vector<std::string> lines;
  OBXLogSink previous = OBXLoggerSetSink([&](const OBXLogLine& line) { lines.push_back(line.message); });
  TLMConsoleMonitor monitor;
  const std::string written = testsupport::standardErrorOf([&] {
    for (int i = 0; i < 100; ++i) {
      monitor.logWithLevel(1, 23149, "No folder for the store", platform::Value(std::int64_t{i}));
      monitor.logWithLevel(4, 23150, "A warning it does not write");
    }
  });
  EXPECT_NE(written.find(" - [Cindervale/Analytics][I-ACS023149] ERROR No folder for the store: 0\n"), std::string::npos)
      << written;
  EXPECT_EQ(lines.size(), 5u);
  clock->advance(1);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines.back(), "No folder for the store: 99 (and 94 more like it in the last second)");
  OBXLoggerSetSink(std::move(previous));
  OBXLoggerResetForTesting();
}
