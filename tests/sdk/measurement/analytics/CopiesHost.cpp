// A host that opens plugins embedding the SDK (SdkPlugin.cpp) and checks what the copies do to the
// app beside each other: one scenario a run, named by the first argument. The first plugin given
// logs "from_plugin", the second "from_second_plugin".
//
//   copies_host failed-first <plugin c> <plugin a>
//       C's configure fails (its app name is refused): A's configure then works, C's next one is
//       refused naming A, and A stores its 20 events.
//   copies_host race <plugin a> <plugin b>
//       Two threads configure A and B at once: one works, the other is refused naming it.
//   copies_host fork <plugin a> <plugin b>
//       A configures; in a child made by fork(), B's configure is refused naming A at once, and the
//       app's end through either copy answers false at once.
//   copies_host switch-after <plugin a> <plugin b>
//       A configures, B is refused and switches collection off: A goes on storing its 10 events,
//       and the app's settings keep nothing of B's (the next launch stores: `alone`).
//   copies_host switch-before <plugin a> <plugin b>
//       B switches collection off before any copy configures; A configures and stores its 10
//       events, B is refused, and its switch is never written.
//   copies_host switch-alone <plugin a>
//       The only copy switches collection off before it configures: written as it always was, so
//       its events are dropped (none stored, no loss).
//   copies_host end-while-logging <plugin a> <plugin b>
//       A configures, B is refused; two threads log through A without a pause (holding back while
//       more than a hundred events wait for the store), while the app is ended through
//       B until 6 ends have answered true, each with every event logged before it stored (an end
//       that runs out of time on a busy machine answers false and is tried again, 6 times at
//       most, once every event logged before it is stored); then the last end through A finds
//       every event stored, once.
//   copies_host alone <plugin a> <events>
//       A next launch: A alone configures, logs 10 events and ends; the store then holds `events`
//       of A's.
//   copies_host fork-beside-loader <plugin a> iterate|dlopen [<held load module> [<plugin b>]]
//       A thread of the host holds the dynamic loader's lock, inside dl_iterate_phdr or inside
//       dlopen (of a module whose constructor waits, HeldLoad.cpp), while the host forks, once for
//       each first call the child makes of A (configure, a log, the app's end, the app instance
//       id): the child's calls answer, and its configure, log and end store. Given B (held inside
//       dlopen only), one child more loads B first: B configures, and A is refused naming it.
//   copies_host claim-at-once <plugin a> <plugin b> here|child
//       Here or in a child made by fork(): A's claim is held once it has looked, B claims
//       meanwhile, then A goes on: one configure works, the other is refused naming it, and
//       neither waits for the other's claim until the bound of a wait for a configure.
//   copies_host fork-beside-loading <plugin a> <module> <each>
//       A thread of the host opens and closes `module` in a loop while the host, which made no
//       call of the SDK's, forks children one after another, until `each` were forked with that
//       thread inside dlopen and as many inside dlclose: each configures A, logs and ends, storing
//       its event.
//   copies_host late-copy <plugin a> <plugin b>
//       A looks at the other copies (as its collection switch does before it makes a thread, which
//       would wait for the load) while another thread opens B, whose load is held (a
//       dependency's relocation waits, HeldRelocation.cpp); then B configures, and
//       A's configure is refused naming B.
//   copies_host pid-namespace <plugin a> <plugin b>
//       In a child that is process 1 of a new PID namespace (root only; skipped with status 77
//       otherwise): A's configure is held in the middle; a grandchild forked into another new PID
//       namespace, where it is process 1 too, has B's configure refused at once (not after the
//       10 s bound of a wait for a configure under way in this process), naming A. Then
//       A's configure ends and stores.
//   copies_host layout <plugin a> <fake copy> <size> <phase> works|refused
//       A copy of another build (FakeCopy.cpp) whose block is `size` bytes, in `phase` (1: a
//       configure under way in this process, 2: works), loaded before A: A's configure works, or
//       is refused naming it. A fake copy whose note points outside its object, or whose block is
//       read-only (size 0: the fake is left as built), is no copy: A loads and works beside it.
//   copies_host closed-older <plugin a> <fake copy>
//       An older build's copy that works (a 32-byte block) is opened, then A, then the older one is
//       closed: it stays loaded, and A's configure is refused naming it.
//   copies_host older-between <plugin a> <fake copy> <plugin b>
//       A, an older build's copy that works, then B are opened: A's configure (which A can only
//       learn of through B) and B's are refused naming the older one.
//   copies_host many-older <plugin a> <fake copies> <blocks> <working> works|refused|lost
//       `blocks` idle older builds' blocks (one object carrying them), the one at index `working`
//       working (-1: none), loaded before A: A's configure works, is refused naming the working
//       one, or is refused because A could not keep them all. A refused A's end says its calls
//       were refused, and why (in `layout` too).
//   copies_host ring <plugin a> <fake copies> <blocks> <working> works|refused|ring
//       `blocks` copies' blocks of this build's layout, linked into a ring, the one at index
//       `working` working (-1: none), loaded before A: A's configure works, is refused naming the
//       working one, or is refused because the ring goes on past the copies a look goes through.
//   copies_host link-while-walking <plugin a> <plugin c> <plugin b>
//       C configures; B is opened on another thread, and held as it links itself into the ring,
//       between its two stores, while A looks for a copy that works: A finds C. Then B's and A's
//       configures are refused naming C.
//
// Built with HOST_LINKS_THE_SDK the program links the SDK itself and the scenarios are the app's
// end through the program's own copy, refused beside the plugin's copy that configured first:
//
//   copies_beside_host program-ends <plugin a> [<program's events>]
//       A configures and logs 5 events; the program's configure is refused naming A, and it logs
//       its events (5 by default), refused; its own end waits for A's events: they are stored
//       when it returns, which answers true only when the program logged nothing.
//
// VESMORA_MAIN_BUNDLE, VESMORA_SANDBOX_ROOT and VESMORA_DEVICE_ROOT name the app's bundle (the
// embedding example's serves) and data folders.
#include <dlfcn.h>
#include <link.h>
#include <poll.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef HOST_LINKS_THE_SDK
#include "Core/Public/CDVApp.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "uikit/UIKit.h"
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "HeldLoader.h"
#include "StandardError.h"
#include "UnderSanitizer.h"

