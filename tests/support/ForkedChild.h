// Runs code in a child made by fork() and waits a bounded time for the child to end: a child that
// overshoots is killed, and reported as such.
#pragma once

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cxxabi.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

namespace testsupport {

// Set in a forked child: the leak checker, should the build have one, does not run at its exit.
// The child lacks the parent's other threads, so what only their stacks and thread-local data
// hold looks leaked there.
inline bool skipLeakCheck = false;


struct ChildEnd {
  bool forked = false;
  bool inTime = false;  // it ended by itself within the limit
  int status = 0;       // as waitpid gives it
  std::chrono::milliseconds took{0};

  bool exitedWith(int code) const { return forked && inTime && WIFEXITED(status) && WEXITSTATUS(status) == code; }
};

// ThreadSanitizer pauses at every exit, a second by default (to catch races with threads that
// still run): a child's limit is that much longer there.
#if defined(__SANITIZE_THREAD__)
inline constexpr std::chrono::milliseconds kSanitizerExitPause{1000};
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr std::chrono::milliseconds kSanitizerExitPause{1000};
#else
inline constexpr std::chrono::milliseconds kSanitizerExitPause{0};
#endif
#else
inline constexpr std::chrono::milliseconds kSanitizerExitPause{0};
#endif

// Waits for a child forked at `start` to end within `limit`; kills it when it does not.
inline ChildEnd awaitChild(pid_t pid, std::chrono::steady_clock::time_point start, std::chrono::milliseconds limit) {
  ChildEnd end;
  if (pid < 0) return end;
  end.forked = true;
  const int watch = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  const auto deadline = start + limit + kSanitizerExitPause;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd ended{watch, POLLIN, 0};
    const int ready = watch >= 0 && left.count() > 0 ? poll(&ended, 1, static_cast<int>(left.count())) : 0;
    if (ready < 0 && errno == EINTR) continue;
    end.inTime = ready == 1;
    break;
  }
  if (!end.inTime) kill(pid, SIGKILL);
  waitpid(pid, &end.status, 0);
  end.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  if (watch >= 0) close(watch);
  return end;
}

// `inChild` ends the child (exit, _exit, ...); should it return, the child ends with status 99,
// and should it throw, with status 98 (said on standard error): the exception never unwinds into
// the child's copy of the test that forked it, whose objects (a joinable thread of the parent's)
// would end the child with an abort, or whose test framework would go on running tests there.
// The limit counts from the child's start: what fork() itself waits for (fork handlers) is not
// the child's.
inline ChildEnd runInChild(const std::function<void()>& inChild, std::chrono::milliseconds limit) {
  std::fflush(nullptr);  // nothing buffered is written by both processes
  const pid_t pid = fork();
  if (pid == 0) {
    skipLeakCheck = true;
    try {
      inChild();
    } catch (...) {
      // A thread's cancellation (no C++ type) goes on: it ends the child as it would end a thread.
      if (abi::__cxa_current_exception_type() == nullptr) throw;
      std::fprintf(stderr, "the child threw %s\n", abi::__cxa_current_exception_type()->name());
      _exit(98);
    }
    _exit(99);
  }
  return awaitChild(pid, std::chrono::steady_clock::now(), limit);
}

// What `count` children, each running `inChild(number)` within `limit`, came to: those that did
// not end in time (or could not be forked; the first of them ends the run), or were ended by their
// alarm (SIGALRM), and those that ended otherwise than with status 0, each also reported on
// standard error.
struct ForkTally {
  int hung = 0;
  int failed = 0;
};

inline ForkTally forkRepeatedly(int count, const std::function<void(int)>& inChild, std::chrono::milliseconds limit) {
  ForkTally tally;
  for (int k = 0; k < count; ++k) {
    const ChildEnd end = runInChild([&] { inChild(k); }, limit);
    if (!end.forked || !end.inTime) {
      ++tally.hung;
      std::fprintf(stderr, "fork %d: no end within the limit; no more children are forked\n", k);
      break;  // each further hang would cost the whole limit again
    } else if (WIFSIGNALED(end.status) && WTERMSIG(end.status) == SIGALRM) {
      ++tally.hung;
      std::fprintf(stderr, "fork %d: ended by its alarm\n", k);
    } else if (!end.exitedWith(0)) {
      ++tally.failed;
      std::fprintf(stderr, "fork %d: status %d\n", k, end.status);
    }
  }
  return tally;
}

}  // namespace testsupport

namespace testsupport {

// Whether a child of this process may have a mount namespace of its own (root, and no container
// rule against it): tests that mount file systems skip without one.
inline bool mountNamespaceAvailable() {
  const pid_t probe = ::fork();
  if (probe == 0) ::_exit(::unshare(CLONE_NEWNS) == 0 ? 0 : 1);
  int status = 0;
  return probe > 0 && ::waitpid(probe, &status, 0) == probe && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Whether the thread `thread` of this process is inside the system call `number` (SYS_openat,
// SYS_futex, ...), as /proc tells.
inline bool inSystemCall(pid_t thread, long number) {
  std::ifstream file("/proc/self/task/" + std::to_string(thread) + "/syscall");
  std::string line;
  return thread > 0 && std::getline(file, line) && line.rfind(std::to_string(number) + " ", 0) == 0;
}

// The scheduler's state of a thread of this process ('R', 'S', ...); 0 once it has ended.
inline char threadState(pid_t thread) {
  std::ifstream file("/proc/self/task/" + std::to_string(thread) + "/stat");
  if (!file) return 0;
  const std::string line((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::size_t end = line.rfind(')');
  return end != std::string::npos && end + 2 < line.size() ? line[end + 2] : '?';
}

}  // namespace testsupport

// Asked by the leak checker when the process ends.
extern "C" __attribute__((weak)) int __lsan_is_turned_off() { return testsupport::skipLeakCheck ? 1 : 0; }
