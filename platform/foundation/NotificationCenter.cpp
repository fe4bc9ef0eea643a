#include "foundation/NotificationCenter.h"

#include <algorithm>
#include <atomic>

namespace platform {

struct NotificationCenter::Entry {
  ObserverToken token;
  const void* owner;
  std::string name;
  Value sender;
  Callback callback;
  std::atomic<bool> removed{false};
};

NotificationCenter::NotificationCenter() = default;
NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter() {
  static NotificationCenter* center = new NotificationCenter();  // never destroyed: threads may outlive main()
  return *center;
}

NotificationCenter::ObserverToken NotificationCenter::addObserver(std::string name, Value sender, Callback callback) {
  return addEntry(nullptr, std::move(name), std::move(sender), std::move(callback));
}

void NotificationCenter::addObserver(const void* observer, std::string name, Value sender, Callback callback) {
  addEntry(observer, std::move(name), std::move(sender), std::move(callback));
}

NotificationCenter::ObserverToken NotificationCenter::addEntry(const void* observer, std::string name, Value sender,
                                                               Callback callback) {
  auto entry = std::make_shared<Entry>();
  entry->owner = observer;
  entry->name = std::move(name);
  entry->sender = std::move(sender);
  entry->callback = std::move(callback);
  std::lock_guard<std::mutex> lock(mutex_);
  entry->token = nextToken_++;
  entries_.push_back(entry);
  return entry->token;
}

void NotificationCenter::removeObserver(ObserverToken token) {
  std::vector<std::shared_ptr<Entry>> dropped;  // callbacks die outside the lock
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = entries_.begin(); it != entries_.end();) {
    if ((*it)->token == token) {
      (*it)->removed = true;
      dropped.push_back(*it);
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
}

void NotificationCenter::removeObserver(const void* observer) { removeObserver(observer, std::string(), Value()); }

void NotificationCenter::removeObserver(const void* observer, const std::string& name, const Value& sender) {
  if (observer == nullptr) return;
  std::vector<std::shared_ptr<Entry>> dropped;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = entries_.begin(); it != entries_.end();) {
    const Entry& e = **it;
    bool match = e.owner == observer && (name.empty() || e.name == name) && (sender.isNull() || e.sender == sender);
    if (match) {
      (*it)->removed = true;
      dropped.push_back(*it);
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
}

void NotificationCenter::post(const Notification& notification) {
  std::vector<std::shared_ptr<Entry>> matching;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : entries_) {
      if (!entry->name.empty() && entry->name != notification.name) continue;
      if (!entry->sender.isNull() && !(entry->sender == notification.object)) continue;
      matching.push_back(entry);
    }
  }
  for (const auto& entry : matching) {
    if (entry->removed) continue;
    if (entry->callback) entry->callback(notification);
  }
}

void NotificationCenter::post(std::string name, Value object, Value userInfo) {
  post(Notification{std::move(name), std::move(object), std::move(userInfo)});
}

std::size_t NotificationCenter::observerCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

}  // namespace platform
