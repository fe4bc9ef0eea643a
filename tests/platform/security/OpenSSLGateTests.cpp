#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

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

}  // namespace
