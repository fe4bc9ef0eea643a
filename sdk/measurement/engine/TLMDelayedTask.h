// A one-shot block run on a queue after a delay of the platform clock, which a new request
// replaces: the engine's debounced disk writes. Thread-safe. A run that was already handed to
// the queue when the task was rescheduled, cancelled or destroyed does not run.
#pragma once

#include <memory>

#include "dispatch/Queue.h"

class TLMDelayedTask {
 public:
  explicit TLMDelayedTask(std::shared_ptr<platform::Queue> queue);
  ~TLMDelayedTask();
  TLMDelayedTask(const TLMDelayedTask&) = delete;
  TLMDelayedTask& operator=(const TLMDelayedTask&) = delete;

  // Drops any pending run and runs `block` on the queue `delaySeconds` from now.
  void schedule(double delaySeconds, platform::Block block);
  // Drops the pending run; true when there was one.
  bool cancel();
  bool isPending() const;

 private:
  struct State;
  std::shared_ptr<platform::Queue> queue_;
  std::shared_ptr<State> state_;
};
