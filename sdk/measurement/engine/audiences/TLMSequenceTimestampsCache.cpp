#include "measurement/engine/audiences/TLMSequenceTimestampsCache.h"

#include <algorithm>

#include "measurement/model/TLMMonitor.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

void TLMSequenceTimestampsCache::addEventFilterTimestamp(double timestamp, std::int32_t filterID) {
  auto& times = timestampsByFilterID_[filterID];
  if (!times.empty()) {
    if (times.back() > timestamp) {
      TLMMeasurement::monitor()->logWithLevel(
          4, 42000, "Adding a sequence timestamp less than the last added timestamp",
          platform::Value(times.back()), platform::Value(timestamp));
    }
    if (TLMWholeSecondsSaturated(times.back()) == TLMWholeSecondsSaturated(timestamp)) return;
  }
  times.push_back(timestamp);
}

void TLMSequenceTimestampsCache::setUserPropertyTimestamp(double timestamp, std::int32_t filterID) {
  auto& times = timestampsByFilterID_[filterID];
  if (!times.empty() && times.back() > timestamp) {
    TLMMeasurement::monitor()->logWithLevel(
        4, 42001, "Setting a sequence timestamp less than the last set timestamp",
        platform::Value(times.back()), platform::Value(timestamp));
  }
  times.assign(1, timestamp);
}

std::optional<std::vector<double>> TLMSequenceTimestampsCache::sequenceTimestampsForFilterID(
    std::int32_t filterID) const {
  auto found = timestampsByFilterID_.find(filterID);
  if (found == timestampsByFilterID_.end()) return std::nullopt;
  return found->second;
}

std::vector<std::shared_ptr<TLMPBSequenceFilterResultTimestamp>>
TLMSequenceTimestampsCache::sequenceFilterResultTimestamps() const {
  std::vector<std::shared_ptr<TLMPBSequenceFilterResultTimestamp>> out;
  for (const auto& [filterID, times] : timestampsByFilterID_) {
    auto entry = TLMPBSequenceFilterResultTimestamp::initWithMessageInfo(nullptr);
    NANOSetInt32(*entry, TLMPBSequenceFilterResultTimestampSlot::filter_id, filterID);
    if (!times.empty()) {
      std::vector<double> sorted = times;
      std::sort(sorted.begin(), sorted.end());
      platform::Array values;
      for (double time : sorted) values.emplace_back(TLMWholeSecondsSaturated(time));
      NANOSetArray(*entry, TLMPBSequenceFilterResultTimestampSlot::eval_timestamps, values);
    }
    out.push_back(std::move(entry));
  }
  return out;
}
