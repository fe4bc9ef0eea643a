// The test run's virtual clock.
//
// Every simulated app answers actions synchronously, so nothing ever needs real time to pass:
// waits, `sleep` and `press(forDuration:)` advance this clock instead of sleeping. A wait whose
// condition cannot become true jumps straight to its timeout, so a 120-second wait costs
// microseconds of wall time.
//
// Things that happen "later" in a simulated app (a loading indicator that goes away after two
// seconds, say) are modelled by a time-driven client: the clock asks each client for its next
// deadline and stops there on its way forward, so the client sees every instant it cares about,
// in order, and a wait notices the change at the virtual moment it happens.
//
// The clock only moves forward, and only from the test runner's thread.
#pragma once

#include <functional>
#include <optional>

namespace xctest {

// Something that changes with time: it names its next deadline and is told when time moved.
class TimeDriven {
 public:
  virtual ~TimeDriven() = default;
  // The next virtual instant (seconds, as `XCTVirtualClock::now()`) at which this client wants
  // to act, or none. Deadlines at or before the current time are ignored.
  virtual std::optional<double> nextDeadline() const = 0;
  // Called after each step of the clock with the new current time.
  virtual void timeAdvanced(double now) = 0;
};

}  // namespace xctest

class XCTVirtualClock {
 public:
  // Seconds of virtual time since the start of the process (starts at 0).
  static double now();
  // Seconds since 1970 of the virtual present: the real time at process start plus `now()`.
  // Simulated apps use it as their wall clock.
  static double epochSeconds();
  // Pins the wall clock for the run: from now on `epochSeconds()` is `seconds` plus the virtual
  // time that passes after this call. Runners call it before any test runs.
  static void pinEpochSeconds(double seconds);

  // Moves the clock forward by `seconds` (negative or zero: no effect), stopping at every client
  // deadline on the way.
  static void advance(double seconds);
  // Moves the clock forward to `time`; no effect when `time` is not in the future.
  static void advanceTo(double time);

  // Evaluates `condition` now and after every step of the clock until it holds (true) or
  // `timeout` seconds of virtual time have passed (false). The condition is evaluated once more
  // at the timeout itself.
  static bool waitUntil(const std::function<bool()>& condition, double timeout);

  // Registration of time-driven clients (not owned; remove before destruction).
  static void addClient(xctest::TimeDriven* client);
  static void removeClient(xctest::TimeDriven* client);
};
