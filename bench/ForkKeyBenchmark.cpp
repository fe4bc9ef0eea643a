// How long log calls on other threads and fork() itself take while a key pair is being made,
// against the same run without a key being made (the baseline).
//
//   fork_key_bench [--quick] [--seconds N] [--bits B]
//
// Two threads log events through the configured SDK, one every millisecond each, timing every
// call; a third forks a child that ends at once, every 50 ms, timing fork() in the parent. The
// first phase makes no key; the second makes key pairs of B bits (4096 by default) back to back.
// Prints the count, median, p99 and maximum of each, in milliseconds (and the log calls over
// 100 ms), and the ratio of the p99s. A log call held up by a fork is one slow sample among
// thousands of quick ones: the count of calls made and the maximum show it first.
// --quick: a short run with small keys, to check that it still builds and runs.
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Core/Public/CDVApp.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "security/SecKey.h"
#include "uikit/UIKit.h"

// Under AddressSanitizer a child forked while another thread stores an allocation's stack waits
// for ever at its first allocation (the runtime's stack store is not taken across fork): its
// 10 s kill would be the run's time. Allocation stacks are not recorded here (nor, without them,
// leaks reported).
extern "C" __attribute__((weak)) const char* __asan_default_options() { return "malloc_context_size=0"; }

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Figures {
  double median = 0;
  double p99 = 0;
  double max = 0;
  std::size_t count = 0;
  std::size_t over100ms = 0;  // samples over 100 ms
};

Figures figuresOf(std::vector<double> samples) {
  Figures f;
  f.count = samples.size();
  if (samples.empty()) return f;
  std::sort(samples.begin(), samples.end());
  auto at = [&](double q) { return samples[std::min(samples.size() - 1, static_cast<std::size_t>(q * samples.size()))]; };
  f.median = at(0.5);
  f.p99 = at(0.99);
  f.max = samples.back();
  f.over100ms = static_cast<std::size_t>(samples.end() - std::upper_bound(samples.begin(), samples.end(), 100.0));
  return f;
}

// Waits for a child that ends at once; one that has not ended after 10 s is killed and counted.
std::atomic<int> gChildrenKilled{0};
void awaitChild(pid_t child) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (waitpid(child, nullptr, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
      ++gChildrenKilled;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

struct Phase {
  Figures log;
  Figures fork;
  int keys = 0;
};

Phase runPhase(double seconds, int keyBits) {
  std::atomic<bool> stop{false};
  std::mutex samplesMutex;
  std::vector<double> logTimes;
  std::vector<double> forkTimes;
  std::atomic<int> keys{0};

  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      std::vector<double> mine;
      TLMObjectDictionary parameters;
      while (!stop) {
        const auto start = Clock::now();
        CDVAnalytics::logEventWithName("bench_logged", parameters);
        mine.push_back(millisecondsSince(start));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      std::lock_guard lock(samplesMutex);
      logTimes.insert(logTimes.end(), mine.begin(), mine.end());
    });
  }
  threads.emplace_back([&] {
    while (!stop) {
      const auto start = Clock::now();
      const pid_t child = fork();
      if (child == 0) _exit(0);
      const double took = millisecondsSince(start);
      if (child > 0) awaitChild(child);
      {
        std::lock_guard lock(samplesMutex);
        forkTimes.push_back(took);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  if (keyBits > 0) {
    threads.emplace_back([&] {
      platform::Dictionary parameters{{kSecAttrKeyType, platform::Value(kSecAttrKeyTypeRSA)},
                                      {kSecAttrKeySizeInBits, platform::Value(static_cast<std::int64_t>(keyBits))}};
      while (!stop) {
        SecKeyRef publicKey;
        SecKeyRef privateKey;
        if (SecKeyGeneratePair(parameters, &publicKey, &privateKey) == errSecSuccess) ++keys;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& thread : threads) thread.join();
  return Phase{figuresOf(logTimes), figuresOf(forkTimes), keys.load()};
}

void print(const char* name, const Phase& phase) {
  std::printf("%-22s log calls %6zu: median %8.3f ms, p99 %9.3f ms, max %9.3f ms, %zu over 100 ms\n", name,
              phase.log.count, phase.log.median, phase.log.p99, phase.log.max, phase.log.over100ms);
  std::printf("%-22s fork()    %6zu: median %8.3f ms, p99 %9.3f ms, max %9.3f ms (keys made: %d)\n", "",
              phase.fork.count, phase.fork.median, phase.fork.p99, phase.fork.max, phase.keys);
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  double seconds = 20;
  int bits = 4096;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      quick = true;
    } else if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (arg == "--bits" && i + 1 < argc) {
      bits = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: fork_key_bench [--quick] [--seconds N] [--bits B]\n");
      return 2;
    }
  }
  if (quick) {
    seconds = 0.5;
    bits = 1024;
  }

  std::string folder = std::filesystem::temp_directory_path() / "fork-key-bench-XXXXXX";
  if (mkdtemp(folder.data()) == nullptr) {
    std::perror(("cannot make a folder in " + std::filesystem::temp_directory_path().string()).c_str());
    return 1;
  }
  setenv("VESMORA_MAIN_BUNDLE", EXAMPLE_BUNDLE, 0);
  setenv("VESMORA_SANDBOX_ROOT", (folder + "/app").c_str(), 1);
  setenv("VESMORA_DEVICE_ROOT", (folder + "/device").c_str(), 1);
  TLMMeasurementEngine::setCollectionServerURL("http://127.0.0.1:9");  // nothing listens there
  CDVApp::configure();

  const Phase baseline = runPhase(seconds, 0);
  const Phase withKeys = runPhase(seconds, bits);
  std::printf("%.1f s per phase, %d-bit keys\n", seconds, bits);
  print("no key being made", baseline);
  print("keys being made", withKeys);
  std::printf("p99 ratio (keys / none): log calls %.1f, fork() %.1f\n",
              baseline.log.p99 > 0 ? withKeys.log.p99 / baseline.log.p99 : 0.0,
              baseline.fork.p99 > 0 ? withKeys.fork.p99 / baseline.fork.p99 : 0.0);
  if (gChildrenKilled > 0) std::printf("children that did not end within 10 s: %d\n", gChildrenKilled.load());
  UIApplication().terminate();
  // When the app's end answered false the SDK may still write there: a removal that fails
  // leaves the folder behind and says so.
  std::error_code notRemoved;
  std::filesystem::remove_all(folder, notRemoved);
  if (notRemoved) std::fprintf(stderr, "left %s behind: %s\n", folder.c_str(), notRemoved.message().c_str());
  return 0;
}