namespace {

int gFailures = 0;

void fail(const std::string& what) {
  std::cerr << "FAILED: " << what << '\n';
  ++gFailures;
}

// Held as a copy links itself, between its two stores (CDVCopies.cpp), once armed: writes a byte to
// the first descriptor, then waits for one on the second.
std::atomic<int> gLinkHeld{-1};
std::atomic<int> gLinkRelease{-1};

struct Plugin {
  std::string path;
  void* library = nullptr;
  int (*configure)(char*, std::size_t) = nullptr;
  int (*configureNamed)(const char*, char*, std::size_t) = nullptr;
  void (*setCollection)(int) = nullptr;
  void (*log)(int) = nullptr;
  int (*end)() = nullptr;
  int (*hasAppInstanceID)() = nullptr;
  long (*storedNamed)(const char*) = nullptr;
  void (*holdNextConfigure)(int, int) = nullptr;
  void (*holdNextClaim)(int, int) = nullptr;
  int (*seesOtherCopies)() = nullptr;
  const char* (*workingCopy)() = nullptr;

  explicit Plugin(const char* file) : path(file) {
    library = ::dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      std::cerr << "dlopen: " << ::dlerror() << '\n';
      std::exit(1);
    }
    configure = reinterpret_cast<int (*)(char*, std::size_t)>(::dlsym(library, "sdk_plugin_configure"));
    configureNamed =
        reinterpret_cast<int (*)(const char*, char*, std::size_t)>(::dlsym(library, "sdk_plugin_configure_named"));
    setCollection = reinterpret_cast<void (*)(int)>(::dlsym(library, "sdk_plugin_set_collection"));
    log = reinterpret_cast<void (*)(int)>(::dlsym(library, "sdk_plugin_log"));
    end = reinterpret_cast<int (*)()>(::dlsym(library, "sdk_plugin_end"));
    hasAppInstanceID = reinterpret_cast<int (*)()>(::dlsym(library, "sdk_plugin_has_app_instance_id"));
    storedNamed = reinterpret_cast<long (*)(const char*)>(::dlsym(library, "sdk_plugin_stored_events_named"));
    holdNextConfigure = reinterpret_cast<void (*)(int, int)>(::dlsym(library, "sdk_plugin_hold_next_configure"));
    holdNextClaim = reinterpret_cast<void (*)(int, int)>(::dlsym(library, "sdk_plugin_hold_next_claim"));
    seesOtherCopies = reinterpret_cast<int (*)()>(::dlsym(library, "sdk_plugin_sees_other_copies"));
    workingCopy = reinterpret_cast<const char* (*)()>(::dlsym(library, "sdk_plugin_working_copy"));
    if (configure == nullptr || configureNamed == nullptr || setCollection == nullptr || log == nullptr ||
        end == nullptr || hasAppInstanceID == nullptr || storedNamed == nullptr || holdNextConfigure == nullptr ||
        holdNextClaim == nullptr || seesOtherCopies == nullptr || workingCopy == nullptr) {
      std::cerr << file << ": an entry point is missing\n";
      std::exit(1);
    }
  }

  // configure's answer; its reason in `reason`.
  int configureApp(std::string& reason) const {
    char text[1024] = "";
    const int answer = configure(text, sizeof text);
    reason = text;
    return answer;
  }
};

// A refusal names the copy that works, as the first copy it names.
void expectRefusedNaming(const std::string& who, int answer, const std::string& reason, const std::string& working) {
  const std::string named = "Another copy of the SDK, in '" + working + "', works";
  if (answer != -1 || reason.rfind(named, 0) != 0) {
    fail(who + "'s configure answered " + std::to_string(answer) + " where it must be refused naming '" + working +
         "': " + reason);
  }
}

// The warning of a refused copy's end, in `written`: a line of the SDK's, with its tag and its
// version as every other, that counts `calls` refused and says why (`why`, its start); no loss.
void expectEndSaysRefused(const std::string& who, const std::string& written, long calls, const std::string& why) {
  static const std::regex line(
      R"((^|\n)\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \d+\.\d+\.\d+ - \[Cindervale/Analytics\]\[I-ACS025036\] WARNING )"
      R"(Calls refused, never queued nor stored: (\d+)\. ([^\n]*))");
  std::smatch found;
  if (!std::regex_search(written, found, line) || found[2] != std::to_string(calls) ||
      found[3].str().rfind(why, 0) != 0 || written.find("Data loss") != std::string::npos) {
    fail(who + "'s end does not say, as the SDK's lines do, that its " + std::to_string(calls) +
         " calls were refused and why (" + why + "): " + written);
  }
}

void expectStored(const Plugin& reader, const char* name, long expected) {
  const long stored = reader.storedNamed(name);
  std::cout << stored << " events '" << name << "' stored\n";
  if (stored != expected) fail("the store holds " + std::to_string(stored) + " events '" + name + "', not " +
                               std::to_string(expected));
}

#ifndef HOST_LINKS_THE_SDK

