// A program the queues' tests run: a thread is making the worker pool (its first post), held
// inside the making, when another thread forks; the child posts to a queue and syncs on it. Ends
// with 0 when the child did within its bound, 1 when it did not, 3 when the pool was made before
// it could be held.
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "Bounds.h"
#include "ForkedChild.h"
#include "dispatch/Queue.h"
#include "dispatch/Testing.h"

namespace {

std::atomic<bool> gMakingHeld{false};
std::promise<void> gLetGo;
std::shared_future<void> gLetGoSeen = gLetGo.get_future().share();
std::atomic<int> gForksMade{0};

void holdTheMaking() {
  gMakingHeld = true;
  gLetGoSeen.wait();
}

// The child's use of a queue: a post runs and a sync returns.
bool uses(const std::shared_ptr<platform::Queue>& queue) {
  auto ran = std::make_shared<std::promise<void>>();
  queue->async([ran] { ran->set_value(); });
  if (ran->get_future().wait_for(testsupport::kEventWait) != std::future_status::ready) return false;
  bool synced = false;
  queue->sync([&] { synced = true; });
  return synced;
}

}  // namespace

int main() {
  platform::setWorkerPoolMakingHookForTesting(&holdTheMaking);
  pthread_atfork(nullptr, [] { ++gForksMade; }, nullptr);
  const auto queue = platform::Queue::serial("fork.pool-making");
  std::thread first([&] { queue->async([] {}); });
  if (!testsupport::eventually([] { return gMakingHeld.load(); })) {
    gLetGo.set_value();
    first.join();
    return 3;
  }
  std::atomic<pid_t> forking{0};
  testsupport::ChildEnd end;
  std::thread forker([&] {
    forking = ::gettid();
    end = testsupport::runInChild([&] { _exit(uses(queue) ? 0 : 1); }, testsupport::kChildLife);
  });
  // The fork waits for the making (or, made at once, its child meets the pool half made).
  testsupport::eventually([&] { return testsupport::inSystemCall(forking, SYS_futex) || gForksMade > 0; });
  gLetGo.set_value();
  first.join();
  forker.join();
  return end.exitedWith(0) ? 0 : 1;
}
