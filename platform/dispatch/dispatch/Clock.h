// The process-wide clock: wall time, time since boot, and the timer service behind every
// dispatch timer and `Queue::after`. Tests install a ManualClock (dispatch/Testing.h) so that
// nothing waits for real time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

class Clock {
 public:
  using TimerId = std::uint64_t;

  virtual ~Clock() = default;

  // Wall-clock time in seconds since 1970.
  virtual double now() const = 0;
  // Seconds since the machine booted, from the monotonic boot clock.
  virtual double uptime() const = 0;

  // Calls `fire` once, from a thread of the clock's choosing, when `delay` seconds of uptime
  // have passed (a delay of 0 or less: as soon as possible). `fire` must be quick; timers hand
  // their work to a queue from it. Ids are never 0. Never fails for want of a thread: the
  // system clock's timers then wait until a later call can start its timer thread.
  virtual TimerId scheduleTimer(double delay, std::function<void()> fire) = 0;
  // Returns true when the timer was still pending; it will then never fire.
  virtual bool cancelTimer(TimerId id) = 0;

  // The clock in force for the process.
  static std::shared_ptr<Clock> current();
  // Installs a clock (nullptr restores the system clock); returns the previous one.
  static std::shared_ptr<Clock> setCurrent(std::shared_ptr<Clock> clock);
  // The real clock.
  static std::shared_ptr<Clock> system();
};

// Installs a clock for the lifetime of the object.
class ScopedClock {
 public:
  explicit ScopedClock(std::shared_ptr<Clock> clock) : previous_(Clock::setCurrent(std::move(clock))) {}
  ~ScopedClock() { Clock::setCurrent(std::move(previous_)); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

 private:
  std::shared_ptr<Clock> previous_;
};

}  // namespace platform
