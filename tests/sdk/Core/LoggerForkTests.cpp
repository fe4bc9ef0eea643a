// A log line in a child made by fork() from the SDK's process while a thread of the parent's was
// inside the logger's one-time set-up, or inside the name service that set-up reads from: the
// child writes its line without the set-up, whose lock, and whatever the set-up reads (the
// defaults, the data root, the name service), a thread it does not have may hold. And the first
// call of a child of a process the SDK does not belong to yet, while a parent's thread is inside
// the logger's first set-up (the fork waits for nothing slow: not while the set-up waits for the
// name service) or inside its first user lookup (the child asks the files or getent, never the
// C library): none waits for ever.
//
// This program has a name service of its own, a slow one (HeldNameService.h): getpwuid_r, where
// the data root is read from when neither HOME nor XDG_DATA_HOME is set and which the private
// folders' check of a group's write bit asks, holds every question until the test lets it go.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "Bounds.h"
#include "Core/Public/CDVApp.h"
#include "Core/Private/CDVForkedChild.h"
#include "Core/Public/CDVLogger.h"
#include "ForkedChild.h"
#include "HeldNameService.h"
#include "ScopedVariable.h"
#include "foundation/Exception.h"
#include "foundation/Files.h"
#include "foundation/ProcessInfo.h"
#include "UserListing.h"
#include "obx/OBXLogger.h"
#include "uikit/UIKit.h"

namespace {

using testsupport::askedAtLeast;
using testsupport::letTheNameServiceGo;

// The child's first call: a log line. Ends the child, with 0 when the line was written.
[[noreturn]] void logAndExit() {
  alarm(static_cast<unsigned>(testsupport::kEventWait.count()));
  std::atomic<int> lines{0};
  OBXLoggerSetSink([&](const OBXLogLine& line) { lines += line.messageCode == "I-COR000902" ? 1 : 0; });
  CDVLogError(kCDVLoggerCore, "I-COR000902", "The child's first line.");
  _exit(lines == 1 ? 0 : 1);
}

void configure() {
  try {
    CDVApp::configure();
  } catch (const platform::Exception&) {  // no folder for the app's data: the name service knows no user
  }
}

// A child's first call, in a process the SDK does not belong to.
enum class FirstCall { kLogLine, kConfigure, kLookup, kTerminate, kPrivateFolder };
constexpr FirstCall kFirstCalls[] = {FirstCall::kLogLine, FirstCall::kConfigure, FirstCall::kLookup,
                                     FirstCall::kTerminate, FirstCall::kPrivateFolder};

// Makes `call` as the child's first call, its app's folders under `folder`; ends the child with 0
// when the call did what it should: the line written, the child configured (an SDK process of its
// own), no app found, the app ended, the private folder made or refused with a reason (its way
// passes a folder that the user's group may write to, so the user and group are looked up).
[[noreturn]] void firstCallAndExit(FirstCall call, const std::string& folder, int number) {
  alarm(static_cast<unsigned>(testsupport::kEventWait.count()));
  ::setenv("VESMORA_SANDBOX_ROOT", (folder + "/app" + std::to_string(number)).c_str(), 1);
  ::setenv("VESMORA_DEVICE_ROOT", (folder + "/device" + std::to_string(number)).c_str(), 1);
  bool did = false;
  switch (call) {
    case FirstCall::kLogLine: {
      std::atomic<int> lines{0};
      OBXLoggerSetSink([&](const OBXLogLine& line) { lines += line.messageCode == "I-COR000902" ? 1 : 0; });
      CDVLogError(kCDVLoggerCore, "I-COR000902", "The child's first line.");
      did = lines == 1;
      break;
    }
    case FirstCall::kConfigure:
      CDVApp::configure();
      did = CDVApp::isDefaultAppConfigured() && !CDVForkedChild::isForkedChild();
      break;
    case FirstCall::kLookup:
      did = CDVApp::defaultApp() == nullptr && CDVApp::appNamed("other") == nullptr;
      break;
    case FirstCall::kTerminate:
      did = UIApplication().terminate();
      break;
    case FirstCall::kPrivateFolder: {
      platform::Error error;
      did = platform::files::createPrivateDirectory(folder + "/shared/child" + std::to_string(number), &error) ||
            !error.description.empty();
      break;
    }
  }
  _exit(did ? 0 : 1);
}

using testsupport::kChildLife;

// Forks counted by a parent handler of the test's own.
std::atomic<int> gForks{0};
void countForks() {
  static const bool registered = pthread_atfork(nullptr, [] { ++gForks; }, nullptr) == 0;
  (void)registered;
}

// A folder of the test's own in TMPDIR, with "shared" in it, which the user's group may write to.
class Folder {
 public:
  Folder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "logger-fork-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    const std::string shared = path_ + "/shared";
    made_ = !path_.empty() && ::mkdir(shared.c_str(), 0700) == 0 && ::chmod(shared.c_str(), 0770) == 0;
  }
  ~Folder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  bool made() const { return made_; }

 private:
  std::string path_;
  bool made_ = false;
};

