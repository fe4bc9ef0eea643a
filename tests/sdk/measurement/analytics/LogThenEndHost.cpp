// A host app that logs events and returns from main at once, after telling the platform that
// the app is ending (UIApplication::terminate), as the README's embedding section shows. Every
// event logged before that call must be in the app's store once the process has ended, or the
// end must say that it is not.
//
//   log_then_end_host log <count> [collector base URL]   logs <count> events "before_end", ends;
//                                                        exit status 3 when not all was stored
//   log_then_end_host log-campaign <count> [collector]   as log, in an install a search-ad campaign
//                                                        brought: the platform's attribution
//                                                        client answers at once, and the campaign
//                                                        is queued before the events
//   log_then_end_host post-then-end <count> <collector>  logs <count> events "before_end", resigns
//                                                        active (an upload posts what is stored),
//                                                        and at a line on its standard input prints
//                                                        "ending", ends, prints "answer true|false"
//   log_then_end_host count [name]                       prints how many the store holds (of
//                                                        "before_end", or events named <name>)
//   log_then_end_host case <case> <count> [filler]       as log, with the store failing:
//       full-before        the file system of <filler> filled before the events are logged
//       full-before-pause  the same, and every event handled before the end
//       full-at-end        half the events stored, the other half logged, then filled
//       removed            the store file removed before the events are logged
//       full-first-launch  a first launch with 32 KiB left: the store's tables cannot be made
//       plain              nothing done (the file system may be read-only from the launch)
//       launch             a launch whose own work is stored (a wait of a minute at most), and
//                          nothing else: exit status 0 once it is
//     prints "answer true|false"; the end's warning gives the counts
//   log_then_end_host thread-limit <count> <seconds>    with no thread to be had (as user
//       nobody when run as root, at a process limit of 1): logs, waits for the queued work at
//       most <seconds>, prints "answer ..."; exit status 77 when the limit cannot be set
//
// VESMORA_MAIN_BUNDLE, VESMORA_SANDBOX_ROOT and VESMORA_DEVICE_ROOT name the app's bundle (the
// embedding example's serves) and data folders.
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "Core/Public/CDVApp.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/analytics/TLMAnalytics.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/engine/TLMPersistedConfig.h"
#include "measurement/engine/sessions/TLMSearchAdReporter.h"
#include "measurement/model/TLMUtil.h"
#include "measurement/store/TLMDatabase.h"
#include "measurement/store/TLMSqliteStore.h"
#include "uikit/UIKit.h"

