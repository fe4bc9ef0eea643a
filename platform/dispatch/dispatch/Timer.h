// One-shot timers: a handler that runs once on a queue after a delay of the current clock,
// unless cancelled first. Dropping the last handle does not cancel a timer. When the queue cannot
// take the handler (its `async` throws), the timer tries again a second later. The platform's
// queues always take it: with no worker thread to be had, it waits for one.
#pragma once

#include <memory>
#include <mutex>

#include "dispatch/Clock.h"
#include "dispatch/Queue.h"

namespace platform {

class Timer : public std::enable_shared_from_this<Timer> {
 public:
  // Schedules `handler` on `queue` after `delaySeconds` (0 or less: as soon as possible).
  static std::shared_ptr<Timer> once(std::shared_ptr<Queue> queue, double delaySeconds, Block handler);

  // Stops the timer; the handler does not run unless it has already started. Idempotent.
  void cancel();
  // Scheduled, neither cancelled nor started.
  bool isActive() const;
  bool isCancelled() const;
  // The handler has started.
  bool hasFired() const;

  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

 private:
  enum class State { Pending, Dispatched, Fired, Cancelled };
  Timer(std::shared_ptr<Queue> queue, Block handler);
  // How long a timer whose queue could not take the handler waits before it tries again.
  static constexpr double kRetryDelaySeconds = 1.0;

  void clockFired();
  void retryLater(const std::shared_ptr<Clock>& clock) noexcept;
  void runOnQueue();

  mutable std::mutex mutex_;
  State state_ = State::Pending;
  std::shared_ptr<Queue> queue_;
  Block handler_;
  std::weak_ptr<Clock> clock_;  // weak: a test's clock may go away with timers pending
  Clock::TimerId clockTimer_ = 0;
};

}  // namespace platform