#if defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_TSAN() GTEST_SKIP() << "the thread sanitizer does not support threads in a child of a threaded process"
#else
#define SKIP_UNDER_TSAN() (void)0
#endif

}  // namespace

namespace {

// Neither HOME nor XDG_DATA_HOME: the data root is read from the name service. Each test starts
// with the logger's set-up not done and a name service that holds every question.
class LoggerInForkedChild : public ::testing::Test {
 protected:
  void SetUp() override {
    CDVLoggerResetForTesting();
    platform::files::forgetUserAnswersForTesting();  // each test asks the name service anew
    testsupport::holdTheNameService();
  }
  void TearDown() override {
    letTheNameServiceGo();
    OBXLoggerSetSink(nullptr);
  }

  testsupport::ScopedVariable home_{"HOME", nullptr};
  testsupport::ScopedVariable data_{"XDG_DATA_HOME", nullptr};
  testsupport::ScopedVariable root_{"VESMORA_SANDBOX_ROOT", nullptr};
  testsupport::ScopedVariable deviceRoot_{"VESMORA_DEVICE_ROOT", nullptr};
  testsupport::ScopedVariable bundle_{"VESMORA_MAIN_BUNDLE", EXAMPLE_BUNDLE};
};

}  // namespace

// A process the SDK does not belong to: a thread is inside the logger's first set-up, waiting for
// the name service, when another forks. The fork waits for no name service: it is made, and the
// child's first call, whichever it is, does what it should, while the name service still holds
// the set-up.
TEST_F(LoggerInForkedChild, AChildOfAProcessWithoutTheSDKIsMadeWhileTheSetUpWaitsForTheNameService) {
  SKIP_UNDER_TSAN();
  if (CDVForkedChild::hasOwner()) GTEST_SKIP() << "the SDK belongs to this process already: run this test alone";
  countForks();
  const Folder folder;
  ASSERT_TRUE(folder.made());
  int number = 0;
  for (const FirstCall call : kFirstCalls) {
    SetUp();
    std::thread firstLine([] { CDVLogError(kCDVLoggerCore, "I-COR000901", "The parent's first line."); });
    const bool inSetUp = askedAtLeast(1);
    const int forks = gForks;
    testsupport::ChildEnd end;
    std::thread forker([&] {
      if (inSetUp) end = testsupport::runInChild([&] { firstCallAndExit(call, folder.path(), number); }, kChildLife);
    });
    const bool made = inSetUp && testsupport::eventually([&] { return gForks > forks; });
    if (made) forker.join();  // the child has ended, the name service still holding the set-up
    letTheNameServiceGo();
    if (!made) forker.join();
    firstLine.join();

    ASSERT_TRUE(inSetUp) << "the first line's set-up did not ask the name service";
    ASSERT_TRUE(made) << "the fork waited for the set-up while it waited for the name service";
    EXPECT_TRUE(end.exitedWith(0)) << "first call " << number << ": status " << end.status << ", in time "
                                   << end.inTime;
    ++number;
  }
}

// A process the SDK does not belong to: a thread holds the apps' registry, as a lookup does, when
// another forks. The fork waits until it is let go, so that the child, which configures, never
// finds it held.
TEST_F(LoggerInForkedChild, AForkWaitsWhileAThreadOfAProcessWithoutTheSDKHoldsTheAppsRegistry) {
  SKIP_UNDER_TSAN();
  if (CDVForkedChild::hasOwner()) GTEST_SKIP() << "the SDK belongs to this process already: run this test alone";
  countForks();
  const Folder folder;
  ASSERT_TRUE(folder.made());
  std::promise<void> held;
  std::promise<void> leave;
  std::thread holder([&] {
    std::lock_guard lock(CDVApp::registryLockForTesting());
    held.set_value();
    leave.get_future().wait();
  });
  held.get_future().wait();
  const int forks = gForks;
  testsupport::ChildEnd end;
  std::thread forker([&] {
    end = testsupport::runInChild([&] { firstCallAndExit(FirstCall::kConfigure, folder.path(), 0); }, kChildLife);
  });
  // Let go once the fork waits, or once it was made without waiting (its child then finds it held).
  const bool waited =
      testsupport::eventually([&] { return CDVApp::forkWaitsForRegistryForTesting() || gForks > forks; }) &&
      gForks == forks;
  leave.set_value();
  holder.join();
  forker.join();

  EXPECT_TRUE(waited) << "the fork was made while a thread held the registry";
  EXPECT_TRUE(end.exitedWith(0)) << "status " << end.status << ", in time " << end.inTime;
}