constexpr int kEvents = 10;

// Waits for a child that must end by itself: one still running after a minute waits for ever (a
// run that answers takes milliseconds), and is killed.
void expectChildEnds(pid_t child, const std::string& what) {
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (child > 0 && ::waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      fail(what + ": the child waits for ever");
      return;
    }
    ::usleep(10000);
  }
  if (child < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) fail(what + ": the child failed");
}

int failedFirst(const Plugin& c, const Plugin& a) {
  char text[1024] = "";
  const int answer = c.configureNamed("refused name!", text, sizeof text);
  const std::string reason = text;
  std::cout << "C: " << reason << '\n';
  if (answer != -1 || reason.find("Another copy") != std::string::npos) {
    fail("C's configure with a refused name answered " + std::to_string(answer) + ": " + reason);
  }
  std::string refused;
  if (const int configured = a.configureApp(refused); configured != 0) {
    fail("A's configure after C's failed one answered " + std::to_string(configured) + ": " + refused);
  }
  const int again = c.configureApp(refused);
  std::cout << "C again: " << refused << '\n';
  expectRefusedNaming("C", again, refused, a.path);
  a.log(20);
  if (a.end() != 1) fail("A's end did not store everything");
  expectStored(a, "from_plugin", 20);
  expectStored(a, "from_second_plugin", 0);
  return gFailures > 0 ? 1 : 0;
}

int race(const Plugin& a, const Plugin& b) {
  std::atomic<int> ready{0};
  int answers[2] = {0, 0};
  std::string reasons[2];
  const Plugin* plugins[2] = {&a, &b};
  std::thread threads[2];
  for (int i = 0; i < 2; ++i) {
    threads[i] = std::thread([&, i] {
      ++ready;
      while (ready.load() < 2) {
      }
      answers[i] = plugins[i]->configureApp(reasons[i]);
    });
  }
  for (std::thread& thread : threads) thread.join();
  if (answers[0] + answers[1] != -1) {
    fail("configure answered " + std::to_string(answers[0]) + " and " + std::to_string(answers[1]) + ": " +
         reasons[0] + " / " + reasons[1]);
    return 1;
  }
  const int loser = answers[0] == -1 ? 0 : 1;
  expectRefusedNaming(loser == 0 ? "A" : "B", answers[loser], reasons[loser], plugins[1 - loser]->path);
  return gFailures > 0 ? 1 : 0;
}

int forked(const Plugin& a, const Plugin& b) {
#ifdef HOST_UNDER_SANITIZER
  // A's threads allocate as the host forks, and the address sanitizer's allocator takes no lock at
  // a fork: now and then (1 run in about 30) the child finds one held for good and hangs at its
  // first allocation. The plain build runs this (scripts/plain-plugin-tests.sh).
  std::cout << "skipped: a child of threads that allocate under a sanitizer\n";
  return 77;
#endif
  std::string reason;
  if (a.configureApp(reason) != 0) fail("A's configure: " + reason);
  a.log(5);
  std::cout.flush();
  const pid_t child = ::fork();
  if (child == 0) {
    expectRefusedNaming("B in the child", b.configureApp(reason), reason, a.path);
    if (a.end() != 0) fail("the child's end through A answered true");
    if (b.end() != 0) fail("the child's end through B answered true");
    std::cout.flush();
    ::_exit(gFailures > 0 ? 1 : 0);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fail("the child failed");
  }
  if (a.end() != 1) fail("A's end did not store everything");
  expectStored(a, "from_plugin", 5);
  return gFailures > 0 ? 1 : 0;
}

int switchAfter(const Plugin& a, const Plugin& b) {
  std::string reason;
  if (a.configureApp(reason) != 0) fail("A's configure: " + reason);
  expectRefusedNaming("B", b.configureApp(reason), reason, a.path);
  b.setCollection(0);
  // The app's identity is the working copy's to make and tell.
  if (b.hasAppInstanceID() != 0) fail("B answered an app instance id");
  if (a.hasAppInstanceID() != 1) fail("A answered no app instance id");
  a.log(kEvents);
  if (a.end() != 1) fail("A's end did not store everything");
  expectStored(a, "from_plugin", kEvents);
  return gFailures > 0 ? 1 : 0;
}

int switchBefore(const Plugin& a, const Plugin& b) {
  b.setCollection(0);
  std::string reason;
  if (a.configureApp(reason) != 0) fail("A's configure: " + reason);
  expectRefusedNaming("B", b.configureApp(reason), reason, a.path);
  a.log(kEvents);
  if (a.end() != 1) fail("A's end did not store everything");
  expectStored(a, "from_plugin", kEvents);
  return gFailures > 0 ? 1 : 0;
}

int switchAlone(const Plugin& a) {
  a.setCollection(0);
  std::string reason;
  if (a.configureApp(reason) != 0) fail("A's configure: " + reason);
  a.log(kEvents);
  if (a.end() != 1) fail("A's end did not answer true: events dropped by the app's switch are no loss");
  expectStored(a, "from_plugin", 0);
  return gFailures > 0 ? 1 : 0;
}

