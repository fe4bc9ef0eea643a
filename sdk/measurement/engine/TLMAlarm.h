// A one-shot timer whose block runs on a given queue (the engine's upload alarm runs on the worker
// queue). Scheduling replaces the pending run; cancelling drops it. A firing that was already
// handed to the queue when the alarm was cancelled, rescheduled or destroyed does not run. When a
// run fires the alarm is idle again before the block starts, so the block may schedule the next.
// Thread-safe.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "dispatch/Queue.h"

class TLMAlarm {
 public:
  // initWithDispatchQueue:name:; an empty name becomes "Timer".
  TLMAlarm(std::shared_ptr<platform::Queue> queue, const std::string& name);
  ~TLMAlarm();  // cancels
  TLMAlarm(const TLMAlarm&) = delete;
  TLMAlarm& operator=(const TLMAlarm&) = delete;

  const std::string& name() const;
  // Replaces any pending run with `block` after `delaySeconds` (0 or less: as soon as possible).
  void runAfterDelay(double delaySeconds, platform::Block block);
  void cancel();
  // A timer exists and has not been cancelled.
  bool hasActiveTimer() const;
  // When the pending run is due (seconds since 1970); empty when idle.
  std::optional<double> scheduledTimestamp() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};
