#include "StartTimeSweep.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "dispatch/Random.h"
#include "foundation/Date.h"
#include "xctest/XCTVirtualClock.h"
#include "xctest/XCTestMain.h"

namespace StartTimeSweep {

namespace {

std::string secondsText(double seconds) {
  std::ostringstream text;
  text << seconds;
  return text.str();
}

// Whole seconds: every start time is then one that VESMORA_DEVICE_TIME can give back, and a test
// is run at most once per second of its length. Leading zeros are taken, however many; 0 when
// the text is no such number.
int stepFrom(const std::string& stepText) {
  if (stepText.empty() || stepText.find_first_not_of("0123456789") != std::string::npos) return 0;
  const std::string significant = stepText.substr(std::min(stepText.find_first_not_of('0'), stepText.size()));
  return !significant.empty() && significant.size() <= 4 ? std::stoi(significant) : 0;
}

const char* const kStartBeforeEpoch =
    "a start time before 1970-01-01T00:00:00 UTC: VESMORA_DEVICE_TIME must lie at least 12 hours, and at least each "
    "test's length, after it";

// The numbers of one seed, always the same (SplitMix64).
class SeededRandom final : public platform::Random {
 public:
  explicit SeededRandom(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next64() override {
    constexpr std::uint64_t kGamma = 0x9E3779B97F4A7C15ull;
    std::uint64_t z = state_.fetch_add(kGamma) + kGamma;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

 private:
  std::atomic<std::uint64_t> state_;
};

// Standard output and standard error go to a temporary file while it lives; `finish()` puts them
// back and returns the first failure line the runner wrote (": error: ").
class HiddenOutput {
 public:
  HiddenOutput() {
    flush();
    file_ = std::tmpfile();
    savedOut_ = ::dup(STDOUT_FILENO);
    savedErr_ = ::dup(STDERR_FILENO);
    if (file_ == nullptr || savedOut_ < 0 || savedErr_ < 0 || ::dup2(::fileno(file_), STDOUT_FILENO) < 0 ||
        ::dup2(::fileno(file_), STDERR_FILENO) < 0) {
      release();
      throw std::runtime_error("cannot hide the tests' output in a temporary file");
    }
  }
  HiddenOutput(const HiddenOutput&) = delete;
  HiddenOutput& operator=(const HiddenOutput&) = delete;
  ~HiddenOutput() { release(); }

  std::string finish() {
    restore();
    std::string first;
    std::rewind(file_);
    char* line = nullptr;
    std::size_t capacity = 0;
    ssize_t length = 0;
    while (first.empty() && (length = ::getline(&line, &capacity, file_)) > 0) {
      std::string text(line, static_cast<std::size_t>(length));
      if (text.find(": error: ") == std::string::npos) continue;
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      first = std::move(text);
    }
    std::free(line);
    return first;
  }

 private:
  static void flush() {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(stdout);
    std::fflush(stderr);
  }

  void release() {
    restore();
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
  }

  void restore() {
    if (savedOut_ < 0 && savedErr_ < 0) return;
    flush();
    if (savedOut_ >= 0) {
      ::dup2(savedOut_, STDOUT_FILENO);
      ::close(savedOut_);
    }
    if (savedErr_ >= 0) {
      ::dup2(savedErr_, STDERR_FILENO);
      ::close(savedErr_);
    }
    savedOut_ = savedErr_ = -1;
  }

  std::FILE* file_ = nullptr;
  int savedOut_ = -1;
  int savedErr_ = -1;
};

}  // namespace

void pinStart(double start) {
  XCTVirtualClock::pinEpochSeconds(start);
  platform::Random::setCurrent(std::make_shared<SeededRandom>(std::bit_cast<std::uint64_t>(start)));
}

Summary sweep(const std::vector<std::string>& tests, double moment, double step, const RunTest& run,
              const std::function<std::string(double)>& timeText, std::ostream& report) {
  Summary summary;
  for (const std::string& test : tests) {
    const double farStart = moment - kFarFromMoment;
    Outcome far = run(test, farStart);
    ++summary.runs;
    if (!far.passed) {
      ++summary.failed;
      report << test << ": fails when started at " << timeText(farStart) << ", far from the moment: " << far.failure
             << std::endl;
      continue;
    }
    int starts = 0, failed = 0;
    std::ostringstream failures;
    // Failed start times next to each other make one line: the latest, the earliest and the
    // latest's failure.
    int runLength = 0;
    double latest = 0;
    std::string latestFailure;
    auto endRun = [&](double earliest) {
      if (runLength == 0) return;
      failures << "  failed when started at " << timeText(latest);
      if (runLength > 1) failures << " and back to " << timeText(earliest) << " (" << runLength << " start times)";
      failures << ": " << latestFailure << "\n";
      runLength = 0;
    };
    // From `step` before the moment back to the first start at least the test's length before it.
    for (int k = 1;; ++k) {
      const double start = moment - k * step;
      Outcome outcome = run(test, start);
      ++starts;
      if (outcome.passed) {
        endRun(start + step);
      } else {
        ++failed;
        if (runLength++ == 0) {
          latest = start;
          latestFailure = outcome.failure;
        }
      }
      if (k * step >= far.seconds) {
        endRun(start);
        break;
      }
    }
    summary.runs += starts;
    summary.failed += failed;
    report << test << ": " << secondsText(far.seconds) << " s, " << starts
           << (starts == 1 ? " start time, " : " start times, ") << failed << " failed" << std::endl
           << failures.str() << std::flush;
  }
  report << "Swept " << tests.size() << (tests.size() == 1 ? " test" : " tests") << " across " << timeText(moment)
         << " every " << secondsText(step) << " s: " << summary.runs << " runs, " << summary.failed << " failed"
         << std::endl;
  return summary;
}

int checkMode(const std::string& stepText) {
  const int step = stepFrom(stepText);
  if (step < 1 || step > 3600) {
    std::cerr << "--sweep takes the seconds between start times, a whole number from 1 to 3600, not \"" << stepText
              << "\"" << std::endl;
    return 2;
  }
  if (std::getenv("VESMORA_DEVICE_TIME") == nullptr) {
    std::cerr << "--sweep needs VESMORA_DEVICE_TIME: the moment every run crosses, \"2026-12-08T00:00:00\" for a "
                 "midnight"
              << std::endl;
    return 2;
  }
  return 0;
}

int checkMoment(double moment) {
  if (moment - kFarFromMoment >= 0) return 0;
  std::cerr << "--sweep: " << kStartBeforeEpoch << std::endl;
  return 2;
}

int runMode(const std::string& stepText, const std::vector<std::string>& filters) {
  if (int status = checkMode(stepText); status != 0) return status;
  const int step = stepFrom(stepText);
  const double moment = XCTVirtualClock::epochSeconds();
  // No device's clock is set before the epoch: a start time earlier than it (the first run, 12
  // hours before the moment, or a long test's start) ends the sweep.
  RunTest inProcess = [](const std::string& test, double start) {
    if (start < 0) throw std::runtime_error(kStartBeforeEpoch);
    pinStart(start);
    const double began = XCTVirtualClock::now();
    HiddenOutput hidden;
    xctest::TestRunSummary result = xctest::runTests({test});
    Outcome outcome;
    outcome.failure = hidden.finish();
    outcome.passed = result.failed == 0;
    outcome.seconds = XCTVirtualClock::now() - began;
    return outcome;
  };
  platform::DateFormatter formatter("yyyy-MM-dd'T'HH:mm:ssZZZZZ");
  auto timeText = [&formatter](double date) { return formatter.stringFromDate(date); };
  Summary summary;
  try {
    summary = sweep(xctest::selectedTests(filters), moment, step, inProcess, timeText, std::cout);
  } catch (const std::runtime_error& e) {
    std::cerr << "--sweep: " << e.what() << std::endl;
    return 2;
  }
  if (summary.failed > 0) {
    std::cout << "To run one again: VESMORA_DEVICE_TIME=<its start, without the offset> vesmora-uitests <test>, with "
                 "the same time zone and loading time"
              << std::endl;
  }
  return summary.failed > 0 ? 1 : 0;
}

}  // namespace StartTimeSweep
