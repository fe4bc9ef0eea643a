#include "Core/Private/CDVForkedChild.h"

#include <unistd.h>

#include <atomic>
#include <string>

#include "Core/Public/CDVLogger.h"

namespace {

std::atomic<pid_t> gSDKProcess{0};
std::atomic<pid_t> gWarnedIn{0};

}  // namespace

bool CDVForkedChild::refuses(const char* call) {
  // Asked of the system, not the identifier kept in memory: a child made by clone() without
  // fork's handlers keeps its parent's there.
  const pid_t self = ::getpid();
  pid_t owner = 0;
  if (gSDKProcess.compare_exchange_strong(owner, self) || owner == self) return false;
  if (gWarnedIn.exchange(self) != self) {
    CDVLogWarning(kCDVLoggerCore, kCDVForkedChildMessageCode,
                  "The SDK does nothing in a process made by fork() from the one that used it: its "
                  "state, store and identity are that process's. Refused: %@",
                  std::string(call));
  }
  return true;
}
