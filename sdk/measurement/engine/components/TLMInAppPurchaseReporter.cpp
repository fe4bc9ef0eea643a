#include "measurement/engine/components/TLMInAppPurchaseReporter.h"

#include <cmath>

#include "foundation/Files.h"
#include "foundation/Text.h"
#include "measurement/engine/TLMAEU.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/engine/TLMRemoteConfig.h"
#include "measurement/engine/TLMUserDefaults.h"
#include "measurement/engine/components/TLMLifetimeValueRecorder.h"
#include "measurement/engine/components/TLMReceiptReader.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMUtil.h"

namespace {

constexpr std::size_t kMaxCachedProducts = 101;

TLMObject int64Object(std::int64_t v) { return TLMObject(TLMValue(v)); }

std::optional<std::int64_t> int64Parameter(const TLMObjectDictionary& parameters, const char* key) {
  const TLMObject* object = parameters.find(key);
  return object ? object->contextValue().int64Value() : std::nullopt;
}

// A decimal amount in micros, truncated; empty when it does not fit.
std::optional<std::int64_t> micros(const platform::Decimal& amount) {
  return TLMInt64FromDouble((amount * platform::Decimal(kTLMDataTypeMicrosMultiplier)).toDouble());
}

bool isVersionAtLeast(const std::string& version, int major, int minor) {
  const std::int64_t m = platform::text::leadingInt64(version);
  const auto dot = version.find('.');
  const std::int64_t n = dot == std::string::npos ? 0 : platform::text::leadingInt64(version.substr(dot + 1));
  return m > major || (m == major && n >= minor);
}

// The price adjustment of a free trial: the catalogue price moves to "original_price".
void addFreeTrialPrices(TLMObjectDictionary& parameters) {
  if (auto price = int64Parameter(parameters, "price")) parameters.set("original_price", int64Object(*price));
  parameters.set("price_is_discounted", int64Object(1));
  parameters.set("price", int64Object(0));
  parameters.set("value", int64Object(0));
}

}  // namespace

std::optional<std::int64_t> TLMValueInMicrosFromPriceAndQuantity(const platform::Decimal& price, std::int64_t quantity) {
  return micros(platform::Decimal(quantity) * price);
}

std::shared_ptr<TLMUserDefaults> TLMInAppPurchaseCachedPurchaseDateByProductID() {
  static const auto& store = *new auto(TLMUserDefaults::initWithSuiteName(kTLMPurchaseDatesSuiteName));
  return store;
}

// MARK: - Product requests

void TLMProductsRequest::requestProductsWithProductIdentifiers(const std::set<std::string>& identifiers,
                                                               std::shared_ptr<platform::Queue> queue,
                                                               TLMProductsCompletion handler) {
  if (!queue || !handler) return;
  auto request = std::make_shared<TLMProductsRequest>();
  request->completionHandler_ = std::move(handler);
  request->queue_ = std::move(queue);
  if (identifiers.empty()) {
    request->deliver(std::nullopt, std::nullopt,
                     platform::Error(kTLMErrorDomain, 1, "Invalid product identifiers."));
    return;
  }
  request->productsRequest_ = std::make_shared<SKProductsRequest>(identifiers);
  request->self_ = request;
  request->productsRequest_->setDelegate(request);
  request->productsRequest_->start();
}

void TLMProductsRequest::productsRequestDidReceiveResponse(SKProductsRequest&, const SKProductsResponse& response) {
  TLMProductsByIdentifier products;
  for (const auto& product : response.products) {
    if (product && !product->productIdentifier.empty()) products[product->productIdentifier] = product;
  }
  std::set<std::string> invalid(response.invalidProductIdentifiers.begin(), response.invalidProductIdentifiers.end());
  deliver(std::move(products), std::move(invalid), std::nullopt);
}

void TLMProductsRequest::requestDidFailWithError(SKProductsRequest&, const platform::Error& error) {
  deliver(std::nullopt, std::nullopt, error);
}

void TLMProductsRequest::deliver(std::optional<TLMProductsByIdentifier> products,
                                 std::optional<std::set<std::string>> invalid, std::optional<platform::Error> error) {
  TLMProductsCompletion handler;
  std::shared_ptr<platform::Queue> queue;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handler = std::move(completionHandler_);
    queue = queue_;
  }
  clearInstance();
  if (!handler || !queue) return;
  queue->async([handler = std::move(handler), products = std::move(products), invalid = std::move(invalid),
                error = std::move(error)] { handler(products, invalid, error); });
}

