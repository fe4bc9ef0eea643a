#include "dispatch/Queue.h"

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>

#include "dispatch/ForkPreparation.h"
#include "dispatch/StayLoaded.h"
#include "dispatch/Testing.h"
#include "dispatch/Timer.h"

namespace platform {
namespace {

// The queues whose blocks the calling thread is running: each run's scope lives in that run's
// frame and links to the one it is nested in. The thread's innermost scope is a plain pointer,
// which needs no destructor: the C library destroys a thread's thread-local objects before the
// static destructors and atexit handlers that may still post and run blocks on that thread.
class CurrentQueueScope {
 public:
  explicit CurrentQueueScope(const Queue* queue) : queue_(queue), outer_(innermost) { innermost = this; }
  ~CurrentQueueScope() { innermost = outer_; }
  CurrentQueueScope(const CurrentQueueScope&) = delete;
  CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;

  // The calling thread's innermost queue; null when it runs none.
  static const Queue* innermostQueue() { return innermost != nullptr ? innermost->queue_ : nullptr; }
  // Whether the calling thread is running a block of `queue`.
  static bool running(const Queue* queue) {
    for (const CurrentQueueScope* scope = innermost; scope != nullptr; scope = scope->outer_) {
      if (scope->queue_ == queue) return true;
    }
    return false;
  }

 private:
  static thread_local const CurrentQueueScope* innermost;
  const Queue* const queue_;
  const CurrentQueueScope* const outer_;
};
constinit thread_local const CurrentQueueScope* CurrentQueueScope::innermost = nullptr;

// What fork() leaves in the child: the forking thread alone, with the parent's memory. Queued
// work, waiting callers, held locks and running drains belong to the parent's threads, and stay
// the parent's: the child drops them (their memory is left as it is; the child's state is made
// anew beside it) and starts its own threads when it first needs one. What the forking thread
// itself was running (the block it forked from, a drain of its own, a sync turn it held) goes on
// in the child and still holds its queue until it ends.
//
// Counts the forks this process came from (0 in the first process): made anew in each child.
std::atomic<std::uint64_t> gForks{0};

// The child's handlers allocate nothing: an allocator that a fork does not make safe, as an
// instrumented one, may have had its lock held by a thread the child does not have; and an empty
// deque made anew allocates. So the pool and each serial queue keep, beside the deque of their
// waiting work, a spare empty one, made under their lock before the first post after the
// process's start or its last fork. In the child, the spare takes the place of the parent's work,
// which is forgotten, neither run nor destroyed. Without a spare, nothing was posted since: the
// work is the empty deque made then, and stays.
template <typename Work>
void forgetParentsWork(std::deque<Work>& waiting, std::unique_ptr<std::deque<Work>>& spare) {
  if (!spare) return;
  waiting.swap(*spare);
  static_cast<void>(spare.release());
}

class SerialQueue;

// Every serial queue of the process, so that the child can make each one anew.
struct QueueRegistry {
  std::mutex mutex;
  std::set<SerialQueue*> queues;
};

QueueRegistry& registry();

// Worker threads shared by all queues. A job that blocks (a `sync` waiting for its turn) must
// never starve the job it waits for, so the pool starts a new thread whenever more jobs wait
// than threads are idle or starting. One standing worker, started with the pool, never ends;
// the others end after a while idle. When no thread can be started, a job waits here for a
// worker that exists (the standing one at least); a later post, or a `sync` waiting for its
// turn, tries again to start one. No job ever runs on the thread that posts it.
// Held while the pool is made, and by a fork; constant-initialised.
std::mutex gPoolMaking;
std::atomic<void (*)()> gPoolMakingHook{nullptr};

class ThreadPool {
 public:
  static ThreadPool& shared() {
    stayLoaded();  // before a worker runs this code (and not under a lock)
    if (ThreadPool* made = instance_.load(std::memory_order_acquire)) return *made;
    return make();
  }

