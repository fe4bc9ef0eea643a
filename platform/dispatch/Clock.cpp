#include "dispatch/Clock.h"

#include <time.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace platform {
namespace {

double readClock(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The real clock. Timers wait on one scheduler thread, started on first use, against the
// monotonic clock.
class SystemClock final : public Clock {
 public:
  double now() const override { return readClock(CLOCK_REALTIME); }
  double uptime() const override { return readClock(CLOCK_BOOTTIME); }

  TimerId scheduleTimer(double delay, std::function<void()> fire) override {
    using namespace std::chrono;
    if (!(delay > 0)) delay = 0;  // also turns NaN into "now"
    delay = std::min(delay, 1e9);  // keep far deadlines representable
    auto due = steady_clock::now() + duration_cast<steady_clock::duration>(duration<double>(delay));
    std::lock_guard lock(mutex_);
    TimerId id = nextId_++;
    timers_.emplace(std::make_pair(due, id), std::move(fire));
    index_.emplace(id, due);
    if (!started_) {
      started_ = true;
      std::thread([this] { run(); }).detach();
    }
    changed_.notify_all();
    return id;
  }

  bool cancelTimer(TimerId id) override {
    std::lock_guard lock(mutex_);
    auto it = index_.find(id);
    if (it == index_.end()) return false;
    timers_.erase(std::make_pair(it->second, id));
    index_.erase(it);
    return true;
  }

 private:
  using TimePoint = std::chrono::steady_clock::time_point;

  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (timers_.empty()) {
        changed_.wait(lock);
        continue;
      }
      auto first = timers_.begin();
      if (first->first.first > std::chrono::steady_clock::now()) {
        // A copy: the timer may be cancelled (its node freed) while this thread waits.
        const TimePoint due = first->first.first;
        changed_.wait_until(lock, due);
        continue;
      }
      std::function<void()> fire = std::move(first->second);
      index_.erase(first->first.second);
      timers_.erase(first);
      lock.unlock();
      fire();
      fire = nullptr;
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool started_ = false;
  TimerId nextId_ = 1;
  std::map<std::pair<TimePoint, TimerId>, std::function<void()>> timers_;
  std::map<TimerId, TimePoint> index_;
};

struct ClockSlot {
  std::mutex mutex;
  std::shared_ptr<Clock> installed;
};

ClockSlot& clockSlot() {
  static ClockSlot* slot = new ClockSlot();  // never destroyed
  return *slot;
}

}  // namespace

std::shared_ptr<Clock> Clock::system() {
  static auto* clock = new std::shared_ptr<Clock>(std::make_shared<SystemClock>());  // never destroyed
  return *clock;
}

std::shared_ptr<Clock> Clock::current() {
  ClockSlot& slot = clockSlot();
  std::lock_guard lock(slot.mutex);
  return slot.installed ? slot.installed : system();
}

std::shared_ptr<Clock> Clock::setCurrent(std::shared_ptr<Clock> clock) {
  ClockSlot& slot = clockSlot();
  std::lock_guard lock(slot.mutex);
  std::shared_ptr<Clock> previous = slot.installed;
  slot.installed = std::move(clock);
  return previous;
}

}  // namespace platform
