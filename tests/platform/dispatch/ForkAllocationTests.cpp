// The platform's fork handlers allocate nothing in the child: an allocator that a fork does not
// make safe (an instrumented one, as the sanitizers') may have had a lock held by a thread the
// child does not have, and the child would wait for it for ever. This program counts, with an
// operator new of its own, what the forking thread allocates in the child before fork() returns,
// and what the parent's queues allocate for the blocks posted to them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>

#include "Bounds.h"
#include "ForkedChild.h"
#include "dispatch/Clock.h"
#include "dispatch/Queue.h"
#include "dispatch/Testing.h"
#include "foundation/Files.h"
#include "obx/OBXLogger.h"
#include "security/OpenSSLGate.h"

namespace {

thread_local bool tCounting = false;  // on the forking thread, around the fork
pid_t gParent = 0;                     // set before any thread of the test's starts
int gInChild = 0;                      // counted only by the child's one thread
thread_local int tPosting = -1;        // what a thread posting blocks allocates, when counted

// What the calling thread allocates while `post` runs.
template <typename Post>
int allocationsOf(Post post) {
  tPosting = 0;
  post();
  const int counted = tPosting;
  tPosting = -1;
  return counted;
}

}  // namespace

void* operator new(std::size_t size) {
  if (tCounting && ::getpid() != gParent) ++gInChild;
  if (tPosting >= 0) ++tPosting;
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
// Out of line: inlined where a `new` is deleted, their free() reads to the optimiser as a free of
// what operator new returned (-Wmismatched-new-delete), though that is malloc's here.
[[gnu::noinline]] void operator delete(void* block) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete(void* block, std::size_t) noexcept { std::free(block); }

TEST(ForkHandlers, AllocateNothingInTheChild) {
  gParent = ::getpid();
  // Each handler with something to forget: serial queues with blocks waiting, the pool's workers,
  // a timer pending, a log line written, a stretch of OpenSSL calls ended, a file looked at.
  // Static: the blocks may outlive a test that ended early, which lets them go on its way out.
  static std::atomic<bool> release{false};
  static std::atomic<int> started{0};
  const struct Release {
    ~Release() { release = true; }
  } letGo;
  auto first = platform::Queue::serial("fork-allocation.first");
  auto second = platform::Queue::serial("fork-allocation.second");
  for (const auto& queue : {first, second}) {
    queue->async([] {
      ++started;
      while (!release.load()) ::usleep(1000);
    });
    queue->async([] {});
  }
  ASSERT_TRUE(testsupport::eventually([&] { return started.load() == 2; })) << "the queues' first blocks never ran";
  const auto timer = platform::Clock::system()->scheduleTimer(3600, [] {});
  OBXLogBasic(OBXLoggerLevelError, "fork-allocation", false, "I-TST000001", "before the fork");
  { const platform::security::OpenSSLCalls calls; }
  EXPECT_TRUE(platform::files::exists("/"));

  // The child, in turn, posts to a queue the parent used, and forks: the grandchild's handlers
  // allocate nothing either, and drop the child's block (status 101 if it ran).
  tCounting = true;
  const testsupport::ChildEnd end = testsupport::runInChild(
      [first] {
        if (gInChild != 0) _exit(gInChild < 100 ? gInChild : 100);
        static bool ran = false;
        first->suspend();
        first->async([] { ran = true; });
        gParent = ::getpid();
        gInChild = 0;
        const testsupport::ChildEnd grandchild = testsupport::runInChild(
            [first] {
              const int allocated = gInChild;
              first->resume();
              first->sync([] {});
              _exit(ran ? 101 : allocated < 100 ? allocated : 100);
            },
            testsupport::kChildLife);
        _exit(grandchild.inTime && WIFEXITED(grandchild.status) ? WEXITSTATUS(grandchild.status) : 102);
      },
      testsupport::kChildLife);
  tCounting = false;
  release = true;
  platform::Clock::system()->cancelTimer(timer);
  first->sync([] {});
  second->sync([] {});
  ASSERT_TRUE(end.forked && end.inTime);
  EXPECT_TRUE(end.exitedWith(0)) << "allocations in the child's or the grandchild's fork handlers: "
                                 << (WIFEXITED(end.status) ? WEXITSTATUS(end.status) : -1);
}

// What makes the child's handlers allocate nothing costs the parent no allocation per block:
// blocks wait in storage taken a chunk of many at a time.
TEST(ForkHandlers, CostNoAllocationPerQueuedBlock) {
  constexpr int kBlocks = 1000;
  static std::atomic<int> ran{0};  // static: blocks left running by a failed test may still count
  const struct RefusalsOff {
    ~RefusalsOff() { platform::refuseNextWorkerJobs(0); }
  } off;
  // A suspended serial queue keeps its blocks and posts nothing to the pool.
  const auto serial = platform::Queue::serial("fork-allocation.queued");
  serial->suspend();
  const int serialAllocations = allocationsOf([&] {
    for (int k = 0; k < kBlocks; ++k) serial->async([] { ++ran; });
  });
  serial->resume();
  // The pool's posts start no thread (each start allocates): the jobs wait for its workers.
  const auto global = platform::Queue::global(platform::QueuePriority::Default);
  platform::refuseNextWorkerJobs(kBlocks);
  const int poolAllocations = allocationsOf([&] {
    for (int k = 0; k < kBlocks; ++k) global->async([] { ++ran; });
  });
  platform::refuseNextWorkerJobs(0);
  EXPECT_TRUE(testsupport::eventually([] { return ran.load() == 2 * kBlocks; })) << ran.load() << " blocks ran";
  EXPECT_LE(serialAllocations, kBlocks / 8);
  // A global queue wraps each block, with its queue, in a closure of its own: one allocation.
  EXPECT_LE(poolAllocations, kBlocks + kBlocks / 8);
}
