#include "foundation/NotificationQueue.h"

#include <algorithm>
#include <unordered_map>

namespace platform {
namespace {

bool coalesces(const Notification& a, const Notification& b) { return a.name == b.name && a.object == b.object; }

// The default notification queue of each dispatch queue, held weakly: one lives while it has
// notifications waiting (its pending block holds it) or while a caller holds it.
struct DefaultQueues {
  std::mutex mutex;
  std::unordered_map<const Queue*, std::weak_ptr<NotificationQueue>> byQueue;
};

DefaultQueues& defaultQueues() {
  static DefaultQueues* queues = new DefaultQueues();  // never destroyed: threads may outlive main()
  return *queues;
}

}  // namespace

NotificationQueue::NotificationQueue(std::shared_ptr<Queue> queue, NotificationCenter& center)
    : queue_(std::move(queue)), center_(center) {}

std::shared_ptr<NotificationQueue> NotificationQueue::create(std::shared_ptr<Queue> queue, NotificationCenter& center) {
  return std::shared_ptr<NotificationQueue>(new NotificationQueue(std::move(queue), center));
}

std::shared_ptr<NotificationQueue> NotificationQueue::defaultQueue() {
  std::shared_ptr<Queue> queue = Queue::current();
  if (!queue) queue = Queue::main();
  DefaultQueues& registry = defaultQueues();
  std::lock_guard lock(registry.mutex);
  std::shared_ptr<NotificationQueue> found = registry.byQueue[queue.get()].lock();
  // A queue that died may have left its address to a new one.
  if (found && found->queue_.lock() == queue) return found;
  for (auto it = registry.byQueue.begin(); it != registry.byQueue.end();) {
    it = it->second.expired() && it->first != queue.get() ? registry.byQueue.erase(it) : std::next(it);
  }
  found = create(queue);
  registry.byQueue[queue.get()] = found;
  return found;
}

void NotificationQueue::enqueue(Notification notification) {
  std::shared_ptr<Queue> queue = queue_.lock();
  if (!queue) {
    center_.post(notification);
    return;
  }
  bool schedule = false;
  {
    std::lock_guard lock(mutex_);
    std::erase_if(waiting_, [&](const Notification& waiting) { return coalesces(waiting, notification); });
    waiting_.push_back(std::move(notification));
    schedule = !scheduled_;
    scheduled_ = true;
  }
  if (schedule) queue->async([self = shared_from_this()] { self->postWaiting(); });
}

void NotificationQueue::enqueue(std::string name, Value object, Value userInfo) {
  enqueue(Notification{std::move(name), std::move(object), std::move(userInfo)});
}

std::size_t NotificationQueue::waitingCount() const {
  std::lock_guard lock(mutex_);
  return waiting_.size();
}

void NotificationQueue::postWaiting() {
  std::deque<Notification> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(waiting_);
    scheduled_ = false;
  }
  while (!batch.empty()) {
    const Notification next = std::move(batch.front());
    batch.pop_front();
    try {
      center_.post(next);
    } catch (...) {
      putBack(std::move(batch));
      throw;
    }
  }
}

void NotificationQueue::putBack(std::deque<Notification> rest) {
  std::shared_ptr<Queue> queue = queue_.lock();
  bool schedule = false;
  {
    std::lock_guard lock(mutex_);
    // In front of what was enqueued meanwhile, unless a newer one took its place.
    for (auto it = rest.rbegin(); it != rest.rend(); ++it) {
      const Notification& notification = *it;
      if (std::none_of(waiting_.begin(), waiting_.end(),
                       [&](const Notification& waiting) { return coalesces(waiting, notification); })) {
        waiting_.push_front(std::move(*it));
      }
    }
    schedule = queue && !waiting_.empty() && !scheduled_;
    if (schedule) scheduled_ = true;
  }
  if (schedule) queue->async([self = shared_from_this()] { self->postWaiting(); });
}

}  // namespace platform
