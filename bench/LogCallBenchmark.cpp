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
//
//   log_call_bench --flat-out S --call KIND
//
// Makes another public call flat out instead of logging, one thread, for S seconds, then ends the
// app; KIND is one of
//   user-id               setUserID, a new id each call
//   collection            setAnalyticsCollectionEnabled, off and on in turn (on last)
//   screen-name           setScreenName from the main queue, a controller on view, the app active
//   screen-name-off-main  setScreenName from the calling thread (refused there, with a warning)
//   user-property         setUserPropertyString, one name, a new value each call
//   user-property-names   setUserPropertyString, a new name each call
// Prints the calls made, what the end answered, the peak memory before the end, and the resident
// and peak memory 2 s after it:
//   calls 4100000 end-true 1 peak-rss-mb 31.2 rss-after-end-mb 30.9 peak-after-end-mb 31.2
// The calls stop early, so as to spare a shared machine, once the resident memory passes
// LOG_CALL_MAX_RSS_MB (3072 by default); the line then ends with the seconds they ran:
//   ... stopped-at-s 7.2
//
// Logging flat out, it then prints where that memory was, from the C library allocator's
// statistics: the most memory in use seen (sampled every 100 ms), and at the end of the logging
// the arenas (one per thread that allocated, up to the allocator's limit) with the memory each
// holds from the system and how much of it is free:
//   in-use-peak-mb 84.1 arenas 3 arena-mb 101.2/12.0 4.1/3.9 2.0/1.8
#include <malloc.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
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
  std::fprintf(stderr, "usage: %s [--quick] [--warnings] [--batches N] [--calls N] [--flat-out S [--parameters N] [--threads T] | --call KIND]]\n",
               program);
  return 2;
}

// A figure of the process's memory in MB ("VmHWM": the peak resident, "VmRSS": the resident now);
// -1 when unknown.
double statusMegabytes(const char* field = "VmHWM") {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  const std::string format = std::string(field) + ": %lf";
  char line[256];
  double kilobytes = -1;
  while (std::fgets(line, sizeof line, status) != nullptr && std::sscanf(line, format.c_str(), &kilobytes) != 1) {
  }
  std::fclose(status);
  return kilobytes < 0 ? -1 : kilobytes / 1024;
}
double peakMegabytes() { return statusMegabytes(); }

double megabytes(std::size_t bytes) { return static_cast<double>(bytes) / (1024 * 1024); }

// The number in `text` after `key` at or past `from`; 0 when there is none.
std::size_t numberAfter(const std::string& text, const std::string& key, std::size_t from) {
  const std::size_t at = text.find(key, from);
  return at == std::string::npos ? 0 : std::strtoull(text.c_str() + at + key.size(), nullptr, 10);
}

// Each arena's memory from the system and the free part of it, in MB ("size/free"), from
// malloc_info's report (one <heap> an arena).
std::string arenaFigures(int* arenas) {
  char* text = nullptr;
  std::size_t size = 0;
  FILE* report = open_memstream(&text, &size);
  if (report == nullptr) return "";
  malloc_info(0, report);
  std::fclose(report);
  const std::string xml(text, size);
  std::free(text);
  std::string figures;
  *arenas = 0;
  for (std::size_t at = xml.find("<heap nr="); at != std::string::npos; at = xml.find("<heap nr=", at + 1)) {
    const std::size_t end = xml.find("</heap>", at);
    const std::size_t system = numberAfter(xml, "<system type=\"current\" size=\"", at);
    const std::size_t fast = numberAfter(xml, "<total type=\"fast\" count=\"", at) == 0
                                 ? 0
                                 : numberAfter(xml, "size=\"", xml.find("<total type=\"fast\"", at));
    const std::size_t rest = numberAfter(xml, "size=\"", xml.find("<total type=\"rest\"", at));
    if (end == std::string::npos) break;
    char figure[64];
    std::snprintf(figure, sizeof figure, " %.1f/%.1f", megabytes(system), megabytes(fast + rest));
    figures += figure;
    ++*arenas;
  }
  return figures;
}

