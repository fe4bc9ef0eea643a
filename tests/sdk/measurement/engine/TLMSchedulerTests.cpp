#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Bounds.h"
#include "EngineTestSupport.h"
#include "measurement/engine/TLMAlarm.h"
#include "measurement/engine/TLMScheduler.h"

using platform::Value;

TEST(TLMSchedulerTest, AsyncBlocksRunInOrderAndAThrowingBlockDoesNotStopTheQueue) {
  EngineTestEnvironment env;
  TLMScheduler scheduler(env.queue);
  std::vector<std::string> ran;
  scheduler.scheduleOnWorkerQueueBlockID("Test:1", [&] { ran.push_back("first"); });
  scheduler.scheduleOnWorkerQueueBlockID("Test:2", [] { throw std::runtime_error("broken block"); });
  scheduler.scheduleOnWorkerQueueBlockID("Test:3", nullptr);
  scheduler.scheduleOnWorkerQueueBlockID("Test:4", [&] { ran.push_back("last"); });
  EXPECT_EQ(env.queue->drain(), 3u);
  EXPECT_EQ(ran, (std::vector<std::string>{"first", "last"}));
  EXPECT_EQ(env.monitor->first(30000).contexts, std::vector<Value>{Value("broken block")});
  EXPECT_EQ(env.monitor->first(30000).level, 1);
  EXPECT_EQ(env.monitor->first(30005).message, "Nil block dispatched asynchronously on worker queue. Block ID=Test:3.");
}

TEST(TLMSchedulerTest, SyncDispatchFromTheWorkerQueueRunsInline) {
  TLMScopedRecordingMonitor monitor;
  TLMScheduler scheduler(kTLMSchedulerWorkerQueueLabel);
  EXPECT_EQ(scheduler.workerQueue()->label(), "com.ombrix.cdva.worker");
  std::vector<std::string> order;
  std::promise<void> done;
  scheduler.scheduleOnWorkerQueueBlockID("Test:1", [&] {
    order.push_back("outer");
    scheduler.dispatchSyncOnWorkerQueueBlockID("Test:2", [&] {
      EXPECT_TRUE(scheduler.workerQueue()->isCurrent());
      order.push_back("inner");
    });
    order.push_back("after");
    done.set_value();
  });
  ASSERT_EQ(done.get_future().wait_for(testsupport::kEventWait), std::future_status::ready)
      << "the nested synchronous dispatch deadlocked";
  EXPECT_EQ(order, (std::vector<std::string>{"outer", "inner", "after"}));

  // From another thread the call waits for the block; a throwing block is reported twice and the
  // call still returns.
  bool ran = false;
  scheduler.dispatchSyncOnWorkerQueueBlockID("Test:3", [&] { ran = true; });
  EXPECT_TRUE(ran);
  scheduler.dispatchSyncOnWorkerQueueBlockID("Test:4", [] { throw std::logic_error("sync failure"); });
  scheduler.dispatchSyncOnWorkerQueueBlockID("Test:5", nullptr);
  EXPECT_EQ(monitor->codes(), (std::vector<std::int64_t>{30003, 30004, 30002}));
  EXPECT_EQ(monitor->first(30004).level, 4);
}

