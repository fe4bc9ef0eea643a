// Dispatch queues: serial queues with labels, the main queue and the global concurrent queues.
//
// Blocks run on a shared, growing pool of worker threads. A serial queue runs its blocks one at a
// time in the order they were submitted; a global queue runs them concurrently. While a block
// runs, its queue is "current" on that thread (`isCurrent`, `currentLabel`).
//
// `sync` onto the queue the caller is already on runs the block inline instead of deadlocking.
// `sync` onto another serial queue waits for the blocks ahead of it, then runs the block on the
// calling thread while the queue holds back everything behind it; the caller's own queues stay
// current during the block, so a nested `sync` back onto them runs inline too.
//
// An exception escaping an `async` block is reported on standard error and the queue goes on
// with its next block; an exception from a `sync` block reaches the caller. A block may drop the
// last owner of the queue it runs on.
//
// When no worker thread can be started, nothing fails: the work waits for a worker that exists
// (the pool keeps one from its start) and runs when one is free. A block never runs on the
// thread that posts it, nor on one inside another queue's block; only the block of a `sync` runs
// on its caller.
//
// A child made by fork() starts with every serial queue free (unless the forking thread holds it)
// and empty: the blocks queued in the parent, and its waiting callers, stay the parent's.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace platform {

using Block = std::function<void()>;

enum class QueuePriority { High, Default, Low, Background };

class Queue : public std::enable_shared_from_this<Queue> {
 public:
  virtual ~Queue();
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;

  const std::string& label() const { return label_; }

  // Submits the block and returns at once.
  virtual void async(Block block) = 0;
  // Runs the block on this queue and returns when it has run (see the header comment).
  virtual void sync(const Block& block) = 0;
  // Runs the block on this queue after `delaySeconds` of the current clock (dispatch/Clock.h).
  void after(double delaySeconds, Block block);

  // Holds back blocks that have not started until as many `resume` calls as `suspend` calls
  // were made. Serial and manual queues only; ignored on the global queues.
  virtual void suspend() {}
  virtual void resume() {}

  // Whether the calling thread is running a block of this queue (or a `sync` onto it).
  bool isCurrent() const;

  // A new serial queue.
  static std::shared_ptr<Queue> serial(std::string label);
  // A new serial queue whose blocks run on a thread of its own, not the pool's: one thread
  // whatever threads post them (the blocks of a `sync` aside, which run on their callers), so that
  // what they allocate and keep comes from one arena of the C library's allocator. The thread,
  // named after the label (its first 15 characters), starts with the first block (again in a
  // child made by fork()) and ends with the queue. When it cannot be started, the blocks run on
  // the pool, and a later post tries again.
  static std::shared_ptr<Queue> serialOnOwnThread(std::string label);
  // The process-wide concurrent queue of a priority.
  static std::shared_ptr<Queue> global(QueuePriority priority = QueuePriority::Default);
  // The main queue: a serial queue labelled "main", or the queue a test installed.
  static std::shared_ptr<Queue> main();
  // Installs `queue` as the main queue (nullptr restores the default); returns the previous one.
  static std::shared_ptr<Queue> setMain(std::shared_ptr<Queue> queue);
  // Whether the calling thread is on the main queue.
  static bool isMainQueue();
  // Label of the innermost queue the calling thread is on; empty when on none.
  static std::string currentLabel();
  // The innermost queue the calling thread is on; null when on none.
  static std::shared_ptr<Queue> current();

 protected:
  explicit Queue(std::string label);
  // Runs the block with this queue marked current on the calling thread.
  void runAsCurrent(const Block& block) const;
  // runAsCurrent for asynchronous blocks: an escaping exception is reported, not propagated.
  void runDetached(const Block& block) const;

 private:
  std::string label_;
};

// Installs a main queue for the lifetime of the object (tests: a ManualQueue).
class ScopedMainQueue {
 public:
  explicit ScopedMainQueue(std::shared_ptr<Queue> queue) : previous_(Queue::setMain(std::move(queue))) {}
  ~ScopedMainQueue() { Queue::setMain(std::move(previous_)); }
  ScopedMainQueue(const ScopedMainQueue&) = delete;
  ScopedMainQueue& operator=(const ScopedMainQueue&) = delete;

 private:
  std::shared_ptr<Queue> previous_;
};

}  // namespace platform
