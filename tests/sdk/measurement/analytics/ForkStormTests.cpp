// Children forked from several threads at once while the parent's other threads log, make
// folders, list users, post notifications and configure and delete named apps, with no default
// app configured: each child's log call, default app and app's end answer, whatever lock a
// parent's thread held at the fork (the SDK's or the C library's). A count of work, not a timing:
// each child has the generous bound of an event, and one still alive after it counts as hung.
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "Bounds.h"
#include "Core/Private/CDVForkedChild.h"
#include "Core/Public/CDVApp.h"
#include "Core/Public/CDVLogger.h"
#include "Core/Public/CDVOptions.h"
#include "TemporaryContainer.h"
#include "UserListing.h"
#include "foundation/Files.h"
#include "foundation/NotificationCenter.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "uikit/UIKit.h"

namespace {

constexpr int kForkingThreads = 4;
constexpr int kChildrenPerThread = 500;
constexpr std::size_t kRunningPerThread = 8;  // children a forking thread has at once

// Where a child is, kept in memory the parent shares.
enum Stage : unsigned char { kNotStarted, kLogging, kAskingForTheDefaultApp, kEnding, kDone };
constexpr std::array<const char*, 5> kStageNames = {"before its first call", "in the log call",
                                                    "in CDVApp::defaultApp", "in UIApplication::terminate",
                                                    "after its calls"};

// Exit statuses of a child other than 0 (no default app, and the app's end reports nothing kept).
constexpr int kFoundADefaultApp = 1;
constexpr int kEndReportedKept = 2;

[[noreturn]] void inChild(volatile unsigned char* stage) {
  *stage = kLogging;
  CDVAnalytics::logEventWithName("in_child", TLMObjectDictionary());
  *stage = kAskingForTheDefaultApp;
  const bool foundApp = CDVApp::defaultApp() != nullptr;
  *stage = kEnding;
  const bool endKept = UIApplication().terminate();
  *stage = kDone;
  _exit(foundApp ? kFoundADefaultApp : endKept ? kEndReportedKept : 0);
}

struct Tally {
  std::atomic<int> ended{0};
  std::atomic<int> hung{0};
  std::atomic<int> failed{0};  // ended otherwise than with status 0, or could not be forked
  std::array<std::atomic<int>, kStageNames.size()> hungAt{};
  std::atomic<bool> stopForking{false};  // once one hung: each further hang would cost its bound again
};

struct Running {
  pid_t pid;
  int watch;  // the child's process descriptor
  std::chrono::steady_clock::time_point deadline;
  int index;
};

// Reaps the children that ended and kills those past their bound; with `block`, first waits until
// one ends or the first bound passes.
void reap(std::vector<Running>& running, bool block, const volatile unsigned char* stages, Tally& tally) {
  std::vector<pollfd> watches;
  auto first = std::chrono::steady_clock::time_point::max();
  for (const Running& child : running) {
    watches.push_back({child.watch, POLLIN, 0});
    first = std::min(first, child.deadline);
  }
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(first - std::chrono::steady_clock::now()).count();
  if (::poll(watches.data(), watches.size(), block ? static_cast<int>(std::max<long long>(left, 0)) : 0) < 0) return;
  const auto now = std::chrono::steady_clock::now();
  std::vector<Running> still;
  for (std::size_t i = 0; i < running.size(); ++i) {
    const Running& child = running[i];
    const bool ended = (watches[i].revents & POLLIN) != 0;
    if (!ended && now < child.deadline) {
      still.push_back(child);
      continue;
    }
    if (!ended) {
      ::kill(child.pid, SIGKILL);
      ++tally.hung;
      tally.stopForking = true;
      ++tally.hungAt[std::min<std::size_t>(stages[child.index], kStageNames.size() - 1)];
    }
    int status = 0;
    while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    ::close(child.watch);
    if (!ended) continue;
    ++tally.ended;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      ++tally.failed;
      std::fprintf(stderr, "child %d: status %d\n", child.index, status);
    }
  }
  running.swap(still);
}

// Runs `work` again and again until `stop`; what it throws ends nothing, but is counted.
template <typename Work>
std::thread repeating(std::atomic<bool>& stop, std::atomic<int>& failures, Work work) {
  return std::thread([&stop, &failures, work]() mutable {
    for (long i = 0; !stop; ++i) {
      try {
        work(i);
      } catch (...) {
        ++failures;
      }
    }
  });
}

}  // namespace