int endWhileLogging(const Plugin& a, const Plugin& b) {
  constexpr int kLoggers = 2;
  constexpr int kEnds = 6;
  constexpr long kBetweenEnds = 100;  // events logged between two ends
  constexpr long kMostWaiting = 100;  // a logger holds back while more wait for the store
  constexpr long kMostEvents = 20000;  // well below the day's limit of public events
  std::string reason;
  if (a.configureApp(reason) != 0) fail("A's configure: " + reason);
  expectRefusedNaming("B", b.configureApp(reason), reason, a.path);
  std::atomic<bool> stop{false};
  std::atomic<long> logged{0};  // log calls that returned
  std::atomic<long> storedSeen{0};  // the store's count as a logger last read it
  std::vector<std::thread> loggers;
  for (int i = 0; i < kLoggers; ++i) {
    loggers.emplace_back([&] {
      while (!stop.load() && logged.load() < kMostEvents) {
        // Not faster than the store, however fast this machine logs, and never idle: the ends
        // find a backlog of about a hundred events, stored within their 5 s unless the machine is
        // very busy (a sanitizer's build stores a few hundred a second on a core of its own).
        while (!stop.load() && logged.load() - storedSeen.load() > kMostWaiting) {
          const long stored = a.storedNamed("from_plugin");
          storedSeen.store(stored);
          if (logged.load() - stored > kMostWaiting) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        a.log(1);
        logged.fetch_add(1);
      }
    });
  }
  long lastEnd = 0;
  int ranOut = 0;
  for (int end = 0; end - ranOut < kEnds && gFailures == 0; ++end) {
    // A hang detector only (the test's time-out is the other): events keep coming while the ends run.
    for (int polls = 0; logged.load() < lastEnd + kBetweenEnds && polls < 60000; ++polls) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const long before = logged.load();
    if (before < lastEnd + kBetweenEnds) fail("the loggers stopped: " + std::to_string(before) + " events logged");
    lastEnd = before;
    const int answer = b.end();
    long stored = a.storedNamed("from_plugin");
    if (answer == 0 && ranOut < kEnds) {
      // Ran out of time with the backlog still being stored: it is stored all the same.
      ++ranOut;
      for (int polls = 0; stored < before && polls < 60000; ++polls) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        stored = a.storedNamed("from_plugin");
      }
      if (stored >= before) continue;
    }
    if (answer != 1 || stored < before) {
      fail("end " + std::to_string(end) + " through B answered " + std::to_string(answer) + " with " +
           std::to_string(stored) + " events stored of " + std::to_string(before) + " logged before it");
    }
  }
  if (ranOut > 0) std::cout << ranOut << " ends through B ran out of time and were tried again\n";
  stop.store(true);
  for (std::thread& logger : loggers) logger.join();
  if (a.end() != 1) {
    // As above: once the backlog is stored, an end finds nothing left.
    for (int polls = 0; a.storedNamed("from_plugin") < logged.load() && polls < 60000; ++polls) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (a.end() != 1) fail("A's last end did not store everything");
  }
  expectStored(a, "from_plugin", logged.load());
  expectStored(a, "from_second_plugin", 0);
  return gFailures > 0 ? 1 : 0;
}

int alone(const Plugin& a, long expected) {
  std::string reason;
  if (a.configureApp(reason) != 0) fail("A's configure: " + reason);
  a.log(kEvents);
  if (a.end() != 1) fail("A's end did not store everything");
  expectStored(a, "from_plugin", expected);
  return gFailures > 0 ? 1 : 0;
}

// Forks while a thread holds the dynamic loader's lock (inside dl_iterate_phdr, or inside dlopen of
// `heldModule`), once for each first call a child makes.
int forkBesideLoader(const Plugin& a, const std::string& how, const char* heldModule, const char* late) {
  std::vector<std::string> firsts{"configure", "log", "end", "identity"};
  if (late != nullptr) firsts.emplace_back("load");
  for (const std::string& first : firsts) {
    testsupport::HeldLoader loader(how == "iterate" ? nullptr : heldModule);
    if (!loader.held()) fail("the holding thread never held the loader");
    std::cout.flush();
    const pid_t child = ::fork();
    if (child == 0) {
      std::string reason;
      if (first == "log") a.log(1);
      if (first == "end") a.end();
      if (first == "identity") a.hasAppInstanceID();
      if (first == "load") {
        const Plugin b(late);
        if (b.configureApp(reason) != 0) fail("B's configure in the child: " + reason);
        expectRefusedNaming("A in the child", a.configureApp(reason), reason, b.path);
      } else if (first != "end") {
        if (a.configureApp(reason) != 0) fail("the child's configure: " + reason);
        a.log(kEvents);
        if (a.end() != 1) fail("the child's end did not store everything");
      }
      std::cout.flush();
      ::_exit(gFailures > 0 ? 1 : 0);
    }
    expectChildEnds(child, "forked beside " + how + ", first call " + first);
  }
  return gFailures > 0 ? 1 : 0;
}

// Two claims at once (in a child made by fork(), or here), one held once it has looked at the
// others, before it decides: a copy that looked before it marked its claim would work beside B.
int claimAtOnce(const Plugin& a, const Plugin& b, bool inChild) {
  std::cout.flush();
  const pid_t child = inChild ? ::fork() : 0;
  if (child == 0) {
    int parked[2];
    int release[2];
    int marked[2];
    if (::pipe(parked) != 0 || ::pipe(release) != 0 || ::pipe(marked) != 0) ::_exit(1);
    a.holdNextClaim(parked[1], release[0]);
    b.holdNextClaim(marked[1], -1);
    int answers[2] = {-2, -2};
    std::string reasons[2];
    const auto begun = std::chrono::steady_clock::now();
    std::thread first([&] { answers[0] = a.configureApp(reasons[0]); });
    char byte = 0;
    if (::read(parked[0], &byte, 1) != 1) fail("A's claim was not held");
    std::thread second([&] { answers[1] = b.configureApp(reasons[1]); });
    if (::read(marked[0], &byte, 1) != 1) fail("B did not claim");
    if (::write(release[1], &byte, 1) != 1) fail("release");
    first.join();
    second.join();
    // Neither waited for the other's claim until the bound of a wait for a configure (10 s).
    if (std::chrono::steady_clock::now() - begun > std::chrono::seconds(5)) fail("a claim waited for the other's");
    std::cout << "A: " << answers[0] << " " << reasons[0] << "\nB: " << answers[1] << " " << reasons[1] << '\n';
    if (answers[0] + answers[1] != -1) {
      fail("the configures answered " + std::to_string(answers[0]) + " and " + std::to_string(answers[1]));
    } else {
      const int loser = answers[0] == -1 ? 0 : 1;
      expectRefusedNaming(loser == 0 ? "A" : "B", answers[loser], reasons[loser], loser == 0 ? b.path : a.path);
    }
    std::cout.flush();
    if (!inChild) return gFailures > 0 ? 1 : 0;
    ::_exit(gFailures > 0 ? 1 : 0);
  }
  expectChildEnds(child, "two claims at once in a child");
  return gFailures > 0 ? 1 : 0;
}

