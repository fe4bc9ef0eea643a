// Shared set-up of the engine's unit tests: a temporary sandbox, a manual clock, a manual queue,
// the recording monitor and a capture of vendor-logger lines.
#pragma once

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dispatch/Clock.h"
#include "dispatch/Testing.h"
#include "foundation/Sandbox.h"
#include "foundation/UserDefaults.h"
#include "measurement/engine/TLMUserDefaults.h"
#include "measurement/model/TLMRecordingMonitor.h"
#include "obx/OBXLogger.h"

// Records the message codes of vendor-logger lines while alive.
class ScopedVendorLogCapture {
 public:
  ScopedVendorLogCapture() {
    previous_ = OBXLoggerSetSink([lines = lines_](const OBXLogLine& line) {
      std::lock_guard<std::mutex> lock(lines->mutex);
      lines->codes.push_back(line.messageCode);
    });
  }
  ~ScopedVendorLogCapture() { OBXLoggerSetSink(previous_); }
  std::size_t count(const std::string& code) const {
    std::lock_guard<std::mutex> lock(lines_->mutex);
    return static_cast<std::size_t>(std::count(lines_->codes.begin(), lines_->codes.end(), code));
  }

 private:
  struct Lines {
    std::mutex mutex;
    std::vector<std::string> codes;
  };
  std::shared_ptr<Lines> lines_ = std::make_shared<Lines>();
  OBXLogSink previous_;
};

// A preferences store that counts its disk synchronisations.
class CountingDefaults : public TLMUserDefaults {
 public:
  CountingDefaults(std::string suite, std::shared_ptr<platform::Queue> queue)
      : TLMUserDefaults(std::move(suite), std::move(queue)) {}
  void synchronize() override {
    ++synchronizations;
    TLMUserDefaults::synchronize();
  }
  std::atomic<int> synchronizations{0};
};

struct EngineTestEnvironment {
  platform::sandbox::ScopedTemporarySandbox sandbox;
  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scopedClock{clock};
  std::shared_ptr<platform::ManualQueue> queue = platform::ManualQueue::create("test");
  TLMScopedRecordingMonitor monitor{true};

  EngineTestEnvironment() { platform::UserDefaults::resetForTesting(); }
  ~EngineTestEnvironment() { platform::UserDefaults::resetForTesting(); }

  // Moves the clock and runs whatever came due on the manual queue.
  void advance(double seconds) {
    clock->advance(seconds);
    queue->drain();
  }
};
