// A process-wide value that is never destroyed.
//
// A host ends by returning from main, which runs the destructors of static objects while worker
// threads may still be running queued blocks that use them. Objects such blocks can reach live
// for the whole process instead: a function-local one as `static T& x = *new T(...);`, one at
// namespace scope as an Immortal, which is constant-initialised whenever T's constructor allows
// it, so code that runs during static initialisation of other files finds it ready.
//
// Leak checkers see the value (and what it owns) through static storage: it is not reported.
#pragma once

#include <utility>

namespace platform {

template <class T>
class Immortal {
 public:
  template <class... Args>
  constexpr explicit Immortal(Args&&... args) : value_(std::forward<Args>(args)...) {}
  // Deliberately leaves the value alone.
  ~Immortal() {}
  Immortal(const Immortal&) = delete;
  Immortal& operator=(const Immortal&) = delete;

  constexpr T& operator*() { return value_; }
  constexpr const T& operator*() const { return value_; }
  constexpr T* operator->() { return &value_; }
  constexpr const T* operator->() const { return &value_; }

 private:
  union {
    T value_;
  };
};

}  // namespace platform
