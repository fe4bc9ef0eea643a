// The platform's uses of OpenSSL (key generation, and libcurl's transfers, TLS included) and the
// end of the process.
//
// OpenSSL frees its process-wide state (locks, random generators, algorithm tables) from an exit
// handler when whoever set it up first asked for one, which is OpenSSL's default. A host may well
// have done so before any code of ours ran: a host that uses OpenSSL or libcurl itself, or links a
// library that sets OpenSSL up when it loads (cpp-httplib does). Worker threads may still be at
// work while the host returns from main, so every use goes through a gate that our own exit
// handler closes before OpenSSL's handler runs: closing wakes the uses in progress so that long
// ones (transfers) stop early, waits until they have ended, and from then on every new use is
// refused (it fails at once, it never waits, so a thread that runs exit handlers or static
// destructors cannot deadlock on it). When the platform sets OpenSSL up first (when the program
// loads), OpenSSL is told to keep its state instead, and the gate closes all the same.
//
// A child made by fork() has only the thread that forked: the uses other threads had in progress
// do not exist there. In the child every gate forgets them, so closing it (at the child's exit)
// neither waits for them nor wakes them (their transfers, and the channels that wake them, are
// the parent's), and the parent's uses go on undisturbed.
//
// OpenSSL takes locks of its own inside its calls (random generators, algorithm tables), and a
// child that inherits one held by a thread it does not have waits for it for ever: in its own
// use of OpenSSL, or at its exit in the cleanup of a host that set OpenSSL up first. So every
// call into OpenSSL, direct or through libcurl, happens inside an OpenSSLCalls stretch, and a
// fork waits until the stretches in progress have ended (none begins meanwhile). Stretches are
// short: a transfer waits for the network outside them; making a key pair is the long one. The
// fork waits before the platform's other fork handlers take their locks
// (dispatch/ForkPreparation.h): the other threads go on working meanwhile.
//
// Digests and random bytes (security/CommonDigest.h, SecRandomCopyBytes) do not need OpenSSL at
// all and work until the process is gone.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

namespace platform::security {

class OpenSSLUse;

class OpenSSLGate {
 public:
  OpenSSLGate();
  ~OpenSSLGate();
  OpenSSLGate(const OpenSSLGate&) = delete;
  OpenSSLGate& operator=(const OpenSSLGate&) = delete;

  // The gate of the process: closed by an exit handler that runs before OpenSSL's own, whoever
  // set OpenSSL up first. Never destroyed.
  static OpenSSLGate& process();

  // Refuses every new use, wakes the uses in progress and returns once they have ended (the
  // calling thread's own uses of this gate aside: a use that ends the process does not wait for
  // itself). Closing twice is harmless.
  void close();
  bool isClosed() const;

 private:
  friend class OpenSSLUse;
  friend struct GateForkHandlers;

  // In the child of a fork, with the lock taken before the fork: only the forking thread's uses
  // remain, and none of them is woken.
  void forgetOtherThreadsUses();

  mutable std::mutex mutex_;
  std::condition_variable ended_;
  bool closed_ = false;
  std::set<OpenSSLUse*> inProgress_;
};

// One use of OpenSSL: while an allowed use lives, OpenSSL's state stays. Everything the use does
// with OpenSSL (the cleanup of what it made included) happens before it ends; it is not handed
// between threads.
class OpenSSLUse {
 public:
  explicit OpenSSLUse(OpenSSLGate& gate = OpenSSLGate::process());
  ~OpenSSLUse();
  OpenSSLUse(const OpenSSLUse&) = delete;
  OpenSSLUse& operator=(const OpenSSLUse&) = delete;

  // False when the gate was closed already: the caller must not touch OpenSSL and fails.
  bool allowed() const { return allowed_; }
  // Whether the gate has begun to close: a long use ends as soon as it can.
  bool stopRequested() const;
  // `wake` is called, once, on the closing thread (under the gate's lock: it must be quick and
  // must not use the gate) when the gate begins to close while this use is in progress, so that
  // a use waiting for something else (a transfer waiting for the network) looks again. An empty
  // function clears it; once cleared it is no longer called.
  void setWaker(std::function<void()> wake);

 private:
  friend class OpenSSLGate;

  OpenSSLGate& gate_;
  std::thread::id owner_;
  bool allowed_ = false;
  std::function<void()> wake_;
};

// A stretch of calls into OpenSSL (see above). Stretches nest on a thread; one thread's stretch
// never waits for a fork to end once it has begun.
class OpenSSLCalls {
 public:
  OpenSSLCalls();
  ~OpenSSLCalls();
  OpenSSLCalls(const OpenSSLCalls&) = delete;
  OpenSSLCalls& operator=(const OpenSSLCalls&) = delete;

  // Tests: a fork has begun to wait for the stretches in progress (and is not done).
  static bool aForkWaitsForTesting();
};

}  // namespace platform::security
