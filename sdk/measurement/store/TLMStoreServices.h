// What the measurement store needs from the rest of the library: the diagnostic monitor, the
// remote settings that bound its tables, the persisted values it keeps between runs, and the
// clock. Each comes through a small interface so the store can be built and tested alone; the
// defaults are the library's compiled defaults.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Error.h"
#include "foundation/Value.h"

// Error domain of the measurement library.
inline constexpr const char* kTLMStoreErrorDomain = "com.ombrix.qpx.measurement.ErrorDomain";
// User-info key of the monitor context carried by SQLite failures.
inline constexpr const char* kTLMStoreMonitorContextKey = "TLMMonitorContext";

// Store error codes.
enum TLMStoreErrorCode : int {
  TLMStoreErrorBadArgument = 1,
  TLMStoreErrorBadState = 2,
  TLMStoreErrorSQLite = 3,
};

// Fills `error` (when given) with a measurement error; always returns false.
bool TLMStoreSetError(platform::Error* error, int code, const std::string& description,
                      const std::string& monitorContext = std::string());

// The diagnostic monitor: level 0..7 (0-2 error, 3-5 warning, 6 notice, 7 debug), message code,
// message and up to three context values.
class TLMStoreMonitor {
 public:
  virtual ~TLMStoreMonitor() = default;
  virtual void log(int level, int code, const std::string& message,
                   const std::vector<platform::Value>& context) = 0;
};

// The library-wide monitor (TLMMeasurement::monitor()) behind this interface; the store uses it
// when it is given no monitor of its own.
TLMStoreMonitor* TLMStoreDefaultMonitor();

// A monitor that keeps every line; used by tests.
class TLMStoreRecordingMonitor : public TLMStoreMonitor {
 public:
  struct Line {
    int level;
    int code;
    std::string message;
    std::vector<platform::Value> context;
  };
  void log(int level, int code, const std::string& message,
           const std::vector<platform::Value>& context) override;
  std::vector<Line> lines() const;
  bool contains(int code) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
};

// Remote settings, persisted values and the clock, as the store reads them.
class TLMStoreSettings {
 public:
  virtual ~TLMStoreSettings() = default;
  // "measurement.store.max_stored_events_per_app".
  virtual std::int64_t maxEventsStored() const { return 100000; }
  // Rows of the raw-event metadata table: the library's compiled limit.
  virtual std::int64_t maxRawEventsMetadataStored() const;
  // "measurement.upload.max_queue_time", seconds.
  virtual double maxQueueTime() const { return 2419200; }
  // "measurement.upload.stale_data_deletion_interval", seconds.
  virtual double databaseDeleteStaleBundlesInterval() const { return 86400; }
  // Persisted: time of the last stale-data deletion (seconds since 1970, 0 when never).
  virtual double lastDeleteStaleBundlesTimestamp() const = 0;
  virtual void setLastDeleteStaleBundlesTimestamp(double timestamp) = 0;
  // Persisted: the shift of the device's day boundary, seconds.
  virtual double midnightOffset() const = 0;
  // Current time in seconds since 1970.
  virtual double now() const = 0;
};

// Settings held in memory, with the compiled defaults; every value can be changed (tests, and
// callers that have no persisted configuration yet). Time is the platform clock in force.
class TLMStoreDefaultSettings : public TLMStoreSettings {
 public:
  std::int64_t maxEventsStored() const override { return maxEventsStoredValue; }
  std::int64_t maxRawEventsMetadataStored() const override {
    return maxRawEventsMetadataStoredValue.value_or(TLMStoreSettings::maxRawEventsMetadataStored());
  }
  double maxQueueTime() const override { return maxQueueTimeValue; }
  double databaseDeleteStaleBundlesInterval() const override { return staleIntervalValue; }
  double lastDeleteStaleBundlesTimestamp() const override { return lastDeleteStale; }
  void setLastDeleteStaleBundlesTimestamp(double timestamp) override { lastDeleteStale = timestamp; }
  double midnightOffset() const override { return midnightOffsetValue; }
  double now() const override;

  std::int64_t maxEventsStoredValue = 100000;
  std::optional<std::int64_t> maxRawEventsMetadataStoredValue;  // empty: the compiled limit
  double maxQueueTimeValue = 2419200;
  double staleIntervalValue = 86400;
  double lastDeleteStale = 0;
  double midnightOffsetValue = 0;
};