void TLMProductsRequest::clearInstance() {
  std::shared_ptr<TLMProductsRequest> self;
  std::lock_guard<std::mutex> lock(mutex_);
  productsRequest_.reset();
  completionHandler_ = nullptr;
  queue_.reset();
  self = std::move(self_);  // released after the lock
}

// MARK: - Product cache

std::shared_ptr<TLMInAppPurchaseProductCache> TLMInAppPurchaseProductCache::sharedInstance() {
  static const auto& instance = *new auto(std::make_shared<TLMInAppPurchaseProductCache>());
  return instance;
}

TLMInAppPurchaseProductCache::TLMInAppPurchaseProductCache(std::shared_ptr<platform::Queue> lockQueue)
    : lockQueue_(lockQueue ? std::move(lockQueue) : platform::Queue::serial("com.ombrix.qpx.measurement.iap-cache")) {}

std::shared_ptr<const SKProduct> TLMInAppPurchaseProductCache::cachedProductForProductIdentifier(
    const std::string& identifier) const {
  std::shared_ptr<const SKProduct> product;
  lockQueue_->sync([&] {
    auto it = validProducts_.find(identifier);
    if (it != validProducts_.end()) product = it->second;
  });
  return product;
}

bool TLMInAppPurchaseProductCache::isInvalidProductIdentifier(const std::string& identifier) const {
  bool invalid = false;
  lockQueue_->sync([&] { invalid = invalidProductIdentifiers_.count(identifier) > 0; });
  return invalid;
}

void TLMInAppPurchaseProductCache::requestProductsWithProductIdentifiers(const std::set<std::string>& identifiers,
                                                                         std::shared_ptr<platform::Queue> queue,
                                                                         TLMProductsCompletion handler) {
  if (!queue || !handler) return;
  TLMProductsRequest::requestProductsWithProductIdentifiers(
      identifiers, lockQueue_,
      [self = shared_from_this(), queue, handler](std::optional<TLMProductsByIdentifier> products,
                             std::optional<std::set<std::string>> invalid, std::optional<platform::Error> error) {
        // On lockQueue_.
        const TLMProductsByIdentifier newProducts = products.value_or(TLMProductsByIdentifier{});
        const std::set<std::string> newInvalid = invalid.value_or(std::set<std::string>{});
        auto& valid = self->validProducts_;
        auto& unknown = self->invalidProductIdentifiers_;
        for (const auto& [id, product] : newProducts) valid[id] = product;
        for (const auto& id : newInvalid) valid.erase(id);
        unknown.insert(newInvalid.begin(), newInvalid.end());
        for (const auto& [id, product] : newProducts) unknown.erase(id);
        if (valid.size() + unknown.size() >= kMaxCachedProducts) {
          valid = newProducts;
          unknown = newInvalid;
        }
        queue->async([handler, products, invalid, error] { handler(products, invalid, error); });
      });
}

// MARK: - Reporter

std::shared_ptr<TLMInAppPurchaseTransactionReporter> TLMInAppPurchaseTransactionReporter::sharedInstance() {
  static const auto& instance = *new auto(std::make_shared<TLMInAppPurchaseTransactionReporter>());
  return instance;
}

TLMInAppPurchaseTransactionReporter::TLMInAppPurchaseTransactionReporter(TLMInAppPurchaseServices services)
    : services_(std::move(services)) {
  if (!services_.productCache) services_.productCache = TLMInAppPurchaseProductCache::sharedInstance();
  if (!services_.reportingQueue) services_.reportingQueue = platform::Queue::global(platform::QueuePriority::Default);
  if (!services_.readReceipt) {
    services_.readReceipt = []() -> std::optional<platform::Bytes> {
      auto path = TLMAEU::appStoreRURL();
      return path ? platform::files::readResource(*path) : std::nullopt;
    };
  }
  if (!services_.isSandboxReceipt) services_.isSandboxReceipt = [] { return TLMAEU::isASRS(); };
  if (!services_.subscriptionReportEnabled) {
    services_.subscriptionReportEnabled = [] {
      return TLMMeasurementEngine::sharedRemoteConfig()->isIAPSubscriptionNonConsumableReportEnabled();
    };
  }
  if (!services_.introductoryOfferEnabled) {
    services_.introductoryOfferEnabled = [] { return TLMMeasurementEngine::sharedRemoteConfig()->isIAPIntroductoryOfferEnabled(); };
  }
  if (!services_.supportsFreeTrialPaymentMode) {
    services_.supportsFreeTrialPaymentMode = [] { return isVersionAtLeast(TLMAEU::systemVersion(), 11, 2); };
  }
  if (!services_.purchaseDates) services_.purchaseDates = TLMInAppPurchaseCachedPurchaseDateByProductID();
  if (!services_.logEvent) {
    services_.logEvent = [](const std::string& origin, const std::string& name, const TLMObjectDictionary& parameters) {
      TLMMeasurement::logInternalEvent(origin, name, parameters);
    };
  }
}

