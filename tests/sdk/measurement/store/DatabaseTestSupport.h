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

class DatabaseTest : public StoreFixture {
 protected:
  void SetUp() override {
    database = TLMDatabase::initWithDatabasePath(dir.file(kTLMDatabaseFileName), settings, &monitor);
    ASSERT_TRUE(database) << "the store did not open:" << whatWasReported();
  }
  // A failed test says what the store reported, and also the last error a call gave and the
  // connection's last message (one that failed to open has said so in its set-up).
  void TearDown() override {
    if (!HasFailure() || !database) return;
    const std::string last = error.domain.empty() ? std::string() : "\n  last error: " + error.description;
    ADD_FAILURE() << "what the store reported:" << whatWasReported() << last
                  << testsupport::lastSQLiteMessage(store().lastErrorMessage());
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

  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>(1700000000.0);
  platform::ScopedClock scopedClock{clock};
  std::shared_ptr<TLMStoreDefaultSettings> settings = std::make_shared<TLMStoreDefaultSettings>();
  std::unique_ptr<TLMDatabase> database;
  platform::Error error;
};
