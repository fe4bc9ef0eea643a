#include "dispatch/ForkPreparation.h"

#include <atomic>

namespace platform {

namespace {

std::atomic<void (*)()> gWait{nullptr};

}  // namespace

void setWaitBeforeForkLocks(void (*wait)()) { gWait.store(wait); }

void waitBeforeForkLocks() {
  if (void (*wait)() = gWait.load()) wait();
}

}  // namespace platform