  // Takes the job; never fails for want of a thread. Inlined into the posts, with the rare thread
  // start out of line, a block costs what it did when threads were started under the lock.
  [[gnu::always_inline]] void submit(Block job) {
    Starts starts;
    {
      std::lock_guard lock(mutex_);
      if (!spare_) spare_ = std::make_unique<std::deque<Block>>();
      jobs_.push_back(std::move(job));
      if (refusals_ > 0) {
        --refusals_;
      } else {
        starts = reserveLocked();
      }
      available_.notify_one();
    }
    if (starts.count != 0) start(starts);
  }

  // Starts the threads that waiting jobs lack, when it now can.
  void retryStarting() {
    Starts starts;
    {
      std::lock_guard lock(mutex_);
      starts = reserveLocked();
    }
    if (starts.count != 0) start(starts);
  }

  void refuseNext(std::size_t count) {
    std::lock_guard lock(mutex_);
    refusals_ = count;
  }

  void setIdleLifetime(std::chrono::milliseconds lifetime) {
    std::lock_guard lock(mutex_);
    idleLifetime_ = lifetime;
  }

 private:
  static constexpr std::size_t kMaxThreads = 512;

  ThreadPool() = default;

  // Threads to start, counted as started already; the first is the standing worker when
  // `standing`.
  struct Starts {
    std::size_t count = 0;
    bool standing = false;
  };

  // Under the lock: counts the threads that waiting jobs lack as starting, for start() to make.
  Starts reserveLocked() {
    Starts starts;
    while ((!standing_ || jobs_.size() > idle_ + starting_) && threads_ < kMaxThreads) {
      if (!standing_) starts.standing = standing_ = true;
      ++threads_;
      ++starting_;
      ++starts.count;
    }
    return starts;
  }

  // Makes the threads reserved, outside the lock: a fork's prepare handler takes the lock, and
  // making a thread may wait for the dynamic loader's lock for as long as another thread's
  // dlopen holds it. Those that cannot be made are given back: their jobs wait for a thread that
  // exists, and a later post or sync tries again.
  [[gnu::noinline]] void start(Starts starts) {
    for (std::size_t made = 0; made < starts.count; ++made) {
      const bool standing = starts.standing && made == 0;
      try {
        std::thread([this, standing] { work(standing); }).detach();
      } catch (...) {
        std::lock_guard lock(mutex_);
        threads_ -= starts.count - made;
        starting_ -= starts.count - made;
        if (standing) standing_ = false;
        return;
      }
    }
  }

  void work(bool standing) {
    std::unique_lock lock(mutex_);
    --starting_;
    std::uint64_t forks = gForks.load();
    for (;;) {
      ++idle_;
      const auto hasJob = [this] { return !jobs_.empty(); };
      if (standing) {
        available_.wait(lock, hasJob);
      } else if (!available_.wait_for(lock, idleLifetime_, hasJob)) {
        --idle_;
        --threads_;
        return;
      }
      --idle_;
      Block job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      job = nullptr;  // release captures before taking the lock again
      lock.lock();
      if (forks != gForks.load()) {
        // The job forked, and this is the child: the child's pool, made anew, does not count
        // this thread yet. It joins as a worker that ends when idle (the child's standing one,
        // if it needs one, is started anew), so that the counts stay true when it ends.
        forks = gForks.load();
        ++threads_;
        standing = false;
      }
    }
  }

