// A fresh measurement database per test, on a manual clock, with helpers to make events and
// bundles.
#pragma once

#include "StoreTestSupport.h"
#include "dispatch/Clock.h"
#include "dispatch/Testing.h"
#include "measurement/model/TLMObject.h"
#include "measurement/store/TLMDatabase.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    database = TLMDatabase::initWithDatabasePath(dir.file(kTLMDatabaseFileName), settings, &monitor);
    ASSERT_TRUE(database) << "the store did not open:" << reported(monitor) << sqliteErrors.since()
                          << testsupport::freeSpace(dir.path());
  }
  // A failed test says what the store reported (a full disk, say): the lines of its monitor, the
  // last error a call gave, SQLite's own messages and the free space left.
  void TearDown() override {
    if (!HasFailure() || !database) return;
    std::string why = reported(monitor);
    if (!error.domain.empty()) why += "\n  last error: " + error.description;
    why += sqliteErrors.since() + lastFailure(*database->sqliteStore()) + testsupport::freeSpace(dir.path());
    ADD_FAILURE() << "what the store reported:" << why;
  }
  TLMSqliteStore& store() { return *database->sqliteStore(); }
  RawDatabase raw() { return RawDatabase(dir.file(kTLMDatabaseFileName)); }

  static TLMEventPtr event(const std::string& name, double timestamp,
                           TLMObjectDictionary parameters = {}, const std::string& origin = "app") {
    TLMEventPtr e = TLMEvent::initWithOrigin(origin, false, name, timestamp, 0, parameters);
    EXPECT_TRUE(e) << name;
    return e;
  }
  static std::shared_ptr<TLMPBMeasurementBundle> bundle(const std::string& appID, std::int64_t endMillis,
                                                        const std::string& padding = "") {
    auto b = TLMPBMeasurementBundle::initWithMessageInfo(nullptr);
    if (!appID.empty()) NANOSetString(*b, TLMPBMeasurementBundleSlot::app_id, appID);
    if (endMillis != 0) NANOSetInt64(*b, TLMPBMeasurementBundleSlot::end_timestamp_millis, endMillis);
    if (!padding.empty()) NANOSetString(*b, TLMPBMeasurementBundleSlot::monitoring_data, padding);
    return b;
  }
  // A bundle whose encoding is exactly `size` bytes.
  static std::shared_ptr<TLMPBMeasurementBundle> bundleOfSize(std::size_t size, std::int64_t endMillis) {
    for (std::size_t pad = 0; pad < size; ++pad) {
      auto b = bundle("1:1:ios:1", endMillis, std::string(pad, 'p'));
      if (b->protoBuffer()->size() == size) return b;
    }
    ADD_FAILURE() << "no bundle of size " << size;
    return nullptr;
  }

  testsupport::SQLiteErrors sqliteErrors;
  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>(1700000000.0);
  platform::ScopedClock scopedClock{clock};
  TempDirectory dir;
  std::shared_ptr<TLMStoreDefaultSettings> settings = std::make_shared<TLMStoreDefaultSettings>();
  TLMStoreRecordingMonitor monitor;
  std::unique_ptr<TLMDatabase> database;
  platform::Error error;
};
