// A fork while another thread is inside a dlopen whose relocation is held (HeldRelocation.cpp),
// holding the dynamic loader's lock that starting a thread takes too: a thread of the platform's
// that starts one meanwhile (the clock's scheduler, the pool's first worker or another) waits for
// the load, and the fork, whose prepare handlers take the clock's and the pool's locks, waits for
// none of that: it ends while the load is still held.
//
// Each case runs in a process of its own, where the clock and the pool have started no thread yet.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <thread>

#include "Bounds.h"
#include "ForkedChild.h"
#include "HeldLoader.h"
#include "dispatch/Clock.h"
#include "dispatch/Queue.h"

namespace {

// Runs `startsAThread` on a thread of its own while the load is held, waits for that thread to
// wait (for the loader's lock, inside the start of a thread), then forks. Fails with the first
// check that did not hold; 0 when the fork ended while the load was still held. The test's own
// threads are started before the load is held: their start would wait for it too.
int forkWhileAThreadStarts(const std::function<void()>& startsAThread) {
  std::promise<void> start;
  std::promise<void> fork;
  std::atomic<pid_t> calling{0};
  std::thread starter([&, go = start.get_future()] {
    go.wait();
    calling = ::gettid();
    startsAThread();
  });
  std::atomic<bool> forked{false};
  testsupport::ChildEnd end;
  std::thread forker([&, go = fork.get_future()] {
    go.wait();
    end = testsupport::runInChild([] { ::_exit(0); }, testsupport::kChildLife);
    forked = true;
  });
  std::optional<testsupport::HeldLoader> load;
  load.emplace(HELD_RELOCATION_MODULE);
  const bool held = load->held();
  start.set_value();
  const bool waits = held && testsupport::eventually([&] {
    return calling.load() != 0 && testsupport::inSystemCall(calling.load(), SYS_futex);
  });
  fork.set_value();
  const bool forkedWhileHeld = waits && testsupport::eventually([&] { return forked.load(); });
  load.reset();  // lets the load go, and so the start
  forker.join();
  starter.join();
  if (!held) return 10;
  if (!waits) return 11;
  if (!forkedWhileHeld) return 20;
  return end.exitedWith(0) ? 0 : 21;
}

void expectForkWhileAThreadStarts(const std::function<void()>& startsAThread) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(forkWhileAThreadStarts(startsAThread)), ::testing::ExitedWithCode(0), "")
      << "exit 10: no load held, 11: the start did not wait for the loader, 20: the fork waited for the start";
}

}  // namespace

TEST(ForkBesideAHeldLoad, WaitsForNoStartOfTheClocksScheduler) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer does not support a child of a threaded process";
#endif
  expectForkWhileAThreadStarts([] { platform::Clock::system()->scheduleTimer(3600, [] {}); });
}

TEST(ForkBesideAHeldLoad, WaitsForNoStartOfThePoolsFirstWorker) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer does not support a child of a threaded process";
#endif
  expectForkWhileAThreadStarts([] { platform::Queue::global()->async([] {}); });
}

TEST(ForkBesideAHeldLoad, WaitsForNoStartOfAnotherWorker) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer does not support a child of a threaded process";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // Before the load is held: the pool is made, and its standing worker busy, so that the
        // next post starts another.
        auto running = std::make_shared<std::promise<void>>();
        auto letGo = std::make_shared<std::promise<void>>();
        platform::Queue::global()->async([running, held = letGo->get_future().share()] {
          running->set_value();
          held.wait();
        });
        running->get_future().wait();
        const int status = forkWhileAThreadStarts([] { platform::Queue::global()->async([] {}); });
        letGo->set_value();
        std::exit(status);
      },
      ::testing::ExitedWithCode(0), "")
      << "exit 10: no load held, 11: the start did not wait for the loader, 20: the fork waited for the start";
}
