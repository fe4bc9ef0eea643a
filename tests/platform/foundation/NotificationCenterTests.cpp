#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "foundation/NotificationCenter.h"

using platform::Notification;
using platform::NotificationCenter;
using platform::Value;

TEST(NotificationCenterTest, DeliversByNameAndSenderInOrder) {
  NotificationCenter center;
  int sender = 0;
  int otherSender = 0;
  std::vector<std::string> calls;
  center.addObserver("Ready", Value(), [&](const Notification& n) { calls.push_back("any:" + n.name); });
  center.addObserver("Ready", Value::unownedObject(&sender), [&](const Notification&) { calls.push_back("mine"); });
  center.addObserver("", Value(), [&](const Notification& n) { calls.push_back("all:" + n.name); });

  center.post("Ready", Value::unownedObject(&sender), Value::dictionary({{"ConfigType", 1}}));
  center.post("Ready", Value::unownedObject(&otherSender));
  center.post("Other");
  EXPECT_EQ(calls, (std::vector<std::string>{"any:Ready", "mine", "all:Ready", "any:Ready", "all:Ready", "all:Other"}));

  Value info;
  center.addObserver("Info", Value(), [&](const Notification& n) { info = n.userInfo; });
  center.post("Info", Value(), Value::dictionary({{"ConfigType", 2}}));
  EXPECT_EQ(info["ConfigType"], Value(2));
}

TEST(NotificationCenterTest, ObserversMayChangeTheCenterWhileBeingCalled) {
  NotificationCenter center;
  int owner = 0;
  int laterCalls = 0;
  int addedCalls = 0;
  int selfRemovingCalls = 0;
  NotificationCenter::ObserverToken selfToken = 0;
  NotificationCenter::ObserverToken laterToken = 0;

  selfToken = center.addObserver("N", Value(), [&](const Notification&) {
    ++selfRemovingCalls;
    center.removeObserver(selfToken);  // removes itself while running
    center.removeObserver(laterToken);  // and a later observer of the same post
    center.addObserver("N", Value(), [&](const Notification&) { ++addedCalls; });
  });
  laterToken = center.addObserver("N", Value(), [&](const Notification&) { ++laterCalls; });
  center.addObserver(&owner, "N", Value(), [&](const Notification& n) {
    if (n.userInfo.isNull()) center.post("N", Value(), Value(true));  // nested post
  });

  center.post("N");
  EXPECT_EQ(selfRemovingCalls, 1);
  EXPECT_EQ(laterCalls, 0);   // removed before its turn
  EXPECT_EQ(addedCalls, 1);   // not called by the post that added it, but by the nested one
  center.post("N", Value(), Value(false));
  EXPECT_EQ(selfRemovingCalls, 1);
  EXPECT_EQ(addedCalls, 2);

  center.removeObserver(&owner);
  EXPECT_EQ(center.observerCount(), 1u);
}

TEST(NotificationCenterTest, ConcurrentPostsAndRegistrationsAreSafe) {
  NotificationCenter center;
  std::atomic<int> delivered{0};
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    int owner = 0;
    while (!stop) {
      center.addObserver(&owner, "Tick", Value(), [&](const Notification&) { delivered++; });
      center.removeObserver(&owner, "Tick");
    }
  });
  center.addObserver("Tick", Value(), [&](const Notification&) { delivered++; });
  for (int i = 0; i < 2000; ++i) center.post("Tick");
  stop = true;
  churn.join();
  EXPECT_GE(delivered.load(), 2000);
}
