#include "measurement/engine/sessions/TLMSearchAdReporter.h"

#include <cctype>
#include <cmath>

#include "measurement/engine/TLMAlarm.h"
#include "measurement/engine/TLMPersistedConfig.h"

namespace {

// The platform's test data carries this campaign id with the campaign name "CampaignName".
constexpr const char* kTestCampaignID = "1234567890";
constexpr const char* kTestCampaignName = "CampaignName";

struct SharedClient {
  std::mutex mutex;
  std::shared_ptr<TLMAttributionClient> client;
};
SharedClient& sharedClientState() {
  static SharedClient& state = *new SharedClient();
  return state;
}

// A text or number as a truth value: numbers by non-zero; texts by their first character after
// white space ("Y", "y", "T", "t" or a digit 1-9), as the platform reads a text as a boolean.
bool truthValue(const platform::Value* value) {
  if (!value) return false;
  if (auto b = value->boolValue(); b && !value->isString()) return *b;
  if (const std::string* s = value->stringPtr()) {
    for (char c : *s) {
      if (std::isspace(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '0') continue;
      return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
    }
  }
  return false;
}

std::string textValue(const platform::Value* value) {
  if (!value) return {};
  if (const std::string* s = value->stringPtr()) return *s;
  if (value->isNumber()) return value->description();
  return {};
}

}  // namespace

std::shared_ptr<TLMAttributionClient> TLMAttributionClient::sharedClient() {
  std::lock_guard<std::mutex> lock(sharedClientState().mutex);
  return sharedClientState().client;
}

std::shared_ptr<TLMAttributionClient> TLMAttributionClient::setSharedClient(
    std::shared_ptr<TLMAttributionClient> client) {
  std::lock_guard<std::mutex> lock(sharedClientState().mutex);
  std::swap(sharedClientState().client, client);
  return client;
}

std::shared_ptr<TLMSearchAdReporter> TLMSearchAdReporter::create(std::shared_ptr<platform::Queue> workerQueue,
                                                                 std::shared_ptr<TLMPersistedConfig> persistedConfig,
                                                                 TLMSearchAdServices services) {
  if (!workerQueue) {
    tlm_monitor()->logWithLevel(1, 32000, "Cannot init Search Ad reporter. Queue must be provided");
    return nullptr;
  }
  if (!persistedConfig) {
    tlm_monitor()->logWithLevel(1, 32001, "Cannot init Search Ad reporter. Persisted config must be provided");
    return nullptr;
  }
  if (persistedConfig->searchAdRetryCount() > kTLMSearchAdMaxRetries - 1) return nullptr;
  if (persistedConfig->searchAdCampaignValue()) {
    tlm_monitor()->logWithLevel(7, 32002,
                                "Search Ad campaign attribution was already reported. Do not start Search Ad Reporter.");
    return nullptr;
  }
  return std::shared_ptr<TLMSearchAdReporter>(
      new TLMSearchAdReporter(std::move(workerQueue), std::move(persistedConfig), std::move(services)));
}

TLMSearchAdReporter::TLMSearchAdReporter(std::shared_ptr<platform::Queue> workerQueue,
                                         std::shared_ptr<TLMPersistedConfig> persistedConfig,
                                         TLMSearchAdServices services)
    : persistedConfig_(std::move(persistedConfig)),
      services_(std::move(services)),
      alarm_(std::make_shared<TLMAlarm>(std::move(workerQueue), kTLMSearchAdAlarmName)) {
  if (!services_.client) services_.client = &TLMAttributionClient::sharedClient;
  if (!services_.logInternalEvent) services_.logInternalEvent = &TLMMeasurement::logInternalEvent;
}

TLMSearchAdReporter::~TLMSearchAdReporter() { cancelScheduling(); }

double TLMSearchAdReporter::now() const {
  return services_.clock ? services_.clock->now() : platform::Clock::current()->now();
}

std::shared_ptr<TLMAttributionClient> TLMSearchAdReporter::adClientInstance() const { return services_.client(); }

std::shared_ptr<TLMAlarm> TLMSearchAdReporter::alarm() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return alarm_;
}

std::optional<double> TLMSearchAdReporter::scheduledTimestamp() const {
  auto alarm = this->alarm();
  return alarm ? alarm->scheduledTimestamp() : std::nullopt;
}

void TLMSearchAdReporter::start() {
  if (!adClientInstance()) {
    tlm_monitor()->logWithLevel(7, 32003, "iAd framework is not linked. Search Ad Attribution Reporter is disabled.");
    return;
  }
  scheduleSearchAdReport();
}

void TLMSearchAdReporter::cancelScheduling() {
  std::shared_ptr<TLMAlarm> alarm;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    alarm = std::move(alarm_);
  }
  if (alarm) alarm->cancel();
}

