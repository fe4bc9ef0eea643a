// A child made by fork() has the parent's queues, pool and timers but only the forking thread.
// Whatever state the parent's other threads left them in (a sync running inline, a drain at
// work, a lock held, a timer due, jobs waiting for a worker), the child's own posts, syncs and
// timers work, the parent's queued work never runs in the child, and every block of the parent
// runs exactly once, in the parent. Each test wants a fresh process (ctest runs each alone): the
// one that holds a queue's lock across the fork relies on the order of the fork handlers.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Bounds.h"
#include "ForkedChild.h"
#include "dispatch/Clock.h"
#include "dispatch/Queue.h"
#include "dispatch/Testing.h"
#include "dispatch/Timer.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

constexpr auto kWait = testsupport::kEventWait;
constexpr auto kChildLimit = testsupport::kChildLife;

#if defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_TSAN() GTEST_SKIP() << "the thread sanitizer does not support threads in a child of a threaded process"
#else
#define SKIP_UNDER_TSAN() (void)0
#endif

// A gate the parent's blocks wait at until the test lets them go.
struct Latch {
  std::promise<void> opened;
  std::shared_future<void> open = opened.get_future().share();
  void release() { opened.set_value(); }
  void wait() const { open.wait(); }
};

bool ranWithin(const std::shared_ptr<Queue>& queue) {
  auto ran = std::make_shared<std::promise<void>>();
  queue->async([ran] { ran->set_value(); });
  return ran->get_future().wait_for(kWait) == std::future_status::ready;
}

// The child's use of a queue: a post runs, a sync returns. 0 when both did.
int childUses(const std::shared_ptr<Queue>& queue, int failure) {
  if (!ranWithin(queue)) return failure;
  bool synced = false;
  queue->sync([&] { synced = true; });
  return synced ? 0 : failure + 1;
}

bool eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

using testsupport::threadState;

// Posts to `queue` a block that forks: there the parent goes on at once and the child (its leak
// check skipped) runs `inChild`. Gives the child's id and the moment of the fork.
std::future<std::pair<pid_t, std::chrono::steady_clock::time_point>> forkFromABlockOf(
    const std::shared_ptr<Queue>& queue, std::function<void()> inChild) {
  auto forked = std::make_shared<std::promise<std::pair<pid_t, std::chrono::steady_clock::time_point>>>();
  queue->async([forked, inChild = std::move(inChild)] {
    std::fflush(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid != 0) {
      forked->set_value({pid, start});
      return;
    }
    testsupport::skipLeakCheck = true;
    inChild();
  });
  return forked->get_future();
}

}  // namespace

// Another thread inside an inline sync on one queue, a drain blocked inside a block on another
// with the parent's blocks queued behind, and jobs of the parent waiting in the pool for a worker
// while every worker is busy.
TEST(ForkedChild, UsesQueuesThatTheParentsThreadsHeldAndRunsNoneOfTheParentsWork) {
  SKIP_UNDER_TSAN();
  auto inlineQueue = Queue::serial("fork.inline");
  auto drainQueue = Queue::serial("fork.drain");
  Latch latch;
  std::atomic<int> parentRuns{0};

  std::promise<void> insideSync;
  std::thread syncCaller([&] {
    inlineQueue->sync([&] {
      insideSync.set_value();
      latch.wait();
    });
  });
  insideSync.get_future().wait();
  inlineQueue->async([&] { ++parentRuns; });

  std::promise<void> insideDrain;
  drainQueue->async([&] {
    insideDrain.set_value();
    latch.wait();
  });
  insideDrain.get_future().wait();
  constexpr int kQueuedBehind = 5;
  for (int i = 0; i < kQueuedBehind; ++i) drainQueue->async([&] { ++parentRuns; });

  // Every worker busy, then jobs that get no new worker: they wait in the pool at the fork.
  constexpr int kBusy = 32;
  std::atomic<int> busy{0};
  for (int i = 0; i < kBusy; ++i) {
    Queue::global()->async([&busy, open = latch.open] {
      ++busy;
      open.wait();
    });
  }
  ASSERT_TRUE(eventually([&] { return busy.load() == kBusy; }));
  constexpr int kWaitingJobs = 3;
  refuseNextWorkerJobs(kWaitingJobs);
  for (int i = 0; i < kWaitingJobs; ++i) Queue::global()->async([&] { ++parentRuns; });

  const testsupport::ChildEnd end = testsupport::runInChild(
      [&] {
        int failed = childUses(Queue::global(), 10);
        if (!failed) failed = childUses(inlineQueue, 20);
        if (!failed) failed = childUses(drainQueue, 30);
        if (!failed) failed = childUses(Queue::serial("fork.child"), 40);
        // What the parent had queued ran before the child's own blocks, or never.
        if (!failed && parentRuns.load() != 0) failed = 50 + parentRuns.load();
        _exit(failed);
      },
      kChildLimit);
  EXPECT_TRUE(end.exitedWith(0)) << "status " << end.status << " in time " << end.inTime;

  latch.release();
  syncCaller.join();
  EXPECT_TRUE(ranWithin(inlineQueue));
  EXPECT_TRUE(ranWithin(drainQueue));
  EXPECT_TRUE(eventually([&] { return parentRuns.load() >= 1 + kQueuedBehind + kWaitingJobs; }));
  EXPECT_TRUE(ranWithin(Queue::global()));
  EXPECT_EQ(parentRuns.load(), 1 + kQueuedBehind + kWaitingJobs);
}

