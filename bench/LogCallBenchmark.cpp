// How long a public log call takes on the calling thread: CDVAnalytics::logEventWithName through
// the configured SDK, in a container of its own (nothing listens at the collector's address).
// With --warnings, a log line of a level shown instead: CDVLogWarning of one message code, with
// nothing configured (the logger writes the first to standard error and holds back the rest of
// each second, said in one line at its end).
//
//   log_call_bench [--quick] [--warnings] [--batches N] [--calls N]
//
// Times N batches (15) of N calls (2,000) each, one thread; between batches it waits, untimed,
// until the work the calls queued is stored, so that every batch starts with empty queues.
// Prints the median per call over the batches in nanoseconds, of the time that passed and of the
// calling thread's processor time (which other programs on a busy machine disturb less), and the
// calls per second one thread makes:
//   per-call-ns 2130.4
//   per-call-cpu-ns 1890.2
//   calls-per-second 469395
// bench/compare_log_call.sh runs this program built from the tree and from an earlier commit,
// interleaved, and prints the ratios. --quick: one small batch, to check that it still builds and
// runs.
//
//   log_call_bench --flat-out S [--parameters N] [--threads T]
//
// Logs flat out from T threads (1) for S seconds instead (events of N parameters of 100 characters
// each with --parameters; 26 is one over the limit), with nothing else holding the store, then
// ends the app; prints the calls made, the events dropped past the bound of those waiting in
// memory (default bound unless LOG_CALL_MAX_QUEUED_BYTES is set), what the end answered and the
// process's peak memory:
//   logged 1870000 dropped 1560000 end-true 0 peak-rss-mb 112.4
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Core/Public/CDVApp.h"
#include "Core/Public/CDVLogger.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/analytics/TLMAnalytics.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "uikit/UIKit.h"

