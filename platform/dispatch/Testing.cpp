#include "dispatch/Testing.h"

#include <cmath>

namespace platform {

// ManualClock

ManualClock::ManualClock(double now, double uptime) : now_(now), uptime_(uptime) {}

double ManualClock::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

double ManualClock::uptime() const {
  std::lock_guard lock(mutex_);
  return uptime_;
}

Clock::TimerId ManualClock::scheduleTimer(double delay, std::function<void()> fire) {
  if (!(delay > 0)) delay = 0;
  std::lock_guard lock(mutex_);
  TimerId id = nextId_++;
  timers_.emplace(std::make_pair(uptime_ + delay, id), std::move(fire));
  return id;
}

bool ManualClock::cancelTimer(TimerId id) {
  std::lock_guard lock(mutex_);
  for (auto it = timers_.begin(); it != timers_.end(); ++it) {
    if (it->first.second == id) {
      timers_.erase(it);
      return true;
    }
  }
  return false;
}

void ManualClock::advance(double seconds) {
  if (!(seconds > 0)) seconds = 0;
  double end;
  {
    std::lock_guard lock(mutex_);
    end = uptime_ + seconds;
  }
  for (;;) {
    std::function<void()> fire;
    {
      std::lock_guard lock(mutex_);
      auto first = timers_.begin();
      if (first == timers_.end() || first->first.first > end) {
        // A callback (or another thread) may have advanced the clock past `end` meanwhile:
        // time never goes back.
        if (end > uptime_) {
          now_ += end - uptime_;
          uptime_ = end;
        }
        return;
      }
      double due = std::max(first->first.first, uptime_);
      now_ += due - uptime_;
      uptime_ = due;
      fire = std::move(first->second);
      timers_.erase(first);
    }
    fire();
  }
}

void ManualClock::setNow(double wallTime) {
  std::lock_guard lock(mutex_);
  now_ = wallTime;
}

std::size_t ManualClock::pendingTimerCount() const {
  std::lock_guard lock(mutex_);
  return timers_.size();
}

std::optional<double> ManualClock::nextTimerDelay() const {
  std::lock_guard lock(mutex_);
  if (timers_.empty()) return std::nullopt;
  return std::max(0.0, timers_.begin()->first.first - uptime_);
}

// ManualQueue

std::shared_ptr<ManualQueue> ManualQueue::create(std::string label) {
  return std::shared_ptr<ManualQueue>(new ManualQueue(std::move(label)));
}

void ManualQueue::async(Block block) {
  if (!block) return;
  std::lock_guard lock(mutex_);
  blocks_.push_back(std::move(block));
}

void ManualQueue::sync(const Block& block) {
  if (!block) return;
  if (isCurrent()) {
    block();
    return;
  }
  runAsCurrent(block);
}

void ManualQueue::suspend() {
  std::lock_guard lock(mutex_);
  ++suspendCount_;
}

void ManualQueue::resume() {
  std::lock_guard lock(mutex_);
  if (suspendCount_ > 0) --suspendCount_;
}

bool ManualQueue::runNext() {
  Block block;
  {
    std::lock_guard lock(mutex_);
    if (suspendCount_ > 0 || blocks_.empty()) return false;
    block = std::move(blocks_.front());
    blocks_.pop_front();
  }
  runAsCurrent(block);
  return true;
}

std::size_t ManualQueue::drain() {
  const auto keepAlive = shared_from_this();  // a block may drop the caller's last owner
  std::size_t count = 0;
  while (runNext()) ++count;
  return count;
}

std::size_t ManualQueue::pendingCount() const {
  std::lock_guard lock(mutex_);
  return blocks_.size();
}

// ScriptedRandom

ScriptedRandom::ScriptedRandom(std::vector<std::uint64_t> integers, std::vector<double> doubles)
    : integers_(std::move(integers)), doubles_(std::move(doubles)) {
  if (integers_.empty()) integers_.push_back(0);
}

std::uint64_t ScriptedRandom::next64() {
  std::lock_guard lock(mutex_);
  return integers_[integerDraws_++ % integers_.size()];
}

std::uint32_t ScriptedRandom::next32() { return static_cast<std::uint32_t>(next64()); }

std::uint32_t ScriptedRandom::uniform(std::uint32_t upperBound) {
  std::uint64_t value = next64();
  return upperBound < 2 ? 0 : static_cast<std::uint32_t>(value % upperBound);
}

double ScriptedRandom::uniformDouble() {
  {
    std::lock_guard lock(mutex_);
    if (!doubles_.empty()) return doubles_[doubleDraws_++ % doubles_.size()];
  }
  return Random::uniformDouble();
}

void ScriptedRandom::fillBytes(void* out, std::size_t size) { Random::fillBytes(out, size); }

std::size_t ScriptedRandom::integerDraws() const {
  std::lock_guard lock(mutex_);
  return integerDraws_;
}

std::size_t ScriptedRandom::doubleDraws() const {
  std::lock_guard lock(mutex_);
  return doubleDraws_;
}

}  // namespace platform
