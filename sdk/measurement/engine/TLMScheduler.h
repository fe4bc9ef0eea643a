// The measurement engine's worker queue: one serial queue on which all store, engine and timer
// work runs, one block at a time, in the order posted. Blocks carry an ID ("TLMMeasurement:687")
// used only in the messages below. A block that throws is logged and the queue goes on.
#pragma once

#include <memory>
#include <string>

#include "dispatch/Queue.h"

inline constexpr const char* kTLMSchedulerWorkerQueueLabel = "com.ombrix.cdva.worker";

class TLMScheduler {
 public:
  // initWithWorkerQueueLabel: a new serial queue with that label.
  explicit TLMScheduler(const std::string& workerQueueLabel);
  // Tests: the given queue (a ManualQueue) serves as worker queue.
  explicit TLMScheduler(std::shared_ptr<platform::Queue> workerQueue);

  const std::shared_ptr<platform::Queue>& workerQueue() const { return workerQueue_; }

  // Posts the block and returns at once.
  void scheduleOnWorkerQueueBlockID(const std::string& blockID, platform::Block block) const;
  // Runs the block on the worker queue and returns when it has run. Called from a block already
  // running on the worker queue, the block runs inline (waiting would never end).
  void dispatchSyncOnWorkerQueueBlockID(const std::string& blockID, const platform::Block& block) const;

  // A diagnostic assertion for methods that expect the worker queue: false, and an error message,
  // on the main queue; true anywhere else.
  static bool checkOnBackgroundThreadWithMethodName(const std::string& methodName);

 private:
  std::shared_ptr<platform::Queue> workerQueue_;
};
