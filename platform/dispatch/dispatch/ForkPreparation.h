// What fork() waits for before the platform's fork handlers take their locks.
//
// Those handlers (queues and pool, clock, logger, file checks, OpenSSL gates) take their locks
// before a fork and let them go after it, so that a child never finds one held by a thread it
// does not have. A wait that may be long, such as for the calls into OpenSSL in progress (a key
// pair being made) or for the SDK's logger set-up under way, must come before any of them is
// taken: else every other thread that needs one waits as long as the fork does (and a thread that
// holds what is waited for and needs one of them never lets it go). Prepare handlers run in the
// reverse order of their registration,
// and these are registered when first used, in no fixed order; so each one that takes a lock calls
// waitBeforeForkLocks() first, and whichever runs first does the wait.
#pragma once

namespace platform {

// Installs a wait (each once, up to four of either kind). Those installed as `first` run before
// the others (a wait whose lock a holder of another wait's lock never takes), each kind in the
// order installed. A wait must be cheap when called again within the same fork's preparation, and
// what it holds back must be let go by its own after-fork handlers.
void setWaitBeforeForkLocks(void (*wait)(), bool first = false);

// Runs the installed waits, if any: the first step of every prepare handler that takes a lock.
void waitBeforeForkLocks();

// A stretch in which the calling thread waits for something outside this process that may take
// long (a name service, a process started to ask one). A wait above that holds a fork back while
// one of its threads works lets the fork through for the stretch, through the handlers installed
// here (one pair, called on the thread as the stretch begins and ends): the thread holds nothing
// then that a child could need but what the child makes anew.
class SlowStretch {
 public:
  SlowStretch();
  ~SlowStretch();
  SlowStretch(const SlowStretch&) = delete;
  SlowStretch& operator=(const SlowStretch&) = delete;
};
void setSlowStretchHandlers(void (*begin)(), void (*end)());

}  // namespace platform