// `threads` threads log flat out for `seconds`, then the app ends (see --flat-out above).
int logFlatOut(double seconds, int threads, const TLMObjectDictionary& parameters) {
  const auto engine = TLMMeasurementEngine::sharedInstance();
  if (!engine) return 1;
  const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::atomic<long long> logged{0};
  std::vector<std::thread> loggers;
  for (int t = 0; t < threads; ++t) {
    loggers.emplace_back([&] {
      while (Clock::now() < until) {
        for (int i = 0; i < 1000; ++i) CDVAnalytics::logEventWithName("flat_out", parameters);
        logged += 1000;
      }
    });
  }
  // The most memory in use, sampled while the threads log.
  std::size_t inUsePeak = 0;
  std::mutex mutex;
  std::condition_variable over;
  bool done = false;
  std::thread sampler([&] {
    std::unique_lock lock(mutex);
    do inUsePeak = std::max(inUsePeak, mallinfo2().uordblks);
    while (!over.wait_for(lock, std::chrono::milliseconds(100), [&] { return done; }));
  });
  for (auto& logger : loggers) logger.join();
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  over.notify_one();
  sampler.join();
  int arenas = 0;
  const std::string arenaMegabytes = arenaFigures(&arenas);
  const long long dropped = engine->droppedWaitingEventCount();
  const bool allStored = UIApplication().terminate();
  std::printf("logged %lld dropped %lld end-true %d peak-rss-mb %.1f\n", logged.load(), dropped, allStored ? 1 : 0,
              peakMegabytes());
  std::printf("in-use-peak-mb %.1f arenas %d arena-mb%s\n", megabytes(inUsePeak), arenas, arenaMegabytes.c_str());
  return 0;
}

// A controller on view in the key window of an active app, so that setScreenName names a screen.
void showAScreen() {
  static const auto application = std::make_shared<UIApplication>();
  static const auto window = std::make_shared<UIWindow>();
  static const auto controller = std::make_shared<UIViewController>("Bench.HomeController");
  UIApplication::install(application);
  application->makeKeyWindow(window);
  window->setRootViewController(controller);
  controller->setViewLoaded(true);
  controller->setViewWindow(window);
  platform::Queue::main()->sync([] {
    controller->viewDidAppear(false);
    application->becomeActive();
  });
}

// One thread makes the call `kind` flat out for `seconds`, then the app ends (see --call above).
int callFlatOut(double seconds, const std::string& kind) {
  std::function<void(long long)> call;
  bool onMainQueue = false;
  if (kind == "user-id") {
    call = [](long long i) { CDVAnalytics::setUserID(TLMObject("user-" + std::to_string(i))); };
  } else if (kind == "collection") {
    call = [](long long i) { CDVAnalytics::setAnalyticsCollectionEnabled(i % 2 == 1); };
  } else if (kind == "screen-name" || kind == "screen-name-off-main") {
    showAScreen();
    onMainQueue = kind == "screen-name";
    call = [](long long i) { CDVAnalytics::setScreenName("screen_" + std::to_string(i % 1000), std::nullopt); };
  } else if (kind == "user-property") {
    call = [](long long i) { CDVAnalytics::setUserPropertyString(TLMObject("v" + std::to_string(i)), "bench_property"); };
  } else if (kind == "user-property-names") {
    call = [](long long i) { CDVAnalytics::setUserPropertyString(TLMObject(std::string("v")), "p" + std::to_string(i)); };
  } else {
    std::fprintf(stderr, "unknown call %s\n", kind.c_str());
    return 2;
  }
  const char* cap = std::getenv("LOG_CALL_MAX_RSS_MB");
  const double maxMegabytes = cap != nullptr ? std::atof(cap) : 3072;
  const auto start = Clock::now();
  const auto until = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  long long calls = 0;
  double stoppedAt = -1;
  while (Clock::now() < until) {
    if (calls % 64000 == 0 && statusMegabytes("VmRSS") > maxMegabytes) {
      stoppedAt = std::chrono::duration<double>(Clock::now() - start).count();
      break;
    }
    const auto batch = [&] {
      for (int i = 0; i < 1000; ++i) call(calls + i);
    };
    if (onMainQueue) {
      platform::Queue::main()->sync(batch);
    } else {
      batch();
    }
    calls += 1000;
  }
  if (kind == "collection") CDVAnalytics::setAnalyticsCollectionEnabled(true);
  const double peak = peakMegabytes();
  const bool allStored = UIApplication().terminate();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  std::printf("calls %lld end-true %d peak-rss-mb %.1f rss-after-end-mb %.1f peak-after-end-mb %.1f", calls,
              allStored ? 1 : 0, peak, statusMegabytes("VmRSS"), peakMegabytes());
  if (stoppedAt >= 0) std::printf(" stopped-at-s %.1f", stoppedAt);
  std::printf("\n");
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
  std::string callKind;
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
    } else if (std::strcmp(argv[i], "--call") == 0 && i + 1 < argc) {
      callKind = argv[++i];
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
    const int status = callKind.empty() ? logFlatOut(flatOutSeconds, flatOutThreads, parameters)
                                        : callFlatOut(flatOutSeconds, callKind);
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
