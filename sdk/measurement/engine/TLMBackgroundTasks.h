// Background execution time granted by the system while the app leaves the foreground. The
// engine asks for one task when the app resigns active, to upload what it holds, and ends it
// when the upload has nothing more to do, when the app returns or when the time runs out.
//
// This platform lets no process run on in the background on the app's behalf: the default
// service grants no task (it answers kTLMBackgroundTaskInvalid) and the upload simply runs on the
// worker queue while the process lives. Tests hand the engine a recording service.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// The identifier of no task.
inline constexpr std::uint64_t kTLMBackgroundTaskInvalid = 0;
inline constexpr const char* kTLMBackgroundTaskName = "TLMAnalyticsMeasurementBackgroundTask";

class TLMBackgroundTaskService {
 public:
  virtual ~TLMBackgroundTaskService() = default;
  // A new task, or kTLMBackgroundTaskInvalid when none is granted. `expirationHandler` runs, on
  // any thread, when the granted time runs out.
  virtual std::uint64_t beginBackgroundTask(const std::string& name,
                                            std::function<void()> expirationHandler) = 0;
  virtual void endBackgroundTask(std::uint64_t taskID) = 0;
};

// Grants nothing.
class TLMNoBackgroundTaskService : public TLMBackgroundTaskService {
 public:
  std::uint64_t beginBackgroundTask(const std::string&, std::function<void()>) override {
    return kTLMBackgroundTaskInvalid;
  }
  void endBackgroundTask(std::uint64_t) override {}
};
