#include "measurement/engine/TLMAlarm.h"

#include <cstdint>
#include <mutex>
#include <vector>

#include "dispatch/Clock.h"
#include "dispatch/Timer.h"
#include "measurement/model/TLMMonitor.h"

namespace {

struct Message {
  int level;
  std::int64_t code;
  std::string text;
};

void emit(const std::vector<Message>& messages) {
  for (const Message& message : messages) {
    TLMMeasurement::monitor()->logWithLevel(message.level, message.code, message.text);
  }
}

}  // namespace

struct TLMAlarm::State {
  std::shared_ptr<platform::Queue> queue;
  std::string name;
  mutable std::mutex mutex;
  std::uint64_t generation = 0;  // the run a firing must still belong to
  std::shared_ptr<platform::Timer> timer;
  std::optional<double> scheduledTimestamp;

  bool hasActiveTimerLocked() const { return timer && !timer->isCancelled(); }

  // Drops the pending run; the messages are logged by the caller once the lock is released.
  std::vector<Message> cancelLocked() {
    if (!scheduledTimestamp) return {};
    std::vector<Message> messages{{7, 2003, name + " canceled"}};
    if (!hasActiveTimerLocked()) {
      messages.push_back({4, 2004, name + " is not active"});
    } else {
      timer->cancel();
    }
    scheduledTimestamp.reset();
    ++generation;
    return messages;
  }
};

TLMAlarm::TLMAlarm(std::shared_ptr<platform::Queue> queue, const std::string& name)
    : state_(std::make_shared<State>()) {
  state_->queue = std::move(queue);
  state_->name = name.empty() ? "Timer" : name;
}

TLMAlarm::~TLMAlarm() { cancel(); }

const std::string& TLMAlarm::name() const { return state_->name; }

void TLMAlarm::runAfterDelay(double delaySeconds, platform::Block block) {
  if (!block) {
    TLMMeasurement::monitor()->logWithLevel(1, 2000, state_->name + " tried to schedule an empty block");
    return;
  }
  std::vector<Message> messages;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    messages = state_->cancelLocked();
    state_->scheduledTimestamp = platform::Clock::current()->now() + delaySeconds;
    const std::uint64_t generation = ++state_->generation;
    std::weak_ptr<State> weakState = state_;
    state_->timer = platform::Timer::once(state_->queue, delaySeconds, [weakState, generation, block = std::move(block)] {
      const std::shared_ptr<State> state = weakState.lock();
      if (!state) return;
      std::vector<Message> firing;
      {
        std::lock_guard<std::mutex> stateLock(state->mutex);
        if (state->generation != generation) return;  // cancelled or replaced after it was posted
        firing.push_back({7, 2001, state->name + " fired"});
        std::vector<Message> cancelled = state->cancelLocked();
        firing.insert(firing.end(), cancelled.begin(), cancelled.end());
      }
      emit(firing);
      block();
    });
  }
  emit(messages);
  TLMMeasurement::monitor()->logWithLevel(7, 2002, state_->name + " scheduled to fire in approx. (s)",
                                          platform::Value(delaySeconds));
}

void TLMAlarm::cancel() {
  std::vector<Message> messages;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    messages = state_->cancelLocked();
  }
  emit(messages);
}

bool TLMAlarm::hasActiveTimer() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->hasActiveTimerLocked();
}

std::optional<double> TLMAlarm::scheduledTimestamp() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->scheduledTimestamp;
}
