#include "dispatch/Timer.h"

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
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::Pending) return;
    state_ = State::Dispatched;
    clockTimer_ = 0;
    clock_.reset();
  }
  queue_->async([self = shared_from_this()] { self->runOnQueue(); });
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
