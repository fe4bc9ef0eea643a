#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Bounds.h"
#include "dispatch/Queue.h"
#include "dispatch/Testing.h"

using namespace platform;
using namespace std::chrono_literals;

TEST(SerialQueue, RunsBlocksOneAtATimeInOrder) {
  auto queue = Queue::serial("test.order");
  std::vector<int> seen;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  for (int i = 0; i < 500; ++i) {
    queue->async([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      seen.push_back(i);
      running.fetch_sub(1);
    });
  }
  // sync waits for everything submitted before it.
  size_t count = 0;
  queue->sync([&] { count = seen.size(); });
  EXPECT_EQ(count, 500u);
  EXPECT_FALSE(overlapped);
  for (int i = 0; i < 500; ++i) ASSERT_EQ(seen[i], i);
}

TEST(SerialQueue, SyncOntoTheCurrentQueueRunsInline) {
  auto a = Queue::serial("test.a");
  auto b = Queue::serial("test.b");
  std::vector<std::string> steps;
  a->sync([&] {
    EXPECT_TRUE(a->isCurrent());
    EXPECT_EQ(Queue::currentLabel(), "test.a");
    a->sync([&] { steps.push_back("a inside a"); });
    b->sync([&] {
      EXPECT_TRUE(b->isCurrent());
      EXPECT_TRUE(a->isCurrent());  // the caller's queue stays current during a nested sync
      EXPECT_EQ(Queue::currentLabel(), "test.b");
      a->sync([&] { steps.push_back("a inside b inside a"); });
    });
  });
  // The same from a block that runs asynchronously on the queue's own worker thread.
  std::promise<void> done;
  a->async([&] {
    a->sync([&] { steps.push_back("a inside async a"); });
    done.set_value();
  });
  ASSERT_EQ(done.get_future().wait_for(testsupport::kEventWait), std::future_status::ready);
  EXPECT_EQ(steps, (std::vector<std::string>{"a inside a", "a inside b inside a", "a inside async a"}));
  EXPECT_FALSE(a->isCurrent());
  EXPECT_EQ(Queue::currentLabel(), "");
}

