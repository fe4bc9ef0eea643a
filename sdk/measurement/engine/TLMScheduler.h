// The measurement engine's worker queue: one serial queue on which all store, engine and timer
// work runs, one block at a time, in the order posted. Blocks carry an ID ("TLMMeasurement:687")
// used only in the messages below. A block that throws is logged and the queue goes on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "dispatch/Queue.h"

inline constexpr const char* kTLMSchedulerWorkerQueueLabel = "com.ombrix.cdva.worker";

class TLMScheduler {
 public:
  // initWithWorkerQueueLabel: a new serial queue with that label.
  explicit TLMScheduler(const std::string& workerQueueLabel);
  // Tests: the given queue (a ManualQueue) runs the worker queue's blocks.
  explicit TLMScheduler(std::shared_ptr<platform::Queue> workerQueue);

  // The worker queue. Every block posted to it (async or sync, through the calls below or not:
  // a timer's, a reply's) takes the next number of its posts, in the order the blocks join the
  // queue, and runs with this queue current.
  const std::shared_ptr<platform::Queue>& workerQueue() const { return workerQueue_; }

  // Posts the block and returns at once.
  void scheduleOnWorkerQueueBlockID(const std::string& blockID, platform::Block block) const;
  // Posts, as scheduleOnWorkerQueueBlockID, the block `make` returns for the number of this post:
  // two consecutive numbers are two blocks with none between them. `make` runs under the
  // worker queue's lock of posts before the block can run; it must not post.
  void scheduleNumberedOnWorkerQueueBlockID(const std::string& blockID,
                                            const std::function<platform::Block(std::uint64_t number)>& make) const;
  // Runs `visit` with the number of the last post (0: none yet), under the lock of posts: no block
  // joins the queue meanwhile, so that what `visit` finds to be the last post stays the last while
  // it runs. `visit` must not post.
  void atLastPost(const std::function<void(std::uint64_t lastNumber)>& visit) const;
  // Runs the block on the worker queue and returns when it has run. Called from a block already
  // running on the worker queue, the block runs inline (waiting would never end).
  void dispatchSyncOnWorkerQueueBlockID(const std::string& blockID, const platform::Block& block) const;

  // A diagnostic assertion for methods that expect the worker queue: false, and an error message,
  // on the main queue; true anywhere else.
  static bool checkOnBackgroundThreadWithMethodName(const std::string& methodName);

  // Generations of queued work, so that a wait for the work queued before it (the app's end)
  // counts that work and what it queues in turn, not what other threads queue meanwhile. Work
  // queued from a thread that runs no queued work is of the current generation; work queued
  // while a block runs under a WorkGeneration is of that block's. Blocks posted here run under
  // the generation of their post. Any thread.
  static std::uint64_t currentWorkGeneration();
  // The generation of the queued work this thread runs; 0 on a thread that runs none (a host's).
  static std::uint64_t runningWorkGeneration();
  // Ends the current generation and returns it: work queued from then on by a thread that runs
  // no queued work is of a later one.
  static std::uint64_t endWorkGeneration();
  // While alive, work queued from this thread is of `generation` (a block of it runs here).
  class WorkGeneration {
   public:
    explicit WorkGeneration(std::uint64_t generation);
    ~WorkGeneration();
    WorkGeneration(const WorkGeneration&) = delete;
    WorkGeneration& operator=(const WorkGeneration&) = delete;

   private:
    std::uint64_t previous_;
  };

 private:
  class NumberedQueue;
  explicit TLMScheduler(std::shared_ptr<NumberedQueue> queue);
  // Wraps the block: it runs with the worker queue current, under `generation`, and an exception
  // it throws is logged.
  platform::Block guarded(const std::string& blockID, std::uint64_t generation, platform::Block block) const;
  std::shared_ptr<NumberedQueue> numbered_;
  std::shared_ptr<platform::Queue> workerQueue_;  // numbered_
};