// A thread cancelled inside its synchronous block (held in a read, a cancellation point) ends as
// cancelled, reported as no failure of the block, and the worker queue goes on.
TEST(TLMSchedulerTest, AThreadCancelledInASyncBlockEndsAndTheQueueGoesOn) {
  TLMScopedRecordingMonitor monitor;
  struct Call {
    TLMScheduler scheduler{kTLMSchedulerWorkerQueueLabel};
    int arrived[2] = {-1, -1};
    int release[2] = {-1, -1};
  } call;
  ASSERT_EQ(::pipe(call.arrived), 0);
  ASSERT_EQ(::pipe(call.release), 0);
  pthread_t thread;
  ASSERT_EQ(::pthread_create(
                &thread, nullptr,
                [](void* data) -> void* {
                  auto& c = *static_cast<Call*>(data);
                  c.scheduler.dispatchSyncOnWorkerQueueBlockID("Test:1", [&c] {
                    char byte = 1;
                    if (::write(c.arrived[1], &byte, 1) == 1) (void)::read(c.release[0], &byte, 1);
                  });
                  return nullptr;
                },
                &call),
            0);
  char byte = 0;
  ASSERT_EQ(::read(call.arrived[0], &byte, 1), 1);
  ASSERT_EQ(::pthread_cancel(thread), 0);
  void* result = nullptr;
  ASSERT_EQ(::pthread_join(thread, &result), 0);
  EXPECT_EQ(result, PTHREAD_CANCELED);
  bool ran = false;
  call.scheduler.dispatchSyncOnWorkerQueueBlockID("Test:2", [&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_TRUE(monitor->codes().empty());
  for (int fd : {call.arrived[0], call.arrived[1], call.release[0], call.release[1]}) ::close(fd);
}

// Every block of the worker queue takes its place among the numbered posts, also one posted to it
// directly, a timer's firing and a synchronous one, and runs with the worker queue current.
TEST(TLMSchedulerTest, EveryBlockOfTheWorkerQueueTakesANumber) {
  EngineTestEnvironment env;
  TLMScheduler scheduler(env.queue);
  const auto& worker = scheduler.workerQueue();
  std::vector<std::uint64_t> numbers;
  auto numbered = [&] {
    scheduler.scheduleNumberedOnWorkerQueueBlockID("Test:1", [&](std::uint64_t number) {
      numbers.push_back(number);
      return platform::Block([] {});
    });
  };
  int current = 0;
  auto onWorker = [&] { current += worker->isCurrent() ? 1 : 0; };
  numbered();
  worker->async(onWorker);
  numbered();
  worker->after(1, onWorker);
  env.clock->advance(1);  // the timer's firing joins the queue
  numbered();
  worker->sync(onWorker);  // a manual queue runs it at once
  numbered();
  env.queue->drain();
  EXPECT_EQ(numbers, (std::vector<std::uint64_t>{1, 3, 5, 7}));
  EXPECT_EQ(current, 3);
}

TEST(TLMSchedulerTest, BackgroundCheckFailsOnlyOnTheMainQueue) {
  EngineTestEnvironment env;
  platform::ScopedMainQueue main(env.queue);
  EXPECT_TRUE(TLMScheduler::checkOnBackgroundThreadWithMethodName("uploadData"));
  bool answer = true;
  env.queue->async([&] { answer = TLMScheduler::checkOnBackgroundThreadWithMethodName(""); });
  env.queue->drain();
  EXPECT_FALSE(answer);
  EXPECT_EQ(env.monitor->first(30001).message, "Method <empty method name> should execute on background thread");
}

TEST(TLMAlarmTest, ASecondScheduleReplacesTheFirstAndTheBlockMayRescheduleItself) {
  EngineTestEnvironment env;
  TLMAlarm alarm(env.queue, "Measurement timer");
  const double start = env.clock->now();
  std::vector<std::string> ran;
  alarm.runAfterDelay(10, [&] { ran.push_back("early"); });
  alarm.runAfterDelay(20, [&] {
    ran.push_back("late");
    EXPECT_FALSE(alarm.scheduledTimestamp().has_value());  // idle before the block runs
    alarm.runAfterDelay(5, [&] { ran.push_back("again"); });
  });
  EXPECT_EQ(env.monitor->count(2003), 1u);
  EXPECT_EQ(alarm.scheduledTimestamp(), start + 20);
  EXPECT_TRUE(alarm.hasActiveTimer());
  env.advance(19.999);
  EXPECT_TRUE(ran.empty());
  env.advance(0.001);
  EXPECT_EQ(ran, std::vector<std::string>{"late"});
  EXPECT_EQ(alarm.scheduledTimestamp(), start + 25);
  env.advance(5);
  EXPECT_EQ(ran, (std::vector<std::string>{"late", "again"}));
  EXPECT_EQ(env.monitor->count(2001), 2u);
  EXPECT_FALSE(env.monitor->has(2004));
  EXPECT_EQ(env.monitor->first(2002).contexts, std::vector<Value>{Value(10.0)});
  EXPECT_EQ(env.monitor->first(2001).message, "Measurement timer fired");
}

TEST(TLMAlarmTest, AFiringPostedBeforeACancelOrRescheduleDoesNotRun) {
  EngineTestEnvironment env;
  std::vector<std::string> ran;
  auto alarm = std::make_unique<TLMAlarm>(env.queue, "");
  alarm->cancel();
  EXPECT_TRUE(env.monitor->entries().empty());  // cancelling an idle alarm is silent
  alarm->runAfterDelay(1, nullptr);
  EXPECT_EQ(env.monitor->first(2000).message, "Timer tried to schedule an empty block");
  EXPECT_FALSE(alarm->scheduledTimestamp().has_value());

  // Due and posted to the queue, then cancelled before the queue ran it.
  alarm->runAfterDelay(5, [&] { ran.push_back("cancelled"); });
  env.clock->advance(5);
  ASSERT_EQ(env.queue->pendingCount(), 1u);
  alarm->cancel();
  EXPECT_EQ(env.monitor->first(2003).message, "Timer canceled");
  env.queue->drain();

  // Posted, then rescheduled: only the new run happens.
  alarm->runAfterDelay(5, [&] { ran.push_back("replaced"); });
  env.clock->advance(5);
  alarm->runAfterDelay(5, [&] { ran.push_back("current"); });
  env.queue->drain();
  EXPECT_TRUE(ran.empty());
  env.advance(5);
  EXPECT_EQ(ran, std::vector<std::string>{"current"});

  // Posted, then the alarm went away.
  alarm->runAfterDelay(0, [&] { ran.push_back("destroyed"); });
  env.clock->advance(0);
  alarm.reset();
  env.queue->drain();
  EXPECT_EQ(ran, std::vector<std::string>{"current"});
}

TEST(TLMAlarmTest, TheWallClockSetBackDoesNotDelayTheRun) {
  EngineTestEnvironment env;
  TLMAlarm alarm(env.queue, "Measurement timer");
  bool ran = false;
  alarm.runAfterDelay(60, [&] { ran = true; });
  env.clock->setNow(env.clock->now() - 86400);
  env.advance(60);
  EXPECT_TRUE(ran);
}

TEST(TLMAlarmTest, ConcurrentSchedulersLeaveOnePendingRun) {
  EngineTestEnvironment env;
  auto worker = platform::Queue::serial("alarm-worker");
  TLMAlarm alarm(worker, "Measurement timer");
  std::atomic<int> runs{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        if ((i + t) % 3 == 0) {
          alarm.cancel();
        } else {
          alarm.runAfterDelay(1 + i % 7, [&] { ++runs; });
        }
        (void)alarm.scheduledTimestamp();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  alarm.runAfterDelay(30, [&] { runs += 1000; });
  env.clock->advance(60);
  worker->sync([] {});  // every posted firing has run or been dropped
  EXPECT_EQ(runs, 1000);
}