// A child's steps, each a byte written to a pipe as it is done, read until the child ends. A bound
// counts progress, not the child's life: a child that makes no step for a minute waits for ever
// (a step takes milliseconds, and under a heavy load a second), and is killed. The first byte.
int expectChildSteps(pid_t child, int steps, const std::string& what) {
  int first = -1;
  std::string made;
  bool stuck = false;
  for (;;) {
    pollfd ready{steps, POLLIN, 0};
    const int polled = ::poll(&ready, 1, 60 * 1000);
    if (polled < 0 && errno == EINTR) continue;
    char byte = 0;
    const ssize_t got = polled > 0 ? ::read(steps, &byte, 1) : -1;
    if (got < 0 && polled > 0 && errno == EINTR) continue;
    if (got == 0) break;  // the child ended, or closed its end as it ends
    if (got < 0) {
      stuck = true;  // a minute without a step, or no way to read one
      break;
    }
    if (first < 0) {
      first = static_cast<unsigned char>(byte);
    } else {
      made += byte;
    }
  }
  ::close(steps);
  if (stuck) ::kill(child, SIGKILL);
  int status = 0;
  if (::waitpid(child, &status, 0) != child) {
    fail(what + ": the child was not found");
  } else if (stuck) {
    fail(what + ": the child waits for ever after steps '" + made + "'");
  } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fail(what + ": the child failed after steps '" + made + "'");
  }
  return first;
}

// Children forked one after another while a thread opens and closes `module` without a pause: the
// loader's list may be half changed at each fork. Forks go on until `each` children were forked
// with that thread inside dlopen and as many inside dlclose (as the child finds it; at most 20
// times that many children), so that what is shown is the same whatever the machine's speed.
int forkBesideLoading(const Plugin& a, const char* module, int each) {
#ifdef HOST_UNDER_SANITIZER
  // The address sanitizer's allocator takes no lock at a fork: a child finds the one the loading
  // thread held for good. The plain build runs this (scripts/plain-plugin-tests.sh).
  std::cout << "skipped: a child of a thread that allocates under a sanitizer\n";
  return 77;
#endif
  enum Inside : char { kNeither = 0, kOpen = 1, kClose = 2 };
  std::atomic<bool> stop{false};
  std::atomic<long> cycles{0};
  std::atomic<char> inside{kNeither};
  std::thread loader([&] {
    while (!stop.load()) {
      inside.store(kOpen);
      void* loaded = ::dlopen(module, RTLD_NOW | RTLD_LOCAL);
      inside.store(loaded != nullptr ? kClose : kNeither);
      if (loaded != nullptr) ::dlclose(loaded);
      inside.store(kNeither);
      cycles.fetch_add(1);
    }
  });
  while (cycles.load() == 0) std::this_thread::yield();
  long met[3] = {0, 0, 0};
  const long most = 20L * each;
  long children = 0;
  for (; (met[kOpen] < each || met[kClose] < each) && children < most && gFailures == 0; ++children) {
    int steps[2];
    if (::pipe(steps) != 0) {
      fail("a pipe for the child's steps");
      break;
    }
    std::cout.flush();
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(steps[0]);
      // Where the loading thread was as the child was made: its memory is the parent's of then.
      auto step = [&steps](char made) {
        if (::write(steps[1], &made, 1) != 1) ::_exit(3);
      };
      step(inside.load());
      std::string reason;
      if (a.configureApp(reason) != 0) fail("the child's configure: " + reason);
      step('c');
      a.log(1);
      step('l');
      if (a.end() != 1) fail("the child's end did not store everything");
      step('e');
      std::cout.flush();
      ::_exit(gFailures > 0 ? 1 : 0);
    }
    ::close(steps[1]);
    if (child < 0) {
      ::close(steps[0]);
      fail("fork");
      break;
    }
    const int where = expectChildSteps(child, steps[0], "child " + std::to_string(children) + " forked beside a loading thread");
    if (where >= kNeither && where <= kClose) ++met[where];
  }
  stop.store(true);
  loader.join();
  std::cout << children << " children forked beside " << cycles.load() << " loads: " << met[kOpen]
            << " inside dlopen, " << met[kClose] << " inside dlclose, " << met[kNeither] << " between\n";
  if (gFailures == 0 && (met[kOpen] < each || met[kClose] < each)) {
    fail("of " + std::to_string(children) + " children, fewer than " + std::to_string(each) +
         " were forked inside dlopen or inside dlclose");
  }
  return gFailures > 0 ? 1 : 0;
}

