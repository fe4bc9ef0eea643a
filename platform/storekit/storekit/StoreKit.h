// A small stand-in of the phone's store framework, as far as purchase reporting needs it:
// payment transactions with their payment and original transaction, products with price,
// currency, title and introductory price, and product requests answered by an installable store
// (without one a request fails).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "foundation/Decimal.h"
#include "foundation/Error.h"

enum SKPaymentTransactionState : std::int64_t {
  SKPaymentTransactionStatePurchasing = 0,
  SKPaymentTransactionStatePurchased = 1,
  SKPaymentTransactionStateFailed = 2,
  SKPaymentTransactionStateRestored = 3,
  SKPaymentTransactionStateDeferred = 4,
};

enum SKProductDiscountPaymentMode : std::int64_t {
  SKProductDiscountPaymentModePayAsYouGo = 0,
  SKProductDiscountPaymentModePayUpFront = 1,
  SKProductDiscountPaymentModeFreeTrial = 2,
};

struct SKPayment {
  std::string productIdentifier;
  std::int64_t quantity = 1;
};

struct SKPaymentTransaction {
  SKPaymentTransactionState transactionState = SKPaymentTransactionStatePurchasing;
  std::optional<std::string> transactionIdentifier;
  std::shared_ptr<const SKPaymentTransaction> originalTransaction;
  std::optional<double> transactionDate;  // seconds since 1970
  SKPayment payment;
  std::int64_t errorCode = 0;  // 0 without an error
};

class SKPaymentQueue;

// Told of every change of the payment queue's transactions.
class SKPaymentTransactionObserver {
 public:
  virtual ~SKPaymentTransactionObserver() = default;
  virtual void paymentQueueUpdatedTransactions(
      SKPaymentQueue& queue, const std::vector<std::shared_ptr<const SKPaymentTransaction>>& transactions) = 0;
};

// The app's payment queue: observers are held weakly and told on the calling thread.
class SKPaymentQueue {
 public:
  static SKPaymentQueue& defaultQueue();
  void addTransactionObserver(const std::shared_ptr<SKPaymentTransactionObserver>& observer);
  void removeTransactionObserver(const SKPaymentTransactionObserver* observer);
  // What the store does when transactions change (hosts and tests).
  void updateTransactions(const std::vector<std::shared_ptr<const SKPaymentTransaction>>& transactions);

 private:
  std::mutex mutex_;
  std::vector<std::weak_ptr<SKPaymentTransactionObserver>> observers_;
};

struct SKProductDiscount {
  platform::Decimal price;
  SKProductDiscountPaymentMode paymentMode = SKProductDiscountPaymentModePayAsYouGo;
};

struct SKProduct {
  std::string productIdentifier;
  std::optional<platform::Decimal> price;
  std::optional<std::string> currencyCode;  // the price locale's currency code
  std::optional<std::string> localizedTitle;
  std::optional<SKProductDiscount> introductoryPrice;
};

struct SKProductsResponse {
  std::vector<std::shared_ptr<const SKProduct>> products;
  std::vector<std::string> invalidProductIdentifiers;
};

class SKProductsRequest;

class SKProductsRequestDelegate {
 public:
  virtual ~SKProductsRequestDelegate() = default;
  virtual void productsRequestDidReceiveResponse(SKProductsRequest& request, const SKProductsResponse& response) = 0;
  virtual void requestDidFailWithError(SKProductsRequest& request, const platform::Error& error) = 0;
};

// Where product requests go. Answers on any thread, once per request, through respond / fail.
class SKStore {
 public:
  virtual ~SKStore() = default;
  virtual void handleRequest(const std::shared_ptr<SKProductsRequest>& request) = 0;
  // Process-wide; null uninstalls.
  static void install(std::shared_ptr<SKStore> store);
  static std::shared_ptr<SKStore> installed();
};

class SKProductsRequest : public std::enable_shared_from_this<SKProductsRequest> {
 public:
  explicit SKProductsRequest(std::set<std::string> productIdentifiers)
      : productIdentifiers_(std::move(productIdentifiers)) {}
  const std::set<std::string>& productIdentifiers() const { return productIdentifiers_; }
  // Held weakly.
  void setDelegate(const std::shared_ptr<SKProductsRequestDelegate>& delegate);
  // Hands the request to the installed store; without one it fails at once.
  void start();
  // The store's answer; only the first of respond / fail reaches the delegate.
  void respond(const SKProductsResponse& response);
  void fail(const platform::Error& error);

 private:
  std::shared_ptr<SKProductsRequestDelegate> takeDelegate();

  const std::set<std::string> productIdentifiers_;
  std::mutex mutex_;
  std::weak_ptr<SKProductsRequestDelegate> delegate_;
  bool answered_ = false;
};
