#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "Bounds.h"
#include "dispatch/Clock.h"
#include "dispatch/Random.h"
#include "dispatch/Testing.h"
#include "dispatch/Timer.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

class TimerTest : public ::testing::Test {
 protected:
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(1'000'000.0, 50.0);
  ScopedClock installClock{clock};
  std::shared_ptr<ManualQueue> queue = ManualQueue::create("test.timers");
};

}  // namespace

TEST_F(TimerTest, FiresOnItsQueueOnlyOnceTheClockReachesTheDelay) {
  int fired = 0;
  auto timer = Timer::once(queue, 5, [&] { ++fired; });
  EXPECT_TRUE(timer->isActive());
  clock->advance(4.999);
  EXPECT_EQ(queue->pendingCount(), 0u);
  clock->advance(0.001);
  EXPECT_EQ(queue->pendingCount(), 1u);  // due: handed to the queue, not run on the clock's thread
  EXPECT_EQ(fired, 0);
  queue->drain();
  EXPECT_EQ(fired, 1);
  EXPECT_TRUE(timer->hasFired());
  EXPECT_FALSE(timer->isActive());
  clock->advance(100);
  queue->drain();
  EXPECT_EQ(fired, 1);
  timer->cancel();  // after firing: no effect
  EXPECT_FALSE(timer->isCancelled());
}

TEST_F(TimerTest, CancelStopsThePendingTimerAndOneAlreadyHandedToTheQueue) {
  int fired = 0;
  auto early = Timer::once(queue, 1, [&] { ++fired; });
  auto late = Timer::once(queue, 2, [&] { ++fired; });
  late->cancel();
  EXPECT_EQ(clock->pendingTimerCount(), 1u);
  EXPECT_TRUE(late->isCancelled());
  EXPECT_FALSE(late->isActive());
  clock->advance(1);
  EXPECT_EQ(queue->pendingCount(), 1u);
  early->cancel();  // due and queued, not yet run
  clock->advance(5);
  queue->drain();
  EXPECT_EQ(fired, 0);
}

TEST_F(TimerTest, AfterRunsTheBlockThroughTheInstalledClock) {
  std::vector<std::string> order;
  queue->after(2, [&] { order.push_back("two"); });
  queue->after(0, [&] { order.push_back("zero"); });
  queue->after(-3, [&] { order.push_back("negative"); });
  clock->advance(0);
  queue->drain();
  EXPECT_EQ(order, (std::vector<std::string>{"zero", "negative"}));
  clock->advance(2);
  queue->drain();
  EXPECT_EQ(order, (std::vector<std::string>{"zero", "negative", "two"}));
}

TEST_F(TimerTest, AHandlerDueWhenNoWorkerCanBeStartedWaitsInThePoolForOne) {
  auto serial = Queue::serial("test.timers.refused");
  std::promise<std::string> fired;
  auto timer = Timer::once(serial, 1, [&] { fired.set_value(Queue::currentLabel()); });
  refuseNextWorkerJobs(1);
  clock->advance(1);  // due: taken by the queue although no thread can be started for it
  EXPECT_EQ(clock->pendingTimerCount(), 0u);
  auto firedOn = fired.get_future();
  ASSERT_EQ(firedOn.wait_for(testsupport::kEventWait), std::future_status::ready);
  EXPECT_EQ(firedOn.get(), "test.timers.refused");
  refuseNextWorkerJobs(0);
}

namespace {

// Throws instead of taking the next `refusals` blocks; then passes them to a manual queue.
class RefusingQueue : public Queue {
 public:
  RefusingQueue(std::shared_ptr<ManualQueue> inner, int refusals)
      : Queue("test.timers.refusing"), inner_(std::move(inner)), refusals_(refusals) {}
  void async(Block block) override {
    if (refusals_-- > 0) throw std::runtime_error("cannot take the block");
    inner_->async(std::move(block));
  }
  void sync(const Block& block) override { inner_->sync(block); }

 private:
  std::shared_ptr<ManualQueue> inner_;
  int refusals_;
};

}  // namespace

TEST_F(TimerTest, AHandlerTheQueueCannotTakeIsTriedAgainLater) {
  auto refusing = std::make_shared<RefusingQueue>(queue, 1);
  int fired = 0;
  auto timer = Timer::once(refusing, 1, [&] { ++fired; });
  clock->advance(1);  // due, but refused: no exception reaches the clock
  EXPECT_TRUE(timer->isActive());
  EXPECT_EQ(clock->pendingTimerCount(), 1u);
  EXPECT_EQ(queue->pendingCount(), 0u);
  clock->advance(1);
  EXPECT_EQ(queue->drain(), 1u);
  EXPECT_EQ(fired, 1);

  // A timer cancelled while it waits to try again never runs.
  refusing = std::make_shared<RefusingQueue>(queue, 1);
  auto cancelled = Timer::once(refusing, 1, [] { ADD_FAILURE() << "cancelled timer ran"; });
  clock->advance(1);
  cancelled->cancel();
  EXPECT_EQ(clock->pendingTimerCount(), 0u);
  clock->advance(10);
  EXPECT_EQ(queue->drain(), 0u);
  EXPECT_TRUE(cancelled->isCancelled());
}