// A looks at the other copies while B's load is held (HeldRelocation.cpp, told by descriptors 200
// and 201); B then configures, and A is refused.
int lateCopy(const Plugin& a, const char* late) {
  int held[2];
  int release[2];
  if (::pipe(held) != 0 || ::pipe(release) != 0 || ::dup2(held[1], 200) != 200 || ::dup2(release[0], 201) != 201) {
    fail("the descriptors that hold the load");
    return 1;
  }
  std::thread loading([late] {
    if (::dlopen(late, RTLD_NOW | RTLD_LOCAL) == nullptr) fail(std::string("dlopen: ") + ::dlerror());
  });
  char byte = 0;
  if (::read(held[0], &byte, 1) != 1) fail("B's load was not held");
  for (int i = 0; i < 20; ++i) a.seesOtherCopies();
  if (::write(release[1], &byte, 1) != 1) fail("release");
  loading.join();
  for (int fd : {held[0], held[1], release[0], release[1], 200, 201}) ::close(fd);
  const Plugin b(late);
  if (a.seesOtherCopies() != 1) fail("A does not see B once B is loaded");
  std::string reason;
  if (b.configureApp(reason) != 0) fail("B's configure: " + reason);
  expectRefusedNaming("A", a.configureApp(reason), reason, b.path);
  return gFailures > 0 ? 1 : 0;
}

// In a descendant that is process 1 of a PID namespace of its own (made with unshare, which takes
// root), forks a child into another, process 1 there too, while A's configure holds the process.
// Each waits for its child: a process 1 that fails can be killed only from outside.
int pidNamespace(const Plugin& a, const Plugin& b) {
  // The namespaces are made in a child of the host's: a process that made one can fork no more
  // once that namespace's process 1 has ended (nor could the leak checker at the host's exit).
  std::cout.flush();
  const pid_t maker = ::fork();
  if (maker != 0) {
    int status = 0;
    if (maker < 0 || ::waitpid(maker, &status, 0) != maker || !WIFEXITED(status)) return 1;
    if (WEXITSTATUS(status) == 77) std::cout << "skipped: making a PID namespace takes root\n";
    return WEXITSTATUS(status);
  }
  if (::unshare(CLONE_NEWPID) != 0) ::_exit(77);
  const pid_t first = ::fork();
  if (first != 0) {
    expectChildEnds(first, "process 1 of a PID namespace");
    std::cout.flush();
    ::_exit(gFailures > 0 ? 1 : 0);
  }
  if (::getpid() != 1) fail("the child is not process 1");
  int parked[2];
  int release[2];
  if (::pipe(parked) != 0 || ::pipe(release) != 0) ::_exit(1);
  a.holdNextConfigure(parked[1], release[0]);
  std::string reason;
  int configured = -2;
  std::thread configuring([&] { configured = a.configureApp(reason); });
  char byte = 0;
  if (::read(parked[0], &byte, 1) != 1) fail("A's configure was not held");
  if (::unshare(CLONE_NEWPID) != 0) {
    fail("unshare(CLONE_NEWPID) in the child");
  } else {
    std::cout.flush();
    const pid_t child = ::fork();
    if (child == 0) {
      if (::getpid() != 1) fail("the grandchild is not process 1");
      std::string refused;
      const auto asked = std::chrono::steady_clock::now();
      expectRefusedNaming("B in the grandchild", b.configureApp(refused), refused, a.path);
      // At once: not after the bound of a wait for a configure under way in this process (10 s).
      if (std::chrono::steady_clock::now() - asked > std::chrono::seconds(5)) fail("B waited for A's configure");
      std::cout.flush();
      ::_exit(gFailures > 0 ? 1 : 0);
    }
    expectChildEnds(child, "B's configure in a child of another PID namespace");
  }
  if (::write(release[1], &byte, 1) != 1) fail("release");
  configuring.join();
  if (configured != 0) fail("A's configure: " + reason);
  a.log(kEvents);
  if (a.end() != 1) fail("A's end did not store everything");
  expectStored(a, "from_plugin", kEvents);
  std::cout.flush();
  ::_exit(gFailures > 0 ? 1 : 0);
}

using FakeSet = void (*)(int, std::uint32_t, std::uint32_t, std::int32_t, const char*);
constexpr char kOlderName[] = "a copy of another build";

// Opens the fake copies' object; `set` its setter (null when it has none).
void* openFake(const char* path, FakeSet& set) {
  void* fake = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (fake == nullptr) {
    std::cerr << "the fake copy: " << ::dlerror() << '\n';
    std::exit(1);
  }
  set = reinterpret_cast<FakeSet>(::dlsym(fake, "fake_copy_set"));
  return fake;
}

// A's configure: it works, or is refused naming `working` ("refused"), or because A lost track of
// older builds ("lost") or the ring goes on past the copies a look goes through ("ring"). A
// refused copy's calls are refused, and its end says so, and why.
void expectConfigure(const Plugin& a, const std::string& outcome, const std::string& working) {
  std::string reason;
  const int answer = a.configureApp(reason);
  std::cout << "A: " << answer << " " << reason << '\n';
  if (outcome == "refused") {
    expectRefusedNaming("A", answer, reason, working);
  } else if (outcome == "lost" || outcome == "ring") {
    const char* why = outcome == "lost" ? "found more copies of older builds of the SDK"
                                        : "found the copies of the SDK in this process linked past the 1024";
    if (answer != -1 || reason.find(why) == std::string::npos) {
      fail("A's configure answered " + std::to_string(answer) + " where it must be refused saying why: " + reason);
    }
  } else if (answer != 0) {
    fail("A's configure: " + reason);
  }
  if (answer != -1) return;
  constexpr int kRefusedCalls = 5;
  a.log(kRefusedCalls);
  int ended = -2;
  const std::string written = testsupport::standardErrorOf([&] { ended = a.end(); });
  if (ended != 0) fail("A's end answered " + std::to_string(ended) + " with its calls refused");
  expectEndSaysRefused("A", written, kRefusedCalls, reason);
}

