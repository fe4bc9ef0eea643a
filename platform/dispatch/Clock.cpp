#include "dispatch/Clock.h"

#include <pthread.h>
#include <time.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "dispatch/ForkPreparation.h"
#include "dispatch/StayLoaded.h"

namespace platform {
namespace {

double readClock(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct ClockSlot {
  std::mutex mutex;
  std::shared_ptr<Clock> installed;
};

ClockSlot& clockSlot() {
  static ClockSlot* slot = new ClockSlot();  // never destroyed
  return *slot;
}

// The real clock. Timers wait on one scheduler thread, started on first use, against the
// monotonic clock. When the thread cannot be started, scheduling still succeeds: the timers
// wait, and the next timer scheduled tries again to start it. A child made by fork() has no
// scheduler thread; its next timer starts one. The timers due at the fork are the parent's (its
// scheduler fires them there): the child drops them.
class SystemClock final : public Clock {
 public:
  // Made once (Clock::system) and never destroyed, so the fork handlers may always reach it.
  SystemClock() {
    instance_ = this;
    pthread_atfork(&beforeFork, &afterForkInParent, &afterForkInChild);
  }

  double now() const override { return readClock(CLOCK_REALTIME); }
  double uptime() const override { return readClock(CLOCK_BOOTTIME); }

  TimerId scheduleTimer(double delay, std::function<void()> fire) override {
    using namespace std::chrono;
    if (!(delay > 0)) delay = 0;  // also turns NaN into "now"
    delay = std::min(delay, 1e9);  // keep far deadlines representable
    auto due = steady_clock::now() + duration_cast<steady_clock::duration>(duration<double>(delay));
    stayLoaded();  // before the scheduler thread runs this code (and not under the lock)
    TimerId id = 0;
    bool start = false;
    {
      std::lock_guard lock(mutex_);
      id = nextId_++;
      timers_.emplace(std::make_pair(due, id), std::move(fire));
      index_.emplace(id, due);
      start = !running_;
      running_ = true;
      changed_.notify_all();
    }
    // Started outside the lock, which a fork's prepare handler takes: making a thread may wait
    // for the dynamic loader's lock, for as long as another thread's dlopen holds it.
    if (start) startScheduler();
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

  // Called by the caller that set running_: no other starts one meanwhile.
  void startScheduler() {
    try {
      std::thread([this] { run(); }).detach();
    } catch (...) {
      // No thread now: the timers wait for the next one scheduled to start it.
      std::lock_guard lock(mutex_);
      running_ = false;
    }
  }

  void run() {
    std::unique_lock lock(mutex_);
    std::uint64_t forks = forks_;
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
      if (forks != forks_) {
        // What this thread fired forked, and this is the child: it stays the scheduler unless
        // the child has started its own meanwhile.
        forks = forks_;
        if (running_) return;
        running_ = true;
      }
    }
  }

  static void beforeFork() {
    waitBeforeForkLocks();
    clockSlot().mutex.lock();
    instance_->mutex_.lock();
  }
  static void afterForkInParent() {
    instance_->mutex_.unlock();
    clockSlot().mutex.unlock();
  }
  static void afterForkInChild() {
    SystemClock* clock = instance_;
    clock->running_ = false;
    ++clock->forks_;
    // The lock is this thread's, taken before the fork: let go, as in the parent. The condition
    // is made anew, as the parent's scheduler thread, which is not here, may have left its mark
    // in it. The parent's timers are left where they are, neither fired nor destroyed here.
    clock->mutex_.unlock();
    new (&clock->changed_) std::condition_variable();
    new (&clock->timers_) decltype(clock->timers_)();
    new (&clock->index_) decltype(clock->index_)();
    clockSlot().mutex.unlock();
  }

  static inline SystemClock* instance_ = nullptr;

  std::mutex mutex_;
  std::condition_variable changed_;
  bool running_ = false;
  std::uint64_t forks_ = 0;  // forks this process came from, counted in each child
  TimerId nextId_ = 1;
  std::map<std::pair<TimePoint, TimerId>, std::function<void()>> timers_;
  std::map<TimerId, TimePoint> index_;
};

}  // namespace

std::shared_ptr<Clock> Clock::system() {
  static auto* clock = new std::shared_ptr<Clock>(std::make_shared<SystemClock>());  // never destroyed
  return *clock;
}

namespace {
// Made as the program loads, before any thread of the SDK's: a fork never finds the slot or the
// system clock (whose fork handlers take the slot's lock) half made.
[[maybe_unused]] const bool gClockMadeAtLoad = (clockSlot(), Clock::system(), true);
}  // namespace

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
