// A host that loads two plugins that each embed the SDK (SdkPlugin.cpp built twice, logging events
// of different names) and does not link the SDK itself. It opens both, in the order given,
// configures the first (`a`) and then the second, which refuses, naming the shared object of the
// first; logs 20 events through each, ends the app through each and closes both in the order they
// were opened. Then two threads each open, use and close both 5 times (10 events through each
// per round). The host goes on throughout: the first plugin keeps the app configured and stays
// loaded, and its store holds all of its events, once, and none of the second's.
//
//   two_plugins_host <plugin a> <plugin b> ab|ba [local|global|deepbind|namespace-a|namespace-b]
//
// The last argument chooses how the plugins are opened (RTLD_LOCAL by default): with RTLD_GLOBAL
// the second plugin's code could bind to the first's, with RTLD_DEEPBIND a plugin's to its own
// before the program's; either way each copy stays whole, and the same copy works. The session
// starts once. `namespace-a` and `namespace-b` open that plugin in a link-map namespace of its own
// (dlmopen), with C and SQLite libraries of its own: that copy's configure is refused at once,
// saying why, whichever configures first; it makes no thread, and its end answers false with its
// events lost. The other copy works and stores its own events alone. Those runs make one use.
//
// Built with HOST_LINKS_THE_SDK the host links the SDK itself and configures its own copy
// first: both plugins' configure is then refused, naming the program, and the program's copy
// stores its events.
//
// VESMORA_MAIN_BUNDLE, VESMORA_SANDBOX_ROOT and VESMORA_DEVICE_ROOT name the app's bundle (the
// embedding example's serves) and data folders.
#include <dirent.h>
#include <dlfcn.h>

#ifdef HOST_LINKS_THE_SDK
#include "Core/Public/CDVApp.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "uikit/UIKit.h"
#endif

#include <atomic>
#include <cstddef>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "StandardError.h"
#include "UnderSanitizer.h"

namespace {

constexpr int kEvents = 20;
constexpr int kThreads = 2;
constexpr int kRounds = 5;
constexpr int kRoundEvents = 10;

std::mutex gOutput;
std::atomic<int> gFailures{0};
int gOpenFlags = RTLD_NOW | RTLD_LOCAL;
// The plugin opened in a namespace of its own, if any.
const char* gOwnNamespace = nullptr;

void fail(const std::string& what) {
  std::lock_guard lock(gOutput);
  std::cerr << "FAILED: " << what << '\n';
  ++gFailures;
}

struct Plugin {
  const char* path;
  void* library = nullptr;
  int (*configure)(char*, std::size_t) = nullptr;
  int (*logThenEnd)(int) = nullptr;
  long (*storedNamed)(const char*) = nullptr;

  bool open() {
    library = gOwnNamespace == path ? ::dlmopen(LM_ID_NEWLM, path, RTLD_NOW | RTLD_LOCAL) : ::dlopen(path, gOpenFlags);
    if (library == nullptr) {
      fail(std::string("dlopen: ") + ::dlerror());
      return false;
    }
    configure = reinterpret_cast<int (*)(char*, std::size_t)>(::dlsym(library, "sdk_plugin_configure"));
    logThenEnd = reinterpret_cast<int (*)(int)>(::dlsym(library, "sdk_plugin_log_then_end"));
    storedNamed = reinterpret_cast<long (*)(const char*)>(::dlsym(library, "sdk_plugin_stored_events_named"));
    if (configure == nullptr || logThenEnd == nullptr || storedNamed == nullptr) {
      fail(std::string(path) + ": an entry point is missing");
      return false;
    }
    return true;
  }