// A copy of another build, whose block is `size` bytes, in `phase`, loaded before A.
int layout(const char* aPath, const char* fakeCopy, std::uint32_t size, std::uint32_t phase, const std::string& outcome) {
  FakeSet set = nullptr;
  openFake(fakeCopy, set);
  if (size != 0) {
    if (set == nullptr) fail("the fake copy has no setter");
    else set(0, size, phase, static_cast<std::int32_t>(::getpid()), kOlderName);
  }
  expectConfigure(Plugin(aPath), outcome, kOlderName);
  return gFailures > 0 ? 1 : 0;
}

int closedOlder(const char* aPath, const char* fakeCopy) {
  FakeSet set = nullptr;
  void* fake = openFake(fakeCopy, set);
  set(0, 32, 2, static_cast<std::int32_t>(::getpid()), kOlderName);
  const Plugin a(aPath);
  if (::dlclose(fake) != 0) fail("dlclose of the older copy");
  if (::dlopen(fakeCopy, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD) == nullptr) fail("the older copy was unloaded");
  expectConfigure(a, "refused", kOlderName);
  return gFailures > 0 ? 1 : 0;
}

int olderBetween(const char* aPath, const char* fakeCopy, const char* bPath) {
  const Plugin a(aPath);
  FakeSet set = nullptr;
  openFake(fakeCopy, set);
  set(0, 32, 2, static_cast<std::int32_t>(::getpid()), kOlderName);
  const Plugin b(bPath);
  expectConfigure(a, "refused", kOlderName);
  std::string reason;
  expectRefusedNaming("B", b.configureApp(reason), reason, kOlderName);
  return gFailures > 0 ? 1 : 0;
}

int manyOlder(const char* aPath, const char* fakeCopies, int blocks, int working, const std::string& outcome) {
  FakeSet set = nullptr;
  openFake(fakeCopies, set);
  auto count = reinterpret_cast<int (*)()>(::dlsym(::dlopen(fakeCopies, RTLD_NOW | RTLD_NOLOAD), "fake_copy_count"));
  for (int i = 0; count != nullptr && i < count(); ++i) {
    // Past `blocks`, too short for a copy's block.
    set(i, i < blocks ? 32 : 24, i == working ? 2 : 0, static_cast<std::int32_t>(::getpid()), kOlderName);
  }
  expectConfigure(Plugin(aPath), outcome, kOlderName);
  return gFailures > 0 ? 1 : 0;
}

// `blocks` copies' blocks of this build's layout (one object carrying them) linked into a ring of
// their own, the one at index `working` working (-1: none), loaded before A, which links itself
// after the first: A's look goes round all of them, the first last.
int ring(const char* aPath, const char* fakeCopies, int blocks, int working, const std::string& outcome) {
  FakeSet set = nullptr;
  void* fake = openFake(fakeCopies, set);
  auto count = reinterpret_cast<int (*)()>(::dlsym(fake, "fake_copy_count"));
  auto link = reinterpret_cast<void (*)(int)>(::dlsym(fake, "fake_copy_ring"));
  if (count == nullptr || link == nullptr || blocks > count()) {
    fail("the fake copies carry no ring of " + std::to_string(blocks));
    return 1;
  }
  for (int i = 0; i < count(); ++i) {
    // Past `blocks`, too short for a copy's block.
    set(i, i < blocks ? 48 : 24, i == working ? 2 : 0, static_cast<std::int32_t>(::getpid()), kOlderName);
  }
  link(blocks);
  expectConfigure(Plugin(aPath), outcome, kOlderName);
  return gFailures > 0 ? 1 : 0;
}

// A, then C: B links itself after A, the first copy of the ring it finds, so A's look goes through
// B to reach C.
int linkWhileWalking(const char* aPath, const char* cPath, const char* bPath) {
  const Plugin a(aPath);
  const Plugin c(cPath);
  std::string reason;
  if (c.configureApp(reason) != 0) fail("C's configure: " + reason);
  int held[2];
  int release[2];
  if (::pipe(held) != 0 || ::pipe(release) != 0) return 1;
  gLinkRelease.store(release[0]);
  gLinkHeld.store(held[1]);
  std::thread loading([bPath, &held] {
    const Plugin b(bPath);
    char none = 0;  // loaded without a hold
    if (gLinkHeld.exchange(-1) >= 0 && ::write(held[1], &none, 1) != 1) std::abort();
  });
  char byte = 0;
  if (::read(held[0], &byte, 1) != 1 || byte != 1) fail("B's link was not held");
  const char* found = a.workingCopy();
  if (found == nullptr || c.path != found) {
    fail(std::string("while B links itself, A finds ") + (found != nullptr ? found : "no copy") + " working, not C");
  }
  if (::write(release[1], &byte, 1) != 1) fail("release");
  loading.join();
  const Plugin b(bPath);
  expectRefusedNaming("B", b.configureApp(reason), reason, c.path);
  expectRefusedNaming("A", a.configureApp(reason), reason, c.path);
  return gFailures > 0 ? 1 : 0;
}

#else

