#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include "Bounds.h"
#include "ForkedChild.h"
#include "security/OpenSSLGate.h"

using platform::security::OpenSSLGate;
using platform::security::OpenSSLUse;

namespace {

TEST(OpenSSLGate, ClosingWakesAndAwaitsTheUsesInProgressAndRefusesLaterOnes) {
  OpenSSLGate gate;
  std::promise<void> entered;
  std::promise<void> woken;
  std::promise<void> release;
  std::atomic<bool> sawStop{false};
  std::thread user([&] {
    OpenSSLUse use(gate);
    EXPECT_TRUE(use.allowed());
    EXPECT_FALSE(use.stopRequested());
    use.setWaker([&] { woken.set_value(); });
    entered.set_value();
    release.get_future().wait();
    sawStop = use.stopRequested();
  });
  entered.get_future().wait();
  std::atomic<bool> closed{false};
  std::thread closer([&] {
    gate.close();
    closed = true;
  });
  woken.get_future().wait();
  // Closing has begun, and cannot end while the use is in progress.
  EXPECT_FALSE(closed);
  EXPECT_TRUE(gate.isClosed());
  {
    OpenSSLUse late(gate);
    EXPECT_FALSE(late.allowed());
  }
  release.set_value();
  closer.join();
  user.join();
  EXPECT_TRUE(closed);
  EXPECT_TRUE(sawStop);
  // A second close (another exit path) returns at once.
  gate.close();
}

TEST(OpenSSLGate, ClosingFromInsideAUseDoesNotWaitForItselfAndSkipsAClearedWaker) {
  OpenSSLGate gate;
  OpenSSLUse outer(gate);
  OpenSSLUse inner(gate);
  bool woken = false;
  inner.setWaker([&] { woken = true; });
  inner.setWaker(nullptr);
  gate.close();  // as when the thread that uses OpenSSL ends the process
  EXPECT_FALSE(woken);
  EXPECT_TRUE(outer.stopRequested());
  EXPECT_TRUE(inner.allowed());
}

TEST(OpenSSLGate, AForkedChildNeitherAwaitsNorWakesTheParentsUsesAndTheParentCarriesOn) {
  OpenSSLGate gate;
  // The waker writes into a pipe both processes share: a child that called it would show here.
  int wakes[2];
  ASSERT_EQ(pipe2(wakes, O_NONBLOCK | O_CLOEXEC), 0);
  std::promise<void> entered;
  std::promise<void> release;
  std::thread user([&] {
    OpenSSLUse use(gate);
    use.setWaker([&] { (void)!write(wakes[1], "w", 1); });
    entered.set_value();
    release.get_future().wait();
  });
  entered.get_future().wait();
  {
    OpenSSLUse own(gate);  // the forking thread's own use lives on in the child, its waker not
    own.setWaker([&] { (void)!write(wakes[1], "o", 1); });
    const testsupport::ChildEnd end = testsupport::runInChild(
        [&] {
          gate.close();
          OpenSSLUse late(gate);
          _exit(late.allowed() || !own.allowed() ? 1 : 0);
        },
        testsupport::kChildLife);
    EXPECT_TRUE(end.exitedWith(0)) << "status " << end.status << " after " << end.took.count() << " ms";
  }
  char woken = 0;
  EXPECT_EQ(read(wakes[0], &woken, 1), -1) << woken;
  EXPECT_FALSE(gate.isClosed());

  // The parent's own close still wakes and awaits the use in progress.
  std::atomic<bool> closed{false};
  std::thread closer([&] {
    gate.close();
    closed = true;
  });
  pollfd woke{wakes[0], POLLIN, 0};
  EXPECT_EQ(poll(&woke, 1, static_cast<int>(std::chrono::milliseconds(testsupport::kEventWait).count())), 1);
  EXPECT_FALSE(closed);
  release.set_value();
  user.join();
  closer.join();
  EXPECT_TRUE(closed);
  close(wakes[0]);
  close(wakes[1]);
}

// Set by fork handlers the test registers after the gates' own: its prepare handler runs before
// theirs, its parent handler after theirs.
std::atomic<bool> forkBegun{false};
std::atomic<bool> forkReturned{false};

using testsupport::threadState;

TEST(OpenSSLGate, AChildForkedWhileAnotherThreadHoldsTheGatesLockCanStillCloseIt) {
  static std::once_flag registered;
  std::call_once(registered, [] {
    ASSERT_EQ(pthread_atfork([] { forkBegun = true; }, [] { forkReturned = true; }, nullptr), 0);
  });
  forkBegun = false;
  forkReturned = false;
  OpenSSLGate gate;
  const pid_t forker = gettid();
  std::promise<void> inWaker;
  std::promise<void> releaseWaker;
  std::promise<void> endUse;
  std::promise<void> entered;
  std::thread user([&] {
    OpenSSLUse use(gate);
    // Called by the closing thread, which holds the gate's lock until this returns.
    use.setWaker([&] {
      inWaker.set_value();
      releaseWaker.get_future().wait();
    });
    entered.set_value();
    endUse.get_future().wait();
  });
  entered.get_future().wait();
  std::thread closer([&] { gate.close(); });
  inWaker.get_future().wait();
  // The lock is let go once the fork has begun and either has come back (the child took the lock
  // held) or waits for it (this thread sleeps in the gate's fork handler).
  std::thread releaser([&] {
    const auto watchdog = std::chrono::steady_clock::now() + testsupport::kEventWait;
    while (!forkBegun && std::chrono::steady_clock::now() < watchdog) std::this_thread::yield();
    while (!forkReturned && threadState(forker) != 'S' && std::chrono::steady_clock::now() < watchdog) {
      std::this_thread::yield();
    }
    releaseWaker.set_value();
  });
  const testsupport::ChildEnd end = testsupport::runInChild(
      [&] {
        gate.close();
        _exit(0);
      },
      testsupport::kChildLife);
  EXPECT_TRUE(end.exitedWith(0)) << "status " << end.status << " after " << end.took.count() << " ms";
  releaser.join();
  endUse.set_value();
  user.join();
  closer.join();
}

// A fork waits until the calls into OpenSSL in progress have ended: the child never inherits a
// lock OpenSSL holds inside one of them. Meanwhile no new stretch begins.
TEST(OpenSSLCalls, AForkWaitsForTheStretchesInProgress) {
  static std::once_flag registered;
  std::call_once(registered, [] {
    ASSERT_EQ(pthread_atfork([] { forkBegun = true; }, [] { forkReturned = true; }, nullptr), 0);
  });
  forkBegun = false;
  forkReturned = false;
  std::promise<void> inside;
  std::promise<void> leave;
  std::thread caller([&] {
    platform::security::OpenSSLCalls calls;
    inside.set_value();
    leave.get_future().wait();
  });
  inside.get_future().wait();
  std::atomic<pid_t> forker{0};
  std::promise<testsupport::ChildEnd> ended;
  std::thread forking([&] {
    forker = gettid();
    ended.set_value(testsupport::runInChild([] { std::exit(0); }, testsupport::kChildLife));
  });
  // The fork has begun; it either came back or sleeps waiting for the stretch.
  const auto watchdog = std::chrono::steady_clock::now() + testsupport::kEventWait;
  while ((!forkBegun || (!forkReturned && threadState(forker) != 'S')) && std::chrono::steady_clock::now() < watchdog) {
    std::this_thread::yield();
  }
  EXPECT_FALSE(forkReturned) << "the fork did not wait for the stretch in progress";
  leave.set_value();
  caller.join();
  const testsupport::ChildEnd end = ended.get_future().get();
  forking.join();
  EXPECT_TRUE(forkReturned);
  EXPECT_TRUE(end.exitedWith(0)) << "status " << end.status;
  // Stretches begin again once the fork is done.
  std::thread([] { platform::security::OpenSSLCalls calls; }).join();
}

}  // namespace
