#include "measurement/engine/TLMDelayedTask.h"

#include <cstdint>
#include <mutex>

#include "dispatch/Timer.h"

struct TLMDelayedTask::State {
  std::mutex mutex;
  std::uint64_t generation = 0;  // the request a firing must still belong to
  std::shared_ptr<platform::Timer> timer;
};

TLMDelayedTask::TLMDelayedTask(std::shared_ptr<platform::Queue> queue)
    : queue_(std::move(queue)), state_(std::make_shared<State>()) {}

TLMDelayedTask::~TLMDelayedTask() { cancel(); }

void TLMDelayedTask::schedule(double delaySeconds, platform::Block block) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->timer) state_->timer->cancel();
  const std::uint64_t generation = ++state_->generation;
  std::weak_ptr<State> weakState = state_;
  state_->timer = platform::Timer::once(queue_, delaySeconds, [weakState, generation, block = std::move(block)] {
    const std::shared_ptr<State> state = weakState.lock();
    if (!state) return;
    {
      std::lock_guard<std::mutex> stateLock(state->mutex);
      if (state->generation != generation) return;
      state->timer.reset();
    }
    block();
  });
}

bool TLMDelayedTask::cancel() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  ++state_->generation;
  if (!state_->timer) return false;
  state_->timer->cancel();
  state_->timer.reset();
  return true;
}

bool TLMDelayedTask::isPending() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->timer != nullptr;
}
