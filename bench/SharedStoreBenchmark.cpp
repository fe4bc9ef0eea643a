// Processes of one app that start at once on one new store: a parent that has written a log line
// forks N children right away, and configures 30 ms after the last; each child configures, logs
// one event and ends the app. The store's writes take turns on its lock, so each process's
// own work waits behind the others'; the figure is how many children's ends answered false (their
// own work not stored within the end's 5 s) and how long the ends took.
//
//   shared_store_bench [--quick] [--children N] [--rounds R] [--sync-ms M] [--one-at-a-time] [--collector]
//
// --one-at-a-time: a pre-forking server's workers instead, each forked once the one before ended,
// the parent never configuring: each child is the store's only process, and its end's time is
// what the app's end costs there.
// --collector: a collector on a loopback port of the round's process answers (404 to the
// configuration's fetch, which leaves the defaults in force, and 204 to each batch), so that the
// children bundle and upload what they log; else the collector's port refuses every request.
// --sync-ms makes every fsync and fdatasync of the program take M ms more (defined here, so they
// stand in for the C library's for the SDK and SQLite), as on a disk slower than this machine's.
// Each round runs in a fresh process of its own with a fresh home folder. Prints one line:
// "children <n> ends-false <f> median-ms <m> max-ms <x>". bench/compare_shared_store.sh runs this
// program built from the tree and from an earlier commit, in turns.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
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

// Reads one request from `fd` (its head, then as many body bytes as it says) and answers 404 to a
// GET, 204 to anything else; false when the request could not be read.
bool answerOne(int fd) {
  char buffer[8192];
  std::string head;
  std::size_t end = std::string::npos;
  while ((end = head.find("\r\n\r\n")) == std::string::npos) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got <= 0) return false;
    head.append(buffer, static_cast<std::size_t>(got));
  }
  long long length = 0;
  for (const char* key : {"Content-Length:", "content-length:"}) {
    if (auto at = head.find(key); at != std::string::npos) length = std::atoll(head.c_str() + at + std::strlen(key));
  }
  long long left = length - static_cast<long long>(head.size() - end - 4);
  while (left > 0) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got <= 0) return false;
    left -= got;
  }
  const char* answer = head.rfind("GET", 0) == 0
                           ? "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
                           : "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n";
  return ::write(fd, answer, std::strlen(answer)) > 0;
}

// A loopback collector answering one request at a time on a thread of its own, for as long as the
// process runs; its URL, or empty.
std::string startCollector() {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 64) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return {};
  }
  std::thread([listener] {
    for (;;) {
      const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      answerOne(fd);
      ::close(fd);
    }
  }).detach();
  return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

// One round in this (fresh) process: writes "<0|1> <ms>" a child to `out`.
int runRound(const std::string& home, int children, bool oneAtATime, bool collector, int out) {
  ::setenv("HOME", home.c_str(), 1);
  for (const char* name : {"XDG_DATA_HOME", "VESMORA_SANDBOX_ROOT", "VESMORA_DEVICE_ROOT"}) ::unsetenv(name);
  ::setenv("VESMORA_MAIN_BUNDLE", VESMORA_EXAMPLE_BUNDLE, 1);
  const std::string url = collector ? startCollector() : "http://127.0.0.1:9";
  if (url.empty()) return 13;
  TLMMeasurementEngine::setCollectionServerURL(url);
  // Written before the forks: a fork while another thread allocates may leave a sanitizer's
  // allocator locked in the child.
  CDVLogWarning(kCDVLoggerCore, "I-COR000999", "The parent's first line.");
  std::vector<pid_t> pids;
  int failed = 0;
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
    int status = 0;
    if (oneAtATime && pid > 0 && (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)) {
      ++failed;
    }
  }
  if (oneAtATime) return static_cast<int>(pids.size()) == children && failed == 0 ? 0 : 11;
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  CDVApp::configure();
  CDVAnalytics::logEventWithName("parent", TLMObjectDictionary());
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
  bool oneAtATime = false;
  bool collector = false;
  for (int at = 1; at < argc; ++at) {
    if (std::strcmp(argv[at], "--quick") == 0) children = 2, rounds = 1;
    if (std::strcmp(argv[at], "--children") == 0 && at + 1 < argc) children = std::atoi(argv[++at]);
    if (std::strcmp(argv[at], "--rounds") == 0 && at + 1 < argc) rounds = std::atoi(argv[++at]);
    if (std::strcmp(argv[at], "--sync-ms") == 0 && at + 1 < argc) gSyncMilliseconds = std::atoi(argv[++at]);
    if (std::strcmp(argv[at], "--one-at-a-time") == 0) oneAtATime = true;
    if (std::strcmp(argv[at], "--collector") == 0) collector = true;
  }
  std::vector<double> times;
  int endsFalse = 0;
  for (int round = 0; round < rounds; ++round) {
    const std::optional<std::string> text = runInFreshProcess(
        "shared-store-bench", [&](const std::string& home, int out) { return runRound(home, children, oneAtATime, collector, out); });
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
  std::printf("children %zu ends-false %d median-ms %.1f max-ms %.0f\n", times.size(), endsFalse,
              times[times.size() / 2], times.back());
  return 0;
}