std::optional<std::string> TLMInAppPurchaseTransactionReporter::transactionFingerprint(
    const TLMPaymentTransaction* transaction) {
  if (transaction == nullptr) {
    tlm_monitor()->logWithLevel(2, 21014, "Transaction is nil");
    return std::nullopt;
  }
  if (transaction->transactionState != 1) return std::nullopt;
  const std::string& identifier = transaction->transactionIdentifier;
  const platform::Value code(transaction->errorCode);
  if (identifier.empty()) {
    tlm_monitor()->logWithLevel(2, 21016, "Transaction identifier is empty. Code", code);
    return std::nullopt;
  }
  if (identifier.find_first_not_of("0-") == std::string::npos) {
    tlm_monitor()->logWithLevel(2, 21017, "Transaction identifier is only zeroes. Code", code);
    return std::nullopt;
  }
  return tlm_MD5String(identifier);
}

void TLMInAppPurchaseTransactionReporter::paymentQueueUpdatedFilteredTransactions(
    const std::vector<std::shared_ptr<const SKPaymentTransaction>>& transactions) {
  std::vector<std::shared_ptr<const SKPaymentTransaction>> kept;
  std::set<std::string> missing;
  for (const auto& transaction : transactions) {
    if (!transaction || transaction->transactionState != SKPaymentTransactionStatePurchased) continue;
    const std::string productID = transaction->payment.productIdentifier;
    if (productID.empty()) continue;
    kept.push_back(transaction);
    if (!services_.productCache->cachedProductForProductIdentifier(productID)) missing.insert(productID);
  }
  if (kept.empty()) return;
  auto self = shared_from_this();
  if (!missing.empty()) {
    services_.productCache->requestProductsWithProductIdentifiers(
        missing, services_.reportingQueue,
        [self, kept](std::optional<TLMProductsByIdentifier> products, std::optional<std::set<std::string>>,
                     std::optional<platform::Error> error) {
          if (error && (!products || products->empty())) {
            tlm_monitor()->logWithLevel(1, 21027, "Cannot request product information. Error",
                                        platform::Value(error->description));
            return;
          }
          self->reportTransactionsFromArray(kept);
        });
    return;
  }
  services_.reportingQueue->async([self, kept] { self->reportTransactionsFromArray(kept); });
}

void TLMInAppPurchaseTransactionReporter::reportTransactionsFromArray(
    const std::vector<std::shared_ptr<const SKPaymentTransaction>>& transactions) {
  const std::optional<platform::Bytes> receipt = services_.readReceipt();
  for (const auto& transaction : transactions) {
    if (!transaction) continue;
    auto product = services_.productCache->cachedProductForProductIdentifier(transaction->payment.productIdentifier);
    auto parameters = eventParameters(product.get(), transaction.get(), receipt);
    if (!parameters || parameters->empty()) continue;
    if (int64Parameter(*parameters, kTLMParameterInAppPurchaseInvalid).value_or(0) != 1) {
      services_.logEvent("auto", "_iap", *parameters);
      continue;
    }
    if (services_.isSandboxReceipt()) parameters->set("sandbox", int64Object(1));
    parameters->remove(kTLMParameterInAppPurchaseInvalid);
    services_.logEvent("auto", "_iapx", *parameters);
  }
}

