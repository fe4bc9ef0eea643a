// What queues do when the worker pool cannot start a thread (`refuseNextWorkerJobs`): work waits
// for a worker that exists, never runs on a thread that is inside another queue's block, and no
// post fails.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "Bounds.h"
#include "dispatch/Clock.h"
#include "dispatch/Queue.h"
#include "dispatch/Testing.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

constexpr auto kWatchdog = testsupport::kEventWait;

// Set on the threads a test starts to post work: no posted block may run on one of them.
thread_local bool tPosting = false;

// Clears what a test left of the refusals, also when it fails half-way.
struct RefusalsOff {
  ~RefusalsOff() { refuseNextWorkerJobs(0); }
};

// Waits (bounded) until everything posted to the queue before the call has run.
bool drained(const std::shared_ptr<Queue>& queue) {
  auto done = std::make_shared<std::promise<void>>();
  queue->async([done] { done->set_value(); });
  return done->get_future().wait_for(kWatchdog) == std::future_status::ready;
}

}  // namespace

TEST(NoWorkerThread, PostsAndResumesDoNotFailButWaitForAWorker) {
  RefusalsOff off;
  refuseNextWorkerJobs(3);
  auto queue = Queue::serial("test.refused.async");
  std::promise<std::string> posted;
  EXPECT_NO_THROW(queue->async([&] { posted.set_value(Queue::currentLabel()); }));
  auto postedRan = posted.get_future();
  ASSERT_EQ(postedRan.wait_for(kWatchdog), std::future_status::ready);
  EXPECT_EQ(postedRan.get(), "test.refused.async");

  std::promise<void> global;
  EXPECT_NO_THROW(Queue::global(QueuePriority::Low)->async([&] { global.set_value(); }));
  ASSERT_EQ(global.get_future().wait_for(kWatchdog), std::future_status::ready);

  // A resume whose drain gets no new thread leaves the queue resumed, its blocks waiting for one.
  queue = Queue::serial("test.refused.resume");
  queue->suspend();
  std::promise<void> held;
  queue->async([&] { held.set_value(); });
  EXPECT_NO_THROW(queue->resume());
  ASSERT_EQ(held.get_future().wait_for(kWatchdog), std::future_status::ready);
}

TEST(NoWorkerThread, BlocksPostedDuringASyncDoNotRunInsideTheCallersOtherQueue) {
  RefusalsOff off;
  auto a = Queue::serial("test.reentry.a");
  auto b = Queue::serial("test.reentry.b");
  const auto caller = std::this_thread::get_id();
  std::atomic<int> insideA{0};
  std::atomic<bool> reentered{false};
  std::promise<std::thread::id> postedOn;
  std::promise<void> nestedDone;
  a->sync([&] {
    insideA++;
    b->sync([&] {  // b is idle: runs here, on the thread that holds a
      b->async([&] {
        postedOn.set_value(std::this_thread::get_id());
        a->sync([&] {
          if (insideA.fetch_add(1) != 0) reentered = true;
          insideA--;
        });
        nestedDone.set_value();
      });
      refuseNextWorkerJobs(1);  // no thread for handing the block above on
    });
    insideA--;
  });
  auto nested = nestedDone.get_future();
  ASSERT_EQ(nested.wait_for(kWatchdog), std::future_status::ready);
  EXPECT_FALSE(reentered.load()) << "a block of a ran while another block of a was mid-way";
  EXPECT_NE(postedOn.get_future().get(), caller);
}

