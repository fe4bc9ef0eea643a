#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "dispatch/Testing.h"
#include "foundation/Exception.h"
#include "foundation/ProcessInfo.h"
#include "foundation/Sandbox.h"
#include "foundation/UserDefaults.h"
#include "measurement/engine/TLMDiagnosticMonitor.h"
#include "measurement/model/TLMRecordingMonitor.h"
#include "measurement/model/TLMUtil.h"
#include "obx/OBXLogger.h"

namespace {

using platform::Value;
using M = TLMDiagnosticMonitor;

struct ConsoleLine {
  std::string message;
  std::string tag;
  std::int64_t code;
  int level;
};

class RecordingLogger : public TLMLogging {
 public:
  void logMessage(const std::string& message, const std::string& tag, std::int64_t code,
                  int level) override {
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back({message, tag, code, level});
  }
  std::vector<ConsoleLine> copy() {
    std::lock_guard<std::mutex> lock(mutex);
    return lines;
  }
  std::mutex mutex;
  std::vector<ConsoleLine> lines;
};

TEST(MonitorContextEncoding, Table) {
  const std::int64_t min = std::numeric_limits<std::int64_t>::min();
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  const struct {
    Value context;
    const char* expected;
  } cases[] = {
      {Value(), ""},
      {Value("secret user text"), "-"},
      {Value(""), "-"},
      {Value(0), "0"},
      {Value(5), "5"},
      {Value(99), "99"},
      {Value(-99), "-99"},
      {Value(100), "100...999"},
      {Value(-100), "-999...-100"},
      {Value(1234), "1000...9999"},
      {Value(999), "100...999"},
      {Value(1000), "1000...9999"},
      {Value(std::int64_t{999999999999999999}), "100000000000000000...999999999999999999"},
      {Value(std::int64_t{1000000000000000000}), "1000000000000000000...9999999999999999999"},
      {Value(std::int64_t{-999999999999999999}), "-999999999999999999...-100000000000000000"},
      {Value(std::int64_t{-1000000000000000000}), "-9999999999999999999...-1000000000000000000"},
      {Value(max), "1000000000000000000...9999999999999999999"},
      {Value(min), "-9999999999999999999...-1000000000000000000"},
      {Value(std::numeric_limits<std::uint64_t>::max()), "10000000000000000000...99999999999999999999"},
      {Value(true), "1"},
      // A floating-point value is an integer only when whole and within the 64-bit range.
      {Value(5.0), "5"},
      {Value(-0.0), "0"},
      {Value(1234.0), "1000...9999"},
      {Value(-9223372036854775808.0), "-9999999999999999999...-1000000000000000000"},
      {Value(9223372036854774784.0), "1000000000000000000...9999999999999999999"},
      {Value(9223372036854775808.0), "?"},
      {Value(-9223372036854777856.0), "?"},
      {Value(1e300), "?"},
      {Value(5.5), "?"},
      {Value(-0.5), "?"},
      {Value(1234.9), "?"},
      {Value(-99.9), "?"},
      {Value(std::numeric_limits<double>::infinity()), "?"},
      {Value(-std::numeric_limits<double>::infinity()), "?"},
      {Value(std::nan("")), "?"},
      {Value::date(0), "?"},
      {Value::array({Value(1)}), "?"},
      {Value::object(std::make_shared<platform::Error>("some.domain", 3, "text")), "some.domain"},
      {Value::object(std::make_shared<platform::Error>("", 3, "text")), "-"},
      {Value::object(std::make_shared<platform::Exception>("NSRangeException", "index 4")), "NSRangeException"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(M::encodedStringWithContextObject(c.context), c.expected) << c.context.description();
  }
  EXPECT_EQ(M::encodedStringWithContextArray({Value("a"), Value(), Value(150)}, false), "-,,100...999");
  EXPECT_EQ(M::encodedStringWithContextArray({Value("a"), Value(7)}, true), "-, 7");
  EXPECT_EQ(M::encodedStringWithContextArray({}, true), "");
}

TEST(MonitorContextEncoding, LibrarySymbolOfAnException) {
  const std::vector<std::string> stack = {
      "0   CoreFoundation  0x1 __exceptionPreprocess + 1",
      "1   libobjc.A.dylib 0x2 objc_exception_throw + 2",
      "2   Host            0x3 -[HostView layout] + 3",
      "3   Host            0x4 -[TLMDatabase open] + 4",
      "4   Host            0x5 TLMSomething + 5",
  };
  EXPECT_EQ(M::lastTLMSymbolFromException(stack, "Name"), "-[TLMDatabase open]");
  EXPECT_EQ(M::lastTLMSymbolFromException({stack[0], stack[1], stack[4]}, "Name"), "TLMSomething");
  EXPECT_EQ(M::lastTLMSymbolFromException({stack[0], stack[3]}, "Name"), "Name");  // frames 0-1 skipped
  EXPECT_EQ(M::lastTLMSymbolFromException({stack[0], stack[1], "2 short frame"}, "Name"), "Name");
}

TEST(MonitorLevels, Table) {
  const struct {
    int level;
    bool silent, monitorable;
    const char* text;
    int vendor;
  } rows[] = {
      {0, false, false, "ERROR", 3},   {1, false, true, "ERROR", 3},    {2, true, true, "ERROR", 3},
      {3, false, false, "WARNING", 4}, {4, false, true, "WARNING", 4},  {5, true, true, "WARNING", 4},
      {6, false, false, "NOTICE", 5},  {7, false, false, "DEBUG", 7},   {8, true, true, "", 4},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(M::isSilentLevel(r.level), r.silent) << r.level;
    EXPECT_EQ(M::isMonitorableLevel(r.level), r.monitorable) << r.level;
    EXPECT_EQ(M::logLevelDescriptionFromLogLevel(r.level), r.text) << r.level;
    EXPECT_EQ(M::OBXLoggerLevelFromLogLevel(r.level), r.vendor) << r.level;
  }
  EXPECT_EQ(M::monitoringDataKeyWithMessage("Failed", 1, 80100), "1E_80100:Failed");
  EXPECT_EQ(M::monitoringDataKeyWithMessage("Odd", 4, 7), "1W_7:Odd");
  EXPECT_EQ(M::monitoringDataKeyWithMessage("Odd", 9, 7), "1?_7:Odd");
}

TEST(MonitorConsole, LineAndVendorLogger) {
  const std::vector<Value> contexts = {Value("user@example.com"), Value(1234)};
  EXPECT_EQ(M::stringWithLogMessage("Upload failed", 1, contexts, false),
            "Upload failed: user@example.com, 1234");
  EXPECT_EQ(M::stringWithLogMessage("Upload failed", 1, contexts, true), "Upload failed: -, 1000...9999");
  EXPECT_EQ(M::stringWithLogMessage("", 1, {}, false), "(Message was empty)");
  EXPECT_EQ(M::stringWithLogMessage("Done", 1, {}, true), "Done");

  OBXLoggerResetForTesting();
  std::vector<OBXLogLine> lines;
  OBXLogSink previous = OBXLoggerSetSink([&](const OBXLogLine& line) { lines.push_back(line); });
  OBXSetLoggerLevel(OBXLoggerLevelDebug);
  TLMASLLogger logger;
  logger.logMessage("100% done", "<Tag>", 23125, 1);
  logger.logMessage("debug", "<Tag>", 7, 7);
  OBXLoggerSetSink(previous);
  OBXLoggerResetForTesting();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].messageCode, "I-ACS023125");
  EXPECT_EQ(lines[0].message, "100% done");
  EXPECT_EQ(lines[0].service, "<Tag>");
  EXPECT_EQ(lines[0].level, 3);
  EXPECT_FALSE(lines[0].forced);
  EXPECT_EQ(lines[1].level, 7);
  EXPECT_TRUE(lines[1].forced);
}

class MonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OBXLoggerResetForTesting();
    platform::ProcessInfo::setArguments({"app"});
  }
  void TearDown() override {
    OBXLoggerResetForTesting();
    platform::ProcessInfo::resetForTesting();
  }
  std::shared_ptr<M> make(std::shared_ptr<platform::Queue> on = nullptr) {
    auto monitor = M::initWithLogLevel(6, logger, 80100, on ? on : queue);
    monitor->setRecordingSink(sink);
    return monitor;
  }
  platform::Value stored() { return platform::UserDefaults(kTLMMonitorSuiteName).objectForKey(kTLMMonitorHealthMonitorKey); }

  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>(1700000000.0);
  platform::ScopedClock scopedClock{clock};
  std::shared_ptr<platform::ScriptedRandom> dice = std::make_shared<platform::ScriptedRandom>(std::vector<std::uint64_t>{0});
  platform::ScopedRandom scopedRandom{dice};
  platform::sandbox::ScopedTemporarySandbox sandbox;
  std::shared_ptr<platform::ManualQueue> queue = platform::ManualQueue::create(kTLMMonitorQueueLabel);
  std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
  std::shared_ptr<TLMRecordingMonitor> sink = std::make_shared<TLMRecordingMonitor>();
};

// The sink sees every message; the console only loggable levels; the sample only monitorable ones.
TEST_F(MonitorTest, FiltersByLevel) {
  auto monitor = make();
  for (int level = 0; level <= 8; ++level) monitor->logWithLevel(level, 1000 + level, "message");
  queue->drain();
  EXPECT_EQ(sink->codes(), (std::vector<std::int64_t>{1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008}));
  std::vector<int> printed;
  for (const ConsoleLine& line : logger->copy()) printed.push_back(line.level);
  // Debug lines need the vendor logger at debug level (debug mode).
  EXPECT_EQ(printed, (std::vector<int>{0, 1, 3, 4, 6}));
  clock->advance(86401);
  // Every die says "replace": the last monitorable message (level 8) is kept.
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(86400, 0), "5:1?_80100:message");

  monitor->setDebugModeEnabled(true);
  monitor->setLogTag("<Custom>");
  monitor->logWithLevel(7, 1007, "message");
  queue->drain();
  EXPECT_EQ(logger->copy().back().code, 1007);
  EXPECT_EQ(logger->copy().back().tag, "<Custom>");
}

