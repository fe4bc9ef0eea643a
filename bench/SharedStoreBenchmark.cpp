// Processes of one app that start at once on one new store: a parent that has written a log line
// forks N children right away, and configures 30 ms after the last; each child configures, logs
// one event and ends the app. The store's writes take turns on its lock, so each process's
// own work waits behind the others'; the figure is how many children's ends answered false (their
// own work not stored within the end's 5 s) and how long the ends took.
//
//   shared_store_bench [--quick] [--children N] [--rounds R] [--sync-ms M]
//
// --sync-ms makes every fsync and fdatasync of the program take M ms more (defined here, so they
// stand in for the C library's for the SDK and SQLite), as on a disk slower than this machine's.
// Each round runs in a fresh process of its own with a fresh home folder. Prints one line:
// "children <n> ends-false <f> median-ms <m> max-ms <x>". bench/compare_shared_store.sh runs this
// program built from the tree and from an earlier commit, in turns.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Core/Public/CDVApp.h"
#include "Core/Public/CDVLogger.h"
#include "FreshProcess.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "uikit/UIKit.h"

namespace {

std::atomic<int> gSyncMilliseconds{0};

template <typename Sync>
int slowSync(const char* name, int fd) {
  static const auto real = reinterpret_cast<Sync>(::dlsym(RTLD_NEXT, name));
  if (const int ms = gSyncMilliseconds.load(); ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return real(fd);
}

// One round in this (fresh) process: writes "<0|1> <ms>" a child to `out`.
int runRound(const std::string& home, int children, int out) {
  ::setenv("HOME", home.c_str(), 1);
  for (const char* name : {"XDG_DATA_HOME", "VESMORA_SANDBOX_ROOT", "VESMORA_DEVICE_ROOT"}) ::unsetenv(name);
  ::setenv("VESMORA_MAIN_BUNDLE", VESMORA_EXAMPLE_BUNDLE, 1);
  TLMMeasurementEngine::setCollectionServerURL("http://127.0.0.1:9");
  // Written before the forks: a fork while another thread allocates may leave a sanitizer's
  // allocator locked in the child.
  CDVLogWarning(kCDVLoggerCore, "I-COR000999", "The parent's first line.");
  std::vector<pid_t> pids;
  for (int child = 0; child < children; ++child) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::alarm(30);
      const auto start = std::chrono::steady_clock::now();
      CDVApp::configure();
      CDVAnalytics::logEventWithName("child", TLMObjectDictionary());
      const bool ended = CDVApp::isDefaultAppConfigured() && UIApplication().terminate();
      const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
      char line[64];
      const int length = std::snprintf(line, sizeof line, "%d %.1f\n", ended ? 1 : 0, ms);
      ::_exit(::write(out, line, length) == length ? 0 : 12);
    }
    if (pid > 0) pids.push_back(pid);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  CDVApp::configure();
  CDVAnalytics::logEventWithName("parent", TLMObjectDictionary());
  int failed = 0;
  for (const pid_t pid : pids) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
  }
  UIApplication().terminate();
  return static_cast<int>(pids.size()) == children && failed == 0 ? 0 : 11;
}

}  // namespace

extern "C" int fsync(int fd) { return slowSync<int (*)(int)>("fsync", fd); }
extern "C" int fdatasync(int fd) { return slowSync<int (*)(int)>("fdatasync", fd); }

int main(int argc, char** argv) {
  int children = 16;
  int rounds = 5;
  for (int at = 1; at < argc; ++at) {
    if (std::strcmp(argv[at], "--quick") == 0) children = 2, rounds = 1;
    if (std::strcmp(argv[at], "--children") == 0 && at + 1 < argc) children = std::atoi(argv[++at]);
    if (std::strcmp(argv[at], "--rounds") == 0 && at + 1 < argc) rounds = std::atoi(argv[++at]);
    if (std::strcmp(argv[at], "--sync-ms") == 0 && at + 1 < argc) gSyncMilliseconds = std::atoi(argv[++at]);
  }
  std::vector<double> times;
  int endsFalse = 0;
  for (int round = 0; round < rounds; ++round) {
    const std::optional<std::string> text = runInFreshProcess(
        "shared-store-bench", [&](const std::string& home, int out) { return runRound(home, children, out); });
    if (!text) return 1;
    int ended = 0;
    double ms = 0;
    for (const char* at = text->c_str(); std::sscanf(at, "%d %lf", &ended, &ms) == 2; at = std::strchr(at, '\n') + 1) {
      endsFalse += ended == 0;
      times.push_back(ms);
    }
  }
  if (times.empty()) return 1;
  std::sort(times.begin(), times.end());
  std::printf("children %zu ends-false %d median-ms %.0f max-ms %.0f\n", times.size(), endsFalse,
              times[times.size() / 2], times.back());
  return 0;
}
