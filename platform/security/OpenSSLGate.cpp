#include "security/OpenSSLGate.h"

#include <openssl/crypto.h>
#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <thread>
#include <utility>

#include "dispatch/ForkPreparation.h"

namespace platform::security {

namespace {

void closeAtExit() { OpenSSLGate::process().close(); }

// The stretches of calls into OpenSSL in progress, and whether a fork waits for them to end.
struct CallFence {
  std::mutex mutex;
  std::condition_variable changed;
  int inside = 0;
  bool forking = false;

  static CallFence& shared() {
    static CallFence* fence = new CallFence();  // never destroyed: calls may come during exit
    return *fence;
  }

  // A fork's first step, before any fork handler of the platform takes its lock (so the other
  // threads go on meanwhile): no stretch begins from now until the fork is done, and those in
  // progress end. Called again in the same fork, it returns at once.
  static void awaitStretchesBeforeFork() {
    CallFence& fence = shared();
    std::unique_lock lock(fence.mutex);
    fence.forking = true;
    fence.changed.wait(lock, [&] { return fence.inside == 0; });
  }
};

thread_local int tCallDepth = 0;

}  // namespace

// Every gate of the process, kept consistent across fork(): before it each gate's lock is taken,
// so that the child never inherits one held by a thread it does not have; after it the locks are
// released, and in the child each gate forgets the uses of the threads left behind first.
struct GateForkHandlers {
  std::mutex mutex;
  std::set<OpenSSLGate*> gates;
  bool registered = false;

  static GateForkHandlers& shared();

  // Registered when the program loads, before most other fork handlers: it runs after theirs,
  // which did the wait for the stretches first (waitBeforeForkLocks).
  static void beforeFork() {
    platform::waitBeforeForkLocks();
    GateForkHandlers& handlers = shared();
    handlers.mutex.lock();
    for (OpenSSLGate* gate : handlers.gates) gate->mutex_.lock();
  }

  static void afterForkInParent() {
    GateForkHandlers& handlers = shared();
    for (OpenSSLGate* gate : handlers.gates) gate->mutex_.unlock();
    handlers.mutex.unlock();
    CallFence& fence = CallFence::shared();
    std::lock_guard lock(fence.mutex);
    fence.forking = false;
    fence.changed.notify_all();
  }

  static void afterForkInChild() {
    GateForkHandlers& handlers = shared();
    for (OpenSSLGate* gate : handlers.gates) {
      gate->forgetOtherThreadsUses();
      gate->mutex_.unlock();
    }
    handlers.mutex.unlock();
    // No stretch was in progress at the fork; threads of the parent waiting to begin one may have
    // left their marks in the lock and the condition.
    CallFence& fence = CallFence::shared();
    new (&fence.mutex) std::mutex();
    new (&fence.changed) std::condition_variable();
    fence.forking = false;
  }
};

// Not defined in the class: the static variable of an inline function would be bound to another
// copy's (a plugin that embeds the platform) by its unique symbol, and each copy has gates of its own.
GateForkHandlers& GateForkHandlers::shared() {
  static GateForkHandlers& handlers = []() -> GateForkHandlers& {
    auto* made = new GateForkHandlers();  // never destroyed: gates live until the process ends
    made->registered = pthread_atfork(beforeFork, afterForkInParent, afterForkInChild) == 0;
    if (made->registered) platform::setWaitBeforeForkLocks(&CallFence::awaitStretchesBeforeFork);
    return *made;
  }();
  return handlers;
}

OpenSSLGate::OpenSSLGate() {
  GateForkHandlers& handlers = GateForkHandlers::shared();
  std::lock_guard lock(handlers.mutex);
  handlers.gates.insert(this);
}

OpenSSLGate::~OpenSSLGate() {
  GateForkHandlers& handlers = GateForkHandlers::shared();
  std::lock_guard lock(handlers.mutex);
  handlers.gates.erase(this);
}

void OpenSSLGate::forgetOtherThreadsUses() {
  const std::thread::id self = std::this_thread::get_id();
  std::erase_if(inProgress_, [&](const OpenSSLUse* use) { return use->owner_ != self; });
  // What the remaining ones would wake was made before the fork: a transfer's wakeup channel is
  // shared with the parent, and waking it would disturb the parent's transfer.
  for (OpenSSLUse* use : inProgress_) use->wake_ = nullptr;
  // A thread of the parent may have been waiting in close(); its state in the condition variable
  // would stay for ever, so the child starts with a fresh one.
  new (&ended_) std::condition_variable();
}

OpenSSLGate& OpenSSLGate::process() {
  static OpenSSLGate& gate = []() -> OpenSSLGate& {
    auto* made = new OpenSSLGate();  // never destroyed: uses may come during exit
    // After this call whether OpenSSL has an exit handler is settled: one registered by an
    // earlier setup is registered already, so ours, registered now, runs before it; otherwise
    // this first setup told OpenSSL to keep its state. Should OpenSSL be gone already, or the
    // exit or fork handlers not be registered, nothing may use OpenSSL at all.
    if (OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) != 1 || std::atexit(closeAtExit) != 0 ||
        !GateForkHandlers::shared().registered) {
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
  if (outermost) {
    OpenSSLCalls calls;
    OPENSSL_thread_stop();
  }
  std::lock_guard lock(gate_.mutex_);
  gate_.inProgress_.erase(this);
  gate_.ended_.notify_all();
}

bool OpenSSLUse::stopRequested() const { return gate_.isClosed(); }

void OpenSSLUse::setWaker(std::function<void()> wake) {
  std::lock_guard lock(gate_.mutex_);
  if (allowed_) wake_ = std::move(wake);
}

OpenSSLCalls::OpenSSLCalls() {
  if (tCallDepth++ > 0) return;
  GateForkHandlers::shared();  // a fork waits for this stretch from now on
  CallFence& fence = CallFence::shared();
  std::unique_lock lock(fence.mutex);
  fence.changed.wait(lock, [&] { return !fence.forking; });
  ++fence.inside;
}

bool OpenSSLCalls::aForkWaitsForTesting() {
  CallFence& fence = CallFence::shared();
  std::lock_guard lock(fence.mutex);
  return fence.forking;
}

OpenSSLCalls::~OpenSSLCalls() {
  if (--tCallDepth > 0) return;
  CallFence& fence = CallFence::shared();
  std::lock_guard lock(fence.mutex);
  if (--fence.inside == 0) fence.changed.notify_all();
}

namespace {

// Prepared when the program loads, before any worker thread can reach OpenSSL: an earlier setup
// (by a library loaded before this one) keeps its exit handler, which runs after ours; otherwise
// this is the first setup.
[[maybe_unused]] const OpenSSLGate& preparedAtLoad = OpenSSLGate::process();

}  // namespace

}  // namespace platform::security
