// Children forked from a process the SDK does not belong to yet, while the parent's first log line
// is in the logger's set-up (a thread of the parent's held inside the name service it reads the
// data root from) and before the parent configures: each is an SDK process of its own, which
// configures, logs and ends, and nothing of the parent's counts toward its end.
//
// This program has a name service of its own, a slow one (HeldNameService.h).
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
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
#include "measurement/analytics/TLMAnalytics.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/model/TLMUtil.h"
#include "measurement/store/TLMDatabaseSchema.h"
#include "measurement/store/TLMSqliteStore.h"
#include "uikit/UIKit.h"

namespace {

// Another process of the app that holds its store, as a parent or a sibling does while it writes
// there: it takes the store's exclusive lock, says so on its pipe, and keeps the lock until killed.
// Made by fork before the test has another thread; pid 0 when it could not hold the store.
pid_t holdStore(const std::string& appRoot) {
  const std::filesystem::path folder = std::filesystem::path(appRoot) / "Library" / "Application Support" /
                                       kTLMMeasurementApplicationSupportSubdirectory;
  int ready[2];
  if (::pipe(ready) != 0) return 0;
  const pid_t holder = ::fork();
  if (holder == 0) {
    ::close(ready[0]);
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    for (std::filesystem::path at = folder; !ec && at != std::filesystem::path(appRoot).parent_path();
         at = at.parent_path()) {
      std::filesystem::permissions(at, std::filesystem::perms::owner_all, ec);
    }
    sqlite3* db = nullptr;
    if (ec || sqlite3_open((folder / kTLMDatabaseFileName).c_str(), &db) != SQLITE_OK ||
        sqlite3_exec(db, "BEGIN EXCLUSIVE; CREATE TABLE held (a INTEGER)", nullptr, nullptr, nullptr) != SQLITE_OK ||
        ::write(ready[1], "h", 1) != 1) {
      ::_exit(1);
    }
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char said = 0;
  const bool holds = holder > 0 && ::read(ready[0], &said, 1) == 1;
  ::close(ready[0]);
  if (!holds && holder > 0) {
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
  }
  return holds ? holder : 0;
}

}  // namespace

// The children share the app's folders, and another process holds the store meanwhile: their
// start of measurement waits in SQLite's busy wait as long as it is held. A child that logged a
// line only has nothing of its own to store, and its end answers true at once; one that logged an
// event has, and its end answers false when its time runs out; one in folders of its own ends
// true once its event is stored.
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
  const std::string shared = base + "/shared";
  const pid_t holder = holdStore(shared);
  ASSERT_NE(holder, 0) << "could not hold the store in " << shared;
  TLMMeasurementEngine::setCollectionServerURL("http://127.0.0.1:9");

  std::thread firstLine([] { CDVLogError(kCDVLoggerCore, "I-COR000901", "The parent's first line."); });
  const bool inSetUp = testsupport::askedAtLeast(1);
  enum Child { kLineInHeldStore, kSecondLineInHeldStore, kEventInHeldStore, kEventInOwnFolders, kChildren };
  std::vector<testsupport::ChildEnd> ends(kChildren);
  std::thread forker([&] {
    for (int child = 0; inSetUp && child < kChildren; ++child) {
      ends[child] = testsupport::runInChild([&] {
        ::alarm(static_cast<unsigned>(testsupport::kEventWait.count()));
        const std::string folders = child == kEventInOwnFolders ? base + "/own" : shared;
        ::setenv("VESMORA_SANDBOX_ROOT", folders.c_str(), 1);
        ::setenv("VESMORA_DEVICE_ROOT", (base + "/device" + std::to_string(child)).c_str(), 1);
        // The held store is never let go while the child lives.
        TLMSqliteStore::setBusyTimeoutMilliseconds(static_cast<int>(testsupport::kChildLife.count() * 1000));
        CDVApp::configure();
        if (!CDVApp::isDefaultAppConfigured()) _exit(2);
        if (child == kEventInHeldStore) {
          CDVAnalytics::logEventWithName("in_child", TLMObjectDictionary());
          _exit(TLMAnalytics::waitForQueuedWork(0.2) ? 3 : 0);
        }
        if (child == kEventInOwnFolders) {
          CDVAnalytics::logEventWithName("in_child", TLMObjectDictionary());
        } else {
          CDVLogError(kCDVLoggerCore, "I-COR000902", "The child's line.");
        }
        _exit(UIApplication().terminate() ? 0 : 1);
      }, testsupport::kChildLife);
    }
  });
  // Where a fork waits for the set-up, the name service is let go once it does.
  testsupport::eventually([&] { return CDVLoggerForkWaitsForTesting() || ends[kChildren - 1].forked; });
  testsupport::letTheNameServiceGo();
  forker.join();
  firstLine.join();
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  std::filesystem::remove_all(base);

  ASSERT_TRUE(inSetUp) << "the parent's first line did not ask the name service";
  for (int child = 0; child < kChildren; ++child) {
    EXPECT_TRUE(ends[child].exitedWith(0)) << "child " << child << ": status " << ends[child].status << ", in time "
                                           << ends[child].inTime << ", " << ends[child].took.count() << " ms";
  }
}
