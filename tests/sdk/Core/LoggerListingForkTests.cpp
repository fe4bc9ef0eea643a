// The logger's first set-up in a process the SDK does not belong to yet, while its check of a
// folder the user's group may write to waits for a listing of the users through a slow getent
// ("files systemd"): a fork in another thread waits for nothing slow.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "Bounds.h"
#include "Core/Private/CDVForkedChild.h"
#include "Core/Public/CDVLogger.h"
#include "ForkedChild.h"
#include "UserDatabase.h"
#include "foundation/Files.h"

namespace {

std::atomic<int> gListingForks{0};

}  // namespace

// A thread lists the users (making a private folder whose way the user's group may write to),
// held by the getent, when another starts the logger's first set-up, whose check of the same group
// waits for that listing; then a third forks. The fork is made while the getent still holds the
// listing, and the child ends.
TEST(LoggerListingFork, AForkWaitsForNoListingOfTheUsers) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give the user database another user";
  if (!testsupport::mountNamespaceAvailable()) GTEST_SKIP() << "no mount namespace to be had here";
  if (CDVForkedChild::hasOwner()) GTEST_SKIP() << "the SDK belongs to this process already: run this test alone";
  pthread_atfork(nullptr, [] { ++gListingForks; }, nullptr);
  std::string gate = std::string(VESMORA_TEST_BUILD_DIR) + "/vesmora-listing-gate-XXXXXX";
  ASSERT_NE(::mkdtemp(gate.data()), nullptr) << "no folder in the build folder: " << std::strerror(errno);
  ASSERT_EQ(::mkfifo((gate + "/go").c_str(), 0600), 0);
  const std::string users = testsupport::userLine("root", 0, 0) + testsupport::userLine("daemon", 1, 1);
  // Entries by id from the files; the listing held until the test lets it go.
  const std::string getent = "#!/bin/sh\n"
                             "if [ $# -gt 1 ]; then\n  grep -m 1 \"^[^:]*:[^:]*:$2:\" /etc/$1 || exit 2\n  exit 0\nfi\n"
                             ": > " + gate + "/started; read go < " + gate + "/go\ncat /etc/$1\n";
  const int code = testsupport::withUserDatabase(users, "passwd: files systemd\ngroup: files systemd\n",
                                                 [&](const std::string& folder) {
    ::setenv("HOME", folder.c_str(), 1);
    for (const char* name : {"XDG_DATA_HOME", "VESMORA_SANDBOX_ROOT", "VESMORA_DEVICE_ROOT"}) ::unsetenv(name);
    ::setenv("VESMORA_MAIN_BUNDLE", EXAMPLE_BUNDLE, 1);
    CDVLoggerResetForTesting();
    std::thread listing([&] { platform::files::createPrivateDirectory(folder + "/listing"); });
    const bool listed = testsupport::eventually([&] { return platform::files::exists(gate + "/started"); });
    // The set-up, once it waits (on a lock: the listing's) for longer than a moment.
    std::atomic<pid_t> setUpThread{0};
    std::thread firstLine([&] {
      setUpThread = ::gettid();
      CDVLogWarning(kCDVLoggerCore, "I-COR000901", "The parent's first line.");
    });
    const bool waits =
        listed && testsupport::eventually([&] { return testsupport::inSystemCall(setUpThread, SYS_futex); });
    const int forks = gListingForks;
    testsupport::ChildEnd end;
    std::thread forker([&] { if (waits) end = testsupport::runInChild([] { ::_exit(0); }, testsupport::kChildLife); });
    const auto start = std::chrono::steady_clock::now();
    const bool made = waits && testsupport::eventually([&] { return gListingForks > forks; });
    const auto took = std::chrono::steady_clock::now() - start;
    const int go = ::open((gate + "/go").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    const bool let = go >= 0 && ::write(go, "go\n", 3) == 3;
    if (go >= 0) ::close(go);
    forker.join();
    firstLine.join();
    listing.join();
    if (listed && waits && made && let && end.exitedWith(0)) return 0;
    std::fprintf(stderr, "listing %s, set-up %s, fork %s after %lld ms, listing %s let go, child %s\n",
                 listed ? "held" : "not started", waits ? "waits" : "does not wait",
                 made ? "made" : "not made",
                 static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()),
                 let ? "was" : "was not", end.exitedWith(0) ? "ended" : "did not end");
    return 1;
  }, getent);
  std::filesystem::remove_all(gate);
  EXPECT_EQ(code, 0);
}