namespace {

constexpr const char* kEventName = "before_end";

// Nothing listens at this address: an upload that starts anyway fails at once.
constexpr const char* kNoCollector = "http://127.0.0.1:9";

void logEvents(int count) {
  for (int i = 0; i < count; ++i) {
    TLMObjectDictionary parameters;
    parameters.set("index", TLMObject(std::int64_t{i}));
    CDVAnalytics::logEventWithName(kEventName, parameters);
  }
}

int logThenEnd(int count, const std::string& collector) {
  TLMMeasurementEngine::setCollectionServerURL(collector);
  CDVApp::configure();
  logEvents(count);
  // False when the app's end ran out of time before everything was stored.
  return UIApplication().terminate() ? 0 : 3;
}

int logCampaignThenEnd(int count, const std::string& collector) {
  static std::atomic<bool> asked{false};
  static std::atomic<bool> answered{false};
  auto client = std::make_shared<TLMAttributionClient>();
  client->requestAttributionDetails = [](TLMAttributionClient::DetailsReply reply) {
    asked.store(true);
    platform::Dictionary campaign{{"iad-attribution", platform::Value("true")},
                                  {"iad-campaign-name", platform::Value("Spring")}};
    reply(platform::Dictionary{{"Version3.1", platform::Value(campaign)}}, std::nullopt);
    answered.store(true);
  };
  TLMAttributionClient::setSharedClient(client);
  TLMMeasurementEngine::setCollectionServerURL(collector);
  CDVApp::configure();
  // The launch's work done, the reporter was made unless the settings this process read said
  // the campaign was reported; when it was made, the client is asked (the campaign is queued
  // when it answers). Settings files are shared by the app's processes, last writer first: what
  // this one reads later may not say what it read at the start, so a campaign another process
  // stored also ends the wait. The bound only tells a hang from a busy machine.
  if (!TLMAnalytics::waitForQueuedWork(60)) return 1;
  auto engine = TLMMeasurementEngine::sharedInstance();
  if (!engine) return 1;
  std::unique_ptr<TLMDatabase> store;
  auto campaignStored = [&store] {
    if (!store) store = TLMDatabase::initWithDatabaseName(kTLMDatabaseFileName, nullptr, nullptr);
    if (!store) return false;
    auto stored = store->sqliteStore()->numberForQuery("SELECT count(1) FROM raw_events WHERE name = '_cmp'",
                                                       platform::Array(), nullptr);
    return stored && stored->int64Value().value_or(0) > 0;
  };
  auto waiting = [&] {
    if (answered.load()) return false;
    if (asked.load()) return true;
    return !engine->persistedConfig()->searchAdCampaignValue() && !campaignStored();
  };
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  bool waited = false;
  while (!(waited = !waiting()) && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (!waited) {
    std::cerr << "the attribution client was not asked\n";
    return 1;
  }
  store.reset();
  logEvents(count);
  return UIApplication().terminate() ? 0 : 3;
}

// Writes `path` until its file system has no room left, then gives `room` bytes back.
bool fill(const std::string& path, off_t room = 0) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  std::vector<char> block(65536, 'x');
  for (std::size_t size = block.size(); size > 0; size /= 2) {
    while (::write(fd, block.data(), size) == static_cast<ssize_t>(size)) {
    }
  }
  bool full = errno == ENOSPC;
  const off_t size = ::lseek(fd, 0, SEEK_END);
  if (room > 0) full = full && size >= room && ::ftruncate(fd, size - room) == 0;
  ::close(fd);
  return full;
}

int answer(bool stored) {
  std::cout << "answer " << (stored ? "true" : "false") << std::endl;
  return 0;
}

int postThenEnd(int count, const std::string& collector) {
  TLMMeasurementEngine::setCollectionServerURL(collector);
  CDVApp::configure();
  logEvents(count);
  if (!TLMAnalytics::waitForQueuedWork(60)) return 1;
  UIApplication().resignActive();
  std::string line;
  std::getline(std::cin, line);
  std::cout << "ending" << std::endl;
  return answer(UIApplication().terminate());
}

int endCase(const std::string& name, int count, const std::string& filler) {
  TLMMeasurementEngine::setCollectionServerURL(kNoCollector);
  if (name == "full-first-launch" && !fill(filler, 32768)) return 1;
  CDVApp::configure();
  if (name != "plain" && name != "full-first-launch" && !TLMAnalytics::waitForQueuedWork(60)) {
    std::cerr << "the first launch's work was not stored\n";
    return 1;
  }
  if (name == "launch") return 0;
  if (name == "full-before" || name == "full-before-pause") {
    if (!fill(filler)) return 1;
  } else if (name == "removed") {
    if (::unlink(TLMFilePathForDatabaseName(kTLMDatabaseFileName).c_str()) != 0) return 1;
  }
  if (name == "full-at-end") {
    // Half stored before the disk fills up; the rest is queued when it does.
    logEvents(count / 2);
    if (!TLMAnalytics::waitForQueuedWork(60)) return 1;
    count -= count / 2;
  }
  logEvents(count);
  if (name == "full-before-pause") {
    // Every event handled (each failed) before the end begins.
    auto engine = TLMMeasurementEngine::sharedInstance();
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (engine->failedEventCount() < count && std::chrono::steady_clock::now() < limit) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::cout << "failed before the end " << engine->failedEventCount() << std::endl;
  } else if (name == "full-at-end") {
    if (!fill(filler)) return 1;
  }
  return answer(UIApplication().terminate());
}

// No thread can be started: as user nobody when root (the limit does not bind root), at a limit
// of one process for the user. Ends with _Exit: nothing at exit may want a thread.
[[noreturn]] void threadLimit(int count, double seconds) {
  if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
    std::cerr << "cannot become user nobody\n";
    std::_Exit(77);
  }
  const rlimit one{1, 1};
  bool started = false;
  if (::setrlimit(RLIMIT_NPROC, &one) == 0) {
    try {
      std::thread([] {}).join();
      started = true;
    } catch (...) {
    }
  }
  if (started) {
    std::cerr << "a thread can still be started: no limit to test\n";
    std::_Exit(77);
  }
  TLMMeasurementEngine::setCollectionServerURL(kNoCollector);
  CDVApp::configure();
  logEvents(count);
  std::cout << "answer " << (TLMAnalytics::waitForQueuedWork(seconds) ? "true" : "false") << std::endl;
  std::_Exit(0);
}

int countStored(const std::string& name) {
  auto database = TLMDatabase::initWithDatabaseName(kTLMDatabaseFileName, nullptr, nullptr);
  if (!database) return 1;
  platform::Array arguments;
  arguments.push_back(platform::Value(name));
  auto stored = database->sqliteStore()->numberForQuery("SELECT count(1) FROM raw_events WHERE name = ?",
                                                        arguments, nullptr);
  if (!stored) return 1;
  std::cout << stored->int64Value().value_or(-1) << '\n';
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "log" && argc > 2) {
    return logThenEnd(std::atoi(argv[2]), argc > 3 ? argv[3] : kNoCollector);
  }
  if (mode == "log-campaign" && argc > 2) {
    return logCampaignThenEnd(std::atoi(argv[2]), argc > 3 ? argv[3] : kNoCollector);
  }
  if (mode == "post-then-end" && argc > 3) return postThenEnd(std::atoi(argv[2]), argv[3]);
  if (mode == "count") return countStored(argc > 2 ? argv[2] : kEventName);
  if (mode == "case" && argc > 3) return endCase(argv[2], std::atoi(argv[3]), argc > 4 ? argv[4] : "");
  if (mode == "thread-limit" && argc > 3) threadLimit(std::atoi(argv[2]), std::atof(argv[3]));
  std::cerr << "usage: log_then_end_host log|log-campaign <count> [collector] | post-then-end <count> <collector> | "
               "count [name] | case <case> <count> [filler] | "
               "thread-limit <count> <seconds>\n";
  return 2;
}