TEST(NoWorkerThread, TwoThreadsHoldingQueuesNeverWaitOnEachOtherForEver) {
  RefusalsOff off;
  // Heap state: when the watchdog fires, the stuck threads are left behind and still use it.
  struct State {
    std::shared_ptr<Queue> a = Queue::serial("test.deadlock.a");
    std::shared_ptr<Queue> b = Queue::serial("test.deadlock.b");
    std::shared_ptr<Queue> c = Queue::serial("test.deadlock.c");
    std::promise<void> aHeld, cHeld, firstDone, secondDone, postedDone;
    std::shared_future<void> aHeldF = aHeld.get_future().share();
    std::shared_future<void> cHeldF = cHeld.get_future().share();
  };
  auto s = std::make_shared<State>();
  // Holds a; posts to b a block that needs c, during a sync onto b whose hand-over is refused.
  std::thread first([s] {
    s->a->sync([&] {
      s->aHeld.set_value();
      s->cHeldF.wait();
      s->b->sync([&] {
        s->b->async([s] {
          s->c->sync([] {});
          s->postedDone.set_value();
        });
        refuseNextWorkerJobs(1);
      });
    });
    s->firstDone.set_value();
  });
  // Holds c and waits for a.
  std::thread second([s] {
    s->c->sync([&] {
      s->cHeld.set_value();
      s->aHeldF.wait();
      s->a->sync([] {});
    });
    s->secondDone.set_value();
  });
  const auto deadline = std::chrono::steady_clock::now() + kWatchdog;
  bool finished = s->firstDone.get_future().wait_until(deadline) == std::future_status::ready &&
                  s->secondDone.get_future().wait_until(deadline) == std::future_status::ready &&
                  s->postedDone.get_future().wait_until(deadline) == std::future_status::ready;
  if (!finished) {
    first.detach();
    second.detach();
    FAIL() << "the threads wait on each other";
  }
  first.join();
  second.join();
}

