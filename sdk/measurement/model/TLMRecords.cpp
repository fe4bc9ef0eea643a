#include "measurement/model/TLMAppMetadata.h"
#include "measurement/model/TLMDailyCounts.h"
#include "measurement/model/TLMDataTypeValidator.h"
#include "measurement/model/TLMEventAggregates.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMUserAttribute.h"

namespace {

constexpr std::int32_t kMaxCount = 2147483647;

// Grows a counter by one; at the maximum it becomes 0 and `code` is logged.
void incrementWrapping(std::int32_t& counter, std::int64_t code, const char* message) {
  if (counter >= kMaxCount) {
    counter = 0;
    TLMMeasurement::monitor()->logWithLevel(4, code, message);
    return;
  }
  ++counter;
}

// Grows a daily counter by `by` in unsigned arithmetic, so that it wraps instead of overflowing.
void addWrapping(std::int32_t& counter, std::uint32_t by) {
  counter = static_cast<std::int32_t>(static_cast<std::uint32_t>(counter) + by);
}

}  // namespace

std::optional<TLMUserAttribute> TLMUserAttribute::initWithOrigin(const std::string& origin,
                                                                 const std::string& name,
                                                                 const TLMValue& value,
                                                                 double lastSetTimestamp) {
  if (!TLMDataTypeValidator::isValidInternalUserAttributeName(TLMObject(name))) return std::nullopt;
  if (!TLMDataTypeValidator::isValidInternalUserAttributeValue(TLMObject(value), name)) {
    return std::nullopt;
  }
  return TLMUserAttribute(origin, name, value, lastSetTimestamp);
}

bool TLMUserAttribute::isPublic() const { return !name_.empty() && name_[0] != '_'; }

std::optional<TLMEventAggregates> TLMEventAggregates::initWithName(
    const std::string& name, std::int32_t lifetimeCount, std::int32_t currentBundleCount,
    std::int32_t currentSessionCount, double lastFireTimestamp) {
  if (!TLMDataTypeValidator::isValidInternalEventName(TLMObject(name))) return std::nullopt;
  if (lifetimeCount < 0 || currentBundleCount < 0 || currentSessionCount < 0) {
    TLMMeasurement::monitor()->logWithLevel(
        4, 17000, "Failed to create event aggregates object. Received negative count.");
    return std::nullopt;
  }
  TLMEventAggregates out;
  out.name_ = name;
  out.lifetimeCount_ = lifetimeCount;
  out.currentBundleCount_ = currentBundleCount;
  out.currentSessionCount_ = currentSessionCount;
  out.lastFireTimestamp_ = lastFireTimestamp;
  return out;
}

void TLMEventAggregates::incrementLifetimeCount() {
  incrementWrapping(lifetimeCount_, 17001, "Lifetime count overflow. Lifetime count reset to 0.");
}

void TLMEventAggregates::incrementCurrentBundleCount() {
  incrementWrapping(currentBundleCount_, 17002, "Bundle count overflow. Bundle count reset to 0.");
}

void TLMEventAggregates::incrementCurrentSessionCount() {
  incrementWrapping(currentSessionCount_, 17003,
                    "Session count overflow. Session count reset to 0.");
}

std::optional<TLMAppMetadata> TLMAppMetadata::initWithLastBundleIndex(
    std::int32_t lastBundleIndex, double lastBundleStartTimestamp, double lastBundleEndTimestamp) {
  if (lastBundleIndex < 0) {
    TLMMeasurement::monitor()->logWithLevel(
        4, 4000, "Failed to create app metadata object. Received negative last bundle index.");
    return std::nullopt;
  }
  return TLMAppMetadata(lastBundleIndex, lastBundleStartTimestamp, lastBundleEndTimestamp);
}

void TLMAppMetadata::incrementLastBundleIndex() {
  incrementWrapping(lastBundleIndex_, 4001, "Bundle index overflow. Bundle index reset to 0.");
}

void TLMDailyCounts::incrementCountsForCurrentDay(std::int32_t day, bool isPublicEvent,
                                                  bool isConversion) {
  if (day != day_) {
    *this = TLMDailyCounts(day, isConversion ? 1 : 0, 1, isPublicEvent ? 1 : 0, 0, 0);
    return;
  }
  addWrapping(allEventsCount_, 1);
  addWrapping(publicEventsCount_, isPublicEvent ? 1 : 0);
  addWrapping(conversionsCount_, isConversion ? 1 : 0);
}

void TLMDailyCounts::incrementErrorEventsCountForCurrentDay(std::int32_t day) {
  if (day != day_) {
    *this = TLMDailyCounts(day, 0, 1, 0, 1, 0);
    return;
  }
  addWrapping(allEventsCount_, 1);
  addWrapping(errorEventsCount_, 1);
}

void TLMDailyCounts::incrementRealtimeCountsForCurrentDay(std::int32_t day) {
  if (day != day_) {
    *this = TLMDailyCounts(day, 0, 0, 0, 0, 1);
    return;
  }
  addWrapping(realtimeCount_, 1);
}

void TLMDailyCounts::decrementAllEventsCount() {
  if (allEventsCount_ > 0) --allEventsCount_;
}

void TLMDailyCounts::resetWithNewDay(std::int32_t day) { *this = TLMDailyCounts(day, 0, 0, 0, 0, 0); }