int programEnds(const Plugin& a, int programEvents, const char* program) {
  std::string reason;
  if (a.configureApp(reason) != 0) fail("A's configure: " + reason);
  TLMMeasurementEngine::setCollectionServerURL("http://127.0.0.1:9");  // nothing listens there
  try {
    CDVApp::configure();
    fail("the program's configure was not refused");
  } catch (const std::exception& e) {
    std::cout << "program: " << e.what() << '\n';
    expectRefusedNaming("the program", -1, e.what(), a.path);
    if (std::string(e.what()).find(program) == std::string::npos) fail("the refusal does not name the program");
  }
  a.log(5);
  for (int i = 0; i < programEvents; ++i) CDVAnalytics::logEventWithName("from_program", TLMObjectDictionary());
  // The app's end through the program's copy, as a host that links the SDK ends it; its warning
  // (written at once) says the calls were refused, and why, as the refusal did.
  bool ended = false;
  const std::string written = testsupport::standardErrorOf([&ended] { ended = UIApplication().terminate(); });
  if (programEvents > 0) {
    expectEndSaysRefused("the program", written, programEvents, "Another copy of the SDK, in '" + a.path + "', works");
  }
  expectStored(a, "from_plugin", 5);
  expectStored(a, "from_program", 0);
  if (ended != (programEvents == 0)) {
    fail(std::string("the program's end answered ") + (ended ? "true" : "false") + " with " +
         std::to_string(programEvents) + " of its calls refused");
  }
  return gFailures > 0 ? 1 : 0;
}

#endif

}  // namespace

extern "C" __attribute__((visibility("default"))) void cdv_copies_linking_for_testing() {
  const int held = gLinkHeld.exchange(-1);
  if (held < 0) return;
  char byte = 1;
  if (::write(held, &byte, 1) != 1) return;
  while (::read(gLinkRelease.load(), &byte, 1) < 0) {
  }
}

int main(int argc, char** argv) {
  const std::string scenario = argc > 1 ? argv[1] : "";
#ifndef HOST_LINKS_THE_SDK
  if (scenario == "failed-first" && argc == 4) return failedFirst(Plugin(argv[2]), Plugin(argv[3]));
  if (scenario == "fork" && argc == 4) return forked(Plugin(argv[2]), Plugin(argv[3]));
  if (scenario == "race" && argc == 4) return race(Plugin(argv[2]), Plugin(argv[3]));
  if (scenario == "switch-after" && argc == 4) return switchAfter(Plugin(argv[2]), Plugin(argv[3]));
  if (scenario == "switch-before" && argc == 4) return switchBefore(Plugin(argv[2]), Plugin(argv[3]));
  if (scenario == "switch-alone" && argc == 3) return switchAlone(Plugin(argv[2]));
  if (scenario == "end-while-logging" && argc == 4) return endWhileLogging(Plugin(argv[2]), Plugin(argv[3]));
  if (scenario == "alone" && argc == 4) return alone(Plugin(argv[2]), std::atol(argv[3]));
  if (scenario == "fork-beside-loader" && argc >= 4 && argc <= 6) {
    return forkBesideLoader(Plugin(argv[2]), argv[3], argc >= 5 ? argv[4] : nullptr, argc == 6 ? argv[5] : nullptr);
  }
  if (scenario == "claim-at-once" && argc == 5) {
    return claimAtOnce(Plugin(argv[2]), Plugin(argv[3]), std::string(argv[4]) == "child");
  }
  if (scenario == "fork-beside-loading" && argc == 5) return forkBesideLoading(Plugin(argv[2]), argv[3], std::atoi(argv[4]));
  if (scenario == "late-copy" && argc == 4) return lateCopy(Plugin(argv[2]), argv[3]);
  if (scenario == "pid-namespace" && argc == 4) return pidNamespace(Plugin(argv[2]), Plugin(argv[3]));
  if (scenario == "layout" && argc == 7) {
    return layout(argv[2], argv[3], static_cast<std::uint32_t>(std::atol(argv[4])),
                  static_cast<std::uint32_t>(std::atol(argv[5])), argv[6]);
  }
  if (scenario == "closed-older" && argc == 4) return closedOlder(argv[2], argv[3]);
  if (scenario == "older-between" && argc == 5) return olderBetween(argv[2], argv[3], argv[4]);
  if (scenario == "many-older" && argc == 7) {
    return manyOlder(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]), argv[6]);
  }
  if (scenario == "ring" && argc == 7) return ring(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]), argv[6]);
  if (scenario == "link-while-walking" && argc == 5) {
    return linkWhileWalking(argv[2], argv[3], argv[4]);
  }
  std::cerr << "usage: copies_host failed-first|fork|race|switch-after|switch-before|pid-namespace\n"
               "                   <plugin> <plugin>\n"
               "       copies_host claim-at-once <plugin> <plugin> here|child | late-copy <plugin> <plugin>\n"
               "       copies_host fork-beside-loading <plugin> <module> <each>\n"
               "       copies_host end-while-logging <plugin> <plugin>\n"
               "       copies_host switch-alone <plugin> | alone <plugin> <events>\n"
               "       copies_host fork-beside-loader <plugin> iterate|dlopen [<module> [<plugin>]]\n"
               "       copies_host layout <plugin> <fake copy> <size> <phase> works|refused\n"
               "       copies_host closed-older <plugin> <fake copy> | older-between <plugin> <fake copy> <plugin>\n"
               "       copies_host many-older <plugin> <fake copies> <blocks> <working> works|refused|lost\n"
               "       copies_host ring <plugin> <fake copies> <blocks> <working> works|refused|ring\n"
               "       copies_host link-while-walking <plugin> <plugin> <plugin>\n";
#else
  if (scenario == "program-ends" && (argc == 3 || argc == 4)) {
    return programEnds(Plugin(argv[2]), argc == 4 ? std::atoi(argv[3]) : 5, argv[0]);
  }
  std::cerr << "usage: copies_beside_host program-ends <plugin> [<program's events>]\n";
#endif
  return 2;
}