TEST(NoWorkerThread, SerialQueuesKeepOrderAndExclusionAndRunEachBlockOnceOnEightThreads) {
  RefusalsOff off;
  constexpr int kThreads = 8;
  constexpr int kPerThread = 400;
  constexpr int kQueues = 3;
  struct Log {
    std::shared_ptr<Queue> queue;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::pair<int, int>> seen;  // guarded by the queue alone
  };
  std::array<Log, kQueues> logs;
  for (int q = 0; q < kQueues; ++q) logs[q].queue = Queue::serial("test.refused.many." + std::to_string(q));
  std::atomic<int> threw{0};
  std::atomic<int> ranOnPoster{0};

  refuseNextWorkerJobs(1000000);  // no post starts a thread
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      tPosting = true;
      for (int i = 0; i < kPerThread; ++i) {
        Log& log = logs[static_cast<std::size_t>((t + i) % kQueues)];
        const bool viaSync = i % 5 == 0;
        auto block = [&log, &ranOnPoster, viaSync, t, i] {
          if (log.running.fetch_add(1) != 0) log.overlapped = true;
          if (!viaSync && tPosting) ranOnPoster++;
          log.seen.emplace_back(t, i);
          log.running.fetch_sub(1);
        };
        try {
          if (viaSync) {
            log.queue->sync(block);
          } else {
            log.queue->async(block);
          }
        } catch (...) {
          threw++;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  refuseNextWorkerJobs(0);
  for (auto& log : logs) ASSERT_TRUE(drained(log.queue)) << log.queue->label() << " never drained";

  EXPECT_EQ(threw.load(), 0);
  EXPECT_EQ(ranOnPoster.load(), 0);
  std::vector<int> count(kThreads * kPerThread, 0);
  for (int q = 0; q < kQueues; ++q) {
    const Log& log = logs[q];
    EXPECT_FALSE(log.overlapped.load()) << log.queue->label();
    std::array<int, kThreads> last;
    last.fill(-1);
    for (const auto& [t, i] : log.seen) {
      EXPECT_EQ((t + i) % kQueues, q);
      EXPECT_GT(i, last[t]) << "thread " << t << " out of order on " << log.queue->label();
      last[t] = i;
      ++count[t * kPerThread + i];
    }
  }
  for (std::size_t k = 0; k < count.size(); ++k) ASSERT_EQ(count[k], 1) << "block " << k;
}

// A child made by fork() has no worker: the pool starts one there when first needed, and when
// even that one is refused, the work waits for a later post instead of running on the caller.
TEST(NoWorkerThread, AForkedChildStartsItsOwnWorkersAndLeavesRefusedWorkForThem) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer does not support threads in a child of a threaded process";
#endif
  ASSERT_TRUE(drained(Queue::global()));  // the parent has workers, idle now
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    alarm(testsupport::kChildLife.count());  // watchdog: a stuck child dies of SIGALRM
    const auto childThread = std::this_thread::get_id();
    // The grandchild is forked while this child has no thread but this one: a fork while another
    // thread may be inside AddressSanitizer's allocator (a worker freeing what its block held)
    // can leave the child a lock no thread of its own will let go.
    // In a fresh child (no worker yet), the first worker is refused: what the end of an inline
    // sync hands on must not run on the caller; the next post starts a worker that runs it.
    const pid_t grandchild = fork();
    if (grandchild == -1) _exit(13);
    if (grandchild == 0) {
      alarm(kWatchdog.count());  // its own watchdog: alarms are not inherited
      try {
        auto queue = Queue::serial("child.refused");
        std::atomic<bool> ranOnCaller{false};
        std::promise<void> ran;
        refuseNextWorkerJobs(1);
        queue->sync([&] {
          queue->async([&] {
            ranOnCaller = std::this_thread::get_id() == childThread;
            ran.set_value();
          });
        });
        if (ranOnCaller) _exit(20);
        // A sync onto the queue now waits for the work ahead of it, on a worker started for it.
        bool afterPosted = false;
        auto future = ran.get_future();
        queue->sync([&] { afterPosted = future.wait_for(0s) == std::future_status::ready; });
        if (!afterPosted || ranOnCaller) _exit(21);
        _exit(0);
      } catch (...) {
        _exit(22);
      }
    }
    try {
      // Plain work in the child, which starts its workers.
      if (!drained(Queue::global())) _exit(10);
      if (!drained(Queue::serial("child.plain"))) _exit(11);
    } catch (...) {
      _exit(12);
    }
    int status = 0;
    if (waitpid(grandchild, &status, 0) != grandchild) _exit(14);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 15);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The same under a real limit: a child that runs as a user limited to the one process it has
// cannot start any thread. Posting and scheduling a timer do not fail; the work waits, and runs
// once the limit is lifted and a later post or timer starts the threads.
TEST(NoWorkerThread, UnderAProcessLimitPostsAndTimersWaitForThreadsWithoutFailing) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer does not support threads in a child of a threaded process";
#endif
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to run a child as a user with a process limit";
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    alarm(3 * kWatchdog.count());  // beyond its own two waits
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(30);
    rlimit original{};
    if (getrlimit(RLIMIT_NPROC, &original) != 0) _exit(31);
    const rlimit tight{1, original.rlim_max};
    if (setrlimit(RLIMIT_NPROC, &tight) != 0) _exit(31);
    try {
      std::thread([] {}).join();
      _exit(32);  // the limit does not hold here
    } catch (const std::system_error&) {
    }
    auto posted = std::make_shared<std::promise<void>>();
    auto fired = std::make_shared<std::promise<void>>();
    auto queue = Queue::serial("child.limited");
    try {
      queue->async([posted] { posted->set_value(); });
    } catch (...) {
      _exit(33);
    }
    try {
      Clock::system()->scheduleTimer(0, [fired] { fired->set_value(); });
    } catch (...) {
      _exit(34);
    }
    auto postedRan = posted->get_future();
    if (postedRan.wait_for(0s) == std::future_status::ready) _exit(35);  // ran on this thread
    if (setrlimit(RLIMIT_NPROC, &original) != 0) _exit(36);
    Queue::global()->async([] {});
    Clock::system()->scheduleTimer(0, [] {});
    if (postedRan.wait_for(kWatchdog) != std::future_status::ready) _exit(37);
    if (fired->get_future().wait_for(kWatchdog) != std::future_status::ready) _exit(38);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
