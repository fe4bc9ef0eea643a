// Per event name: how often it occurred (in total, in the current bundle, in the current
// session), when it last occurred, and the engine's sampling bookkeeping. Counters wrap to 0 at
// the 32-bit maximum, with a warning.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

class TLMEventAggregates {
 public:
  // Empty when the name fails the internal event name rules or a count is negative (17000).
  static std::optional<TLMEventAggregates> initWithName(const std::string& name,
                                                        std::int32_t lifetimeCount,
                                                        std::int32_t currentBundleCount,
                                                        std::int32_t currentSessionCount,
                                                        double lastFireTimestamp);

  const std::string& name() const { return name_; }
  void setName(const std::string& name) { name_ = name; }
  std::int32_t lifetimeCount() const { return lifetimeCount_; }
  void setLifetimeCount(std::int32_t count) { lifetimeCount_ = count; }
  std::int32_t currentBundleCount() const { return currentBundleCount_; }
  void setCurrentBundleCount(std::int32_t count) { currentBundleCount_ = count; }
  std::int32_t currentSessionCount() const { return currentSessionCount_; }
  void setCurrentSessionCount(std::int32_t count) { currentSessionCount_ = count; }
  double lastFireTimestamp() const { return lastFireTimestamp_; }
  void setLastFireTimestamp(double t) { lastFireTimestamp_ = t; }
  double lastBundledTimestamp() const { return lastBundledTimestamp_; }
  void setLastBundledTimestamp(double t) { lastBundledTimestamp_ = t; }
  std::int32_t lastBundledDay() const { return lastBundledDay_; }
  void setLastBundledDay(std::int32_t day) { lastBundledDay_ = day; }
  std::int32_t lastSamplingRate() const { return lastSamplingRate_; }
  void setLastSamplingRate(std::int32_t rate) { lastSamplingRate_ = rate; }
  const std::optional<std::int64_t>& lastSampledComplexEventID() const {
    return lastSampledComplexEventID_;
  }
  void setLastSampledComplexEventID(std::optional<std::int64_t> id) { lastSampledComplexEventID_ = id; }
  bool lastExemptFromSampling() const { return lastExemptFromSampling_; }
  void setLastExemptFromSampling(bool exempt) { lastExemptFromSampling_ = exempt; }

  void incrementLifetimeCount();       // 17001 on wrap
  void incrementCurrentBundleCount();  // 17002 on wrap
  void incrementCurrentSessionCount(); // 17003 on wrap

 private:
  TLMEventAggregates() = default;

  std::string name_;
  std::int32_t lifetimeCount_ = 0;
  std::int32_t currentBundleCount_ = 0;
  std::int32_t currentSessionCount_ = 0;
  double lastFireTimestamp_ = 0;
  double lastBundledTimestamp_ = 0;
  std::int32_t lastBundledDay_ = 0;
  std::int32_t lastSamplingRate_ = 1;
  std::optional<std::int64_t> lastSampledComplexEventID_;
  bool lastExemptFromSampling_ = false;
};
