// Engagement totals, the first-open time and the de-duplication of purchases.
#include <algorithm>
#include <cmath>
#include <limits>

#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/engine/TLMRemoteConfig.h"
#include "measurement/engine/TLMScheduler.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/store/TLMDatabase.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

bool TLMMeasurementEngine::updateUserEngagement(std::int64_t engagementMillis,
                                                TLMPBMeasurementBundle& bundle, bool sessionScoped) {
  TLMScheduler::checkOnBackgroundThreadWithMethodName("updateUserEngagement");
  if (engagementMillis < 0) {
    tlm_monitor()->logWithLevel(1, 23186, "User engagement time is negative.");
    return false;
  }
  if (engagementMillis == 0) return true;
  if (!database_) return false;
  const std::string name =
      sessionScoped && config().isSessionScopedUserEngagementEnabled() ? "_se" : "_lte";
  platform::Error error;
  auto stored = database_->userAttributeWithName(name, &error);
  if (!stored && !error.domain.empty()) {
    tlm_monitor()->logWithLevel(1, 23187, "Failed to query for user engagement user property. Name, error",
                                platform::Value(name), platform::Value(error.description));
    return false;
  }
  std::int64_t total = engagementMillis;
  if (stored && stored->value().isInt64()) {
    const std::int64_t previous = stored->value().int64Value();
    // Saturate rather than wrap: a total is never negative.
    total = previous > std::numeric_limits<std::int64_t>::max() - engagementMillis
                ? std::numeric_limits<std::int64_t>::max()
                : previous + engagementMillis;
  }
  const double timestamp = now();
  auto attribute = TLMUserAttribute::initWithOrigin("auto", name, TLMValue(total), timestamp);
  if (!attribute || !setUserPropertyInDatabaseOnWorkerQueue(*attribute)) return false;

  using Slot = TLMPBMeasurementBundleSlot;
  auto attributes = NANOGetArray<TLMPBUserAttribute>(bundle, Slot::user_attributes)
                        .value_or(std::vector<std::shared_ptr<TLMPBUserAttribute>>{});
  bool found = false;
  for (auto& entry : attributes) {
    if (NANOGetString(*entry, TLMPBUserAttributeSlot::name) == name) {
      NANOClearField(*entry, TLMPBUserAttributeSlot::string_value);
      NANOClearField(*entry, TLMPBUserAttributeSlot::double_value);
      NANOSetInt64(*entry, TLMPBUserAttributeSlot::int_value, total);
      NANOSetInt64(*entry, TLMPBUserAttributeSlot::set_timestamp_millis,
                   static_cast<std::int64_t>(timestamp * 1000.0));
      found = true;
    }
  }
  if (!found) {
    if (auto proto = attribute->protoUserAttribute()) attributes.push_back(proto);
  }
  NANOSetArray(bundle, Slot::user_attributes, attributes);
  return true;
}

double TLMMeasurementEngine::firstOpenTimestamp() {
  if (!database_) return 0;
  platform::Error error;
  auto attributes = database_->userAttributesIncludingInternal(true, &error);
  if (!attributes) {
    tlm_monitor()->logWithLevel(1, 23123, "Unable to query current user properties. Error",
                                platform::Value(error.description));
    return 0;
  }
  if (attributes->empty()) {
    tlm_monitor()->logWithLevel(1, 23124, "Unable to extract first open timestamp. Empty user properties");
    return 0;
  }
  for (const auto& attribute : *attributes) {
    if (attribute.name() == "_fot") return attribute.lastSetTimestamp();
  }
  double earliest = attributes->front().lastSetTimestamp();
  for (const auto& attribute : *attributes) earliest = std::min(earliest, attribute.lastSetTimestamp());
  return earliest;
}

void TLMMeasurementEngine::filterPurchaseTransactions(
    std::vector<TLMPaymentTransaction> transactions,
    std::function<void(std::vector<TLMPaymentTransaction>)> callback) {
  if (!callback) return;
  scheduler_->scheduleOnWorkerQueueBlockID(
      "TLMMeasurement:4198",
      [self = shared_from_this(), transactions = std::move(transactions), callback = std::move(callback)] {
        auto deliver = [&callback](std::vector<TLMPaymentTransaction> result) {
          platform::Queue::global(platform::QueuePriority::Default)
              ->async([callback, result = std::move(result)] { callback(result); });
        };
        if (!self->config().dedupePurchasesEnabled()) {
          deliver(transactions);
          return;
        }
        std::vector<TLMPaymentTransaction> passing;
        for (const auto& transaction : transactions) {
          if (transaction.transactionState != 1) continue;
          const std::string fingerprint = self->components_.purchaseFingerprint
                                              ? self->components_.purchaseFingerprint(transaction)
                                              : std::string();
          const platform::Value product(transaction.productIdentifier);
          if (fingerprint.empty()) {
            tlm_monitor()->logWithLevel(1, 23139,
                                        "Purchase has nil or empty fingerprint. Purchase will not be "
                                        "checked for duplicates. Product ID",
                                        product);
            passing.push_back(transaction);
            continue;
          }
          platform::Error error;
          std::optional<bool> isNew;
          if (self->database_) isNew = self->database_->insertIfNotDuplicatePurchaseFingerprint(fingerprint, &error);
          if (!isNew) {
            tlm_monitor()->logWithLevel(1, 23140,
                                        "Failed to save purchase fingerprint. Purchase will not be checked "
                                        "for duplicates. Product ID, error",
                                        product, platform::Value(error.description));
            passing.push_back(transaction);
          } else if (!*isNew) {
            tlm_monitor()->logWithLevel(4, 23141, "Purchase is a duplicate and will not be reported. Product ID",
                                        product);
          } else {
            passing.push_back(transaction);
          }
        }
        deliver(std::move(passing));
      });
}
