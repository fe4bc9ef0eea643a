#include "dispatch/ForkPreparation.h"

#include <atomic>

namespace platform {

namespace {

// The waits, in the order installed; an empty slot ends them.
constexpr int kWaits = 4;
std::atomic<void (*)()> gWaits[kWaits];

}  // namespace

void setWaitBeforeForkLocks(void (*wait)()) {
  for (std::atomic<void (*)()>& slot : gWaits) {
    void (*free)() = nullptr;
    if (slot.compare_exchange_strong(free, wait) || free == wait) return;
  }
}

void waitBeforeForkLocks() {
  for (std::atomic<void (*)()>& slot : gWaits) {
    void (*wait)() = slot.load();
    if (wait == nullptr) return;
    wait();
  }
}

}  // namespace platform