  // A child made by fork() has none of the parent's threads: it starts its own when it first
  // needs one. The jobs that were waiting here at the fork are the parent's, run by the parent:
  // the child drops them.
 public:
  static void beforeFork() {
    gPoolMaking.lock();
    if (ThreadPool* pool = instance_.load()) pool->mutex_.lock();
  }
  static void afterForkInParent() {
    if (ThreadPool* pool = instance_.load()) pool->mutex_.unlock();
    gPoolMaking.unlock();
  }
  static void afterForkInChild() {
    gPoolMaking.unlock();
    if (instance_.load() == nullptr) return;
    ThreadPool& pool = *instance_.load();
    pool.threads_ = 0;
    pool.idle_ = 0;
    pool.starting_ = 0;
    pool.standing_ = false;
    // Made anew rather than unlocked or reused: the lock was taken by the parent's thread, and
    // the parent's waiting threads, which are not here, left their marks in the condition. The
    // parent's jobs are left where they are, never run nor destroyed here (their captures may
    // hold what the parent's threads were using).
    new (&pool.mutex_) std::mutex();
    new (&pool.available_) std::condition_variable();
    forgetParentsWork(pool.jobs_, pool.spare_);
  }

 private:
  // Made under gPoolMaking, which a fork waits for: not as a function-local static, whose guard a
  // child forked while another thread made the pool would find taken for ever. Its first worker
  // is started once the lock is let go.
  static ThreadPool& make() {
    ThreadPool* made = nullptr;
    {
      std::lock_guard lock(gPoolMaking);
      if (ThreadPool* done = instance_.load(std::memory_order_relaxed)) return *done;
      registry();  // installs the fork handlers, which take the pool's lock after the registry's
      if (void (*hook)() = gPoolMakingHook.load()) hook();
      made = new ThreadPool();  // never destroyed: threads may outlive main()
      instance_.store(made, std::memory_order_release);
    }
    made->retryStarting();  // its standing worker, outside the lock a fork takes
    return *made;
  }

  static inline std::atomic<ThreadPool*> instance_{nullptr};

  std::mutex mutex_;
  std::condition_variable available_;
  std::deque<Block> jobs_;
  std::unique_ptr<std::deque<Block>> spare_;  // empty (see forgetParentsWork)
  std::size_t idle_ = 0;
  std::size_t starting_ = 0;  // started, not yet waiting for jobs
  std::size_t threads_ = 0;
  bool standing_ = false;
  std::size_t refusals_ = 0;
  std::chrono::milliseconds idleLifetime_{10000};
};

// The caller of `sync` and the queue's drain meet here: the drain grants the turn, the caller
// runs the block and reports it done, and only then the drain goes on. While the caller waits
// for its turn, it keeps asking the pool to start the workers that waiting jobs lack (the drain
// it waits for may be one of them).
class SyncTurn {
 public:
  void grant() { signal(granted_); }
  void waitGranted() {
    std::unique_lock lock(mutex_);
    while (!granted_) {
      lock.unlock();
      ThreadPool::shared().retryStarting();
      lock.lock();
      changed_.wait_for(lock, kRetryStartingEvery, [this] { return granted_; });
    }
  }
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
  static constexpr std::chrono::milliseconds kRetryStartingEvery{500};

  std::mutex mutex_;
  std::condition_variable changed_;
  bool granted_ = false;
  bool done_ = false;
};

// The thread of a serial queue made with one (Queue::serialOnOwnThread): it runs the queue's
// drains, which the queue hands it one at a time as others hand theirs to the pool, so that the
// blocks run on one thread whatever thread posts them. Started with the first drain (and again in
// a child made by fork(), which has none of the parent's threads); it ends once its queue is gone.
// Shared by the queue and its thread.
class OwnThread {
 public:
  // Under the queue's lock: takes the drain, starting the thread when there is none. False when
  // none can be started: the drain is not taken (the caller hands it to the pool).
  bool submit(Block& drain) {
    std::lock_guard lock(mutex_);
    if (!running_) {
      try {
        std::thread([self = self_.lock()] { self->run(); }).detach();
      } catch (...) {
        return false;
      }
      running_ = true;
    }
    drain_ = std::move(drain);
    available_.notify_one();
    return true;
  }

  // The queue is gone: the thread ends.
  void stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    available_.notify_one();
  }

