// Reporting the app's completed store purchases as the internal events "_iap" (a purchase) and
// "_iapx" (a recognised repurchase or restore), of origin "auto": product, price and value in
// micros, quantity, currency, product name and, when the store receipt tells, whether the purchase
// is an auto-renewable subscription, a free trial or an introductory offer.
//
// The payment queue's thread only filters and dispatches; reporting runs on a global queue; the
// product cache keeps its collections on its own serial queue.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "dispatch/Queue.h"
#include "foundation/Value.h"
#include "measurement/engine/TLMEngineComponents.h"
#include "storekit/StoreKit.h"

class TLMMeasurementEngine;
class TLMUserDefaults;

inline constexpr const char* kTLMParameterInAppPurchaseInvalid = "invalid";
inline constexpr const char* kTLMPurchaseDatesSuiteName = "com.ombrix.qpx.measurement.dates";

using TLMProductsByIdentifier = std::map<std::string, std::shared_ptr<const SKProduct>>;
using TLMProductsCompletion = std::function<void(std::optional<TLMProductsByIdentifier> products,
                                                 std::optional<std::set<std::string>> invalidIdentifiers,
                                                 std::optional<platform::Error> error)>;

// quantity x price x 1000000 in decimal arithmetic, truncated toward zero; empty when the result
// is not a finite number inside the 64-bit range.
std::optional<std::int64_t> TLMValueInMicrosFromPriceAndQuantity(const platform::Decimal& price, std::int64_t quantity);

// The purchase-date store, opened once per process.
std::shared_ptr<TLMUserDefaults> TLMInAppPurchaseCachedPurchaseDateByProductID();

// One product request to the store; keeps itself alive until its one answer was delivered.
class TLMProductsRequest : public SKProductsRequestDelegate, public std::enable_shared_from_this<TLMProductsRequest> {
 public:
  // Nothing happens without a queue or a handler. The handler runs on `queue`.
  static void requestProductsWithProductIdentifiers(const std::set<std::string>& identifiers,
                                                    std::shared_ptr<platform::Queue> queue, TLMProductsCompletion handler);
  void productsRequestDidReceiveResponse(SKProductsRequest& request, const SKProductsResponse& response) override;
  void requestDidFailWithError(SKProductsRequest& request, const platform::Error& error) override;

 private:
  void deliver(std::optional<TLMProductsByIdentifier> products, std::optional<std::set<std::string>> invalid,
               std::optional<platform::Error> error);
  void clearInstance();

  std::shared_ptr<SKProductsRequest> productsRequest_;
  TLMProductsCompletion completionHandler_;
  std::shared_ptr<platform::Queue> queue_;
  std::shared_ptr<TLMProductsRequest> self_;  // until the answer
  std::mutex mutex_;
};

// The products the store described, and the identifiers it did not know; both reset together
// when they reach 101 entries.
class TLMInAppPurchaseProductCache : public std::enable_shared_from_this<TLMInAppPurchaseProductCache> {
 public:
  static std::shared_ptr<TLMInAppPurchaseProductCache> sharedInstance();
  // `lockQueue` null: a serial queue of its own.
  explicit TLMInAppPurchaseProductCache(std::shared_ptr<platform::Queue> lockQueue = nullptr);
  std::shared_ptr<const SKProduct> cachedProductForProductIdentifier(const std::string& identifier) const;
  bool isInvalidProductIdentifier(const std::string& identifier) const;
  void requestProductsWithProductIdentifiers(const std::set<std::string>& identifiers,
                                             std::shared_ptr<platform::Queue> queue, TLMProductsCompletion handler);

 private:
  const std::shared_ptr<platform::Queue> lockQueue_;
  // lockQueue_ only.
  TLMProductsByIdentifier validProducts_;
  std::set<std::string> invalidProductIdentifiers_;
};

struct TLMInAppPurchaseServices {
  std::shared_ptr<TLMInAppPurchaseProductCache> productCache;  // default: shared
  std::shared_ptr<platform::Queue> reportingQueue;             // default: the global default queue
  std::function<std::optional<platform::Bytes>()> readReceipt; // default: the app's receipt file
  std::function<bool()> isSandboxReceipt;                      // default: the app environment
  std::function<bool()> subscriptionReportEnabled;             // default: the remote setting
  std::function<bool()> introductoryOfferEnabled;              // default: the remote setting
  std::function<bool()> supportsFreeTrialPaymentMode;          // default: system version 11.2 or later
  std::shared_ptr<TLMUserDefaults> purchaseDates;              // default: the shared store
  std::function<void(const std::string& origin, const std::string& name, const TLMObjectDictionary&)> logEvent;
};

class TLMInAppPurchaseTransactionReporter
    : public std::enable_shared_from_this<TLMInAppPurchaseTransactionReporter> {
 public:
  static std::shared_ptr<TLMInAppPurchaseTransactionReporter> sharedInstance();
  explicit TLMInAppPurchaseTransactionReporter(TLMInAppPurchaseServices services = {});

  // The MD5 of a purchased transaction's identifier as 32 lower-case hexadecimal digits; empty
  // for a null transaction (21014), one not purchased, and an identifier that is missing (21015,
  // 21016) or made only of "0" and "-" (21017).
  static std::optional<std::string> transactionFingerprint(const TLMPaymentTransaction* transaction);

  // The entry point after de-duplication: keeps the purchased transactions, asks the store for
  // unknown products, and reports on the reporting queue.
  void paymentQueueUpdatedFilteredTransactions(const std::vector<std::shared_ptr<const SKPaymentTransaction>>& transactions);
  void reportTransactionsFromArray(const std::vector<std::shared_ptr<const SKPaymentTransaction>>& transactions);
  // The event parameters; empty when the purchase cannot be reported.
  std::optional<TLMObjectDictionary> eventParameters(const SKProduct* product, const SKPaymentTransaction* transaction,
                                                     const std::optional<platform::Bytes>& receipt);

 private:
  void classify(const std::string& productID, const SKPaymentTransaction& transaction,
                const std::optional<platform::Bytes>& receipt, TLMObjectDictionary& parameters);
  void storePurchaseDate(const std::string& productID, double date);

  TLMInAppPurchaseServices services_;
};

// What the payment-queue observer does with the transactions the store hands it: de-duplication
// through the engine's purchase filter, then the shared reporter. Any thread.
void TLMReportPaymentQueueTransactions(const std::shared_ptr<TLMMeasurementEngine>& engine,
                                       const std::vector<std::shared_ptr<const SKPaymentTransaction>>& transactions);