TEST(ForkStorm, NoChildHangsWhateverTheParentsThreadsHeld) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer does not support a child of a threaded process";
#endif
  ASSERT_FALSE(CDVForkedChild::refuses("test"));  // this process is the SDK's
  const TemporaryContainer container("fork-storm");
  ASSERT_FALSE(container.path().empty()) << "no container could be made";
  const std::shared_ptr<CDVOptions> options = CDVOptions::defaultOptions();
  ASSERT_TRUE(options) << "the example bundle has no options";
  const std::size_t children = kForkingThreads * kChildrenPerThread;
  void* shared = ::mmap(nullptr, children, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  auto* stages = static_cast<volatile unsigned char*>(shared);

  std::atomic<bool> stop{false};
  std::atomic<int> parentFailures{0};
  std::vector<std::thread> workers;
  // Log lines below the level shown, the logger's set-up made again and again, and the C
  // library's time of day as a host formats it.
  workers.push_back(repeating(stop, parentFailures, [](long i) {
    CDVLogInfo(kCDVLoggerCore, "I-COR000099", "storm %@", static_cast<std::int64_t>(i));
    CDVLogDebug(kCDVLoggerCore, "I-COR000099", "storm %@", static_cast<std::int64_t>(i));
    if (i % 50 == 0) CDVLoggerResetForTesting();
    const time_t now = ::time(nullptr);
    tm parts{};
    ::localtime_r(&now, &parts);
  }));
  // Folders made and removed.
  workers.push_back(repeating(stop, parentFailures, [&container](long i) {
    const std::string folder = container.path() + "/folders/" + std::to_string(i % 4);
    platform::files::createPrivateDirectory(folder);
    platform::files::removeItem(folder);
  }));
  // Users listed, by the SDK and by the C library's name services.
  workers.push_back(repeating(stop, parentFailures, [](long) {
    (void)platform::files::groupMayBeAnothers(::getegid());
    std::vector<char> room(16384);
    passwd user{};
    passwd* foundUser = nullptr;
    ::getpwuid_r(::geteuid(), &user, room.data(), room.size(), &foundUser);
    group entry{};
    group* foundGroup = nullptr;
    ::getgrgid_r(::getegid(), &entry, room.data(), room.size(), &foundGroup);
  }));
  // Notifications posted.
  workers.push_back(repeating(stop, parentFailures, [](long) {
    platform::NotificationCenter::defaultCenter().post("ForkStormNotification");
  }));
  // Named apps configured and deleted back to back.
  workers.push_back(repeating(stop, parentFailures, [&options](long i) {
    CDVApp::configureWithName("storm_" + std::to_string(i), options);
    if (std::shared_ptr<CDVApp> app = CDVApp::appNamed("storm_" + std::to_string(i))) app->deleteApp([](bool) {});
  }));

  Tally tally;
  std::vector<std::thread> forking;
  for (int t = 0; t < kForkingThreads; ++t) {
    forking.emplace_back([&, t] {
      std::vector<Running> running;
      for (int k = 0; k < kChildrenPerThread && !tally.stopForking; ++k) {
        const int index = t * kChildrenPerThread + k;
        const pid_t pid = ::fork();
        if (pid == 0) inChild(&stages[index]);
        const int watch = pid > 0 ? static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)) : -1;
        if (watch < 0) {
          ++tally.failed;
          std::fprintf(stderr, "child %d: %s\n", index, pid < 0 ? "not forked" : "no process descriptor");
          if (pid > 0) ::waitpid(pid, nullptr, 0);  // it ends by itself, or the run never does
          continue;
        }
        running.push_back({pid, watch, std::chrono::steady_clock::now() + testsupport::kEventWait, index});
        reap(running, running.size() >= kRunningPerThread, stages, tally);
      }
      while (!running.empty()) reap(running, true, stages, tally);
    });
  }
  for (std::thread& thread : forking) thread.join();
  stop = true;
  for (std::thread& worker : workers) worker.join();
  ::munmap(shared, children);

  std::string where;
  for (std::size_t s = 0; s < kStageNames.size(); ++s) {
    if (tally.hungAt[s] > 0) where += " " + std::to_string(tally.hungAt[s].load()) + " " + kStageNames[s] + ";";
  }
  const int forked = tally.ended + tally.hung;
  std::printf("%d children: %d ended, %d hung, %d failed\n", forked, tally.ended.load(), tally.hung.load(),
              tally.failed.load());
  EXPECT_EQ(tally.hung, 0) << "of " << forked << " children (forking stopped at the first); hung:" << where;
  EXPECT_EQ(tally.failed, 0);
  EXPECT_EQ(parentFailures, 0) << "calls of the parent's threads threw";
}
