// The counters of one day that limit how many events, public events, error events, conversions
// and real-time events are logged per day. Each increment names the current day; on a new day the
// counters restart. Counters wrap at the 32-bit maximum.
#pragma once

#include <cstdint>

class TLMDailyCounts {
 public:
  TLMDailyCounts(std::int32_t day, std::int32_t conversionsCount, std::int32_t allEventsCount,
                 std::int32_t publicEventsCount, std::int32_t errorEventsCount,
                 std::int32_t realtimeCount)
      : day_(day),
        conversionsCount_(conversionsCount),
        allEventsCount_(allEventsCount),
        publicEventsCount_(publicEventsCount),
        errorEventsCount_(errorEventsCount),
        realtimeCount_(realtimeCount) {}

  std::int32_t day() const { return day_; }
  std::int32_t conversionsCount() const { return conversionsCount_; }
  std::int32_t allEventsCount() const { return allEventsCount_; }
  std::int32_t publicEventsCount() const { return publicEventsCount_; }
  std::int32_t errorEventsCount() const { return errorEventsCount_; }
  std::int32_t realtimeCount() const { return realtimeCount_; }

  void incrementCountsForCurrentDay(std::int32_t day, bool isPublicEvent, bool isConversion);
  void incrementErrorEventsCountForCurrentDay(std::int32_t day);
  void incrementRealtimeCountsForCurrentDay(std::int32_t day);
  // All events - 1, not below 0.
  void decrementAllEventsCount();
  // Sets the day and zeroes every counter.
  void resetWithNewDay(std::int32_t day);

  friend bool operator==(const TLMDailyCounts&, const TLMDailyCounts&) = default;

 private:
  std::int32_t day_;
  std::int32_t conversionsCount_;
  std::int32_t allEventsCount_;
  std::int32_t publicEventsCount_;
  std::int32_t errorEventsCount_;
  std::int32_t realtimeCount_;
};
