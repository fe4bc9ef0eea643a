#include "measurement/engine/TLMScheduler.h"

#include <atomic>
#include <exception>
#include <mutex>

#include "foundation/Cancellation.h"
#include "foundation/Exception.h"
#include "measurement/model/TLMMonitor.h"

namespace {

// What the monitor shows of an exception thrown by a block.
platform::Value exceptionContext(std::exception_ptr thrown) {
  try {
    std::rethrow_exception(thrown);
  } catch (const platform::Exception& exception) {
    return platform::Value(exception.name() + ": " + exception.reason());
  } catch (const std::exception& exception) {
    return platform::Value(exception.what());
  } catch (...) {
    return platform::Value("unknown exception");
  }
}

// The current generation of queued work, and the generation of the block this thread runs (0:
// none). Neither has a destructor: both outlive every call, at exit too.
std::atomic<std::uint64_t> workGeneration{1};
thread_local std::uint64_t runningGeneration = 0;

}  // namespace

std::uint64_t TLMScheduler::currentWorkGeneration() {
  return runningGeneration != 0 ? runningGeneration : workGeneration.load();
}

std::uint64_t TLMScheduler::runningWorkGeneration() { return runningGeneration; }

std::uint64_t TLMScheduler::endWorkGeneration() { return workGeneration.fetch_add(1); }

TLMScheduler::WorkGeneration::WorkGeneration(std::uint64_t generation) : previous_(runningGeneration) {
  runningGeneration = generation;
}

TLMScheduler::WorkGeneration::~WorkGeneration() { runningGeneration = previous_; }

// The worker queue as the scheduler hands it out, over the queue that runs the blocks: it numbers
// every block posted to it, and marks itself current while one runs.
class TLMScheduler::NumberedQueue final : public platform::Queue {
 public:
  explicit NumberedQueue(std::shared_ptr<platform::Queue> target)
      : Queue(target->label()), target_(std::move(target)) {}

  void async(platform::Block block) override {
    if (!block) return;
    post([&](std::uint64_t) -> platform::Block {
      return [self = std::static_pointer_cast<NumberedQueue>(shared_from_this()), block = std::move(block)] {
        self->run(block);
      };
    });
  }
  void sync(const platform::Block& block) override {
    {
      // Its place among the posts; nothing of what follows it may be moved ahead of it.
      std::lock_guard<std::mutex> lock(mutex_);
      ++posts_;
    }
    // The target's sync runs inline when the caller is already on it.
    target_->sync([&] { run(block); });
  }
  void suspend() override { target_->suspend(); }
  void resume() override { target_->resume(); }

  // Posts the block `make` returns for the number of this post (none when it returns none).
  void post(const std::function<platform::Block(std::uint64_t)>& make) {
    std::lock_guard<std::mutex> lock(mutex_);
    platform::Block block = make(++posts_);
    if (block) target_->async(std::move(block));
  }
  void run(const platform::Block& block) const { runAsCurrent(block); }
  void atLastPost(const std::function<void(std::uint64_t)>& visit) {
    std::lock_guard<std::mutex> lock(mutex_);
    visit(posts_);
  }

 private:
  const std::shared_ptr<platform::Queue> target_;
  std::mutex mutex_;
  std::uint64_t posts_ = 0;  // under mutex_
};

TLMScheduler::TLMScheduler(const std::string& workerQueueLabel)
    : TLMScheduler(std::make_shared<NumberedQueue>(platform::Queue::serial(workerQueueLabel))) {}

TLMScheduler::TLMScheduler(std::shared_ptr<platform::Queue> workerQueue)
    : TLMScheduler(std::make_shared<NumberedQueue>(std::move(workerQueue))) {}

TLMScheduler::TLMScheduler(std::shared_ptr<NumberedQueue> queue) : numbered_(queue), workerQueue_(std::move(queue)) {}

void TLMScheduler::scheduleOnWorkerQueueBlockID(const std::string& blockID, platform::Block block) const {
  scheduleNumberedOnWorkerQueueBlockID(blockID, [&block](std::uint64_t) { return std::move(block); });
}

void TLMScheduler::scheduleNumberedOnWorkerQueueBlockID(
    const std::string& blockID, const std::function<platform::Block(std::uint64_t)>& make) const {
  numbered_->post([&](std::uint64_t number) {
    platform::Block block = make ? make(number) : platform::Block();
    if (!block) {
      TLMMeasurement::monitor()->logWithLevel(
          1, 30005, "Nil block dispatched asynchronously on worker queue. Block ID=" + blockID + ".");
      return block;
    }
    return guarded(blockID, currentWorkGeneration(), std::move(block));
  });
}

platform::Block TLMScheduler::guarded(const std::string& blockID, std::uint64_t generation,
                                      platform::Block block) const {
  return [queue = numbered_, blockID, generation, block = std::move(block)] {
    WorkGeneration running(generation);
    try {
      queue->run(block);
    } catch (...) {
      TLMMeasurement::monitor()->logWithLevel(1, 30000, "Exception on worker queue. Block ID=" + blockID + ". Exception",
                                              exceptionContext(std::current_exception()));
    }
  };
}

void TLMScheduler::atLastPost(const std::function<void(std::uint64_t)>& visit) const { numbered_->atLastPost(visit); }

void TLMScheduler::dispatchSyncOnWorkerQueueBlockID(const std::string& blockID, const platform::Block& block) const {
  if (!block) {
    TLMMeasurement::monitor()->logWithLevel(
        1, 30002, "Nil block dispatched synchronously on worker queue. Block ID=" + blockID + ".");
    return;
  }
  bool completed = false;
  workerQueue_->sync([&, generation = currentWorkGeneration()] {
    WorkGeneration running(generation);
    try {
      block();
      completed = true;
    } catch (...) {
      if (platform::handlingCancellation()) throw;  // the caller's thread ends; the queue goes on
      TLMMeasurement::monitor()->logWithLevel(
          1, 30003, "Exception on worker queue when processing sync block. Block ID=" + blockID + ". Exception",
          exceptionContext(std::current_exception()));
    }
  });
  if (!completed) {
    TLMMeasurement::monitor()->logWithLevel(4, 30004, "Synchronous task failed. Block ID=" + blockID);
  }
}

bool TLMScheduler::checkOnBackgroundThreadWithMethodName(const std::string& methodName) {
  if (!platform::Queue::isMainQueue()) return true;
  TLMMeasurement::monitor()->logWithLevel(
      1, 30001, "Method " + (methodName.empty() ? std::string("<empty method name>") : methodName) +
                    " should execute on background thread");
  return false;
}
