// Children forked from a process the SDK does not belong to yet, while the parent's first log line
// is in the logger's set-up (a thread of the parent's held inside the name service it reads the
// data root from) and before the parent configures: each is an SDK process of its own, which
// configures, logs and ends, and nothing of the parent's counts toward its end.
//
// This program has a name service of its own, a slow one (HeldNameService.h).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Bounds.h"
#include "Core/Private/CDVForkedChild.h"
#include "Core/Public/CDVApp.h"
#include "Core/Public/CDVLogger.h"
#include "ForkedChild.h"
#include "HeldNameService.h"
#include "ScopedVariable.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "uikit/UIKit.h"

TEST(ForkedChildEnd, ChildrenForkedInTheParentsFirstSetUpEndOnceTheirOwnWorkIsStored) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer does not support threads in a child of a threaded process";
#endif
  if (CDVForkedChild::hasOwner()) GTEST_SKIP() << "the SDK belongs to this process already: run this test alone";
  // Neither HOME nor XDG_DATA_HOME: the parent's set-up reads the data root from the name service.
  const testsupport::ScopedVariable home{"HOME", nullptr};
  const testsupport::ScopedVariable data{"XDG_DATA_HOME", nullptr};
  const testsupport::ScopedVariable root{"VESMORA_SANDBOX_ROOT", nullptr};
  const testsupport::ScopedVariable deviceRoot{"VESMORA_DEVICE_ROOT", nullptr};
  const testsupport::ScopedVariable bundle{"VESMORA_MAIN_BUNDLE", EXAMPLE_BUNDLE};
  std::string base = (std::filesystem::temp_directory_path() / "fork-end-XXXXXX").string();
  ASSERT_NE(::mkdtemp(base.data()), nullptr);
  TLMMeasurementEngine::setCollectionServerURL("http://127.0.0.1:9");

  std::thread firstLine([] { CDVLogError(kCDVLoggerCore, "I-COR000901", "The parent's first line."); });
  const bool inSetUp = testsupport::askedAtLeast(1);
  constexpr int kChildren = 3;
  std::vector<testsupport::ChildEnd> ends(kChildren);
  std::thread forker([&] {
    for (int child = 0; inSetUp && child < kChildren; ++child) {
      ends[child] = testsupport::runInChild([&] {
        ::alarm(static_cast<unsigned>(testsupport::kEventWait.count()));
        ::setenv("VESMORA_SANDBOX_ROOT", (base + "/app" + std::to_string(child)).c_str(), 1);
        ::setenv("VESMORA_DEVICE_ROOT", (base + "/device" + std::to_string(child)).c_str(), 1);
        CDVApp::configure();
        CDVAnalytics::logEventWithName("in_child", TLMObjectDictionary());
        _exit(CDVApp::isDefaultAppConfigured() && UIApplication().terminate() ? 0 : 1);
      }, testsupport::kChildLife);
    }
  });
  // Where a fork waits for the set-up, the name service is let go once it does.
  testsupport::eventually([&] { return CDVLoggerForkWaitsForTesting() || ends[kChildren - 1].forked; });
  testsupport::letTheNameServiceGo();
  forker.join();
  firstLine.join();
  std::filesystem::remove_all(base);

  ASSERT_TRUE(inSetUp) << "the parent's first line did not ask the name service";
  for (int child = 0; child < kChildren; ++child) {
    EXPECT_TRUE(ends[child].exitedWith(0)) << "child " << child << ": status " << ends[child].status << ", in time "
                                           << ends[child].inTime << ", " << ends[child].took.count() << " ms";
  }
}
