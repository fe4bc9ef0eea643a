#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

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
    OpenSSLUse own(gate);  // the forking thread's own use lives on in the child
    const testsupport::ChildEnd end = testsupport::runInChild(
        [&] {
          gate.close();
          OpenSSLUse late(gate);
          _exit(late.allowed() || !own.allowed() ? 1 : 0);
        },
        std::chrono::seconds(1));
    EXPECT_TRUE(end.exitedWith(0)) << "status " << end.status << " after " << end.took.count() << " ms";
  }
  char woken = 0;
  EXPECT_EQ(read(wakes[0], &woken, 1), -1);
  EXPECT_FALSE(gate.isClosed());

  // The parent's own close still wakes and awaits the use in progress.
  std::atomic<bool> closed{false};
  std::thread closer([&] {
    gate.close();
    closed = true;
  });
  pollfd woke{wakes[0], POLLIN, 0};
  EXPECT_EQ(poll(&woke, 1, 10000), 1);
  EXPECT_FALSE(closed);
  release.set_value();
  user.join();
  closer.join();
  EXPECT_TRUE(closed);
  close(wakes[0]);
  close(wakes[1]);
}

}  // namespace
