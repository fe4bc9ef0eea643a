#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "dispatch/Testing.h"
#include "foundation/NotificationQueue.h"

using platform::ManualQueue;
using platform::Notification;
using platform::NotificationCenter;
using platform::NotificationQueue;
using platform::Value;

namespace {

// Every post of a center as "name/object/info" (texts, "-" for nothing).
struct Recorder {
  explicit Recorder(NotificationCenter& center) : center(center) {
    token = center.addObserver("", Value(), [this](const Notification& n) {
      std::lock_guard lock(mutex);
      auto text = [](const Value& v) { return v.isString() ? *v.stringPtr() : v.isNull() ? std::string("-") : v.description(); };
      posts.push_back(n.name + "/" + text(n.object) + "/" + text(n.userInfo));
    });
  }
  ~Recorder() { center.removeObserver(token); }
  std::vector<std::string> take() {
    std::lock_guard lock(mutex);
    return std::exchange(posts, {});
  }
  NotificationCenter& center;
  NotificationCenter::ObserverToken token = 0;
  std::mutex mutex;
  std::vector<std::string> posts;
};

}  // namespace

TEST(NotificationQueueTest, CoalescesByNameAndObjectAndPostsOnceWhenTheQueueRuns) {
  NotificationCenter center;
  Recorder recorder(center);
  auto queue = ManualQueue::create();
  auto notifications = NotificationQueue::create(queue, center);

  notifications->enqueue("A", Value("x"), Value("first"));
  notifications->enqueue("A", Value("y"));
  notifications->enqueue("B", Value("x"));
  notifications->enqueue("A", Value("x"), Value("latest"));
  notifications->enqueue("A");
  notifications->enqueue("A");
  EXPECT_TRUE(recorder.take().empty()) << "nothing before the queue runs";
  EXPECT_EQ(queue->pendingCount(), 1u);
  EXPECT_EQ(notifications->waitingCount(), 4u);

  // Observers posting into the queue wait for its next run.
  center.addObserver("B", Value(), [&](const Notification&) { notifications->enqueue("C"); });
  EXPECT_EQ(queue->drain(), 2u);
  EXPECT_EQ(recorder.take(), (std::vector<std::string>{"A/y/-", "B/x/-", "A/x/latest", "A/-/-", "C/-/-"}));
  EXPECT_EQ(queue->drain(), 0u);
  EXPECT_TRUE(recorder.take().empty()) << "posted exactly once";
}

TEST(NotificationQueueTest, DefaultQueueIsTheOneOfThePostingThreadsQueue) {
  Recorder recorder(NotificationCenter::defaultCenter());
  auto main = ManualQueue::create("main");
  platform::ScopedMainQueue scopedMain(main);
  auto worker = ManualQueue::create("worker");

  // A thread that runs no queue posts through the main queue.
  NotificationQueue::defaultQueue()->enqueue("nq.test", Value("o"));
  NotificationQueue::defaultQueue()->enqueue("nq.test", Value("o"));
  worker->async([] { NotificationQueue::defaultQueue()->enqueue("nq.test", Value("w")); });
  worker->runNext();
  EXPECT_EQ(worker->pendingCount(), 1u);
  EXPECT_EQ(main->pendingCount(), 1u);
  main->drain();
  EXPECT_EQ(recorder.take(), (std::vector<std::string>{"nq.test/o/-"}));
  worker->drain();
  EXPECT_EQ(recorder.take(), (std::vector<std::string>{"nq.test/w/-"}));

  // Once its dispatch queue is gone, a notification queue posts at once.
  auto orphan = NotificationQueue::create(ManualQueue::create());
  orphan->enqueue("nq.test", Value("now"));
  EXPECT_EQ(recorder.take(), (std::vector<std::string>{"nq.test/now/-"}));
}

TEST(NotificationQueueTest, ThreadsEnqueuingTogetherGetOnePostPerNameAndObject) {
  NotificationCenter center;
  Recorder recorder(center);
  auto queue = platform::Queue::serial("notifications");
  auto notifications = NotificationQueue::create(queue, center);
  queue->suspend();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) notifications->enqueue("N", Value(std::to_string(t)));
    });
  }
  for (std::thread& thread : threads) thread.join();
  queue->resume();
  queue->sync([] {});  // after the blocks ahead of it
  std::vector<std::string> posts = recorder.take();
  std::sort(posts.begin(), posts.end());
  EXPECT_EQ(posts, (std::vector<std::string>{"N/0/-", "N/1/-", "N/2/-", "N/3/-"}));
}

TEST(NotificationQueueTest, AThrowingObserverLeavesTheRestWaiting) {
  NotificationCenter center;
  Recorder recorder(center);
  auto queue = ManualQueue::create();
  auto notifications = NotificationQueue::create(queue, center);
  bool thrown = false;
  center.addObserver("bad", Value(), [&](const Notification&) {
    if (!std::exchange(thrown, true)) throw std::runtime_error("observer failed");
  });
  notifications->enqueue("bad");
  notifications->enqueue("after");
  EXPECT_THROW(queue->runNext(), std::runtime_error);
  EXPECT_EQ(recorder.take(), (std::vector<std::string>{"bad/-/-"}));
  EXPECT_EQ(queue->drain(), 1u);
  EXPECT_EQ(recorder.take(), (std::vector<std::string>{"after/-/-"}));
}