// A thread posting to an idle queue holds the queue's lock while it hands the drain to the pool,
// whose lock the fork handlers hold: forking then leaves the child a queue whose lock the parent's
// thread held. The test's prepare handler, registered as the program loads (its objects are
// initialised before those of the queues' library, which register theirs), runs after theirs:
// were it to run first, the poster would never wait, and the fork would fail the test.
namespace {
std::atomic<bool> postNow{false};
std::atomic<pid_t> posterThread{0};
void holdQueueLockAcrossFork() {
  if (posterThread.load() == 0) return;
  postNow = true;
  // The poster sleeps once it waits for the pool's lock (bounded: should it not, the fork goes on).
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (threadState(posterThread) != 'S' && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
}
const bool holdRegistered = pthread_atfork(&holdQueueLockAcrossFork, nullptr, nullptr) == 0;
}  // namespace

TEST(ForkedChild, PostsToAQueueWhoseLockAParentsThreadHeldAtTheFork) {
  SKIP_UNDER_TSAN();
  ASSERT_TRUE(holdRegistered);
  auto queue = Queue::serial("fork.locked");
  // The drain that runs a first block is slow to end (as on a loaded machine): it goes on after
  // the block has said that it ran, until the test waits for the queue to be idle or, without
  // that wait, until the poster has posted.
  std::atomic<bool> idleAwaited{false};
  std::atomic<bool> posted{false};
  auto ran = std::make_shared<std::promise<void>>();
  queue->async([&, ran] {
    ran->set_value();
    while (!idleAwaited && !posted) std::this_thread::yield();
  });
  ASSERT_EQ(ran->get_future().wait_for(kWait), std::future_status::ready);
  // The queue is idle once the drain that ran that block has ended, which drops the drain's
  // owner of the queue: a post before then leaves the block to that drain, and the poster never
  // waits for the pool (the block runs in the parent before the fork, and the child counts it).
  idleAwaited = true;
  ASSERT_TRUE(eventually([&] { return queue.use_count() == 1; }));
  std::atomic<int> parentRuns{0};
  std::thread poster([&] {
    posterThread = gettid();
    while (!postNow) std::this_thread::yield();
    queue->async([&] { ++parentRuns; });
    posted = true;
  });
  // A failed assertion below returns with the poster still waiting: let it post, and join it.
  struct Joined {
    std::thread& thread;
    ~Joined() {
      postNow = true;
      if (thread.joinable()) thread.join();
    }
  } joined{poster};
  ASSERT_TRUE(eventually([] { return posterThread.load() != 0; }));
  const testsupport::ChildEnd end = testsupport::runInChild(
      [&] {
        int failed = childUses(queue, 10);
        if (!failed && parentRuns.load() != 0) failed = 20;
        _exit(failed);
      },
      kChildLimit);
  posterThread = 0;
  poster.join();
  EXPECT_TRUE(end.exitedWith(0)) << "status " << end.status << " in time " << end.inTime;
  EXPECT_TRUE(ranWithin(queue));
  EXPECT_EQ(parentRuns.load(), 1);
}

// A timer of the parent's due at the fork, its scheduler held up by another: the child's own
// timers fire and the parent's does not fire in the child; in the parent it fires once.
TEST(ForkedChild, FiresItsOwnTimersAndNotTheParentsDueOne) {
  SKIP_UNDER_TSAN();
  auto queue = Queue::serial("fork.timers");
  Latch latch;
  std::promise<void> schedulerHeld;
  Clock::system()->scheduleTimer(0, [&] {
    schedulerHeld.set_value();
    latch.wait();
  });
  schedulerHeld.get_future().wait();
  std::atomic<int> parentFired{0};
  auto parentTimer = Timer::once(queue, 0, [&] { ++parentFired; });

  const testsupport::ChildEnd end = testsupport::runInChild(
      [&] {
        // The child's timer is due after the parent's: the same queue would run the parent's first.
        auto fired = std::make_shared<std::promise<int>>();
        Timer::once(queue, 0, [&, fired] { fired->set_value(parentFired.load()); });
        auto firedInChild = fired->get_future();
        if (firedInChild.wait_for(kWait) != std::future_status::ready) _exit(10);
        _exit(firedInChild.get() == 0 ? 0 : 11);
      },
      kChildLimit);
  EXPECT_TRUE(end.exitedWith(0)) << "status " << end.status << " in time " << end.inTime;

  latch.release();
  EXPECT_TRUE(eventually([&] { return parentTimer->hasFired(); }));
  EXPECT_TRUE(ranWithin(queue));
  EXPECT_EQ(parentFired.load(), 1);
}

// A block running on a pool worker forks, and in the child the block returns: the worker, the
// child's only thread, serves the child's pool until its idle life ends. A post after that starts
// a new worker.
TEST(ForkedChild, ForkedFromAWorkerPostsAfterThatWorkerHasEnded) {
  SKIP_UNDER_TSAN();
  setWorkerIdleLifetime(100ms);
  // The pool's first worker never ends: it is kept busy, and the block below gets another.
  Latch latch;
  std::promise<void> standingBusy;
  Queue::global()->async([&standingBusy, open = latch.open] {
    standingBusy.set_value();
    open.wait();
  });
  standingBusy.get_future().wait();
  auto queue = Queue::serial("fork.worker");
  auto forked = forkFromABlockOf(queue, [queue] {
    const pid_t worker = gettid();
    std::thread([worker, queue] {
      alarm(kChildLimit.count());
      // The forking worker, back from this block, ends once idle.
      const auto deadline = std::chrono::steady_clock::now() + kWait;
      // The child's first thread, once ended, stays a zombie until the process ends.
      while (threadState(worker) != 'Z' && threadState(worker) != 0) {
        if (std::chrono::steady_clock::now() > deadline) _exit(10);
        std::this_thread::yield();
      }
      _exit(childUses(queue, 20) ? 20 : childUses(Queue::global(), 30));
    }).detach();
  });
  auto [pid, start] = forked.get();
  const testsupport::ChildEnd end = testsupport::awaitChild(pid, start, kChildLimit);
  setWorkerIdleLifetime(10s);
  latch.release();
  EXPECT_TRUE(end.exitedWith(0)) << "status " << end.status << " in time " << end.inTime;
  EXPECT_TRUE(ranWithin(queue));
}

// A queue's own thread holds a block of the parent's, with more queued behind it, at the fork:
// the child has no such thread. Its posts start one of its own (named after the queue) and run,
// its syncs return, and the parent's blocks run only in the parent, on the parent's thread.
TEST(ForkedChild, StartsAQueuesOwnThreadAnewAndRunsNoneOfTheParentsBlocks) {
  SKIP_UNDER_TSAN();
  auto queue = Queue::serialOnOwnThread("fork.own");
  Latch latch;
  std::promise<pid_t> inside;
  queue->async([&] {
    inside.set_value(gettid());
    latch.wait();
  });
  const pid_t parentsOwn = inside.get_future().get();
  std::atomic<int> parentRuns{0};
  std::atomic<pid_t> ranOn{0};
  constexpr int kQueuedBehind = 5;
  for (int i = 0; i < kQueuedBehind; ++i) {
    queue->async([&] {
      ++parentRuns;
      ranOn = gettid();
    });
  }
  const testsupport::ChildEnd end = testsupport::runInChild(
      [&] {
        int failed = childUses(queue, 10);
        std::promise<std::string> named;
        queue->async([&] {
          char name[16] = {};
          pthread_getname_np(pthread_self(), name, sizeof name);
          named.set_value(name);
        });
        if (!failed && named.get_future().get() != "fork.own") failed = 20;
        if (!failed && parentRuns.load() != 0) failed = 30 + parentRuns.load();
        _exit(failed);
      },
      kChildLimit);
  EXPECT_TRUE(end.exitedWith(0)) << "status " << end.status << " in time " << end.inTime;
  latch.release();
  EXPECT_TRUE(eventually([&] { return parentRuns.load() == kQueuedBehind; }));
  EXPECT_EQ(ranOn.load(), parentsOwn);
  EXPECT_TRUE(ranWithin(queue));
}

// A block on a queue's own thread forks: in the child that thread goes on as the queue's, running
// what the child posts from the block and, once the drain is over, from another thread.
TEST(ForkedChild, ForkedFromABlockOnAQueuesOwnThreadGoesOnAsThatQueuesThread) {
  SKIP_UNDER_TSAN();
  auto queue = Queue::serialOnOwnThread("fork.own.fork");
  auto forked = forkFromABlockOf(queue, [queue] {
    alarm(kChildLimit.count());
    const pid_t forker = gettid();
    queue->async([queue, forker] {
      if (gettid() != forker) _exit(10);
      std::thread([queue, forker] {
        std::promise<pid_t> ranOn;
        queue->async([&] { ranOn.set_value(gettid()); });
        _exit(ranOn.get_future().get() == forker ? 0 : 20);
      }).detach();
    });
  });
  auto [pid, start] = forked.get();
  const testsupport::ChildEnd end = testsupport::awaitChild(pid, start, kChildLimit);
  EXPECT_TRUE(end.exitedWith(0)) << "status " << end.status << " in time " << end.inTime;
  EXPECT_TRUE(ranWithin(queue));
}

// A sync onto a busy queue waits for its turn, granted by the queue's drain on a worker; its
// block forks. The drain waits in the parent; in the child the forking thread holds the queue and
// hands it on when the block ends, so the child's later posts to that queue run.
TEST(ForkedChild, ForkedFromASyncBlockThatWaitedForItsTurnPostsToThatQueue) {
  SKIP_UNDER_TSAN();
  auto queue = Queue::serial("fork.turn");
  std::promise<void> busyAgain;
  Latch latchAgain;
  queue->async([&] {
    busyAgain.set_value();
    latchAgain.wait();
  });
  busyAgain.get_future().wait();
  std::promise<std::pair<pid_t, std::chrono::steady_clock::time_point>> forked;
  std::atomic<pid_t> forkerThread{0};
  std::thread forker([&] {
    forkerThread = gettid();
    bool inChild = false;
    queue->sync([&] {
      std::fflush(nullptr);
      const auto start = std::chrono::steady_clock::now();
      const pid_t pid = fork();
      inChild = pid == 0;
      if (!inChild) forked.set_value({pid, start});
    });
    if (inChild) {
      testsupport::skipLeakCheck = true;
      alarm(kChildLimit.count());
      _exit(childUses(queue, 10));
    }
  });
  // The blocker ends once the caller sleeps waiting for its turn.
  ASSERT_TRUE(eventually([&] { return forkerThread.load() != 0 && threadState(forkerThread) == 'S'; }));
  latchAgain.release();
  auto [pid, start] = forked.get_future().get();
  forker.join();
  const testsupport::ChildEnd end = testsupport::awaitChild(pid, start, kChildLimit);
  EXPECT_TRUE(end.exitedWith(0)) << "status " << end.status << " in time " << end.inTime;
  EXPECT_TRUE(ranWithin(queue));
}

// A thread is making the worker pool (its first post) when another forks: the fork waits for the
// pool, so that the child, which posts and syncs, never finds it half made. In a program of its
// own, built plain: AddressSanitizer of this compiler does not hold its allocator across fork(),
// so a child forked while the pool's first worker starts may wait for ever at its first
// allocation, whatever the queues do.
TEST(ForkedChild, ForkedWhileAThreadMakesTheWorkerPoolUsesQueues) {
  const testsupport::ChildEnd end = testsupport::runInChild(
      [] {
        ::execl(VESMORA_POOL_MAKING_FORK, VESMORA_POOL_MAKING_FORK, static_cast<char*>(nullptr));
        _exit(127);
      },
      2 * kChildLimit);
  EXPECT_TRUE(end.exitedWith(0)) << "status " << end.status << ", in time " << end.inTime
                                 << " (3: the pool was made before; 1: the child did not use its queue)";
}