  // In the child of a fork (the only thread): the parent's drain is forgotten, neither run nor
  // destroyed (it holds the queue), and the lock made anew. The thread is the forking one when it
  // forked from a block of the queue; else there is none, and the next drain starts one.
  void afterForkInChild() {
    new (&mutex_) std::mutex();
    new (&available_) std::condition_variable();
    new (&drain_) Block();
    running_ = current == this;
  }

  static std::shared_ptr<OwnThread> make(const std::string& label) {
    auto made = std::make_shared<OwnThread>();
    made->self_ = made;
    made->name_ = label.substr(0, 15);  // the most a thread's name holds
    return made;
  }

 private:
  void run() {
    current = this;
    pthread_setname_np(pthread_self(), name_.c_str());  // as tools show it; none is no harm
    std::unique_lock lock(mutex_);
    for (;;) {
      available_.wait(lock, [this] { return drain_ || stopped_; });
      if (!drain_) {
        running_ = false;
        return;
      }
      Block drain = std::move(drain_);
      drain_ = nullptr;
      lock.unlock();
      drain();
      drain = nullptr;  // may drop the queue's last owner, which stops this thread
      lock.lock();
    }
  }

  // The calling thread's, when it is one; no destructor (see CurrentQueueScope).
  static thread_local const OwnThread* current;

  std::weak_ptr<OwnThread> self_;
  std::string name_;  // the queue's label, cut to what a thread's name holds
  std::mutex mutex_;
  std::condition_variable available_;
  Block drain_;  // handed over, not yet begun
  bool running_ = false;
  bool stopped_ = false;
};
constinit thread_local const OwnThread* OwnThread::current = nullptr;

class SerialQueue final : public Queue {
 public:
  explicit SerialQueue(std::string label, std::shared_ptr<OwnThread> own = nullptr)
      : Queue(std::move(label)), own_(std::move(own)) {
    QueueRegistry& queues = registry();
    std::lock_guard lock(queues.mutex);
    queues.queues.insert(this);
  }
  ~SerialQueue() override {
    {
      QueueRegistry& queues = registry();
      std::lock_guard lock(queues.mutex);
      queues.queues.erase(this);
    }
    if (own_) own_->stop();
  }

  // In the child of a fork (the only thread, the registry's lock held): the queue forgets the
  // parent's blocks and the parent's callers waiting for their turn, and is free unless the
  // forking thread itself holds it (`heldHere`: it goes on with that block and hands the queue
  // on when it ends). The lock is made anew: a parent's thread may have held it. Suspensions
  // stay: they are the state the queue's owner set. Allocates nothing, as the pool's.
  void afterForkInChild(bool heldHere) {
    new (&mutex_) std::mutex();
    forgetParentsWork(items_, spare_);
    if (!heldHere) draining_ = false;
    if (own_) own_->afterForkInChild();
  }

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
    {
      // A caller whose thread is cancelled while it waits gives its turn up: the queue, when it
      // comes to the turn, goes on without waiting for it.
      struct GiveUp {
        SyncTurn& turn;
        bool granted = false;
        ~GiveUp() {
          if (!granted) turn.finish();
        }
      } giveUp{*turn};
      turn->waitGranted();
      giveUp.granted = true;
    }
    struct Finish {
      SerialQueue& queue;
      SyncTurn& turn;
      std::uint64_t forks = gForks.load();
      ~Finish() {
        if (forks == gForks.load()) {
          turn.finish();
        } else {
          // The block forked and this is the child: the drain that granted the turn is the
          // parent's and waits there. Here this thread holds the queue, and hands it on.
          queue.handOnAfterInlineSync();
        }
      }
    } finish{*this, *turn};
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

  // Hands the queue's blocks to the pool unless it has them already (a drain is queued there or
  // running). Throws only when memory runs out, and the queue then stays as it was.
  void scheduleLocked() {
    if (draining_ || suspendCount_ > 0 || items_.empty()) return;
    auto self = std::static_pointer_cast<SerialQueue>(shared_from_this());
    Block drain = [self] { self->drain(); };
    if (!own_ || !own_->submit(drain)) ThreadPool::shared().submit(std::move(drain));
    draining_ = true;
  }

