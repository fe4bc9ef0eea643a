// Notifications posted by name, delivered synchronously on the posting thread.
//
// An observer names the notifications it wants (an empty name: all of them) and optionally a
// sender (a null Value: any sender; otherwise the notification's object must equal it, objects
// comparing by identity). Observers run in the order they were added. Posting takes a snapshot of
// the matching observers and calls them without holding any lock, so an observer may post, add or
// remove observers: an observer added during a post is not called for that post, one removed
// during a post is not called afterwards (unless its call had already begun on another thread).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/Value.h"

namespace platform {

struct Notification {
  std::string name;
  Value object;    // the sender, often Value::unownedObject(this), or null
  Value userInfo;  // a dictionary, or null
};

class NotificationCenter {
 public:
  using Callback = std::function<void(const Notification&)>;
  using ObserverToken = std::uint64_t;

  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  static NotificationCenter& defaultCenter();

  // A block observer; the token removes it. Tokens are never 0.
  ObserverToken addObserver(std::string name, Value sender, Callback callback);
  // An observer owned by `observer` (any address naming the observing object); removable by
  // that address.
  void addObserver(const void* observer, std::string name, Value sender, Callback callback);

  void removeObserver(ObserverToken token);
  // Every registration of `observer`.
  void removeObserver(const void* observer);
  // The registrations of `observer` for `name` (empty: any name) and `sender` (null: any sender).
  void removeObserver(const void* observer, const std::string& name, const Value& sender = Value());

  void post(const Notification& notification);
  void post(std::string name, Value object = Value(), Value userInfo = Value());

  std::size_t observerCount() const;

 private:
  struct Entry;
  ObserverToken addEntry(const void* owner, std::string name, Value sender, Callback callback);
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Entry>> entries_;
  ObserverToken nextToken_ = 1;
};

}  // namespace platform