  void close() {
    if (::dlclose(library) != 0) fail(std::string("dlclose: ") + ::dlerror());
    library = nullptr;
  }
};

// One use of both plugins, opened in `order`: the first configures (or finds the app configured,
// `again`), the second is refused naming the first; each logs `events` and ends the app, which
// stores the first's and nothing of the second's. Both are closed in the order they were opened.
void useBoth(Plugin a, Plugin b, bool aFirst, bool again, int events) {
  Plugin* order[2] = {&a, &b};
  if (!aFirst) std::swap(order[0], order[1]);
  for (Plugin* plugin : order) {
    if (!plugin->open()) return;
  }
  char reason[1024] = "";
  const int configured = a.configure(reason, sizeof reason);
  if (configured != (again ? 1 : 0)) fail("the first plugin's configure answered " + std::to_string(configured) + ": " + reason);
  reason[0] = '\0';
  const int refused = b.configure(reason, sizeof reason);
  if (refused != -1) {
    fail("the second plugin's configure answered " + std::to_string(refused) + " where it must refuse");
  } else if (std::string(reason).find(a.path) == std::string::npos) {
    fail(std::string("the second plugin's refusal does not name the first's shared object: ") + reason);
  } else if (!again) {
    std::cout << "refused: " << reason << '\n';
  }
  if (a.logThenEnd(events) != 1) fail("the first plugin's end did not store everything");
  // Nothing of the second's was taken: its end says so at once.
  if (b.logThenEnd(events) != 0) fail("the second plugin's end answered true");
  Lmid_t space = LM_ID_BASE;
  ::dlinfo(a.library, RTLD_DI_LMID, &space);
  for (Plugin* plugin : order) plugin->close();
  void* still = ::dlmopen(space, a.path, RTLD_NOW | RTLD_NOLOAD);
  if (still == nullptr) {
    fail("dlclose unloaded the plugin whose SDK runs");
  } else {
    ::dlclose(still);
  }
}

// The threads of this process.
int threadCount() {
  int count = 0;
  if (DIR* tasks = ::opendir("/proc/self/task")) {
    while (const dirent* entry = ::readdir(tasks)) count += entry->d_name[0] != '.' ? 1 : 0;
    ::closedir(tasks);
  }
  return count;
}

// Both plugins opened in `order`, one of them in a namespace of its own: that one, configured
// first, is refused at once saying why and makes no thread, and its end answers false; the other
// configures, and the store holds its events alone.
void useBesideOwnNamespace(Plugin a, Plugin b, bool aFirst) {
  Plugin* order[2] = {&a, &b};
  if (!aFirst) std::swap(order[0], order[1]);
  for (Plugin* plugin : order) {
    if (!plugin->open()) return;
  }
  const bool aApart = a.path == gOwnNamespace;
  Plugin& apart = aApart ? a : b;
  Plugin& base = aApart ? b : a;
  const int threads = threadCount();
  char reason[1024] = "";
  if (apart.configure(reason, sizeof reason) != -1 || std::string(reason).find("namespace of its own") == std::string::npos ||
      std::string(reason).find("dlopen") == std::string::npos) {
    fail(std::string("the copy in a namespace of its own was not refused saying why: ") + reason);
  } else {
    std::cout << "refused: " << reason << '\n';
  }
  // Its end warns that its calls were refused, and why, in the SDK's format and with its tag.
  int ended = -2;
  const std::string warned = testsupport::standardErrorOf([&] { ended = apart.logThenEnd(kEvents); });
  if (ended != 0) fail("the end through the copy in a namespace of its own answered true");
  if (warned.find(" - [Cindervale/Analytics][I-ACS025036] WARNING Calls refused, never queued nor stored: " +
                  std::to_string(kEvents) + ". This copy of the SDK") == std::string::npos ||
      warned.find("Data loss") != std::string::npos) {
    fail("the end through the copy in a namespace of its own does not say its calls were refused");
  }
  if (threadCount() != threads) {
    fail("the copy in a namespace of its own made " + std::to_string(threadCount() - threads) + " threads");
  }
  reason[0] = '\0';
  if (base.configure(reason, sizeof reason) != 0) fail(std::string("the other copy's configure: ") + reason);
  if (base.logThenEnd(kEvents) != 1) fail("the other copy's end did not store everything");
  const char* baseEvents = aApart ? "from_second_plugin" : "from_plugin";
  const char* apartEvents = aApart ? "from_plugin" : "from_second_plugin";
  const long stored = base.storedNamed(baseEvents);
  const long strays = base.storedNamed(apartEvents);
  const long sessions = base.storedNamed("_s");
  std::cout << stored << " events of the working copy stored, " << strays << " of the other, " << sessions
            << " session starts\n";
  if (stored != kEvents || strays != 0) fail("the store holds " + std::to_string(stored) + " and " + std::to_string(strays));
  if (sessions > 1) fail("the session started " + std::to_string(sessions) + " times");
  for (Plugin* plugin : order) plugin->close();
}

#ifdef HOST_LINKS_THE_SDK
// The program's own copy configures and logs; each plugin's configure is refused naming the
// program, and the program's copy stores its events.
int programFirst(Plugin a, Plugin b, bool aFirst, const char* program) {
  TLMMeasurementEngine::setCollectionServerURL("http://127.0.0.1:9");  // nothing listens there
  CDVApp::configure();
  Plugin* order[2] = {&a, &b};
  if (!aFirst) std::swap(order[0], order[1]);
  for (Plugin* plugin : order) {
    if (!plugin->open()) return 1;
    char reason[1024] = "";
    if (plugin->configure(reason, sizeof reason) != -1 || std::string(reason).find(program) == std::string::npos) {
      fail(std::string(plugin->path) + ": configure was not refused naming the program: " + reason);
    }
    if (plugin->logThenEnd(kEvents) != 0) fail(std::string(plugin->path) + ": its end answered true");
  }
  for (int i = 0; i < kEvents; ++i) CDVAnalytics::logEventWithName("from_program", TLMObjectDictionary());
  if (!UIApplication().terminate()) fail("the program's end did not store everything");
  const long stored = a.storedNamed("from_program");
  const long strays = a.storedNamed("from_plugin") + a.storedNamed("from_second_plugin");
  const long sessions = a.storedNamed("_s");
  for (Plugin* plugin : order) plugin->close();
  std::cout << stored << " events of the program stored, " << strays << " of the plugins, " << sessions
            << " session starts\n";
  if (stored != kEvents || strays != 0) fail("the store holds " + std::to_string(stored) + " and " + std::to_string(strays));
  if (sessions > 1) fail("the session started " + std::to_string(sessions) + " times");
  return gFailures > 0 ? 1 : 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  const std::string flags = argc == 5 ? argv[4] : "local";
  if (argc < 4 || argc > 5 || (std::string(argv[3]) != "ab" && std::string(argv[3]) != "ba") ||
      (flags != "local" && flags != "global" && flags != "deepbind" && flags != "namespace-a" &&
       flags != "namespace-b")) {
    std::cerr << "usage: two_plugins_host <plugin a> <plugin b> ab|ba [local|global|deepbind|namespace-a|namespace-b]\n";
    return 2;
  }
  if (flags == "global") gOpenFlags = RTLD_NOW | RTLD_GLOBAL;
  if (flags == "deepbind") {
#ifdef HOST_UNDER_SANITIZER
    // The sanitizers' runtime ends a process that opens a library with RTLD_DEEPBIND.
    std::cout << "skipped: RTLD_DEEPBIND under a sanitizer\n";
    return 0;
#endif
    gOpenFlags = RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND;
  }
  if (flags.rfind("namespace-", 0) == 0) {
#ifdef HOST_UNDER_SANITIZER
    // A namespace of its own would hold a second copy of the sanitizer's runtime.
    std::cout << "skipped: a link-map namespace of its own under a sanitizer\n";
    return 0;
#endif
    gOwnNamespace = flags == "namespace-a" ? argv[1] : argv[2];
  }
  const Plugin a{argv[1]};
  const Plugin b{argv[2]};
  const bool aFirst = std::string(argv[3]) == "ab";
#ifdef HOST_LINKS_THE_SDK
  return programFirst(a, b, aFirst, argv[0]);
#endif
  if (gOwnNamespace != nullptr) {
    useBesideOwnNamespace(a, b, aFirst);
    return gFailures > 0 ? 1 : 0;
  }
  useBoth(a, b, aFirst, false, kEvents);
  if (gFailures > 0) return 1;

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) useBoth(a, b, aFirst, true, kRoundEvents);
    });
  }
  for (std::thread& thread : threads) thread.join();

  Plugin reader = a;
  if (!reader.open()) return 1;
  const long stored = reader.storedNamed("from_plugin");
  const long strays = reader.storedNamed("from_second_plugin");
  const long sessions = reader.storedNamed("_s");
  reader.close();
  constexpr long kExpected = kEvents + kThreads * kRounds * kRoundEvents;
  std::cout << stored << " events of the first plugin stored, " << strays << " of the second, " << sessions
            << " session starts\n";
  if (sessions > 1) fail("the session started " + std::to_string(sessions) + " times");
  if (stored != kExpected) fail("the store holds " + std::to_string(stored) + " of " + std::to_string(kExpected) + " events");
  if (strays != 0) fail("the store holds " + std::to_string(strays) + " events of the second plugin");
  return gFailures > 0 ? 1 : 0;
}
