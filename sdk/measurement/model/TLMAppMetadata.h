// The index and time span of the last upload bundle.
#pragma once

#include <cstdint>
#include <optional>

class TLMAppMetadata {
 public:
  // Empty (after warning 4000) for a negative index.
  static std::optional<TLMAppMetadata> initWithLastBundleIndex(std::int32_t lastBundleIndex,
                                                               double lastBundleStartTimestamp,
                                                               double lastBundleEndTimestamp);

  std::int32_t lastBundleIndex() const { return lastBundleIndex_; }
  // Wraps to 0 (with warning 4001) at the 32-bit maximum.
  void incrementLastBundleIndex();
  double lastBundleStartTimestamp() const { return lastBundleStartTimestamp_; }
  void setLastBundleStartTimestamp(double t) { lastBundleStartTimestamp_ = t; }
  double lastBundleEndTimestamp() const { return lastBundleEndTimestamp_; }
  void setLastBundleEndTimestamp(double t) { lastBundleEndTimestamp_ = t; }

 private:
  TLMAppMetadata(std::int32_t index, double start, double end)
      : lastBundleIndex_(index), lastBundleStartTimestamp_(start), lastBundleEndTimestamp_(end) {}

  std::int32_t lastBundleIndex_;
  double lastBundleStartTimestamp_;
  double lastBundleEndTimestamp_;
};
