#include "dispatch/ForkPreparation.h"

#include <atomic>

namespace platform {

namespace {

// The waits that come first, then the others, each in the order installed; an empty slot ends
// them.
constexpr int kWaits = 4;
std::atomic<void (*)()> gFirstWaits[kWaits];
std::atomic<void (*)()> gWaits[kWaits];
std::atomic<void (*)()> gSlowStretchBegins{nullptr};
std::atomic<void (*)()> gSlowStretchEnds{nullptr};

void install(std::atomic<void (*)()> (&slots)[kWaits], void (*wait)()) {
  for (std::atomic<void (*)()>& slot : slots) {
    void (*free)() = nullptr;
    if (slot.compare_exchange_strong(free, wait) || free == wait) return;
  }
}

void run(std::atomic<void (*)()> (&slots)[kWaits]) {
  for (std::atomic<void (*)()>& slot : slots) {
    void (*wait)() = slot.load();
    if (wait == nullptr) return;
    wait();
  }
}

}  // namespace

void setWaitBeforeForkLocks(void (*wait)(), bool first) { install(first ? gFirstWaits : gWaits, wait); }

void waitBeforeForkLocks() {
  run(gFirstWaits);
  run(gWaits);
}

SlowStretch::SlowStretch() {
  if (void (*begin)() = gSlowStretchBegins.load(); begin != nullptr) begin();
}

SlowStretch::~SlowStretch() {
  if (void (*end)() = gSlowStretchEnds.load(); end != nullptr) end();
}

void setSlowStretchHandlers(void (*begin)(), void (*end)()) {
  gSlowStretchEnds.store(end);
  gSlowStretchBegins.store(begin);
}

}  // namespace platform
