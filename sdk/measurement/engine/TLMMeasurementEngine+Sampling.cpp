// Event sampling at bundling time: events whose name has a sampling rate N are kept with
// probability 1/N and marked with their rate ("_sr"); the first event of a name in a day is
// always kept and marked exempt ("_efs"); the extra-parameter events ("_ep") of a dropped complex
// event go with it.
#include <cmath>
#include <limits>
#include <map>

#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/engine/TLMRemoteConfig.h"
#include "measurement/model/TLMFormatting.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/store/TLMDatabase.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

namespace {

using ParamSlot = TLMPBEventParamSlot;
using EventSlot = TLMPBEventSlot;

std::vector<std::shared_ptr<TLMPBEventParam>> parametersOf(const TLMPBEvent& event) {
  return NANOGetArray<TLMPBEventParam>(event, EventSlot::params)
      .value_or(std::vector<std::shared_ptr<TLMPBEventParam>>{});
}

bool hasProtoParameter(const std::vector<std::shared_ptr<TLMPBEventParam>>& parameters,
                       const std::string& name) {
  for (const auto& parameter : parameters) {
    if (NANOGetString(*parameter, ParamSlot::name).value_or("") == name) {
      tlm_monitor()->logWithLevel(4, 23156, "Event parameter already exists. Parameter name",
                                  platform::Value(TLMFormattedParameterName(name)));
      return true;
    }
  }
  return false;
}

void addIntParameter(TLMPBEvent& event, const std::string& name, std::int64_t value, std::int64_t failureCode,
                     const char* failureMessage) {
  auto parameters = parametersOf(event);
  if (hasProtoParameter(parameters, name)) return;
  auto parameter = TLMPBEventParam::initWithMessageInfo(nullptr);
  if (!parameter) {
    tlm_monitor()->logWithLevel(1, failureCode, failureMessage);
    return;
  }
  NANOSetString(*parameter, ParamSlot::name, name);
  NANOSetInt64(*parameter, ParamSlot::int_value, value);
  parameters.push_back(parameter);
  NANOSetArray(event, EventSlot::params, parameters);
}

}  // namespace

void TLMAddSamplingParam(TLMPBEvent& event, std::int32_t rate) {
  addIntParameter(event, "_sr", rate, 23153, "Failed to create sampling rate parameter");
}

void TLMAddExemptFromSamplingParam(TLMPBEvent& event) {
  addIntParameter(event, "_efs", 1, 23158, "Failed to create exempt from sampling parameter");
}

bool TLMMeasurementEngine::canEventBeSampled(const TLMPBEvent& event) {
  TLMRemoteConfig& config = this->config();
  const std::string name = NANOGetString(event, EventSlot::name).value_or("");
  if (!config.isEventSamplingEnabled() || !config.eventHasSamplingRate(name)) return false;
  if (config.samplingRateForEvent(name) > 1) return true;
  tlm_monitor()->logWithLevel(4, 23154, "Invalid sampling rate provided");
  return false;
}

bool TLMMeasurementEngine::isEventBundledAfterRoll(std::uint32_t rate) {
  auto dice = random_ ? random_ : platform::Random::current();
  return dice->uniform(rate) == 0;
}

