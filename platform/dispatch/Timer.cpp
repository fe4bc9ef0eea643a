#include "dispatch/Timer.h"

#include <cstdio>

namespace platform {

Timer::Timer(std::shared_ptr<Queue> queue, Block handler)
    : queue_(std::move(queue)), handler_(std::move(handler)) {}

std::shared_ptr<Timer> Timer::once(std::shared_ptr<Queue> queue, double delaySeconds, Block handler) {
  std::shared_ptr<Timer> timer(new Timer(std::move(queue), std::move(handler)));
  std::shared_ptr<Clock> clock = Clock::current();
  // Hold the lock while scheduling so that a clock firing at once finds the id recorded.
  std::lock_guard lock(timer->mutex_);
  timer->clock_ = clock;
  timer->clockTimer_ = clock->scheduleTimer(delaySeconds, [timer] { timer->clockFired(); });
  return timer;
}

void Timer::clockFired() {
  std::shared_ptr<Clock> clock;
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::Pending) return;
    state_ = State::Dispatched;
    clockTimer_ = 0;
    clock = clock_.lock();
    clock_.reset();
  }
  try {
    queue_->async([self = shared_from_this()] { self->runOnQueue(); });
  } catch (...) {
    // The queue cannot take the handler now (its `async` threw): try again a little later rather
    // than lose it or throw into the clock.
    retryLater(clock);
  }
}

void Timer::retryLater(const std::shared_ptr<Clock>& clock) noexcept {
  std::lock_guard lock(mutex_);
  if (state_ != State::Dispatched) return;  // cancelled meanwhile
  if (clock) {
    try {
      clockTimer_ = clock->scheduleTimer(kRetryDelaySeconds, [self = shared_from_this()] { self->clockFired(); });
      clock_ = clock;
      state_ = State::Pending;
      return;
    } catch (...) {
    }
  }
  state_ = State::Cancelled;
  handler_ = nullptr;
  std::fprintf(stderr, "A timer on queue \"%s\" was dropped: its handler could not be scheduled\n",
               queue_->label().c_str());
}

void Timer::runOnQueue() {
  Block handler;
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::Dispatched) return;
    state_ = State::Fired;
    handler = std::move(handler_);
    handler_ = nullptr;
  }
  if (handler) handler();
}

void Timer::cancel() {
  std::shared_ptr<Clock> clock;
  Clock::TimerId id = 0;
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::Fired || state_ == State::Cancelled) return;
    state_ = State::Cancelled;
    handler_ = nullptr;
    clock = clock_.lock();
    clock_.reset();
    id = clockTimer_;
    clockTimer_ = 0;
  }
  // Outside the lock: a clock may be firing this timer on another thread right now.
  if (clock && id != 0) clock->cancelTimer(id);
}

bool Timer::isActive() const {
  std::lock_guard lock(mutex_);
  return state_ == State::Pending || state_ == State::Dispatched;
}

bool Timer::isCancelled() const {
  std::lock_guard lock(mutex_);
  return state_ == State::Cancelled;
}

bool Timer::hasFired() const {
  std::lock_guard lock(mutex_);
  return state_ == State::Fired;
}

}  // namespace platform
