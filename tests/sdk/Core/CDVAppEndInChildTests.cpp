// The app's end in a child made by fork() from the process that configured the SDK, in a program
// that links the core without the analytics library (which observes the end): the core itself
// makes the child's end refuse.
#include <unistd.h>

#include <atomic>
#include <chrono>

#include "CoreTestSupport.h"
#include "ForkedChild.h"
#include "uikit/UIKit.h"

namespace {

using namespace std::chrono_literals;

// A child's calls return at once; the bound only tells a hang from a busy machine.
constexpr auto kChildLimit = 30s;

class CDVAppEndInChildTest : public coretest::CoreTest {};

// Exit statuses of the child below.
constexpr int kChildEndPosted = 1;       // the child's end ran the observer
constexpr int kChildEndAnsweredTrue = 2;
constexpr int kGrandchildFailed = 3;     // the grandchild's end posted or answered true, or it did not end

// The child's and the grandchild's UIApplication::terminate() answer false at once, and no observer
// of the end runs there, the host's neither; the parent's end still posts.
TEST_F(CDVAppEndInChildTest, AChildsEndIsRefusedWithoutTheAnalyticsLibrary) {
  installBundle({{"CFBundleIdentifier", coretest::kBundleID}}, platform::Value(serviceInfo()));
  CDVApp::configure();
  ASSERT_TRUE(CDVApp::isDefaultAppConfigured());
  static std::atomic<int> ends{0};
  ends = 0;
  const auto token = platform::NotificationCenter::defaultCenter().addObserver(
      UIApplicationWillTerminateNotification, platform::Value(), [](const platform::Notification&) { ++ends; });

  const testsupport::ChildEnd child = testsupport::runInChild(
      [] {
        const bool answer = UIApplication().terminate();
        if (ends != 0) _exit(kChildEndPosted);
        if (answer) _exit(kChildEndAnsweredTrue);
        const testsupport::ChildEnd grandchild = testsupport::runInChild(
            [] { _exit(UIApplication().terminate() || ends != 0 ? 1 : 0); }, kChildLimit);
        _exit(grandchild.exitedWith(0) ? 0 : kGrandchildFailed);
      },
      kChildLimit);
  EXPECT_TRUE(child.exitedWith(0)) << "status " << child.status << " in time " << child.inTime
                                   << " (exit status 1: the child's end posted; 2: it answered true; 3: the "
                                      "grandchild's end posted or answered true)";

  EXPECT_TRUE(UIApplication().terminate());
  EXPECT_EQ(ends, 1);
  platform::NotificationCenter::defaultCenter().removeObserver(token);
}

}  // namespace