namespace {

using Clock = std::chrono::steady_clock;

double threadCpuNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

int usage(const char* program) {
  std::fprintf(stderr, "usage: %s [--quick] [--warnings] [--batches N] [--calls N] [--flat-out S [--parameters N] [--threads T]]\n",
               program);
  return 2;
}

// The process's peak resident memory (VmHWM), in MB; -1 when unknown.
double peakMegabytes() {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  double kilobytes = -1;
  while (std::fgets(line, sizeof line, status) != nullptr && std::sscanf(line, "VmHWM: %lf", &kilobytes) != 1) {
  }
  std::fclose(status);
  return kilobytes < 0 ? -1 : kilobytes / 1024;
}

// `threads` threads log flat out for `seconds`, then the app ends (see --flat-out above).
int logFlatOut(double seconds, int threads, const TLMObjectDictionary& parameters) {
  const auto engine = TLMMeasurementEngine::sharedInstance();
  if (!engine) return 1;
  const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::vector<long long> calls(static_cast<std::size_t>(threads), 0);
  std::vector<std::thread> loggers;
  for (int t = 0; t < threads; ++t) {
    loggers.emplace_back([&, t] {
      while (Clock::now() < until) {
        for (int i = 0; i < 1000; ++i) CDVAnalytics::logEventWithName("flat_out", parameters);
        calls[static_cast<std::size_t>(t)] += 1000;
      }
    });
  }
  long long logged = 0;
  for (int t = 0; t < threads; ++t) {
    loggers[static_cast<std::size_t>(t)].join();
    logged += calls[static_cast<std::size_t>(t)];
  }
  const long long dropped = engine->droppedWaitingEventCount();
  const bool allStored = UIApplication().terminate();
  std::printf("logged %lld dropped %lld end-true %d peak-rss-mb %.1f\n", logged, dropped, allStored ? 1 : 0,
              peakMegabytes());
  return 0;
}

// Prints the medians of `batches` batches of `calls` shown warnings each.
int timeWarnings(int batches, int calls) {
  CDVLogWarning(kCDVLoggerCore, "I-COR000999", "Warm-up line %@.", 0);  // the logger's one-time set-up
  std::vector<double> perCall;
  std::vector<double> cpuPerCall;
  for (int b = 0; b < batches; ++b) {
    const double cpuStart = threadCpuNanoseconds();
    const auto start = Clock::now();
    for (int i = 0; i < calls; ++i) {
      CDVLogWarning(kCDVLoggerCore, "I-COR000999", "Bench line %@ of the batch, with a service and a code.", calls);
    }
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    cpuPerCall.push_back((threadCpuNanoseconds() - cpuStart) / calls);
    perCall.push_back(ns / calls);
  }
  const double wall = median(perCall);
  std::printf("per-call-ns %.1f\nper-call-cpu-ns %.1f\ncalls-per-second %.0f\n", wall, median(cpuPerCall), 1e9 / wall);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int batches = 15;
  int calls = 2000;
  bool warnings = false;
  double flatOutSeconds = 0;
  int flatOutParameters = 0;
  int flatOutThreads = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      batches = 1;
      calls = 20;
    } else if (std::strcmp(argv[i], "--warnings") == 0) {
      warnings = true;
    } else if (std::strcmp(argv[i], "--batches") == 0 && i + 1 < argc) {
      batches = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--calls") == 0 && i + 1 < argc) {
      calls = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--flat-out") == 0 && i + 1 < argc) {
      flatOutSeconds = std::atof(argv[++i]);
    } else if (std::strcmp(argv[i], "--parameters") == 0 && i + 1 < argc) {
      flatOutParameters = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc) {
      flatOutThreads = std::atoi(argv[++i]);
    } else {
      return usage(argv[0]);
    }
  }
  if (batches < 1 || calls < 1 || flatOutThreads < 1) return usage(argv[0]);

  std::string folder = std::filesystem::temp_directory_path() / "log-call-bench-XXXXXX";
  if (mkdtemp(folder.data()) == nullptr) {
    std::perror(("cannot make a folder in " + std::filesystem::temp_directory_path().string()).c_str());
    return 1;
  }
  setenv("VESMORA_MAIN_BUNDLE", EXAMPLE_BUNDLE, 1);
  setenv("VESMORA_SANDBOX_ROOT", (folder + "/app").c_str(), 1);
  setenv("VESMORA_DEVICE_ROOT", (folder + "/device").c_str(), 1);
  if (warnings) {  // the set-up reads the defaults, kept in this folder too
    const int status = timeWarnings(batches, calls);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return status;
  }
  if (const char* bound = std::getenv("LOG_CALL_MAX_QUEUED_BYTES")) TLMMeasurementEngine::setMaxQueuedEventBytes(std::atoll(bound));
  TLMMeasurementEngine::setCollectionServerURL("http://127.0.0.1:9");
  CDVApp::configure();
  if (!CDVApp::isDefaultAppConfigured()) {
    std::fprintf(stderr, "the app was not configured\n");
    return 1;
  }

  TLMObjectDictionary parameters;
  parameters.set("item", TLMObject(std::string("coffee")));
  parameters.set("value", TLMObject(std::int64_t{3}));
  CDVAnalytics::logEventWithName("warm_up", parameters);
  TLMAnalytics::waitForQueuedWork(60);
  if (flatOutSeconds > 0) {
    if (flatOutParameters > 0) {
      parameters = {};
      for (int i = 0; i < flatOutParameters; ++i) {
        parameters.set("p" + std::to_string(i), TLMObject(std::string(100, 'v')));
      }
    }
    const int status = logFlatOut(flatOutSeconds, flatOutThreads, parameters);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return status;
  }

  std::vector<double> perCall;
  std::vector<double> cpuPerCall;
  for (int b = 0; b < batches; ++b) {
    const double cpuStart = threadCpuNanoseconds();
    const auto start = Clock::now();
    for (int i = 0; i < calls; ++i) CDVAnalytics::logEventWithName("bench_event", parameters);
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    cpuPerCall.push_back((threadCpuNanoseconds() - cpuStart) / calls);
    perCall.push_back(ns / calls);
    TLMAnalytics::waitForQueuedWork(120);
  }
  const double wall = median(perCall);
  std::printf("per-call-ns %.1f\nper-call-cpu-ns %.1f\ncalls-per-second %.0f\n", wall, median(cpuPerCall), 1e9 / wall);
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return 0;
}