std::optional<TLMObjectDictionary> TLMInAppPurchaseTransactionReporter::eventParameters(
    const SKProduct* product, const SKPaymentTransaction* transaction, const std::optional<platform::Bytes>& receipt) {
  if (product == nullptr) {
    tlm_monitor()->logWithLevel(1, 40000, "IAP Transaction cannot be created. Product cannot be nil.");
    return std::nullopt;
  }
  if (product->productIdentifier.empty()) {
    tlm_monitor()->logWithLevel(1, 40001, "IAP Transaction cannot be created. Product ID cannot be empty or nil.");
    return std::nullopt;
  }
  if (transaction == nullptr) {
    tlm_monitor()->logWithLevel(1, 40002, "IAP Transaction cannot be created. Transaction cannot be nil.");
    return std::nullopt;
  }
  TLMObjectDictionary parameters;
  parameters.set("product_id", TLMObject(TLMValue(product->productIdentifier)));
  const std::int64_t quantity = transaction->payment.quantity;
  if (product->price) {
    // An amount that does not fit counts as missing.
    if (auto price = micros(*product->price)) parameters.set("price", int64Object(*price));
    if (quantity != 0) {
      if (auto value = TLMValueInMicrosFromPriceAndQuantity(*product->price, quantity)) {
        parameters.set("value", int64Object(*value));
      }
      parameters.set("quantity", int64Object(quantity));
    }
  }
  if (product->currencyCode) parameters.set("currency", TLMObject(TLMValue(*product->currencyCode)));
  if (product->localizedTitle) parameters.set("product_name", TLMObject(TLMValue(*product->localizedTitle)));

  if (services_.subscriptionReportEnabled()) {
    classify(product->productIdentifier, *transaction, receipt, parameters);
    if (int64Parameter(parameters, "free_trial") == 1) {
      addFreeTrialPrices(parameters);
    } else if (int64Parameter(parameters, "price_is_discounted") == 1 && services_.introductoryOfferEnabled() &&
               product->introductoryPrice) {
      const SKProductDiscount& offer = *product->introductoryPrice;
      if (services_.supportsFreeTrialPaymentMode() && offer.paymentMode == SKProductDiscountPaymentModeFreeTrial) {
        addFreeTrialPrices(parameters);
      } else {
        if (auto price = int64Parameter(parameters, "price")) parameters.set("original_price", int64Object(*price));
        if (auto price = micros(offer.price)) {
          parameters.set("price", int64Object(*price));
        } else {
          parameters.remove("price");
        }
        if (quantity != 0) {
          if (auto value = TLMValueInMicrosFromPriceAndQuantity(offer.price, quantity)) {
            parameters.set("value", int64Object(*value));
          } else {
            parameters.remove("value");
          }
        }
      }
    }
  }
  for (const char* required : {"price", "value", "currency", "product_id"}) {
    if (!parameters.contains(required)) return std::nullopt;
  }
  return parameters;
}

void TLMInAppPurchaseTransactionReporter::storePurchaseDate(const std::string& productID, double date) {
  services_.purchaseDates->setObject(platform::Value::date(date), productID);
  services_.purchaseDates->synchronize();
}

