// The measurement engine's worker queue: one serial queue on which all store, engine and timer
// work runs, one block at a time, in the order posted. Blocks carry an ID ("TLMMeasurement:687")
// used only in the messages below. A block that throws is logged and the queue goes on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
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
  // Posts, as scheduleOnWorkerQueueBlockID, the block `make` returns for the number of this post.
  // Every post through this scheduler (synchronous ones too) takes the next number in the order
  // the blocks join the queue: two consecutive numbers are two blocks with none of this
  // scheduler's between them. `make` runs under the scheduler's lock before the block can run;
  // it must not post.
  void scheduleNumberedOnWorkerQueueBlockID(const std::string& blockID,
                                            const std::function<platform::Block(std::uint64_t number)>& make) const;
  // Runs the block on the worker queue and returns when it has run. Called from a block already
  // running on the worker queue, the block runs inline (waiting would never end).
  void dispatchSyncOnWorkerQueueBlockID(const std::string& blockID, const platform::Block& block) const;

  // A diagnostic assertion for methods that expect the worker queue: false, and an error message,
  // on the main queue; true anywhere else.
  static bool checkOnBackgroundThreadWithMethodName(const std::string& methodName);

 private:
  // Wraps the block: an exception it throws is logged.
  static platform::Block guarded(const std::string& blockID, platform::Block block);
  std::shared_ptr<platform::Queue> workerQueue_;
  mutable std::mutex postMutex_;
  mutable std::uint64_t posts_ = 0;  // under postMutex_
};
