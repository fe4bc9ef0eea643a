// For one audience, the times at which each of its sequence filters was true while one bundle is
// built. The audience evaluation seeds it from the stored result, adds event times and sets
// user-property times, and writes it back as the result's sequence entries.
//
// Owned by one bundling pass on the worker queue; no lock.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

// Seconds truncated toward zero; saturates instead of overflowing for absurd times, 0 for NaN.
inline std::int64_t TLMWholeSecondsSaturated(double timestamp) {
  if (!(timestamp == timestamp)) return 0;
  if (timestamp >= 9.2e18) return INT64_MAX;
  if (timestamp <= -9.2e18) return INT64_MIN;
  return static_cast<std::int64_t>(timestamp);
}

class TLMPBSequenceFilterResultTimestamp;

class TLMSequenceTimestampsCache {
 public:
  explicit TLMSequenceTimestampsCache(std::int32_t audienceID) : audienceID_(audienceID) {}

  std::int32_t audienceID() const { return audienceID_; }

  // Appends an event filter's time (seconds since 1970), unless the last kept time falls in the
  // same whole second. A time earlier than the last kept one is logged (42000) and kept.
  void addEventFilterTimestamp(double timestamp, std::int32_t filterID);
  // Replaces a property filter's times with this one (an earlier time is logged, 42001).
  void setUserPropertyTimestamp(double timestamp, std::int32_t filterID);
  // The times of a filter in the order added; empty for an unknown filter.
  std::optional<std::vector<double>> sequenceTimestampsForFilterID(std::int32_t filterID) const;
  // One message per filter in ascending filter-id order, its times sorted ascending in whole
  // seconds (none set for an empty list).
  std::vector<std::shared_ptr<TLMPBSequenceFilterResultTimestamp>> sequenceFilterResultTimestamps()
      const;

  const std::map<std::int32_t, std::vector<double>>& allSequenceTimestampsByFilterID() const {
    return timestampsByFilterID_;
  }

 private:
  std::int32_t audienceID_;
  std::map<std::int32_t, std::vector<double>> timestampsByFilterID_;
};

// The caches of one bundle, by audience id.
using TLMSequenceTimestampsCaches =
    std::map<std::int32_t, std::shared_ptr<TLMSequenceTimestampsCache>>;
