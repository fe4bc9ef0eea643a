#include "foundation/ProcessInfo.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <mutex>

extern char** environ;

namespace platform {

namespace {

struct State {
  std::mutex mutex;
  bool loaded = false;
  std::vector<std::string> arguments;
  std::map<std::string, std::string> environment;
};

State& state() {
  static State* s = new State();  // never destroyed: threads may outlive main()
  return *s;
}
// Made as the program loads: a child forked while another thread made it would wait for ever on
// its guard.
[[maybe_unused]] const State& gStateMadeAtLoad = state();

// A fork waits for a thread that holds the state's lock (it reads /proc/self/cmdline or copies the
// values, and waits for nothing), so that the child finds it free. Nothing is done under it that
// takes another lock a fork handler takes.
void lockStateBeforeFork() { state().mutex.lock(); }
void unlockStateAfterFork() { state().mutex.unlock(); }

void loadReal(State& s) {
  s.arguments.clear();
  s.environment.clear();
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    s.arguments.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string entry(*e);
    auto eq = entry.find('=');
    if (eq == std::string::npos) continue;
    s.environment.emplace(entry.substr(0, eq), entry.substr(eq + 1));
  }
  s.loaded = true;
}

// Runs `f` on the state under its lock, loading the real values first when needed.
template <typename F>
auto withState(F f) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.loaded) loadReal(s);
  return f(s);
}

}  // namespace

std::vector<std::string> ProcessInfo::arguments() {
  return withState([](State& s) { return s.arguments; });
}

bool ProcessInfo::hasArgument(const std::string& argument) {
  return withState([&](State& s) {
    for (const auto& a : s.arguments) {
      if (a == argument) return true;
    }
    return false;
  });
}

std::map<std::string, std::string> ProcessInfo::environment() {
  return withState([](State& s) { return s.environment; });
}

std::optional<std::string> ProcessInfo::environmentValue(const std::string& name) {
  return withState([&](State& s) -> std::optional<std::string> {
    auto it = s.environment.find(name);
    if (it == s.environment.end()) return std::nullopt;
    return it->second;
  });
}

std::string ProcessInfo::processName() {
  return withState([](State& s) -> std::string {
    if (s.arguments.empty()) return {};
    const std::string& path = s.arguments.front();
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
  });
}

namespace {

// The process's identifier, read once when the program loads and again in each child of a fork
// (getpid is a system call, and callers ask on every store operation and SDK call). 0 until
// read, or where the fork handlers could not be installed: then each call asks the system.
std::atomic<pid_t> gProcessIdentifier{0};
// The forks between the process the program loaded in and this one, counted by fork's child
// handler: process identifiers cannot tell (a child forked into a new PID namespace is pid 1, as
// its parent may be).
std::atomic<std::uint64_t> gForks{0};
// Whether the process about to fork had another thread (as fork's prepare handler found it), and
// whether this process was made by a fork from such a process, or descends from one.
std::atomic<bool> gForkingWithOtherThreads{true};
std::atomic<bool> gOtherThreadsLocks{false};

// Before a fork: whether the forking thread is alone in its process. /proc/self/task has two
// links more than the process has threads; where it cannot be read, other threads are assumed.
void noteThreadsBeforeFork() {
  struct stat task {};
  gForkingWithOtherThreads.store(::stat("/proc/self/task", &task) != 0 || task.st_nlink != 3,
                                 std::memory_order_relaxed);
}

void afterForkInChild() {
  gProcessIdentifier.store(::getpid(), std::memory_order_relaxed);
  gForks.fetch_add(1, std::memory_order_relaxed);
  if (gForkingWithOtherThreads.load(std::memory_order_relaxed)) gOtherThreadsLocks.store(true, std::memory_order_relaxed);
}

// Run before the program's other initialisers, so that these fork handlers are registered before
// theirs: a child runs its handlers in the order registered, so every other child handler (the
// SDK's, the host's) already reads the child's identifier and count; prepare handlers run in the
// reverse order, so this one counts the threads after every other one has run.
__attribute__((constructor(101))) void keepProcessIdentifier() {
  if (::pthread_atfork(&noteThreadsBeforeFork, nullptr, &afterForkInChild) == 0) {
    gProcessIdentifier.store(::getpid(), std::memory_order_relaxed);
  }
  // Registered before the program's other handlers: its prepare handler runs after theirs, which
  // may still read the process's values, and its child handler before theirs.
  ::pthread_atfork(&lockStateBeforeFork, &unlockStateAfterFork, &unlockStateAfterFork);
}

}  // namespace

int ProcessInfo::processIdentifier() {
  const pid_t kept = gProcessIdentifier.load(std::memory_order_relaxed);
  return static_cast<int>(kept != 0 ? kept : ::getpid());
}

std::uint64_t ProcessInfo::forks() { return gForks.load(std::memory_order_relaxed); }

bool ProcessInfo::mayHoldOtherThreadsLocks() { return gOtherThreadsLocks.load(std::memory_order_relaxed); }

void ProcessInfo::countAsFirstProcessForTesting() { gOtherThreadsLocks.store(false, std::memory_order_relaxed); }

void ProcessInfo::setArguments(std::vector<std::string> arguments) {
  withState([&](State& s) {
    s.arguments = std::move(arguments);
    return 0;
  });
}

void ProcessInfo::setEnvironment(std::map<std::string, std::string> environment) {
  withState([&](State& s) {
    s.environment = std::move(environment);
    return 0;
  });
}

void ProcessInfo::setEnvironmentValue(const std::string& name, std::optional<std::string> value) {
  withState([&](State& s) {
    if (value) {
      s.environment[name] = std::move(*value);
    } else {
      s.environment.erase(name);
    }
    return 0;
  });
}

void ProcessInfo::whileValuesLockedForTesting(const std::function<void()>& work) {
  withState([&](State&) {
    work();
    return 0;
  });
}

void ProcessInfo::resetForTesting() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  loadReal(s);
}

}  // namespace platform