TEST_F(MonitorTest, SamplesOneMessageUniformlyWithCoarseContexts) {
  auto monitor = make();
  // Dice: the 2nd message replaces the first (0 of 2), the 3rd does not (1 of 3).
  dice = std::make_shared<platform::ScriptedRandom>(std::vector<std::uint64_t>{0, 1});
  platform::ScopedRandom scripted{dice};
  monitor->logWithLevel(1, 1, "first", Value(5));
  queue->drain();
  clock->advance(10);
  monitor->logWithLevel(4, 2, "second", Value("private"), Value(-4321), Value(5.5));
  monitor->logWithLevel(2, 3, "third", Value(150));
  queue->drain();
  // The period counts from the first message.
  clock->advance(86390);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(86400, 0), std::nullopt);
  clock->advance(0.001);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(86400, 0), "3:1W_80100:second:-,-9999...-1000,?");
  EXPECT_TRUE(stored().isNull());  // handed out once
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(86400, 0), std::nullopt);

  // Errors add their monitor contexts; an empty context leaves only population and key.
  monitor->logWithLevel(1, 4, "sql", Value::object(std::make_shared<platform::Error>(
                                          tlm_errorWithCode(3, "failed", "SQLITE_BUSY"))));
  queue->drain();
  clock->advance(86401);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(86400, 0),
            std::string("1:1E_80100:sql:") + kTLMErrorDomain + ",SQLITE_BUSY");
  monitor->logWithLevel(5, 5, "bare");
  queue->drain();
  clock->advance(86401);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(86400, 0), "1:1W_80100:bare");
}

// Lines sampled faster than the sample is written share one write, queued behind them: the
// monitor's queue does not grow with a flood of lines.
TEST_F(MonitorTest, LinesSampledBeforeTheSampleIsWrittenShareOneWrite) {
  auto monitor = make();
  for (int i = 0; i < 3; ++i) monitor->logWithLevel(1, 6, "flood", Value(i));
  for (int i = 0; i < 6; ++i) queue->runNext();  // each line's console write and sample
  EXPECT_TRUE(stored().isNull());
  EXPECT_EQ(queue->pendingCount(), 1u);
  queue->drain();
  EXPECT_FALSE(stored().isNull());
  monitor->logWithLevel(1, 7, "later");
  queue->drain();
  clock->advance(86401);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(86400, 0), "4:1E_80100:later");
}