  // Adds the item and schedules it; when scheduling fails (no memory), the item is taken back
  // and the failure reaches the caller.
  void enqueueLocked(Item item) {
    if (!spare_) spare_ = std::make_unique<std::deque<Item>>();
    items_.push_back(std::move(item));
    try {
      scheduleLocked();
    } catch (...) {
      items_.pop_back();
      throw;
    }
  }

  // Ends a sync that ran on the caller: what was posted meanwhile goes to the pool, and waits
  // there for a worker if none can be started now. It never runs here: the caller may be inside
  // a block of another queue.
  void handOnAfterInlineSync() noexcept {
    std::lock_guard lock(mutex_);
    draining_ = false;
    try {
      scheduleLocked();
    } catch (...) {
      // Out of memory: the blocks stay queued and the next post schedules them.
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

  const std::shared_ptr<OwnThread> own_;  // none: the pool runs the drains
  std::mutex mutex_;
  std::deque<Item> items_;
  std::unique_ptr<std::deque<Item>> spare_;  // empty (see forgetParentsWork)
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

void beforeFork();
void afterForkInParent();
void afterForkInChild();

QueueRegistry& registry() {
  static QueueRegistry* made = [] {
    auto* queues = new QueueRegistry();  // never destroyed: queues may outlive main()
    pthread_atfork(&beforeFork, &afterForkInParent, &afterForkInChild);
    return queues;
  }();
  return *made;
}
// Made as the program loads, before any thread of the SDK's: a fork never finds them half made.
[[maybe_unused]] const bool gQueuesMadeAtLoad = (mainSlot(), registry(), true);

// Lock order: the main queue's slot (it makes a queue under its lock), the registry (a queue
// registers under it), the pool (a queue posts its drain under its own lock).
void beforeFork() {
  waitBeforeForkLocks();
  mainSlot().mutex.lock();
  registry().mutex.lock();
  ThreadPool::beforeFork();
}

void afterForkInParent() {
  ThreadPool::afterForkInParent();
  registry().mutex.unlock();
  mainSlot().mutex.unlock();
}

void afterForkInChild() {
  gForks.fetch_add(1);
  ThreadPool::afterForkInChild();
  QueueRegistry& queues = registry();
  for (SerialQueue* queue : queues.queues) {
    queue->afterForkInChild(CurrentQueueScope::running(queue));
  }
  queues.mutex.unlock();
  mainSlot().mutex.unlock();
}

}  // namespace

void refuseNextWorkerJobs(std::size_t count) { ThreadPool::shared().refuseNext(count); }
void setWorkerIdleLifetime(std::chrono::milliseconds lifetime) { ThreadPool::shared().setIdleLifetime(lifetime); }
void setWorkerPoolMakingHookForTesting(void (*hook)()) { gPoolMakingHook.store(hook); }

Queue::Queue(std::string label) : label_(std::move(label)) {}
Queue::~Queue() = default;

void Queue::after(double delaySeconds, Block block) {
  Timer::once(shared_from_this(), delaySeconds, std::move(block));
}

bool Queue::isCurrent() const {
  return CurrentQueueScope::running(this);
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

std::shared_ptr<Queue> Queue::serialOnOwnThread(std::string label) {
  stayLoaded();  // before its thread runs this code (and not under a lock)
  auto own = OwnThread::make(label);
  return std::make_shared<SerialQueue>(std::move(label), std::move(own));
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
  const Queue* queue = CurrentQueueScope::innermostQueue();
  return queue != nullptr ? queue->label() : std::string();
}

std::shared_ptr<Queue> Queue::current() {
  const Queue* queue = CurrentQueueScope::innermostQueue();
  if (queue == nullptr) return nullptr;
  // A queue running a block is alive; one not owned by a shared pointer answers null.
  return std::const_pointer_cast<Queue>(queue->weak_from_this().lock());
}

}  // namespace platform