void TLMSearchAdReporter::scheduleSearchAdReport() {
  auto alarm = this->alarm();
  if (!alarm) {
    tlm_monitor()->logWithLevel(4, 32013, "Search Ad Campaign attribution alarm is already canceled");
    return;
  }
  if (!enabled_.load()) {
    alarm->cancel();
    return;
  }
  if (persistedConfig_->searchAdCampaignValue()) {
    tlm_monitor()->logWithLevel(7, 32004,
                                "Search Ad report not scheduled. Search Ad campaign attribution was already reported.");
    cancelScheduling();
    return;
  }
  if (alarm->scheduledTimestamp()) {
    tlm_monitor()->logWithLevel(4, 32005, "Search Ad Campaign attribution alarm is already scheduled");
    return;
  }
  if (persistedConfig_->searchAdRetryCount() < kTLMSearchAdMaxRetries) {
    tlm_monitor()->logWithLevel(7, 32006, "Scheduling Search Ad Report timer");
    // The absolute difference: a clock set back does not push the next look-up beyond a day.
    const double delay =
        kTLMSearchAdLookUpInterval - std::fabs(now() - persistedConfig_->lastSearchAdLookUpTimestamp());
    std::weak_ptr<TLMSearchAdReporter> weak = weak_from_this();
    alarm->runAfterDelay(delay, [weak] {
      if (auto self = weak.lock()) self->maybeLogIAdCampaignEvent();
    });
  } else {
    tlm_monitor()->logWithLevel(5, 32007,
                                "Search Ad Campaign attribution exceeds the max number of retries. Do not schedule again.");
    cancelScheduling();
  }
}

void TLMSearchAdReporter::maybeLogIAdCampaignEvent() {
  if (!adClientInstance()) return;
  persistedConfig_->setLastSearchAdLookUpTimestamp(now());
  lookUpAdConversionDetails();
  scheduleSearchAdReport();
}

void TLMSearchAdReporter::lookUpAdConversionDetails() {
  persistedConfig_->setSearchAdRetryCount(persistedConfig_->searchAdRetryCount() + 1);
  auto client = adClientInstance();
  if (!client) return;
  std::weak_ptr<TLMSearchAdReporter> weak = weak_from_this();
  if (client->requestAttributionDetails) {
    client->requestAttributionDetails(
        [weak](std::optional<platform::Dictionary> details, std::optional<platform::Error> error) {
          if (auto self = weak.lock()) self->handleDetails(details, error);
        });
  } else if (client->lookupAdConversionDetails) {
    client->lookupAdConversionDetails([weak](std::optional<double>, std::optional<double> impressionDate) {
      auto self = weak.lock();
      if (!self) return;
      self->logCampaignEventWithSearchAdCampaign(impressionDate.has_value(), {}, {});
      self->cancelScheduling();
    });
  } else if (client->determineAppInstallationAttribution) {
    client->determineAppInstallationAttribution([weak](bool attribution) {
      auto self = weak.lock();
      if (!self) return;
      self->logCampaignEventWithSearchAdCampaign(attribution, {}, {});
      self->cancelScheduling();
    });
  }
}

void TLMSearchAdReporter::handleDetails(const std::optional<platform::Dictionary>& details,
                                        const std::optional<platform::Error>& error) {
  if (error) {
    tlm_monitor()->logWithLevel(1, 32010, "Cannot send request for Search Ad campaign attribution. Error",
                                platform::Value(error->description));
    scheduleSearchAdReport();
    return;
  }
  if (!details || details->empty()) {
    tlm_monitor()->logWithLevel(1, 32011, "Cannot get Search Ad campaign attribution. Search Ad details are empty");
    scheduleSearchAdReport();
    return;
  }
  const platform::Dictionary* first = details->entries().front().second.dictionaryPtr();
  if (!first || first->empty()) {
    scheduleSearchAdReport();
    return;
  }
  const bool attribution = truthValue(first->find("iad-attribution"));
  const std::string campaign = textValue(first->find("iad-campaign-name"));
  const std::string term = textValue(first->find("iad-keyword"));
  if (textValue(first->find("iad-campaign-id")) == kTestCampaignID && campaign == kTestCampaignName) {
    tlm_monitor()->logWithLevel(2, 32012, "Search Ad Reporter returns dummy data. Will retry next time.");
    scheduleSearchAdReport();
    return;
  }
  logCampaignEventWithSearchAdCampaign(attribution, campaign, term);
  cancelScheduling();
}

void TLMSearchAdReporter::logCampaignEventWithSearchAdCampaign(bool attribution, const std::string& campaign,
                                                               const std::string& term) {
  {
    // The decision is final: a second reply (from another thread) finds it made.
    std::lock_guard<std::mutex> lock(mutex_);
    if (persistedConfig_->searchAdCampaignValue()) {
      tlm_monitor()->logWithLevel(5, 32008, "Search Ad Campaign is already tracked");
      attribution = false;
    } else {
      persistedConfig_->setSearchAdCampaignValue(attribution);
    }
  }
  if (!attribution) return;
  TLMObjectDictionary parameters;
  parameters.set("source", TLMObject("Apple"));
  parameters.set("medium", TLMObject("search"));
  if (!campaign.empty()) parameters.set("campaign", TLMObject(campaign));
  if (!term.empty()) parameters.set("term", TLMObject(term));
  const std::int64_t firstOpen = persistedConfig_->firstOpenTimestampMilliseconds();
  if (firstOpen >= 2) {
    parameters.set("click_timestamp", TLMObject(firstOpen - 1));
  } else {
    tlm_monitor()->logWithLevel(5, 32009, "Search Ad Campaign does not have click_timestamp.");
  }
  services_.logInternalEvent("auto", "_cmp", parameters);
}