// A flood faster than lines are written (a host calling setScreenName off the main thread flat
// out) leaves no more than the bound of messages waiting; the rest are dropped, counted, and said
// in one line ahead of the next message let in, at most once a second.
TEST_F(MonitorTest, AFloodLeavesABoundedNumberOfMessagesWaiting) {
  auto monitor = make();
  const auto flood = [&](int count) {
    for (int i = 0; i < count; ++i) monitor->logWithLevel(4, 25025, "off the main thread");
  };
  flood(3 * kTLMMonitorMaxWaitingMessages);
  EXPECT_EQ(queue->pendingCount(), 2u * kTLMMonitorMaxWaitingMessages);  // each its line and its sample
  EXPECT_EQ(sink->count(25025), 3u * kTLMMonitorMaxWaitingMessages);    // the sink sees every one
  queue->drain();
  flood(1);
  queue->drain();
  flood(kTLMMonitorMaxWaitingMessages + 5);
  queue->drain();
  flood(1);  // within the second of the last summary: said later
  queue->drain();
  clock->advance(1);
  flood(1);
  queue->drain();
  std::vector<std::string> summaries;
  std::size_t lines = 0;
  for (const ConsoleLine& line : logger->copy()) {
    if (line.code == 24002) summaries.push_back(line.message);
    lines += line.code == 25025 ? 1 : 0;
  }
  EXPECT_EQ(summaries, (std::vector<std::string>{
                           "Too many diagnostic messages wait to be written. Messages dropped: 2000",
                           "Too many diagnostic messages wait to be written. Messages dropped: 5"}));
  EXPECT_EQ(lines, 2u * kTLMMonitorMaxWaitingMessages + 3);
}

TEST_F(MonitorTest, DispatchOfAPeriodWithoutMessages) {
  auto monitor = make();
  const double now = clock->now();
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(100, 0), std::nullopt);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(100, now - 100), std::nullopt);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(100, now - 100.5), "0:");
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(100, now - 200), "0:");
  // A clock set back behind the last dispatch waits.
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(100, now + 500), std::nullopt);

  // A sample stamped in the future (clock set back since) is kept, not handed out.
  monitor->logWithLevel(1, 1, "m");
  queue->drain();
  clock->setNow(now - 1000);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(100, 0), std::nullopt);
  EXPECT_FALSE(stored().isNull());
}

TEST_F(MonitorTest, SampleOutlivesTheProcessAndInvalidEntriesAreDropped) {
  {
    auto monitor = make();
    monitor->logWithLevel(1, 1, "kept", Value(42));
    queue->drain();
  }
  EXPECT_TRUE(TLMMonitoringSampledData::isValidUserDefaultsArrayEntry(stored()));
  platform::UserDefaults::resetForTesting();  // relaunch
  {
    auto monitor = make();
    monitor->logWithLevel(4, 2, "later");
    dice = std::make_shared<platform::ScriptedRandom>(std::vector<std::uint64_t>{1});
    platform::ScopedRandom scripted{dice};
    queue->drain();
    clock->advance(86401);
    EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(86400, 0), "2:1E_80100:kept:42");
  }
  platform::UserDefaults suite(kTLMMonitorSuiteName);
  for (const Value& bad : {Value::array({Value("c"), Value(1), Value("k")}),
                           Value::array({Value("c"), Value("1"), Value("k"), Value::date(1)}),
                           Value("text")}) {
    suite.setObject(bad, kTLMMonitorHealthMonitorKey);
    auto monitor = make();
    clock->advance(86401);
    EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(86400, 0), std::nullopt) << bad.description();
  }
}

TEST_F(MonitorTest, MigratesTheSampleOutOfTheStandardDefaultsOnce) {
  platform::UserDefaults& standard = platform::UserDefaults::standard();
  platform::UserDefaults suite(kTLMMonitorSuiteName);
  const Value old = Value::array({Value("-"), Value(4), Value("1E_1:old"), Value::date(clock->now() - 90000)});
  standard.setObject(old, kTLMMonitorHealthMonitorKey);
  auto monitor = make();
  EXPECT_EQ(suite.objectForKey(kTLMMonitorHealthMonitorKey), old);
  EXPECT_TRUE(standard.objectForKey(kTLMMonitorHealthMonitorKey).isNull());
  EXPECT_EQ(suite.integerForKey(kTLMMonitorMigrationStateKey), 2);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(86400, 0), "4:1E_1:old:-");

  // Complete: a later value in the standard defaults stays where it is.
  standard.setObject(old, kTLMMonitorHealthMonitorKey);
  make();
  EXPECT_EQ(standard.objectForKey(kTLMMonitorHealthMonitorKey), old);
  EXPECT_TRUE(suite.objectForKey(kTLMMonitorHealthMonitorKey).isNull());

  // Copied but not finished: the suite's own sample wins, the old one is removed.
  const Value own = Value::array({Value(""), Value(1), Value("1W_1:own"), Value::date(clock->now())});
  suite.setObject(own, kTLMMonitorHealthMonitorKey);
  suite.setInteger(0, kTLMMonitorMigrationStateKey);
  make();
  EXPECT_EQ(suite.objectForKey(kTLMMonitorHealthMonitorKey), own);
  EXPECT_TRUE(standard.objectForKey(kTLMMonitorHealthMonitorKey).isNull());
}

