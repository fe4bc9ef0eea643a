// A name service of a test program's own, a slow one: getpwuid_r, which this header defines for
// the whole program (include it in one source file of a program only), takes the service's lock
// and holds it, and the caller, until the test lets the service go, and then knows no user. So a
// thread of the test can be held inside a user lookup (the logger's set-up reads the data root,
// which asks it when neither HOME nor XDG_DATA_HOME is set) while another forks.
#pragma once

#include <pwd.h>
#include <sys/types.h>

#include <condition_variable>
#include <mutex>

#include "Bounds.h"

namespace testsupport {

struct NameService {
  std::mutex lookup;  // held through each question, as the C library's name service does
  std::mutex mutex;
  std::condition_variable changed;
  int questions = 0;
  bool letGo = false;
};

inline NameService& nameService() {
  static NameService* service = new NameService();  // never destroyed: asked from other threads
  return *service;
}

// Waits until the name service has been asked `count` questions; false when it was not in time.
inline bool askedAtLeast(int count) {
  NameService& names = nameService();
  std::unique_lock lock(names.mutex);
  return names.changed.wait_for(lock, kEventWait, [&] { return names.questions >= count; });
}

inline void letTheNameServiceGo() {
  NameService& names = nameService();
  std::lock_guard lock(names.mutex);
  names.letGo = true;
  names.changed.notify_all();
}

// Asks no more and holds no question: the next questions wait again.
inline void holdTheNameService() {
  NameService& names = nameService();
  std::lock_guard lock(names.mutex);
  names.questions = 0;
  names.letGo = false;
}

}  // namespace testsupport

extern "C" int getpwuid_r(uid_t, struct passwd*, char*, size_t, struct passwd** found) {
  testsupport::NameService& names = testsupport::nameService();
  {
    std::lock_guard lock(names.mutex);
    ++names.questions;
    names.changed.notify_all();
  }
  std::lock_guard lookup(names.lookup);
  std::unique_lock lock(names.mutex);
  names.changed.wait(lock, [&] { return names.letGo; });
  *found = nullptr;
  return 0;
}

