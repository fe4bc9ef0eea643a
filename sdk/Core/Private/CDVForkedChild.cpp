#include "Core/Private/CDVForkedChild.h"

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "Core/Public/CDVLogger.h"
#include "foundation/ProcessInfo.h"
#include "uikit/UIKit.h"

namespace {

// Processes are told apart by the forks between the program's first process and them (plus one:
// 0 is none), which fork's child handler counts: two processes of one line of descent never share
// it, where a process identifier may repeat (pid 1 in a new PID namespace).
using Process = std::uint64_t;
std::atomic<Process> gSDKProcess{0};
std::atomic<Process> gWarnedIn{0};

bool refusedIn(Process self, Process owner, const char* call) {
  if (owner == 0 || owner == self) return false;
  if (gWarnedIn.exchange(self) != self) {
    // Written without the logger's setup, which reads the launch arguments and the defaults under
    // locks a parent's thread may have held at the fork, and put together on the stack.
    char message[512];
    std::snprintf(message, sizeof message,
                  "The SDK does nothing in a process made by fork() from the one that used it: its state, store "
                  "and identity are that process's. Refused: %s. To use the SDK in a worker, configure it in the "
                  "worker, after the fork, and not in the process that forks it (see \"A child made by fork()\" "
                  "in the README).",
                  call);
    CDVLogWithoutSetup(CDVLoggerLevelWarning, kCDVLoggerCore, kCDVForkedChildMessageCode, message);
  }
  return true;
}

// Read from memory, where fork's child handler puts the child's own before any other child
// handler runs: no system call on a log call's way.
Process currentProcess() { return platform::ProcessInfo::forks() + 1; }

bool endRefused() { return CDVForkedChild::refusesWithoutClaim("UIApplication::terminate"); }

}  // namespace

bool CDVForkedChild::refuses(const char* call) {
  const Process self = currentProcess();
  Process owner = gSDKProcess.load(std::memory_order_relaxed);
  if (owner == self) return false;
  if (owner == 0) {
    // The app's end is refused in the children of the process the SDK is about to belong to,
    // whichever of its libraries are linked; installed first, so no fork comes in between.
    UIApplication::setEndRefusal(&endRefused);
    if (gSDKProcess.compare_exchange_strong(owner, self)) return false;
  }
  return refusedIn(self, owner, call);
}

bool CDVForkedChild::refusesWithoutClaim(const char* call) {
  return refusedIn(currentProcess(), gSDKProcess.load(std::memory_order_relaxed), call);
}

bool CDVForkedChild::isForkedChild() {
  const Process owner = gSDKProcess.load(std::memory_order_relaxed);
  return owner != 0 && owner != currentProcess();
}

bool CDVForkedChild::hasOwner() { return gSDKProcess.load(std::memory_order_relaxed) != 0; }
