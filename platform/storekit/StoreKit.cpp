#include "storekit/StoreKit.h"

namespace {
struct Installed {
  std::mutex mutex;
  std::shared_ptr<SKStore> store;
};
Installed& installedStore() {
  static Installed& installed = *new Installed();
  return installed;
}
}  // namespace

void SKStore::install(std::shared_ptr<SKStore> store) {
  std::lock_guard<std::mutex> lock(installedStore().mutex);
  installedStore().store = std::move(store);
}

std::shared_ptr<SKStore> SKStore::installed() {
  std::lock_guard<std::mutex> lock(installedStore().mutex);
  return installedStore().store;
}

void SKProductsRequest::setDelegate(const std::shared_ptr<SKProductsRequestDelegate>& delegate) {
  std::lock_guard<std::mutex> lock(mutex_);
  delegate_ = delegate;
}

void SKProductsRequest::start() {
  if (auto store = SKStore::installed()) {
    store->handleRequest(shared_from_this());
    return;
  }
  fail(platform::Error("SKErrorDomain", 0, "Cannot connect to the store"));
}

std::shared_ptr<SKProductsRequestDelegate> SKProductsRequest::takeDelegate() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (answered_) return nullptr;
  answered_ = true;
  return delegate_.lock();
}

void SKProductsRequest::respond(const SKProductsResponse& response) {
  if (auto delegate = takeDelegate()) delegate->productsRequestDidReceiveResponse(*this, response);
}

void SKProductsRequest::fail(const platform::Error& error) {
  if (auto delegate = takeDelegate()) delegate->requestDidFailWithError(*this, error);
}

SKPaymentQueue& SKPaymentQueue::defaultQueue() {
  static SKPaymentQueue& queue = *new SKPaymentQueue();
  return queue;
}

void SKPaymentQueue::addTransactionObserver(const std::shared_ptr<SKPaymentTransactionObserver>& observer) {
  if (!observer) return;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& existing : observers_) {
    if (existing.lock() == observer) return;
  }
  observers_.push_back(observer);
}

void SKPaymentQueue::removeTransactionObserver(const SKPaymentTransactionObserver* observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(observers_, [observer](const std::weak_ptr<SKPaymentTransactionObserver>& entry) {
    auto alive = entry.lock();
    return !alive || alive.get() == observer;
  });
}

void SKPaymentQueue::updateTransactions(const std::vector<std::shared_ptr<const SKPaymentTransaction>>& transactions) {
  std::vector<std::shared_ptr<SKPaymentTransactionObserver>> observers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : observers_) {
      if (auto observer = entry.lock()) observers.push_back(observer);
    }
  }
  for (const auto& observer : observers) observer->paymentQueueUpdatedTransactions(*this, transactions);
}