// A child forked into a PID namespace of its own is pid 1, as its parent may be: it is a child made
// by fork all the same, refused where its parent used the SDK, and it asks no name service in its
// own process while a parent's thread holds it.
TEST_F(LoggerInForkedChild, AChildThatIsPid1LikeItsParentIsStillAForkedChild) {
  SKIP_UNDER_TSAN();
  if (CDVForkedChild::hasOwner()) GTEST_SKIP() << "the SDK belongs to this process already: run this test alone";
  if (::geteuid() != 0) GTEST_SKIP() << "only root can make a PID namespace";
  const testsupport::ChildEnd outer = testsupport::runInChild([] {
    if (::unshare(CLONE_NEWPID) != 0) _exit(77);
    // The first process, pid 1 in a PID namespace of its own, the SDK's.
    const auto first = std::chrono::steady_clock::now();
    const pid_t parent = ::fork();
    if (parent == 0) {
      platform::ProcessInfo::countAsFirstProcessForTesting();
      platform::files::forgetUserAnswersForTesting();
      if (::getpid() != 1 || CDVForkedChild::refuses("a test's claim")) _exit(70);
      std::thread asking([] { platform::files::lookUpUser(4242); });  // held by the name service
      if (!askedAtLeast(1) || ::unshare(CLONE_NEWPID) != 0) _exit(71);
      const auto second = std::chrono::steady_clock::now();
      const pid_t child = ::fork();
      if (child == 0) {
        const bool forked = ::getpid() == 1 && CDVForkedChild::isForkedChild();
        _exit(forked && platform::files::lookUpUser(4243).failed.empty() ? 0 : 1);
      }
      const testsupport::ChildEnd end = testsupport::awaitChild(child, second, kChildLife);
      letTheNameServiceGo();
      asking.join();
      _exit(end.exitedWith(0) ? 0 : end.inTime ? 72 : 73);
    }
    const testsupport::ChildEnd end = testsupport::awaitChild(parent, first, kChildLife);
    _exit(end.inTime && WIFEXITED(end.status) ? WEXITSTATUS(end.status) : 74);
  }, 2 * kChildLife);
  if (outer.exitedWith(77)) GTEST_SKIP() << "no PID namespace to be had here";
  EXPECT_TRUE(outer.exitedWith(0)) << "status " << outer.status << " (72: the child, pid 1 too, was not taken for "
                                   << "a forked child; 73: it waited for the name service)";
}

// A process the SDK does not belong to: a thread is inside its first user lookup (making a private
// folder whose way a group may write to), holding the name service, through the forks. Each
// child's first call, even one that looks the user up, asks no name service in its own process.
TEST_F(LoggerInForkedChild, AChildOfAProcessWithoutTheSDKNeverWaitsForTheNameService) {
  SKIP_UNDER_TSAN();
  if (CDVForkedChild::hasOwner()) GTEST_SKIP() << "the SDK belongs to this process already: run this test alone";
  const Folder folder;
  ASSERT_TRUE(folder.made());
  std::thread lookingUp([&] { platform::files::createPrivateDirectory(folder.path() + "/shared/parent"); });
  const bool lookedUp = askedAtLeast(1);
  int number = 0;
  for (const FirstCall call : kFirstCalls) {
    testsupport::ChildEnd end;
    if (lookedUp) end = testsupport::runInChild([&] { firstCallAndExit(call, folder.path(), number); }, kChildLife);
    EXPECT_TRUE(end.exitedWith(0)) << "first call " << number << ": status " << end.status << ", in time "
                                   << end.inTime;
    ++number;
  }
  letTheNameServiceGo();
  lookingUp.join();
  ASSERT_TRUE(lookedUp) << "the private folder's check did not look the user up";
}

// A thread is inside the logger's set-up (its lock held), waiting for the name service; another
// has configured.
TEST_F(LoggerInForkedChild, WritesItsFirstLineWhileAParentsThreadIsInTheSetUp) {
  SKIP_UNDER_TSAN();
  std::thread firstLine([] { CDVLogError(kCDVLoggerCore, "I-COR000901", "The parent's first line."); });
  const bool inSetUp = askedAtLeast(1);
  // Configuring makes the process the SDK's; the data root it reads waits for the same lookup.
  std::thread configuring(configure);
  const bool configured = testsupport::eventually([] { return CDVForkedChild::hasOwner(); });
  testsupport::ChildEnd end;
  if (inSetUp && configured) end = testsupport::runInChild(logAndExit, testsupport::kChildLife);
  letTheNameServiceGo();
  firstLine.join();
  configuring.join();

  ASSERT_TRUE(inSetUp) << "the first line's set-up did not ask the name service";
  ASSERT_TRUE(configured) << "configure did not claim the process";
  EXPECT_TRUE(end.exitedWith(0)) << "status " << end.status << ", in time " << end.inTime;
}

// No line was logged yet; the configuring thread holds the name service's lock (reading the data
// root), which the set-up would wait for.
TEST_F(LoggerInForkedChild, WritesItsFirstLineWhileAParentsThreadHoldsTheNameService) {
  SKIP_UNDER_TSAN();
  std::thread configuring(configure);
  const bool configured = askedAtLeast(1);
  testsupport::ChildEnd end;
  if (configured) end = testsupport::runInChild(logAndExit, testsupport::kChildLife);
  letTheNameServiceGo();
  configuring.join();

  ASSERT_TRUE(configured) << "configure did not read the data root";
  EXPECT_TRUE(end.exitedWith(0)) << "status " << end.status << ", in time " << end.inTime;
}
