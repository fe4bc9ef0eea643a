// Shared fixture of the instance-identity tests: a temporary sandbox (app and device roots), a
// main bundle, a manual clock, a main queue and a keychain queue that run only when the test
// pumps them (and that a test can wait on while a real server answers), fixed locale settings,
// and a capture of every log line and notification.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Bounds.h"
#include "Core/Public/CDVLogger.h"
#include "FreeSpace.h"
#include "InstanceID/CDVInstanceIDKeychain.h"
#include "InstanceID/CDVInstanceIDUtilities.h"
#include "dispatch/Queue.h"
#include "dispatch/Testing.h"
#include "foundation/Bundle.h"
#include "foundation/ClassRegistry.h"
#include "foundation/Files.h"
#include "foundation/Locale.h"
#include "foundation/NotificationCenter.h"
#include "foundation/Sandbox.h"
#include "foundation/UserDefaults.h"
#include "obx/OBXLogger.h"

namespace iidtest {

inline constexpr const char* kBundleID = "com.vesmora.banking";

// A queue whose blocks run when the test runs them, on the test's thread. Unlike ManualQueue it
// lets the test wait (bounded, for real I/O) until a block arrives, and `sync` keeps a serial
// queue's order: the blocks ahead run first.
class PumpedQueue : public platform::Queue {
 public:
  static std::shared_ptr<PumpedQueue> create(std::string label) {
    return std::shared_ptr<PumpedQueue>(new PumpedQueue(std::move(label)));
  }
  void async(platform::Block block) override {
    {
      std::lock_guard lock(mutex_);
      blocks_.push_back(std::move(block));
    }
    arrived_.notify_all();
  }
  // As on a serial queue, the blocks ahead run first, unless the caller is already on this queue.
  void sync(const platform::Block& block) override {
    if (!isCurrent()) drain();
    runAsCurrent(block);
  }
  std::size_t drain() {
    std::size_t ran = 0;
    while (true) {
      platform::Block block;
      {
        std::lock_guard lock(mutex_);
        if (blocks_.empty()) return ran;
        block = std::move(blocks_.front());
        blocks_.pop_front();
      }
      runAsCurrent(block);
      ++ran;
    }
  }
  std::size_t pendingCount() const {
    std::lock_guard lock(mutex_);
    return blocks_.size();
  }
  // Waits until a block is pending or `timeout` has passed; true when one is pending.
  bool waitForBlock(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, timeout, [this] { return !blocks_.empty(); });
  }

 private:
  explicit PumpedQueue(std::string label) : platform::Queue(std::move(label)) {}
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<platform::Block> blocks_;
};

class InstanceIDTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox_ = std::make_unique<platform::sandbox::ScopedTemporarySandbox>();
    platform::UserDefaults::resetForTesting();
    platform::ClassRegistry::resetForTesting();
    installBundle(platform::Dictionary{{"CFBundleIdentifier", kBundleID}, {"CFBundleShortVersionString", "7.1"}});
    platform::locale::setPreferredLanguages(std::vector<std::string>{"en-CA", "fr-CA"});
    platform::locale::setCurrentLocaleIdentifier("en_CA");
    previousKeychain_ = CDVInstanceIDKeychain::setSharedInstance(std::make_shared<CDVInstanceIDKeychain>(keychainQueue_));
    OBXLoggerSetSink([this](const OBXLogLine& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    });
    CDVSetLoggerLevel(CDVLoggerLevelDebug);
    observerToken_ = platform::NotificationCenter::defaultCenter().addObserver(
        "", platform::Value(), [this](const platform::Notification& notification) {
          std::lock_guard lock(mutex_);
          notifications_.push_back(notification.name);
        });
  }

  void TearDown() override {
    pump();
    // A test that failed (on a full disk, say) shows the warnings and errors logged and the room
    // left where it writes.
    if (HasFailure()) {
      std::string logged;
      std::lock_guard lock(mutex_);
      for (const OBXLogLine& line : lines_) {
        if (line.level <= OBXLoggerLevelWarning) logged += "\n  [" + line.messageCode + "] " + line.message;
      }
      ADD_FAILURE() << "warnings and errors logged:" << logged << testsupport::freeSpace(sandbox_->root());
    }
    platform::NotificationCenter::defaultCenter().removeObserver(observerToken_);
    OBXLoggerSetSink(nullptr);
    CDVLoggerResetForTesting();
    OBXLoggerResetForTesting();
    CDVInstanceIDKeychain::setSharedInstance(previousKeychain_);
    platform::locale::setPreferredLanguages(std::nullopt);
    platform::locale::setCurrentLocaleIdentifier(std::nullopt);
    platform::Bundle::resetForTesting();
    platform::ClassRegistry::resetForTesting();
    platform::UserDefaults::resetForTesting();
    sandbox_.reset();
  }

  void installBundle(const platform::Dictionary& info) {
    const std::string dir = platform::files::join(sandbox_->root(), "App" + std::to_string(++bundleCount_) + ".app");
    platform::files::createDirectories(dir);
    platform::Bundle::setMain(std::make_shared<platform::Bundle>(dir, platform::Value(info)));
  }

  // Application Support/Ombrix/CindervaleInstanceID, which the facade creates at start.
  std::string createSubDirectory() {
    std::string path = platform::files::join(platform::sandbox::applicationSupportDirectory(), kCDVInstanceIDSubDirectoryName);
    platform::files::createDirectories(path);
    return path;
  }

  // Runs keychain and main-queue blocks until neither has any left.
  void pump() {
    while (keychainQueue_->drain() + mainQueue_->drain() > 0) {
    }
  }
  // Pumps until `done` holds, waiting for blocks that real I/O delivers to the main queue. What
  // `done` reads may also change on another thread (a server's, a worker's) with no block for the
  // main queue: the wait looks again every few milliseconds, so only a hang meets the bound.
  bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = testsupport::kEventWait) {
    constexpr std::chrono::milliseconds kLookAgain{5};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      pump();
      if (done()) return true;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      mainQueue_->waitForBlock(std::min(left, kLookAgain));
    }
  }

  std::vector<OBXLogLine> linesWithCode(long code) {
    const std::string text = "I-IID" + std::string(6 - std::min<std::size_t>(6, std::to_string(code).size()), '0') +
                             std::to_string(code);
    std::lock_guard lock(mutex_);
    std::vector<OBXLogLine> found;
    for (const auto& line : lines_) {
      if (line.messageCode == text) found.push_back(line);
    }
    return found;
  }
  std::size_t notificationCount(const std::string& name) {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count(notifications_.begin(), notifications_.end(), name));
  }
  void clearLines() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

  std::unique_ptr<platform::sandbox::ScopedTemporarySandbox> sandbox_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>(1700000000.25);
  platform::ScopedClock scopedClock_{clock_};
  std::shared_ptr<PumpedQueue> mainQueue_ = PumpedQueue::create("main");
  platform::ScopedMainQueue scopedMain_{mainQueue_};
  std::shared_ptr<PumpedQueue> keychainQueue_ = PumpedQueue::create(kCDVInstanceIDKeychainQueueLabel);
  std::shared_ptr<CDVInstanceIDKeychain> previousKeychain_;
  int bundleCount_ = 0;
  std::mutex mutex_;
  std::vector<OBXLogLine> lines_;
  std::vector<std::string> notifications_;
  platform::NotificationCenter::ObserverToken observerToken_ = 0;
};

inline platform::Bytes bytes(const std::string& text) { return platform::Bytes(text.begin(), text.end()); }

}  // namespace iidtest
