#include "dispatch/Queue.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "dispatch/Testing.h"
#include "dispatch/Timer.h"

namespace platform {
namespace {

// Queues whose blocks the calling thread is running, innermost last.
thread_local std::vector<const Queue*> tCurrentQueues;

class CurrentQueueScope {
 public:
  explicit CurrentQueueScope(const Queue* queue) { tCurrentQueues.push_back(queue); }
  ~CurrentQueueScope() { tCurrentQueues.pop_back(); }
  CurrentQueueScope(const CurrentQueueScope&) = delete;
  CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;
};

// Worker threads shared by all queues. A job that blocks (a `sync` waiting for its turn) must
// never starve the job it waits for, so the pool starts a new thread whenever more jobs wait
// than threads are idle. Idle threads end after a while.
class ThreadPool {
 public:
  static ThreadPool& shared() {
    static ThreadPool* pool = new ThreadPool();  // never destroyed: threads may outlive main()
    return *pool;
  }

  // Either takes the job or throws and leaves the pool as it was: a job that needs a thread of
  // its own and cannot get one is refused rather than left waiting behind jobs that may wait
  // for it.
  void submit(Block job) {
    std::unique_lock lock(mutex_);
    if (refusals_ > 0) {
      --refusals_;
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                              "no worker thread available");
    }
    jobs_.push_back(std::move(job));
    if (jobs_.size() > idle_ && threads_ < kMaxThreads) {
      try {
        std::thread([this] { work(); }).detach();
      } catch (...) {
        jobs_.pop_back();
        throw;
      }
      ++threads_;
    } else {
      available_.notify_one();
    }
  }

  void refuseNext(std::size_t count) {
    std::lock_guard lock(mutex_);
    refusals_ = count;
  }

 private:
  static constexpr std::size_t kMaxThreads = 512;
  static constexpr std::chrono::seconds kIdleLifetime{10};

  void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      ++idle_;
      bool hasJob = available_.wait_for(lock, kIdleLifetime, [this] { return !jobs_.empty(); });
      --idle_;
      if (!hasJob) {
        --threads_;
        return;
      }
      Block job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      job = nullptr;  // release captures before taking the lock again
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable available_;
  std::deque<Block> jobs_;
  std::size_t idle_ = 0;
  std::size_t threads_ = 0;
  std::size_t refusals_ = 0;
};

// The caller of `sync` and the queue's drain meet here: the drain grants the turn, the caller
// runs the block and reports it done, and only then the drain goes on.
class SyncTurn {
 public:
  void grant() { signal(granted_); }
  void waitGranted() { wait(granted_); }
  void finish() { signal(done_); }
  void waitDone() { wait(done_); }

 private:
  void signal(bool& flag) {
    std::lock_guard lock(mutex_);
    flag = true;
    changed_.notify_all();
  }
  void wait(bool& flag) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return flag; });
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  bool granted_ = false;
  bool done_ = false;
};

class SerialQueue final : public Queue {
 public:
  explicit SerialQueue(std::string label) : Queue(std::move(label)) {}

  void async(Block block) override {
    if (!block) return;
    std::lock_guard lock(mutex_);
    enqueueLocked(Item{std::move(block), nullptr});
  }

  void sync(const Block& block) override {
    if (!block) return;
    if (isCurrent()) {
      block();
      return;
    }
    // The block may drop the caller's last owner of this queue; the queue is still needed after
    // the block, to hand it on.
    const std::shared_ptr<Queue> keepAlive = shared_from_this();
    std::shared_ptr<SyncTurn> turn;
    {
      std::lock_guard lock(mutex_);
      if (!draining_ && suspendCount_ == 0 && items_.empty()) {
        // An idle queue: the block takes the queue at once on the calling thread, as if it had
        // been granted its turn, without a round trip through a pool thread.
        draining_ = true;
      } else {
        turn = std::make_shared<SyncTurn>();
        enqueueLocked(Item{nullptr, turn});
      }
    }
    if (!turn) {
      struct Release {
        SerialQueue& queue;
        ~Release() { queue.handOnAfterInlineSync(); }
      } release{*this};
      runAsCurrent(block);
      return;
    }
    turn->waitGranted();
    struct Finish {
      SyncTurn& turn;
      ~Finish() { turn.finish(); }
    } finish{*turn};
    runAsCurrent(block);
  }

  void suspend() override {
    std::lock_guard lock(mutex_);
    ++suspendCount_;
  }

  void resume() override {
    std::lock_guard lock(mutex_);
    if (suspendCount_ == 0) return;
    if (--suspendCount_ > 0) return;
    try {
      scheduleLocked();
    } catch (...) {
      ++suspendCount_;  // still suspended: a later resume tries again
      throw;
    }
  }

 private:
  struct Item {
    Block block;
    std::shared_ptr<SyncTurn> turn;
  };

  // Hands the queue's blocks to a pool thread unless one has them already. When the pool
  // cannot take them it throws, and the queue stays as it was.
  void scheduleLocked() {
    if (draining_ || suspendCount_ > 0 || items_.empty()) return;
    auto self = std::static_pointer_cast<SerialQueue>(shared_from_this());
    ThreadPool::shared().submit([self] { self->drain(); });
    draining_ = true;
  }