TEST(SerialQueue, SyncOntoAnIdleQueueRunsOnTheCallerAndHoldsTheQueue) {
  auto queue = Queue::serial("test.idle");
  const auto caller = std::this_thread::get_id();
  std::vector<std::string> steps;
  std::atomic<bool> asyncRan{false};
  queue->sync([&] {
    EXPECT_EQ(std::this_thread::get_id(), caller);
    EXPECT_TRUE(queue->isCurrent());
    queue->async([&] {
      asyncRan = true;
      steps.push_back("posted during sync");
    });
    // The queue is taken: what was posted waits for this block to end.
    for (int i = 0; i < 10000 && !asyncRan.load(); ++i) std::this_thread::yield();
    EXPECT_FALSE(asyncRan.load());
    steps.push_back("sync");
  });
  queue->sync([] {});  // waits for the posted block
  EXPECT_EQ(steps, (std::vector<std::string>{"sync", "posted during sync"}));

  // Callers on several threads, mixed with posted blocks: never two blocks at once, none lost.
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  int total = 0;  // guarded by the queue alone
  auto block = [&] {
    if (running.fetch_add(1) != 0) overlapped = true;
    ++total;
    running.fetch_sub(1);
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        queue->sync(block);
        queue->async(block);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  queue->sync([] {});
  EXPECT_FALSE(overlapped.load());
  EXPECT_EQ(total, 8 * 200 * 2);
}

TEST(SerialQueue, ChainsOfSyncCallsDoNotStarveTheWorkerPool) {
  std::vector<std::shared_ptr<Queue>> queues;
  for (int i = 0; i < 40; ++i) queues.push_back(Queue::serial("test.chain." + std::to_string(i)));
  std::atomic<int> depth{0};
  std::function<void(size_t)> step = [&](size_t i) {
    depth++;
    if (i + 1 < queues.size()) queues[i + 1]->sync([&, i] { step(i + 1); });
  };
  // Every queue is busy with an async block that waits on the next queue.
  std::promise<void> done;
  queues[0]->async([&] {
    step(0);
    done.set_value();
  });
  ASSERT_EQ(done.get_future().wait_for(testsupport::kEventWait), std::future_status::ready);
  EXPECT_EQ(depth.load(), 40);
}

TEST(SerialQueue, ExceptionsReachSyncCallersAndDoNotStopAsyncWork) {
  auto queue = Queue::serial("test.exceptions");
  EXPECT_THROW(queue->sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
  int ran = 0;
  queue->async([] { throw std::runtime_error("async boom"); });
  queue->async([&] { ++ran; });
  queue->sync([&] { ++ran; });
  EXPECT_EQ(ran, 2);
}

// A thread cancelled while its sync waits for its turn behind a busy block: the queue, come to the
// turn, goes on with the blocks after it rather than wait for a caller that is gone.
TEST(SerialQueue, ASyncCallerCancelledWhileWaitingForItsTurnGivesItUp) {
#if defined(__SANITIZE_ADDRESS__)
  // The cancellation's unwind leaves the wait's frames poisoned, and at the first cleanup the
  // runtime (GCC 12's) checks a buffer of its own there with the intercepted sigaltstack.
  GTEST_SKIP() << "AddressSanitizer's runtime reports its own stack buffer after a cancelled condition wait";
#endif
  struct Caller {
    std::shared_ptr<Queue> queue = Queue::serial("test.cancelled");
    int ready[2] = {-1, -1};
    std::atomic<bool> ran{false};
  } caller;
  ASSERT_EQ(::pipe(caller.ready), 0);
  std::promise<void> busy;
  std::promise<void> release;
  caller.queue->async([&busy, gone = release.get_future().share()] {
    busy.set_value();
    gone.wait();
  });
  busy.get_future().wait();
  pthread_t thread;
  ASSERT_EQ(::pthread_create(
                &thread, nullptr,
                [](void* data) -> void* {
                  auto& c = *static_cast<Caller*>(data);
                  char byte = 1;
                  // Nothing after this write acts on the cancellation before the wait for the turn.
                  if (::write(c.ready[1], &byte, 1) == 1) c.queue->sync([&c] { c.ran = true; });
                  return nullptr;
                },
                &caller),
            0);
  char byte = 0;
  ASSERT_EQ(::read(caller.ready[0], &byte, 1), 1);
  ASSERT_EQ(::pthread_cancel(thread), 0);
  void* result = nullptr;
  ASSERT_EQ(::pthread_join(thread, &result), 0);
  EXPECT_EQ(result, PTHREAD_CANCELED);
  release.set_value();
  std::promise<void> after;
  caller.queue->async([&after] { after.set_value(); });
  ASSERT_EQ(after.get_future().wait_for(testsupport::kEventWait), std::future_status::ready);
  caller.queue->sync([] {});
  EXPECT_FALSE(caller.ran);
  ::close(caller.ready[0]);
  ::close(caller.ready[1]);
}

TEST(SerialQueue, SuspendedQueueHoldsBlocksUntilResumed) {
  auto queue = Queue::serial("test.suspend");
  queue->suspend();
  queue->suspend();
  std::atomic<int> ran{0};
  queue->async([&] { ran++; });
  queue->resume();
  queue->resume();
  queue->sync([] {});
  EXPECT_EQ(ran.load(), 1);
}

TEST(SerialQueue, ABlockMayDropTheLastOwnerOfItsQueue) {
  // A sync onto an idle queue, run on the caller.
  auto queue = Queue::serial("test.owner.idle");
  bool ran = false;
  queue->sync([&] {
    queue.reset();
    ran = true;
  });
  EXPECT_TRUE(ran);

  // The same with work posted during the block: it still runs, after the block.
  queue = Queue::serial("test.owner.posted");
  std::promise<std::string> posted;
  queue->sync([&] {
    queue->async([&] { posted.set_value(Queue::currentLabel()); });
    queue.reset();
  });
  auto postedRan = posted.get_future();
  ASSERT_EQ(postedRan.wait_for(testsupport::kEventWait), std::future_status::ready);
  EXPECT_EQ(postedRan.get(), "test.owner.posted");

  // A sync that waits behind queued work, and an async block.
  queue = Queue::serial("test.owner.busy");
  std::promise<void> release;
  auto released = release.get_future().share();
  queue->async([released] { released.wait(); });
  std::thread caller([&] { queue->sync([&] { queue.reset(); }); });
  release.set_value();
  caller.join();
  EXPECT_FALSE(queue);
  queue = Queue::serial("test.owner.async");
  std::promise<void> asyncDone;
  queue->async([&] {
    queue.reset();
    asyncDone.set_value();
  });
  ASSERT_EQ(asyncDone.get_future().wait_for(testsupport::kEventWait), std::future_status::ready);
}

TEST(GlobalQueue, RunsBlocksConcurrently) {
  auto queue = Queue::global(QueuePriority::Background);
  EXPECT_EQ(queue, Queue::global(QueuePriority::Background));
  EXPECT_NE(queue, Queue::global(QueuePriority::Default));
  // Two blocks that each wait for the other can only finish when they run at the same time.
  std::promise<void> first, second;
  auto firstReady = first.get_future().share();
  auto secondReady = second.get_future().share();
  std::promise<bool> result1, result2;
  queue->async([&] {
    first.set_value();
    result1.set_value(secondReady.wait_for(testsupport::kEventWait) == std::future_status::ready);
  });
  queue->async([&] {
    second.set_value();
    result2.set_value(firstReady.wait_for(testsupport::kEventWait) == std::future_status::ready);
  });
  EXPECT_TRUE(result1.get_future().get());
  EXPECT_TRUE(result2.get_future().get());
}

TEST(MainQueue, TestsCanInstallAManuallyDrainedMainQueue) {
  auto standard = Queue::main();
  EXPECT_EQ(standard->label(), "main");
  auto manual = ManualQueue::create("test.main");
  {
    ScopedMainQueue scope(manual);
    EXPECT_EQ(Queue::main(), manual);
    bool onMain = false;
    Queue::main()->async([&] { onMain = Queue::isMainQueue(); });
    EXPECT_FALSE(Queue::isMainQueue());
    EXPECT_EQ(manual->pendingCount(), 1u);
    EXPECT_EQ(manual->drain(), 1u);
    EXPECT_TRUE(onMain);
  }
  EXPECT_EQ(Queue::main(), standard);
}

TEST(ManualQueue, RunsBlocksOnlyWhenDrainedIncludingBlocksAddedMeanwhile) {
  auto queue = ManualQueue::create();
  std::vector<int> seen;
  queue->async([&] {
    seen.push_back(1);
    queue->async([&] { seen.push_back(3); });
  });
  queue->async([&] { seen.push_back(2); });
  EXPECT_TRUE(seen.empty());
  queue->suspend();
  EXPECT_FALSE(queue->runNext());
  queue->resume();
  EXPECT_TRUE(queue->runNext());
  EXPECT_EQ(seen, (std::vector<int>{1}));
  EXPECT_EQ(queue->drain(), 2u);
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
  // sync cannot wait for a drain that nobody does: it runs at once, as the queue.
  bool current = false;
  queue->sync([&] { current = queue->isCurrent(); });
  EXPECT_TRUE(current);
}

TEST(ManualQueue, ABlockMayDropTheLastOwnerDuringADrain) {
  auto queue = ManualQueue::create();
  std::vector<int> seen;
  queue->async([&] {
    seen.push_back(1);
    queue.reset();
  });
  queue->async([&] { seen.push_back(2); });
  EXPECT_EQ(queue->drain(), 2u);
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
}

namespace {

std::string threadName() {
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

// How many of the process's threads are named `name`.
int threadsNamed(const std::string& name) {
  int count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string line;
    if (std::getline(comm, line) && line == name) ++count;
  }
  return count;
}

}  // namespace

// Posts from several threads, each waiting for its block (so that the queue's drain ends between
// them), and a sync's turn: every block runs in order on one thread named after the queue, which
// runs nothing else (a crowd of the pool's jobs, each held until all run, takes every idle worker
// of the pool) and ends with the queue.
TEST(SerialQueueOnOwnThread, RunsEveryBlockOnOneThreadThatRunsNothingElseAndEndsWithTheQueue) {
  auto queue = Queue::serialOnOwnThread("own.thread.test");
  std::mutex mutex;
  std::vector<std::thread::id> ran;
  std::vector<std::string> names;
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t) {
    posters.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        std::promise<void> done;
        queue->async([&] {
          std::lock_guard lock(mutex);
          ran.push_back(std::this_thread::get_id());
          names.push_back(threadName());
          done.set_value();
        });
        done.get_future().wait();
      }
    });
  }
  for (auto& poster : posters) poster.join();
  ASSERT_EQ(ran.size(), 100u);
  const std::thread::id own = ran.front();
  EXPECT_EQ(std::count(ran.begin(), ran.end(), own), 100);
  EXPECT_EQ(std::count(names.begin(), names.end(), "own.thread.test"), 100);

  constexpr int kCrowd = 24;
  std::atomic<int> started{0};
  std::atomic<int> onOwn{0};
  std::promise<void> allStarted;
  std::shared_future<void> go = allStarted.get_future().share();
  for (int i = 0; i < kCrowd; ++i) {
    Queue::global()->async([&, go] {
      if (std::this_thread::get_id() == own) ++onOwn;
      if (++started == kCrowd) allStarted.set_value();
      go.wait();
    });
  }
  ASSERT_EQ(go.wait_for(testsupport::kEventWait), std::future_status::ready);
  EXPECT_EQ(onOwn.load(), 0);

  std::thread::id synced;
  queue->async([] {});
  queue->sync([&] { synced = std::this_thread::get_id(); });
  EXPECT_EQ(synced, std::this_thread::get_id());  // a sync's block runs on its caller, as ever
  EXPECT_EQ(threadsNamed("own.thread.test"), 1);
  queue.reset();
  EXPECT_TRUE(testsupport::eventually([] { return threadsNamed("own.thread.test") == 0; }));
}