void TLMInAppPurchaseTransactionReporter::classify(const std::string& productID,
                                                   const SKPaymentTransaction& transaction,
                                                   const std::optional<platform::Bytes>& receipt,
                                                   TLMObjectDictionary& parameters) {
  const std::string t = transaction.transactionIdentifier.value_or("");
  const std::string o = transaction.originalTransaction
                            ? transaction.originalTransaction->transactionIdentifier.value_or("")
                            : std::string();
  const bool restored = !t.empty() && !o.empty() && t != o;
  const std::optional<double> date = transaction.transactionDate;
  if (t.empty()) tlm_monitor()->logWithLevel(4, 40003, "Transaction ID cannot be nil or empty.");
  if (!receipt || receipt->empty()) return;

  const std::optional<double> cached = services_.purchaseDates->objectForKey(productID).dateValue();
  if (cached) {
    if (date && *date == *cached) {
      tlm_monitor()->logWithLevel(5, 40013, "Found a repurchase of an auto-renewable subscription or a non-consumable product");
      parameters.set(kTLMParameterInAppPurchaseInvalid, int64Object(1));
      return;
    }
    if (date && *date > *cached) storePurchaseDate(productID, *date);
    tlm_monitor()->logWithLevel(5, 40014,
                                "Found a transaction in the cache. Transaction will be reported as an auto-renewable subscription");
    parameters.set("subscription", int64Object(1));
    return;
  }

  const TLMBytesView bytes(*receipt);
  std::optional<TLMInAppPurchaseItem> item;
  std::size_t offset = 0;
  for (; offset < bytes.size() && !item; ++offset) {
    item = TLMParseInAppPurchaseItemFromData(bytes, static_cast<std::int64_t>(offset), productID);
  }
  if (!item) {
    tlm_monitor()->logWithLevel(2, 40004,
                                "Cannot find any purchase of the product. The transaction will be reported as consumable by default.",
                                platform::Value(productID));
    return;
  }
  const bool subscription = item->subscriptionExpirationDateIA5String && !item->subscriptionExpirationDateIA5String->empty();
  if (!subscription) {
    if (restored) {
      tlm_monitor()->logWithLevel(4, 40005, "Found a restore/repurchase of a non-consumable product");
      parameters.set(kTLMParameterInAppPurchaseInvalid, int64Object(1));
    } else if (item->transactionID && item->originalTransactionID && !item->transactionID->empty() &&
               *item->transactionID == *item->originalTransactionID) {
      tlm_monitor()->logWithLevel(5, 40006,
                                  "Found the first original purchase of any product. Transaction will be reported as consumable by default");
      if (item->purchaseType == 2) parameters.set("subscription", int64Object(1));
    } else {
      tlm_monitor()->logWithLevel(2, 40007,
                                  "The transaction ID and original transaction ID are not the same in the receipt. Transaction will "
                                  "be reported as consumable by default");
    }
    return;
  }
  if (!item->isFreeTrial() && !item->isIntroductoryOffer()) {
    if (date && *date > 0) storePurchaseDate(productID, *date);
    tlm_monitor()->logWithLevel(5, 40008, "Transaction will be reported as an auto-renewable subscription");
    parameters.set("subscription", int64Object(1));
    return;
  }
  // A trial or offer entry: a later full-price entry of the product means a renewal.
  for (; offset < bytes.size(); ++offset) {
    auto later = TLMParseInAppPurchaseItemFromData(bytes, static_cast<std::int64_t>(offset), productID);
    if (later && !later->isFreeTrial() && !later->isIntroductoryOffer()) {
      if (date && *date > 0) storePurchaseDate(productID, *date);
      tlm_monitor()->logWithLevel(5, 40010, "Transaction will be reported as a renewing auto-renewable subscription");
      parameters.set("subscription", int64Object(1));
      return;
    }
  }
  parameters.set("subscription", int64Object(1));
  if (item->isFreeTrial()) {
    parameters.set("free_trial", int64Object(1));
    if (restored) {
      tlm_monitor()->logWithLevel(4, 40011, "Found a repurchase of a free-trial auto-renewable subscription");
      parameters.set(kTLMParameterInAppPurchaseInvalid, int64Object(1));
      return;
    }
    tlm_monitor()->logWithLevel(5, 40009, "Transaction will be reported as a free-trial auto-renewable subscription with price 0");
  }
  if (services_.introductoryOfferEnabled() && item->isIntroductoryOffer()) {
    parameters.set("price_is_discounted", int64Object(1));
    tlm_monitor()->logWithLevel(5, 40018, "Transaction will be reported as introductory offer of an auto-renewable subscription");
  }
}

// MARK: - Payment queue

void TLMReportPaymentQueueTransactions(const std::shared_ptr<TLMMeasurementEngine>& engine,
                                       const std::vector<std::shared_ptr<const SKPaymentTransaction>>& transactions) {
  if (!engine) return;
  std::vector<TLMPaymentTransaction> converted;
  for (const auto& transaction : transactions) {
    if (!transaction) continue;
    TLMPaymentTransaction t;
    t.productIdentifier = transaction->payment.productIdentifier;
    t.transactionIdentifier = transaction->transactionIdentifier.value_or("");
    t.transactionState = transaction->transactionState;
    t.errorCode = transaction->errorCode;
    t.source = transaction;
    converted.push_back(std::move(t));
  }
  engine->filterPurchaseTransactions(std::move(converted), [](std::vector<TLMPaymentTransaction> passing) {
    std::vector<std::shared_ptr<const SKPaymentTransaction>> filtered;
    for (const auto& t : passing) {
      if (t.source) filtered.push_back(t.source);
    }
    TLMInAppPurchaseTransactionReporter::sharedInstance()->paymentQueueUpdatedFilteredTransactions(filtered);
  });
}