TEST_F(MonitorTest, DebugModeFromArgumentsAndStoredFlag) {
  platform::UserDefaults& standard = platform::UserDefaults::standard();
  EXPECT_FALSE(make()->isDebugModeEnabled());
  EXPECT_FALSE(OBXIsLoggableLevel(OBXLoggerLevelDebug));

  for (const char* argument : {"-TLMAnalyticsDebugEnabled", "-CDVAnalyticsDebugEnabled", "-CDVDebugEnabled"}) {
    standard.removeObjectForKey(kTLMMonitorDebugModeKey);
    platform::ProcessInfo::setArguments({"app", argument});
    auto monitor = make();
    EXPECT_TRUE(monitor->isDebugModeEnabled()) << argument;
    EXPECT_EQ(monitor->logLevel(), 7);
    EXPECT_TRUE(OBXIsLoggableLevel(OBXLoggerLevelDebug));
    EXPECT_TRUE(standard.boolForKey(kTLMMonitorDebugModeKey));
  }
  // The stored flag alone switches it on at the next start...
  platform::ProcessInfo::setArguments({"app"});
  EXPECT_TRUE(make()->isDebugModeEnabled());
  // ...and a disabling argument wins over both, removing the flag.
  for (const char* argument : {"-noTLMAnalyticsDebugEnabled", "-noCDVAnalyticsDebugEnabled", "-CDVDebugDisabled"}) {
    standard.setBool(true, kTLMMonitorDebugModeKey);
    platform::ProcessInfo::setArguments({"app", "-TLMAnalyticsDebugEnabled", argument});
    auto monitor = make();
    EXPECT_FALSE(monitor->isDebugModeEnabled()) << argument;
    EXPECT_EQ(monitor->logLevel(), 6);
    EXPECT_FALSE(OBXIsLoggableLevel(OBXLoggerLevelDebug));
    EXPECT_TRUE(standard.objectForKey(kTLMMonitorDebugModeKey).isNull());
  }
  auto monitor = make();
  monitor->setDebugModeEnabled(true);
  monitor->setDebugModeEnabled(false);
  EXPECT_EQ(sink->codes(), (std::vector<std::int64_t>{24000, 24001}));

  // Clearing removes the flag and the sample.
  monitor->setDebugModeEnabled(true);
  monitor->logWithLevel(1, 1, "m");
  queue->drain();
  monitor->clearMonitoringData();
  EXPECT_TRUE(standard.objectForKey(kTLMMonitorDebugModeKey).isNull());
  EXPECT_TRUE(stored().isNull());
  clock->advance(86401);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(86400, 0), std::nullopt);
}

// Several threads log while another switches debug mode and the tag; every monitorable message
// is counted once, in order on the real monitor queue.
TEST_F(MonitorTest, LogsFromSeveralThreads) {
  auto monitor = make(platform::Queue::serial("TLMMonitorQueue"));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&monitor, t] {
      for (int i = 0; i < 50; ++i) monitor->logWithLevel(i % 2 == 0 ? 1 : 3, t, "m", Value(i));
    });
  }
  threads.emplace_back([&monitor] {
    for (int i = 0; i < 50; ++i) {
      monitor->setEncodeContexts(i % 2 == 0);
      monitor->setLogTag(i % 2 == 0 ? "<A>" : "<B>");
      (void)monitor->isDebugModeEnabled();
    }
  });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(86400, 0), std::nullopt);  // flushes
  clock->advance(86401);
  const std::optional<std::string> sample = monitor->monitoringDataForDispatchWithSamplePeriod(86400, 0);
  ASSERT_TRUE(sample);
  EXPECT_EQ(sample->rfind("100:1E_80100:m:", 0), 0u) << *sample;
  EXPECT_EQ(sink->entries().size(), 200u);
  EXPECT_EQ(logger->copy().size(), 200u);
}

}  // namespace
