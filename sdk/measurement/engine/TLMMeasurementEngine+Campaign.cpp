// Campaign links: a link the app was opened with whose query carries campaign parameters becomes
// the internal event "_cmp", built and handled on the worker queue and never dated before the
// first open. The launch link kept by the life-cycle handler is handled once at the next start.
#include <algorithm>
#include <cstdlib>

#include "measurement/engine/TLMAEU.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/engine/TLMPersistedConfig.h"
#include "measurement/engine/TLMScheduler.h"
#include "measurement/engine/TLMUserDefaults.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMUtil.h"

namespace {

// Query parameter -> event parameter.
constexpr std::pair<const char*, const char*> kCampaignParameters[] = {
    {"aclid", "aclid"},         {"anid", "anid"},     {"utm_campaign", "campaign"},
    {"utm_content", "content"}, {"cp1", "cp1"},       {"oclid", "oclid"},
    {"utm_medium", "medium"},   {"utm_source", "source"}, {"utm_term", "term"},
};
constexpr const char* kRequiredCampaignParameters[] = {"utm_campaign", "oclid", "utm_medium", "utm_source"};

// The query of a URL text: after the first "?", up to a "#".
std::string queryOfURL(const std::string& url) {
  const std::size_t question = url.find('?');
  if (question == std::string::npos) return {};
  const std::size_t hash = url.find('#', question);
  return url.substr(question + 1, hash == std::string::npos ? std::string::npos : hash - question - 1);
}

bool hasNonEmptyString(const platform::Dictionary& parameters, const char* key) {
  const platform::Value* value = parameters.find(key);
  return value != nullptr && value->isString() && !value->stringValue()->empty();
}

}  // namespace

void TLMMeasurementEngine::handleNonFirstOpenEventURL(const std::string& url, double eventTimestampInSeconds) {
  if (scheduler_->workerQueue()->isCurrent()) {
    tlm_monitor()->logWithLevel(1, 23163, "Do not call handleNonFirstOpenOpenURL on the measurement worker queue");
    return;
  }
  handleOpenURL(url, std::nullopt, eventTimestampInSeconds);
}

void TLMMeasurementEngine::handleOpenURL(const std::string& url, std::optional<std::int64_t> clickTimestampInMs,
                                         double eventTimestampInSeconds) {
  if (url.empty()) return;
  handleDebugModeWithURL(url);
  handleDeepLink(url, clickTimestampInMs, eventTimestampInSeconds);
}

void TLMMeasurementEngine::handleDebugModeWithURL(const std::string&) {}

void TLMMeasurementEngine::handleDeepLink(const std::string& url, std::optional<std::int64_t> clickTimestampInMs,
                                          double eventTimestampInSeconds) {
  std::weak_ptr<TLMMeasurementEngine> weak = shared_from_this();
  queueStoreWriteBlock("TLMMeasurement:361", [weak, url, clickTimestampInMs, eventTimestampInSeconds] {
    if (auto self = weak.lock()) self->handleOpenURLOnWorkerQueue(url, clickTimestampInMs, eventTimestampInSeconds);
  });
}

bool TLMMeasurementEngine::isValidCampaignURLParamDictionary(const platform::Dictionary& parameters) {
  return std::any_of(std::begin(kRequiredCampaignParameters), std::end(kRequiredCampaignParameters),
                     [&](const char* key) { return hasNonEmptyString(parameters, key); });
}

void TLMMeasurementEngine::handleOpenURLOnWorkerQueue(const std::string& url,
                                                      std::optional<std::int64_t> clickTimestampInMs,
                                                      double eventTimestampInSeconds) {
  TLMScheduler::checkOnBackgroundThreadWithMethodName("handleOpenURLOnWorkerQueue");
  const platform::Dictionary query = tlm_dictionaryWithHttpArgumentsString(queryOfURL(url));
  if (query.empty()) {
    tlm_monitor()->logWithLevel(7, 23000, "Deep Link Web URL query is empty");
    return;
  }
  if (!isValidCampaignURLParamDictionary(query)) {
    tlm_monitor()->logWithLevel(7, 23001, "Deep Link does not contain valid required params. URL params",
                                platform::Value(query));
    return;
  }
  TLMObjectDictionary parameters;
  for (const auto& [queryKey, eventKey] : kCampaignParameters) {
    if (hasNonEmptyString(query, queryKey)) parameters.set(eventKey, TLMObject(*query.find(queryKey)));
  }
  if (clickTimestampInMs) parameters.set("click_timestamp", TLMObject(*clickTimestampInMs));
  const double firstOpen = static_cast<double>(persistedConfig_->firstOpenTimestampMilliseconds()) / 1000.0;
  const double timestamp = std::max(firstOpen, eventTimestampInSeconds);
  auto event = TLMEvent::initWithOrigin("auto", false, "_cmp", timestamp, 0, parameters);
  if (!event) return;
  handleEventOnWorkerQueue(event);
  notifyEventListeners(event);
}

std::optional<std::string> TLMMeasurementEngine::deepLinkFromUserActivity(
    const std::optional<platform::UserActivity>& activity) {
  if (!activity) {
    tlm_monitor()->logWithLevel(7, 23003, "User Activity is empty. User Activity");
    return std::nullopt;
  }
  if (std::atoi(TLMAEU::systemVersion().c_str()) <= 8) {
    tlm_monitor()->logWithLevel(7, 23004, "Deep Link is only supported on iOS 9 and above");
    return std::nullopt;
  }
  if (activity->activityType == platform::kUserActivityTypeBrowsingWeb && activity->webpageURL &&
      !activity->webpageURL->empty()) {
    return activity->webpageURL;
  }
  tlm_monitor()->logWithLevel(7, 23006, "User Activity does not have Deep Link. User Activity",
                              platform::Value(activity->activityType));
  return std::nullopt;
}

void TLMMeasurementEngine::reportStoredCampaignEventOnWorkerQueue(std::optional<std::int64_t> clickTimestampInMs) {
  TLMScheduler::checkOnBackgroundThreadWithMethodName("reportStoredCampaignEventOnWorkerQueue");
  auto defaults = TLMUserDefaults::standardUserDefaults();
  const platform::Value link = defaults->objectForKey(kTLMDeepLinkKey);
  const platform::Value time = defaults->objectForKey(kTLMDeepLinkTimestampKey);
  const std::string url = link.stringValue().value_or("");
  if (url.empty()) return;
  defaults->removeObjectForKey(kTLMDeepLinkKey);
  defaults->removeObjectForKey(kTLMDeepLinkTimestampKey);
  handleOpenURLOnWorkerQueue(url, clickTimestampInMs, time.doubleValue().value_or(0));
}
