// Test doubles for time, queues and dice.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "dispatch/Clock.h"
#include "dispatch/Queue.h"
#include "dispatch/Random.h"

namespace platform {

// A clock that moves only when told. Timers are due at an uptime; `advance` moves both times
// forward and fires every timer that comes due on the way, earliest first (timers due at the
// same moment in the order they were scheduled), with the clock reading each timer's due time
// while it fires. Timers scheduled during `advance` fire in the same call when they come due
// before its end. A timer with a delay of 0 or less fires at the next `advance`, `advance(0)`
// included. Fired callbacks run on the thread that calls `advance`.
class ManualClock : public Clock {
 public:
  explicit ManualClock(double now = 1700000000.0, double uptime = 1000.0);

  double now() const override;
  double uptime() const override;
  TimerId scheduleTimer(double delay, std::function<void()> fire) override;
  bool cancelTimer(TimerId id) override;

  void advance(double seconds);
  // Sets the wall time only (a clock change); no timer fires.
  void setNow(double wallTime);
  std::size_t pendingTimerCount() const;
  // Seconds from now until the earliest pending timer is due.
  std::optional<double> nextTimerDelay() const;

 private:
  mutable std::mutex mutex_;
  double now_;
  double uptime_;
  TimerId nextId_ = 1;
  // (due uptime, id) -> callback; ids grow, so equal due times keep scheduling order.
  std::map<std::pair<double, TimerId>, std::function<void()>> timers_;
};

// The next `count` jobs posted to the shared worker pool start no thread, as when none can be
// started: each waits for a worker that exists, so that tests can see what queues and timers do
// then. 0 ends the refusals left.
void refuseNextWorkerJobs(std::size_t count);
// How long a worker of the shared pool (the standing one aside) waits idle before it ends: 10 s
// unless a test sets it.
void setWorkerIdleLifetime(std::chrono::milliseconds lifetime);
// Called as the worker pool is made, before its first worker starts (none: nothing called), on
// the thread that makes it: a test holds that thread there.
void setWorkerPoolMakingHookForTesting(void (*hook)());

// A queue whose blocks run only when the test runs them, on the test's thread. `sync` runs its
// block at once (inline), since nobody else would ever drain the queue.
class ManualQueue : public Queue {
 public:
  static std::shared_ptr<ManualQueue> create(std::string label = "manual");

  void async(Block block) override;
  void sync(const Block& block) override;
  void suspend() override;
  void resume() override;

  // Runs the oldest pending block; false when none is pending or the queue is suspended.
  bool runNext();
  // Runs blocks until none is pending, including blocks submitted meanwhile; returns how many ran.
  std::size_t drain();
  std::size_t pendingCount() const;

 private:
  explicit ManualQueue(std::string label) : Queue(std::move(label)) {}
  mutable std::mutex mutex_;
  std::deque<Block> blocks_;
  int suspendCount_ = 0;
};

// Answers from a script, starting over at its end. Integers: next64 gives a value, next32 its
// low 32 bits, uniform(n) the value modulo n, fillBytes the values' bytes, little-endian.
// uniformDouble answers from the script of doubles when one is given, else from the integers.
class ScriptedRandom : public Random {
 public:
  explicit ScriptedRandom(std::vector<std::uint64_t> integers, std::vector<double> doubles = {});

  std::uint64_t next64() override;
  std::uint32_t next32() override;
  std::uint32_t uniform(std::uint32_t upperBound) override;
  double uniformDouble() override;
  void fillBytes(void* out, std::size_t size) override;
  // How many integers and doubles have been drawn.
  std::size_t integerDraws() const;
  std::size_t doubleDraws() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::uint64_t> integers_;
  std::vector<double> doubles_;
  std::size_t integerDraws_ = 0;
  std::size_t doubleDraws_ = 0;
};

}  // namespace platform
