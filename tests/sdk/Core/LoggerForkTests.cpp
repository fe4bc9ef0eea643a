// A log line in a child made by fork() from the SDK's process while a thread of the parent's was
// inside the logger's one-time set-up, or inside the name service that set-up reads from: the
// child writes its line without the set-up, whose lock, and whatever the set-up reads (the
// defaults, the data root, the name service), a thread it does not have may hold.
//
// This program has a name service of its own, a slow one: getpwuid_r, where the data root is read
// from when neither HOME nor XDG_DATA_HOME is set, takes the service's lock and holds it until
// the test lets the service go, and knows no user.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "Bounds.h"
#include "Core/Public/CDVApp.h"
#include "Core/Public/CDVLogger.h"
#include "ForkedChild.h"
#include "ScopedVariable.h"
#include "foundation/Exception.h"
#include "obx/OBXLogger.h"

namespace {

struct NameService {
  std::mutex lookup;  // held through each question, as the C library's name service does
  std::mutex mutex;
  std::condition_variable changed;
  int questions = 0;
  bool letGo = false;
};

NameService& nameService() {
  static NameService* service = new NameService();  // never destroyed: asked from other threads
  return *service;
}

// Waits until the name service has been asked `count` questions; false when it was not in time.
bool askedAtLeast(int count) {
  NameService& names = nameService();
  std::unique_lock lock(names.mutex);
  return names.changed.wait_for(lock, testsupport::kEventWait, [&] { return names.questions >= count; });
}

void letTheNameServiceGo() {
  NameService& names = nameService();
  std::lock_guard lock(names.mutex);
  names.letGo = true;
  names.changed.notify_all();
}

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

#if defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_TSAN() GTEST_SKIP() << "the thread sanitizer does not support threads in a child of a threaded process"
#else
#define SKIP_UNDER_TSAN() (void)0
#endif

}  // namespace

extern "C" int getpwuid_r(uid_t, struct passwd*, char*, size_t, struct passwd** found) {
  NameService& names = nameService();
  {
    std::lock_guard lock(names.mutex);
    ++names.questions;
    names.changed.notify_all();
  }
  std::lock_guard lookup(names.lookup);
  std::unique_lock lock(names.mutex);
  names.changed.wait(lock, [&] { return names.letGo; });
  *found = nullptr;
  return 0;
}

namespace {

// Neither HOME nor XDG_DATA_HOME: the data root is read from the name service. Each test starts
// with the logger's set-up not done and a name service that holds every question.
class LoggerInForkedChild : public ::testing::Test {
 protected:
  void SetUp() override {
    CDVLoggerResetForTesting();
    NameService& names = nameService();
    std::lock_guard lock(names.mutex);
    names.questions = 0;
    names.letGo = false;
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

// A thread is inside the logger's set-up (its lock held), waiting for the name service; another
// has configured.
TEST_F(LoggerInForkedChild, WritesItsFirstLineWhileAParentsThreadIsInTheSetUp) {
  SKIP_UNDER_TSAN();
  std::thread firstLine([] { CDVLogError(kCDVLoggerCore, "I-COR000901", "The parent's first line."); });
  const bool inSetUp = askedAtLeast(1);
  // Configuring makes the process the SDK's; the data root it reads asks the name service too.
  std::thread configuring(configure);
  const bool configured = askedAtLeast(2);
  testsupport::ChildEnd end;
  if (inSetUp && configured) end = testsupport::runInChild(logAndExit, testsupport::kChildLife);
  letTheNameServiceGo();
  firstLine.join();
  configuring.join();

  ASSERT_TRUE(inSetUp) << "the first line's set-up did not ask the name service";
  ASSERT_TRUE(configured) << "configure did not read the data root";
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
