#include "security/OpenSSLGate.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstdlib>
#include <thread>
#include <utility>

namespace platform::security {

namespace {

void closeAtExit() { OpenSSLGate::process().close(); }

}  // namespace

OpenSSLGate& OpenSSLGate::process() {
  static OpenSSLGate& gate = []() -> OpenSSLGate& {
    auto* made = new OpenSSLGate();  // never destroyed: uses may come during exit
    // After this call whether OpenSSL has an exit handler is settled: one registered by an
    // earlier setup is registered already, so ours, registered now, runs before it; otherwise
    // this first setup told OpenSSL to keep its state. Should OpenSSL be gone already, or the
    // handler not be registered, nothing may use OpenSSL at all.
    if (OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) != 1 || std::atexit(closeAtExit) != 0) {
      made->closed_ = true;
    }
    return *made;
  }();
  return gate;
}

void OpenSSLGate::close() {
  std::unique_lock lock(mutex_);
  if (!closed_) {
    closed_ = true;
    for (OpenSSLUse* use : inProgress_) {
      if (use->wake_) std::exchange(use->wake_, nullptr)();
    }
  }
  const std::thread::id self = std::this_thread::get_id();
  ended_.wait(lock, [&] {
    return std::all_of(inProgress_.begin(), inProgress_.end(), [&](const OpenSSLUse* use) { return use->owner_ == self; });
  });
}

bool OpenSSLGate::isClosed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

OpenSSLUse::OpenSSLUse(OpenSSLGate& gate) : gate_(gate), owner_(std::this_thread::get_id()) {
  std::lock_guard lock(gate_.mutex_);
  if (gate_.closed_) return;
  gate_.inProgress_.insert(this);
  allowed_ = true;
}

OpenSSLUse::~OpenSSLUse() {
  if (!allowed_) return;
  bool outermost = false;
  {
    std::lock_guard lock(gate_.mutex_);
    wake_ = nullptr;
    outermost = std::none_of(gate_.inProgress_.begin(), gate_.inProgress_.end(),
                             [this](const OpenSSLUse* use) { return use != this && use->owner_ == owner_; });
  }
  // OpenSSL keeps state per thread (error queue, random generators) that it frees when the
  // thread ends, possibly long after OpenSSL itself is gone: free it now, while still in use.
  if (outermost) OPENSSL_thread_stop();
  std::lock_guard lock(gate_.mutex_);
  gate_.inProgress_.erase(this);
  gate_.ended_.notify_all();
}

bool OpenSSLUse::stopRequested() const { return gate_.isClosed(); }

void OpenSSLUse::setWaker(std::function<void()> wake) {
  std::lock_guard lock(gate_.mutex_);
  if (allowed_) wake_ = std::move(wake);
}

namespace {

// Prepared when the program loads, before any worker thread can reach OpenSSL: an earlier setup
// (by a library loaded before this one) keeps its exit handler, which runs after ours; otherwise
// this is the first setup.
[[maybe_unused]] const OpenSSLGate& preparedAtLoad = OpenSSLGate::process();

}  // namespace

}  // namespace platform::security
