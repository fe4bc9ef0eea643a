// The platform's fork handlers allocate nothing in the child: an allocator that a fork does not
// make safe (an instrumented one, as the sanitizers') may have had a lock held by a thread the
// child does not have, and the child would wait for it for ever. This program counts, with an
// operator new of its own, what the forking thread allocates in the child before fork() returns.
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
#include "foundation/Files.h"
#include "obx/OBXLogger.h"
#include "security/OpenSSLGate.h"

namespace {

thread_local bool tCounting = false;  // on the forking thread, around the fork
pid_t gParent = 0;                     // set before any thread of the test's starts
int gInChild = 0;                      // counted only by the child's one thread

}  // namespace

void* operator new(std::size_t size) {
  if (tCounting && ::getpid() != gParent) ++gInChild;
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

  tCounting = true;
  const testsupport::ChildEnd end =
      testsupport::runInChild([] { _exit(gInChild < 100 ? gInChild : 100); }, testsupport::kChildLife);
  tCounting = false;
  release = true;
  platform::Clock::system()->cancelTimer(timer);
  first->sync([] {});
  second->sync([] {});
  ASSERT_TRUE(end.forked && end.inTime);
  EXPECT_TRUE(end.exitedWith(0)) << "allocations in the child's fork handlers: "
                                 << (WIFEXITED(end.status) ? WEXITSTATUS(end.status) : -1);
}
