// Notifications waiting to be posted to a center the next time a dispatch queue runs.
//
// `enqueue` returns at once; one block on the dispatch queue then posts everything waiting, in
// the order it was enqueued, on that queue's thread. Waiting notifications coalesce by name and
// object (objects compared as the center compares senders): enqueuing one while another with the
// same name and object waits drops the waiting one and puts the new one at the end of the line,
// so observers get one post, carrying the latest user info, after everything enqueued before it.
// A notification enqueued while the waiting ones are being posted waits for the next run.
//
// Every dispatch queue has a default notification queue; `defaultQueue` answers the one of the
// queue the calling thread is running (the innermost), or of the main queue on a thread that runs
// none, posting to the default center. It holds its dispatch queue weakly: when the dispatch queue
// is gone, notifications still waiting go with it, and one enqueued afterwards is posted at once
// on the calling thread. An exception thrown by an observer reaches the dispatch queue; the
// notifications behind it keep waiting for the next run.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "dispatch/Queue.h"
#include "foundation/NotificationCenter.h"

namespace platform {

class NotificationQueue : public std::enable_shared_from_this<NotificationQueue> {
 public:
  static std::shared_ptr<NotificationQueue> create(std::shared_ptr<Queue> queue,
                                                   NotificationCenter& center = NotificationCenter::defaultCenter());
  static std::shared_ptr<NotificationQueue> defaultQueue();

  NotificationQueue(const NotificationQueue&) = delete;
  NotificationQueue& operator=(const NotificationQueue&) = delete;

  void enqueue(Notification notification);
  void enqueue(std::string name, Value object = Value(), Value userInfo = Value());

  std::size_t waitingCount() const;

 private:
  NotificationQueue(std::shared_ptr<Queue> queue, NotificationCenter& center);
  void postWaiting();
  void putBack(std::deque<Notification> rest);

  std::weak_ptr<Queue> queue_;
  NotificationCenter& center_;
  mutable std::mutex mutex_;
  std::deque<Notification> waiting_;
  bool scheduled_ = false;
};

}  // namespace platform