TEST(ManualClock, AdvanceFiresDueTimersInDueOrderWithTheClockAtEachDueTime) {
  ManualClock clock(2000.0, 10.0);
  std::vector<std::string> fired;
  auto record = [&](std::string name) {
    return [&, name] {
      fired.push_back(name + "@" + std::to_string(static_cast<int>(clock.uptime())) + "/" +
                      std::to_string(static_cast<int>(clock.now())));
    };
  };
  clock.scheduleTimer(3, record("c"));
  clock.scheduleTimer(1, record("a1"));
  auto cancelled = clock.scheduleTimer(1.5, record("never"));
  clock.scheduleTimer(2, [&] {
    record("b")();
    // Comes due within this advance: fires in the same call, in its place.
    clock.scheduleTimer(0.5, record("b+0.5"));
    // Comes due after the end of this advance: waits.
    clock.scheduleTimer(10, record("later"));
  });
  clock.scheduleTimer(1, record("a2"));  // same due time as a1: scheduling order
  EXPECT_TRUE(clock.cancelTimer(cancelled));
  EXPECT_FALSE(clock.cancelTimer(cancelled));
  EXPECT_EQ(clock.nextTimerDelay(), 1.0);

  clock.advance(5);
  EXPECT_EQ(fired, (std::vector<std::string>{"a1@11/2001", "a2@11/2001", "b@12/2002", "b+0.5@12/2002",
                                             "c@13/2003"}));
  EXPECT_DOUBLE_EQ(clock.uptime(), 15.0);
  EXPECT_DOUBLE_EQ(clock.now(), 2005.0);
  EXPECT_EQ(clock.pendingTimerCount(), 1u);
  clock.setNow(5000.0);  // a wall-clock change fires nothing
  EXPECT_EQ(clock.pendingTimerCount(), 1u);
  EXPECT_DOUBLE_EQ(clock.uptime(), 15.0);
}

TEST(ManualClock, TimeNeverGoesBackWhenACallbackAdvancesTheClock) {
  ManualClock clock(2000.0, 10.0);
  std::vector<double> seen;
  clock.scheduleTimer(1, [&] {
    seen.push_back(clock.uptime());
    clock.advance(10);  // a nested advance runs past the end of the outer one
    seen.push_back(clock.uptime());
  });
  clock.scheduleTimer(5, [&] { seen.push_back(clock.uptime()); });
  clock.advance(2);
  EXPECT_EQ(seen, (std::vector<double>{11.0, 15.0, 21.0}));
  EXPECT_DOUBLE_EQ(clock.uptime(), 21.0);
  EXPECT_DOUBLE_EQ(clock.now(), 2011.0);
  clock.advance(1);
  EXPECT_DOUBLE_EQ(clock.uptime(), 22.0);
}

TEST(SystemClock, ReadsWallTimeAndUptimeAndFiresTimersOnQueues) {
  auto clock = Clock::system();
  EXPECT_EQ(Clock::current(), clock);
  EXPECT_GT(clock->now(), 1.6e9);
  EXPECT_GT(clock->uptime(), 0.0);
  auto queue = Queue::serial("test.system-timer");
  std::promise<std::string> fired;
  Timer::once(queue, 0, [&] { fired.set_value(Queue::currentLabel()); });
  auto future = fired.get_future();
  ASSERT_EQ(future.wait_for(testsupport::kEventWait), std::future_status::ready);
  EXPECT_EQ(future.get(), "test.system-timer");
}

TEST(Random, ScriptedSourceAnswersItsScriptAndScopesRestoreTheSystemSource) {
  auto system = Random::system();
  auto scripted = std::make_shared<ScriptedRandom>(std::vector<std::uint64_t>{7, 0x0102030405060708ull, 42},
                                                   std::vector<double>{0.25});
  {
    ScopedRandom scope(scripted);
    auto random = Random::current();
    EXPECT_EQ(random->next64(), 7u);
    EXPECT_EQ(random->next32(), 0x05060708u);
    EXPECT_EQ(random->uniform(10), 2u);
    EXPECT_EQ(random->next64(), 7u);  // starts over
    EXPECT_DOUBLE_EQ(random->uniformDouble(), 0.25);
    unsigned char bytes[3];
    random->fillBytes(bytes, sizeof bytes);
    EXPECT_EQ(bytes[0], 0x08);
    EXPECT_EQ(bytes[2], 0x06);
    EXPECT_EQ(scripted->integerDraws(), 5u);
  }
  EXPECT_EQ(Random::current(), system);
  std::set<std::uint32_t> seen;
  for (int i = 0; i < 2000; ++i) {
    std::uint32_t value = system->uniform(10);
    ASSERT_LT(value, 10u);
    seen.insert(value);
    double d = system->uniformDouble();
    ASSERT_GE(d, 0.0);
    ASSERT_LT(d, 1.0);
  }
  EXPECT_EQ(seen.size(), 10u);
  EXPECT_EQ(system->uniform(1), 0u);
}
