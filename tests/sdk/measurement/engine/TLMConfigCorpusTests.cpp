// Replays the configuration-reply fuzz target's seed corpus: valid configurations and the hostile
// replies (garbage, cut off, a huge length prefix, another app, 100,000-digit numbers, an
// expression that backtracks without end) are each read without a crash, a hang or a setting
// outside its bounds.
#include <gtest/gtest.h>

#include "../../../../sdk/measurement/engine/fuzz/FuzzMeasurementConfigOne.h"
#include "CorpusReplay.h"
#include "foundation/Sandbox.h"
#include "measurement/model/TLMRecordingMonitor.h"

namespace {

TEST(MeasurementConfigFuzzCorpus, SeedsAreReadWithinBounds) {
  platform::sandbox::ScopedTemporarySandbox sandbox;
  TLMScopedRecordingMonitor monitor;
  auto database = TLMDatabase::initWithDatabaseName("ombrix-tally-mark.sql", nullptr, nullptr);
  ASSERT_TRUE(database);
  EXPECT_GE(testsupport::replayCorpus(CONFIG_FUZZ_CORPUS_DIR,
                                      [&](const uint8_t* data, size_t size) {
                                        return fuzzMeasurementConfigOne(*database, data, size);
                                      }),
            9u);
  // The hostile seeds were refused or left unevaluated, and said so.
  EXPECT_TRUE(monitor->has(9009));  // the backtracking expression
  EXPECT_TRUE(monitor->has(8002));  // the 100,000-digit comparison value
}

}  // namespace