  // Adds the item and schedules it; when scheduling fails, the item is taken back and the
  // failure reaches the caller.
  void enqueueLocked(Item item) {
    items_.push_back(std::move(item));
    try {
      scheduleLocked();
    } catch (...) {
      items_.pop_back();
      throw;
    }
  }

  // Ends a sync that ran on the caller: what was posted meanwhile goes to a pool thread. When
  // none can be had, the caller runs it, one block at a time, until one can: nothing waits on a
  // queue that nobody drains, and no failure escapes.
  void handOnAfterInlineSync() noexcept {
    for (;;) {
      Item item;
      {
        std::lock_guard lock(mutex_);
        draining_ = false;
        try {
          scheduleLocked();
          return;
        } catch (...) {
          // Only thrown with blocks to run and the queue not suspended.
        }
        draining_ = true;
        item = std::move(items_.front());
        items_.pop_front();
      }
      run(item);
    }
  }

  void drain() {
    for (;;) {
      Item item;
      {
        std::lock_guard lock(mutex_);
        if (suspendCount_ > 0 || items_.empty()) {
          draining_ = false;
          return;
        }
        item = std::move(items_.front());
        items_.pop_front();
      }
      run(item);
    }
  }

  void run(const Item& item) const {
    if (item.turn) {
      item.turn->grant();
      item.turn->waitDone();
    } else {
      runDetached(item.block);
    }
  }

  std::mutex mutex_;
  std::deque<Item> items_;
  bool draining_ = false;
  int suspendCount_ = 0;
};

class GlobalQueue final : public Queue {
 public:
  explicit GlobalQueue(std::string label) : Queue(std::move(label)) {}

  void async(Block block) override {
    if (!block) return;
    // Global queues live for the whole process, so a raw pointer is safe here.
    ThreadPool::shared().submit([this, block = std::move(block)] { runDetached(block); });
  }

  void sync(const Block& block) override {
    if (!block) return;
    if (isCurrent()) {
      block();
      return;
    }
    runAsCurrent(block);
  }
};

struct MainQueueSlot {
  std::mutex mutex;
  std::shared_ptr<Queue> installed;
  std::shared_ptr<Queue> standard;
};

MainQueueSlot& mainSlot() {
  static MainQueueSlot* slot = new MainQueueSlot();  // never destroyed
  return *slot;
}

}  // namespace

void refuseNextWorkerJobs(std::size_t count) { ThreadPool::shared().refuseNext(count); }

Queue::Queue(std::string label) : label_(std::move(label)) {}
Queue::~Queue() = default;

void Queue::after(double delaySeconds, Block block) {
  Timer::once(shared_from_this(), delaySeconds, std::move(block));
}

bool Queue::isCurrent() const {
  return std::find(tCurrentQueues.begin(), tCurrentQueues.end(), this) != tCurrentQueues.end();
}

void Queue::runAsCurrent(const Block& block) const {
  CurrentQueueScope scope(this);
  block();
}

void Queue::runDetached(const Block& block) const {
  try {
    runAsCurrent(block);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Uncaught exception in a block on queue \"%s\": %s\n", label_.c_str(), e.what());
  } catch (...) {
    std::fprintf(stderr, "Uncaught exception in a block on queue \"%s\"\n", label_.c_str());
  }
}

std::shared_ptr<Queue> Queue::serial(std::string label) {
  return std::make_shared<SerialQueue>(std::move(label));
}

std::shared_ptr<Queue> Queue::global(QueuePriority priority) {
  static auto* queues = new std::shared_ptr<Queue>[4]{
      std::make_shared<GlobalQueue>("global.high"),
      std::make_shared<GlobalQueue>("global.default"),
      std::make_shared<GlobalQueue>("global.low"),
      std::make_shared<GlobalQueue>("global.background"),
  };
  switch (priority) {
    case QueuePriority::High: return queues[0];
    case QueuePriority::Default: return queues[1];
    case QueuePriority::Low: return queues[2];
    case QueuePriority::Background: return queues[3];
  }
  return queues[1];
}

std::shared_ptr<Queue> Queue::main() {
  MainQueueSlot& slot = mainSlot();
  std::lock_guard lock(slot.mutex);
  if (slot.installed) return slot.installed;
  if (!slot.standard) slot.standard = std::make_shared<SerialQueue>("main");
  return slot.standard;
}

std::shared_ptr<Queue> Queue::setMain(std::shared_ptr<Queue> queue) {
  MainQueueSlot& slot = mainSlot();
  std::lock_guard lock(slot.mutex);
  std::shared_ptr<Queue> previous = slot.installed;
  slot.installed = std::move(queue);
  return previous;
}

bool Queue::isMainQueue() { return main()->isCurrent(); }

std::string Queue::currentLabel() {
  return tCurrentQueues.empty() ? std::string() : tCurrentQueues.back()->label();
}

std::shared_ptr<Queue> Queue::current() {
  if (tCurrentQueues.empty()) return nullptr;
  // A queue running a block is alive; one not owned by a shared pointer answers null.
  return std::const_pointer_cast<Queue>(tCurrentQueues.back()->weak_from_this().lock());
}

}  // namespace platform
