// A host's thread cancelled (pthread_cancel) inside a call into the platform or the SDK.
//
// Cancellation acts at the thread's next cancellation point: an open, a read, a write, a close, a
// wait on a condition variable, a waitpid, a sleep. The C library then ends the thread by
// unwinding its stack with an exception of its own, abi::__forced_unwind: every destructor on the
// way runs, so locks are let go and what a call undoes on an exception is undone. A handler that
// catches it must throw it on, or the process ends ("exception not rethrown"). A `catch (...)`
// that does not rethrow throws it on first:
//
//   try { ... } catch (...) { if (platform::handlingCancellation()) throw; ... }
//
// (A handler of its type, abi::__forced_unwind&, would bind a reference to no object, where the
// undefined-behaviour sanitizer stops.)
//
// A function that must not throw (noexcept, a destructor, a C callback) cannot pass it on, and
// the unwind ends the process there: where it reaches a cancellation point it holds cancellation
// off (CancellationHeldOff), and the cancellation acts at the caller's next one. While the thread
// unwinds, the C library acts on no cancellation point again: the destructors' closes and waits
// finish.
#pragma once

#include <cxxabi.h>
#include <pthread.h>

#include <utility>

namespace platform {

// Inside a handler: true when what it handles is the thread's cancellation, which has no C++
// type (nor has another language's unwind, which no handler of ours may end either).
inline bool handlingCancellation() noexcept { return abi::__cxa_current_exception_type() == nullptr; }

// Holds a cancellation of this thread off while it lives; one asked meanwhile acts at the next
// cancellation point after it.
class CancellationHeldOff {
 public:
  CancellationHeldOff() noexcept { ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous_); }
  ~CancellationHeldOff() {
    int ignored = 0;
    ::pthread_setcancelstate(previous_, &ignored);
  }
  CancellationHeldOff(const CancellationHeldOff&) = delete;
  CancellationHeldOff& operator=(const CancellationHeldOff&) = delete;

 private:
  int previous_ = PTHREAD_CANCEL_ENABLE;
};

// Runs `undo` when the scope it guards is left by an unwind (the thread's cancellation, an
// exception) rather than after done(): what a making marked made before it ended is marked unmade
// again, so that the next call makes it anew. `undo` must not throw.
template <typename Undo>
class UndoneOnUnwind {
 public:
  explicit UndoneOnUnwind(Undo undo) : undo_(std::move(undo)) {}
  ~UndoneOnUnwind() {
    if (!done_) undo_();
  }
  UndoneOnUnwind(const UndoneOnUnwind&) = delete;
  UndoneOnUnwind& operator=(const UndoneOnUnwind&) = delete;

  void done() { done_ = true; }

 private:
  Undo undo_;
  bool done_ = false;
};

}  // namespace platform