std::optional<std::vector<std::shared_ptr<TLMPBEvent>>> TLMMeasurementEngine::sampleEvents(
    const std::vector<std::shared_ptr<TLMPBEvent>>& events, platform::Error* error) {
  TLMRemoteConfig& config = this->config();
  platform::Error queryError;
  auto all = database_ ? database_->allEventAggregates(&queryError) : std::nullopt;
  if (!all) {
    tlm_monitor()->logWithLevel(1, 23157, "Unable to query all event aggregates for cache. error",
                                tlm_errorText(queryError));
    if (error != nullptr) *error = queryError;
    return std::nullopt;
  }
  std::map<std::string, TLMEventAggregates> cache;
  for (auto& aggregates : *all) {
    if (!aggregates.name().empty()) cache.emplace(aggregates.name(), aggregates);
  }
  const double offsetSeconds = config.analyticsAccountTimeZoneOffsetMinutes() * 60.0;
  auto dayOf = [offsetSeconds](double seconds) {
    const double day = std::trunc((seconds + offsetSeconds) / 86400.0);
    return static_cast<std::int32_t>(std::clamp(day, double(std::numeric_limits<std::int32_t>::min()),
                                                double(std::numeric_limits<std::int32_t>::max())));
  };

  std::vector<std::shared_ptr<TLMPBEvent>> kept;
  for (const auto& event : events) {
    const std::string name = NANOGetString(*event, EventSlot::name).value_or("");
    if (name.empty()) {
      tlm_monitor()->logWithLevel(1, 23155, "Dropping event at sampling. Event has no name");
      continue;
    }
    std::optional<std::int64_t> eid;
    std::optional<std::string> en;
    for (const auto& parameter : parametersOf(*event)) {
      const std::string parameterName = NANOGetString(*parameter, ParamSlot::name).value_or("");
      if (parameterName == "_eid" && NANOHasField(*parameter, ParamSlot::int_value)) {
        eid = NANOGetInt64(*parameter, ParamSlot::int_value);
      } else if (parameterName == "_en") {
        en = NANOGetString(*parameter, ParamSlot::string_value);
      }
    }
    if (name == "_ep") {
      if (!eid || !en) {
        tlm_monitor()->logWithLevel(1, 23160,
                                    "Missing parameter(s) from an extra param event. Event name, parameters",
                                    platform::Value(TLMFormattedEventName(name)),
                                    platform::Value(static_cast<std::int64_t>(parametersOf(*event).size())));
        continue;
      }
      auto entry = cache.find(*en);
      if (entry != cache.end()) {
        if (entry->second.lastSampledComplexEventID() == eid) continue;
        if (entry->second.lastSamplingRate() >= 2)
          TLMAddSamplingParam(*event, entry->second.lastSamplingRate());
        if (entry->second.lastExemptFromSampling()) TLMAddExemptFromSamplingParam(*event);
      }
      kept.push_back(event);
      continue;
    }
    auto entry = cache.find(name);
    if (entry == cache.end()) {
      auto made = TLMEventAggregates::initWithName(name, 0, 0, 0, 0);
      if (!made) {
        kept.push_back(event);
        continue;
      }
      entry = cache.emplace(name, *made).first;
    }
    TLMEventAggregates& E = entry->second;
    if (!(eid && E.lastSampledComplexEventID() == eid)) {
      E.setLastSampledComplexEventID(std::nullopt);
      E.setLastSamplingRate(1);
      E.setLastExemptFromSampling(false);
    }
    const double t = static_cast<double>(NANOGetInt64(*event, EventSlot::timestamp_millis)) / 1000.0;
    const std::int32_t D = dayOf(t);
    if (!canEventBeSampled(*event)) {
      E.setLastBundledTimestamp(t);
      E.setLastBundledDay(D);
      kept.push_back(event);
      continue;
    }
    const std::int32_t R = config.samplingRateForEvent(name);
    if (isEventBundledAfterRoll(static_cast<std::uint32_t>(R))) {
      E.setLastSamplingRate(R);
      E.setLastSampledComplexEventID(std::nullopt);
      E.setLastBundledTimestamp(t);
      E.setLastBundledDay(D);
      TLMAddSamplingParam(*event, R);
      kept.push_back(event);
      continue;
    }
    bool firstOfDay;
    if (config.isTimeZoneOffsetEnabled()) {
      std::int32_t lastDay = E.lastBundledDay();
      if (lastDay == 0) {
        lastDay =
            dayOf(static_cast<double>(NANOGetInt64(*event, EventSlot::previous_timestamp_millis)) / 1000.0);
      }
      firstOfDay = lastDay != D;
    } else {
      firstOfDay = std::fabs(E.lastBundledTimestamp() - t) >= 86400.0;
    }
    E.setLastSamplingRate(R);
    if (firstOfDay) {
      E.setLastBundledTimestamp(t);
      E.setLastBundledDay(D);
      E.setLastExemptFromSampling(true);
      TLMAddSamplingParam(*event, R);
      TLMAddExemptFromSamplingParam(*event);
      kept.push_back(event);
    } else if (eid) {
      E.setLastSampledComplexEventID(eid);
    }
  }

  for (const auto& [name, cached] : cache) {
    platform::Error readError;
    auto stored = database_->eventAggregatesWithName(name, &readError);
    if (!stored && !readError.domain.empty()) {
      tlm_monitor()->logWithLevel(1, 23151, "Unable to query event aggregates to update database. Name, error",
                                  platform::Value(TLMFormattedEventName(name)), tlm_errorText(readError));
      if (error != nullptr) *error = readError;
      return std::nullopt;
    }
    TLMEventAggregates updated = stored ? *stored : cached;
    if (cached.lastBundledTimestamp() != 0) updated.setLastBundledTimestamp(cached.lastBundledTimestamp());
    updated.setLastSamplingRate(cached.lastSamplingRate());
    updated.setLastSampledComplexEventID(cached.lastSampledComplexEventID());
    updated.setLastExemptFromSampling(cached.lastExemptFromSampling());
    updated.setLastBundledDay(cached.lastBundledDay());
    if (!database_->updateEventAggregates(updated, &readError)) {
      tlm_monitor()->logWithLevel(
          1, 23152, "Failed to update event aggregates after removing removing events due to sampling. Error",
          tlm_errorText(readError));
      if (error != nullptr) *error = readError;
      return std::nullopt;
    }
  }
  return kept;
}
