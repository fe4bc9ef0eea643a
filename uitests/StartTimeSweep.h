// Runs tests at many start times around one moment of the device's clock (midnight, say), so that
// the moment falls at every point of each test's run: what a suite started at any time before
// it meets. Each test is run once far from the moment to learn how long it takes (in virtual
// time), then at the moment minus `step`, minus 2 `step` and so on until it starts before the
// moment by its whole length.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace StartTimeSweep {

// One run of one test.
struct Outcome {
  bool passed = false;
  double seconds = 0;   // the virtual time the run took
  std::string failure;  // the first failure's line, when it failed
};

// Runs `test` ("Class/method") with the device's clock starting at `start` (seconds since 1970).
using RunTest = std::function<Outcome(const std::string& test, double start)>;

struct Summary {
  int runs = 0;
  int failed = 0;
};

// How long before `moment` the run far from it starts.
inline constexpr double kFarFromMoment = 12 * 3600;

// Sweeps every test of `tests` in order. `report` gets one line a test (its length, how many
// start times, how many failed), one line per failed start time (the start as local time text
// by `timeText`, and the failure) and the closing totals. A test that fails far from the moment
// counts as one failed run and is not swept.
Summary sweep(const std::vector<std::string>& tests, double moment, double step, const RunTest& run,
              const std::function<std::string(double)>& timeText, std::ostream& report);

// Pins the start of a run: the device's clock reads `start` (seconds since 1970) from now on, and
// the tests' random draws (`platform::Random::current()`, a bill payment's days ahead, say) follow
// a sequence that `start` fixes. So a run started at the same time draws the same numbers and
// comes out the same, in a sweep or on its own with VESMORA_DEVICE_TIME.
void pinStart(double start);

// Whether "--sweep <stepText>" can run: a step it takes and VESMORA_DEVICE_TIME set. 0 when it
// can, else 2 after saying on standard error what it needs. The runner checks this before its
// set-up echoes anything.
int checkMode(const std::string& stepText);

// Whether a sweep can start from `moment` (seconds since 1970), the device's pinned clock: 0 when
// its first run, `kFarFromMoment` before it, starts at or after 1970-01-01T00:00:00 UTC, else 2
// after saying so on standard error. The runner checks this with the clock it pins, before its
// set-up echoes it.
int checkMoment(double moment);

// The runner's "--sweep <step>" mode: `stepText` seconds between start times (a whole number
// from 1 to 3600), the moment the device's pinned clock (VESMORA_DEVICE_TIME, required). Runs
// the tests in this process, their own output hidden; the exit status is 0 when every run
// passed, 1 when one failed, 2 for a step or a clock it cannot use (a start time before
// 1970-01-01T00:00:00 UTC among them).
int runMode(const std::string& stepText, const std::vector<std::string>& filters);

}  // namespace StartTimeSweep
