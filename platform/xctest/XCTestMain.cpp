#include "xctest/XCTestMain.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>

#include "xctest/XCTestCase.h"
#include "xctest/XCTestObservation.h"

#include "foundation/Date.h"
#include "foundation/Exception.h"

namespace xctest {
void setCurrentTestCase(XCTestCase* test);
}

namespace {

enum class Outcome { passed, failed, skipped };

struct CaseResult {
  std::string className;
  std::string methodName;
  Outcome outcome = Outcome::passed;
  double seconds = 0;
  std::vector<xctest::XCTFailureRecord> failures;
  std::vector<bool> unexpected;  // per failure: an exception thrown out of the test
  std::string skipMessage;
  std::string output;  // what the test wrote on standard output (only with a JUnit report)
};

std::string secondsText(double s) {
  std::ostringstream os;
  os << std::fixed << std::setprecision(3) << s;
  return os.str();
}

// "2026-12-07 14:13:01.123": the real time in the system's zone (the device's may be pinned
// elsewhere), so that the log lines up with the machine's other logs.
std::string nowText() {
  double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  platform::DateFormatter formatter("yyyy-MM-dd HH:mm:ss.SSS");
  formatter.setTimeZone(platform::TimeZone::system());
  return formatter.stringFromDate(now);
}

std::string plural(std::size_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// Copies what the process writes on its standard output (file descriptor 1) while a test runs,
// and passes it on to where it went before.
class OutputCapture {
 public:
  static constexpr std::size_t kLimit = 1 << 20;

  // False when no pipe could be made: the test runs uncaptured.
  bool start() {
    std::cout.flush();
    std::fflush(stdout);
    int data[2];
    if (::pipe(data) != 0) return false;
    if (::pipe(stop_) != 0) {
      ::close(data[0]);
      ::close(data[1]);
      return false;
    }
    saved_ = ::dup(STDOUT_FILENO);
    if (saved_ < 0 || ::dup2(data[1], STDOUT_FILENO) < 0) {
      for (int fd : {data[0], data[1], stop_[0], stop_[1], saved_})
        if (fd >= 0) ::close(fd);
      saved_ = -1;
      return false;
    }
    ::close(data[1]);
    readEnd_ = data[0];
    text_.clear();
    cut_ = false;
    reader_ = std::thread([this] { forward(); });
    return true;
  }

  // Puts standard output back and returns what was written meanwhile.
  std::string stop() {
    std::cout.flush();
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    // Everything written before the line above is in the pipe: the reader drains it and ends.
    char byte = 0;
    while (::write(stop_[1], &byte, 1) < 0 && errno == EINTR) {
    }
    reader_.join();
    for (int fd : {readEnd_, stop_[0], stop_[1], saved_}) ::close(fd);
    saved_ = readEnd_ = -1;
    if (cut_) text_ += "\n(output beyond " + std::to_string(kLimit) + " bytes left out)\n";
    return std::move(text_);
  }

 private:
  void forward() {
    bool open = true;  // false once the pipe's write end is gone (the test closed its output)
    for (;;) {
      pollfd fds[2] = {{stop_[0], POLLIN, 0}, {open ? readEnd_ : -1, POLLIN, 0}};
      int ready = ::poll(fds, 2, -1);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0 || fds[0].revents != 0) break;
      if (fds[1].revents != 0) open = readOnce() > 0;
    }
    // Standard output is already back: what is left in the pipe is all there is.
    ::fcntl(readEnd_, F_SETFL, ::fcntl(readEnd_, F_GETFL) | O_NONBLOCK);
    while (readOnce() > 0) {
    }
  }

  // Reads and passes on one chunk; its size, 0 at the end of the pipe, -1 when nothing was there.
  ssize_t readOnce() {
    char buffer[4096];
    ssize_t n = 0;
    do {
      n = ::read(readEnd_, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return n;
    pass(buffer, static_cast<std::size_t>(n));
    std::size_t room = text_.size() < kLimit ? kLimit - text_.size() : 0;
    if (static_cast<std::size_t>(n) > room) cut_ = true;
    text_.append(buffer, std::min(room, static_cast<std::size_t>(n)));
    return n;
  }

  void pass(const char* data, std::size_t size) {
    while (size > 0) {
      ssize_t written = ::write(saved_, data, size);
      if (written < 0) {
        if (errno == EINTR) continue;
        return;  // the original output is gone; the copy is still kept
      }
      data += written;
      size -= static_cast<std::size_t>(written);
    }
  }

  int saved_ = -1;
  int readEnd_ = -1;
  int stop_[2] = {-1, -1};
  std::thread reader_;
  std::string text_;
  bool cut_ = false;
};

// Why the last file operation failed, from errno ("No such file or directory").
std::string lastErrorText() { return errno != 0 ? std::strerror(errno) : "the write failed"; }

// Writes the report; on failure, `error` says why.
bool writeJUnit(const std::string& path, const std::vector<CaseResult>& results, std::string& error) {
  using xctest::xmlEscape;
  errno = 0;
  std::ofstream out(path);
  if (!out) {
    error = lastErrorText();
    return false;
  }
  int failures = 0, skipped = 0;
  double total = 0;
  for (auto& r : results) {
    failures += r.outcome == Outcome::failed;
    skipped += r.outcome == Outcome::skipped;
    total += r.seconds;
  }
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out << "<testsuites name=\"All tests\" tests=\"" << results.size() << "\" failures=\"" << failures
      << "\" skipped=\"" << skipped << "\" time=\"" << secondsText(total) << "\">\n";
  std::size_t i = 0;
  while (i < results.size()) {
    std::size_t j = i;
    int f = 0, s = 0;
    double t = 0;
    while (j < results.size() && results[j].className == results[i].className) {
      f += results[j].outcome == Outcome::failed;
      s += results[j].outcome == Outcome::skipped;
      t += results[j].seconds;
      ++j;
    }
    out << "  <testsuite name=\"" << xmlEscape(results[i].className, true) << "\" tests=\"" << (j - i)
        << "\" failures=\"" << f << "\" skipped=\"" << s << "\" time=\"" << secondsText(t) << "\">\n";
    for (std::size_t k = i; k < j; ++k) {
      const auto& r = results[k];
      out << "    <testcase classname=\"" << xmlEscape(r.className, true) << "\" name=\""
          << xmlEscape(r.methodName, true) << "\" time=\"" << secondsText(r.seconds) << "\"";
      if (r.outcome == Outcome::passed && r.output.empty()) {
        out << "/>\n";
        continue;
      }
      out << ">\n";
      if (r.outcome == Outcome::skipped) {
        out << "      <skipped message=\"" << xmlEscape(r.skipMessage, true) << "\"/>\n";
      } else if (r.outcome == Outcome::failed) {
        const auto& first = r.failures.front();
        out << "      <failure type=\"" << (r.unexpected.front() ? "Uncaught Exception" : "Failure")
            << "\" message=\"" << xmlEscape(first.description, true) << "\">";
        std::string body;
        for (const auto& failure : r.failures)
          body += failure.file + ":" + std::to_string(failure.line) + ": " + failure.description + "\n";
        out << xmlEscape(body) << "</failure>\n";
      }
      if (!r.output.empty()) out << "      <system-out>" << xmlEscape(r.output) << "</system-out>\n";
      out << "    </testcase>\n";
    }
    out << "  </testsuite>\n";
    i = j;
  }
  out << "</testsuites>\n";
  errno = 0;
  out.close();
  if (!out) error = lastErrorText();
  return static_cast<bool>(out);
}

// A suite's counts, as its closing lines print them.
struct SuiteRun {
  std::string name;
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  std::size_t executed = 0, skipped = 0, failures = 0, unexpected = 0;
  double testSeconds = 0;

  void start() const { std::cout << "Test Suite '" << name << "' started at " << nowText() << std::endl; }
  void add(const CaseResult& r) {
    ++executed;
    skipped += r.outcome == Outcome::skipped;
    failures += r.failures.size();
    for (bool u : r.unexpected) unexpected += u;
    testSeconds += r.seconds;
  }
  void finish() const {
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::cout << "Test Suite '" << name << "' " << (failures > 0 ? "failed" : "passed") << " at " << nowText()
              << ".\n\t Executed " << plural(executed, "test") << ", with ";
    if (skipped > 0) std::cout << plural(skipped, "test") << " skipped and ";
    std::cout << plural(failures, "failure") << " (" << unexpected << " unexpected) in " << secondsText(testSeconds)
              << " (" << secondsText(wall) << ") seconds" << std::endl;
  }
};

void usage(std::ostream& os, const char* program) {
  os << "usage: " << program << " [options] [Class | Class/method]...\n";
}

void help(std::ostream& os, const char* program, const XCTestRunnerSetup& setup) {
  usage(os, program);
  os << "Runs every registered test, or the classes and test methods named.\n\n"
        "Options:\n"
        "  --list-classes   print the test classes, one a line, and exit\n"
        "  --list           print every test as Class/method, one a line, and exit\n"
        "  --junit <file>   also write a JUnit XML report to <file>\n"
        "  --help, -h       print this help and exit\n"
     << setup.optionsHelp;
  if (!setup.environmentHelp.empty()) os << "\nEnvironment:\n" << setup.environmentHelp;
  os << "\nExit status: 0 when no test failed, 1 when one did, 2 for a bad command line, a JUnit report\n"
        "path that cannot be written or a set-up that cannot start (nothing runs), 3 when the JUnit\n"
        "report could not be written at the end of the run.\n";
}

}  // namespace

// Runs one test method on a fresh instance; friend of XCTestCase.
class XCTestRunner {
 public:
  static CaseResult run(const xctest::TestClassInfo& cls, const xctest::TestMethodInfo& method, bool capture) {
    CaseResult result{cls.name, method.name, Outcome::passed, 0, {}, {}, {}, {}};
    std::cout << "Test Case '-[" << cls.name << " " << method.name << "]' started." << std::endl;
    OutputCapture output;
    bool capturing = capture && output.start();
    auto started = std::chrono::steady_clock::now();
    std::unique_ptr<XCTestCase> test = cls.create();
    test->className_ = cls.name;
    test->methodName_ = method.name;
    xctest::setCurrentTestCase(test.get());
    for (auto* observer : XCTestObservationCenter::shared().observers()) observer->testCaseWillStart(*test);

    bool skipped = false;
    std::vector<std::size_t> thrown;  // indices of failures that are exceptions thrown out of the test
    bool setUpDone = guarded(*test, [&] { test->setUp(); }, skipped, result.skipMessage, thrown);
    if (setUpDone && !skipped) guarded(*test, [&] { method.invoke(*test); }, skipped, result.skipMessage, thrown);
    bool ignoredSkip = false;
    std::string ignoredMessage;
    guarded(*test, [&] { test->tearDown(); }, ignoredSkip, ignoredMessage, thrown);
    test->expectations_.clear();

    for (auto* observer : XCTestObservationCenter::shared().observers()) observer->testCaseDidFinish(*test);
    xctest::setCurrentTestCase(nullptr);
    result.failures = test->failures_;
    result.unexpected.assign(result.failures.size(), false);
    for (std::size_t index : thrown)
      if (index < result.unexpected.size()) result.unexpected[index] = true;
    result.outcome = !result.failures.empty() ? Outcome::failed : (skipped ? Outcome::skipped : Outcome::passed);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (skipped && result.outcome == Outcome::skipped)
      std::cout << "Test Case '" << test->name() << "' skipped" << (result.skipMessage.empty() ? "" : " - ")
                << result.skipMessage << std::endl;
    if (capturing) result.output = output.stop();
    const char* word = result.outcome == Outcome::passed ? "passed"
                       : result.outcome == Outcome::failed ? "failed"
                                                           : "skipped";
    std::cout << "Test Case '-[" << cls.name << " " << method.name << "]' " << word << " ("
              << secondsText(result.seconds) << " seconds)." << std::endl;
    return result;
  }

 private:
  // Runs one phase; false when it was cut short (failure, skip or exception).
  template <class F>
  static bool guarded(XCTestCase& test, F&& body, bool& skipped, std::string& skipMessage,
                      std::vector<std::size_t>& thrown) {
    test.interruptible_ = true;
    bool completed = false;
    auto unexpected = [&](const std::string& description) {
      test.interruptible_ = false;
      thrown.push_back(test.failures_.size());
      test.recordFailure(description, "<unknown>", 0);
    };
    try {
      body();
      completed = true;
    } catch (const xctest::XCTestInterruption&) {
    } catch (const XCTSkip& skip) {
      skipped = true;
      skipMessage = skip.message;
    } catch (const platform::Exception& e) {
      unexpected("failed: caught \"" + e.name() + "\", \"" + e.reason() + "\"");
    } catch (const std::exception& e) {
      unexpected(std::string("failed: caught error: \"") + e.what() + "\"");
    } catch (...) {
      unexpected("failed: caught an unknown exception");
    }
    test.interruptible_ = false;
    return completed;
  }
};

namespace xctest {

std::string xmlEscape(const std::string& text, bool attribute) {
  std::string out;
  out.reserve(text.size());
  auto raw = [&out](unsigned char byte) {
    static const char* kDigits = "0123456789ABCDEF";
    out += "\\x";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0xF];
  };
  std::size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        case '\n': out += attribute ? "&#10;" : "\n"; break;
        case '\t': out += attribute ? "&#9;" : "\t"; break;
        case '\r': out += "&#13;"; break;
        default:
          if (c < 0x20) raw(c);
          else out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    // A UTF-8 sequence: copied when well formed and a character XML allows, else byte by byte.
    std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    char32_t code = length == 4 ? c & 0x07 : length == 3 ? c & 0x0F : c & 0x1F;
    bool ok = length >= 2 && c <= 0xF4 && i + length <= text.size();
    for (std::size_t k = 1; ok && k < length; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      ok = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    static constexpr char32_t kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
    ok = ok && code >= kSmallest[length] && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF) &&
         code != 0xFFFE && code != 0xFFFF;
    if (!ok) {
      raw(c);
      ++i;
      continue;
    }
    out.append(text, i, length);
    i += length;
  }
  return out;
}

namespace {

// Whether `filters` (empty: all) select the test "<className>/<method>": a filter names its class
// or the test itself.
bool isSelected(const std::vector<std::string>& filters, const std::string& className, const std::string& method) {
  if (filters.empty()) return true;
  const std::string name = className + "/" + method;
  return std::any_of(filters.begin(), filters.end(),
                     [&](const std::string& filter) { return filter == className || filter == name; });
}

}  // namespace

std::vector<std::string> selectedTests(const std::vector<std::string>& filters) {
  std::vector<std::string> selected;
  for (const auto& cls : TestRegistry::shared().classes()) {
    for (const auto& method : cls.methods) {
      if (isSelected(filters, cls.name, method.name)) selected.push_back(cls.name + "/" + method.name);
    }
  }
  return selected;
}

TestRunSummary runTests(const std::vector<std::string>& filters, const std::string& junitPath,
                        const std::function<void()>& closing) {
  TestRunSummary summary;
  std::vector<CaseResult> results;
  SuiteRun all;
  all.name = filters.empty() ? "All tests" : "Selected tests";
  all.start();
  for (const auto& cls : TestRegistry::shared().classes()) {
    std::optional<SuiteRun> suite;
    for (const auto& method : cls.methods) {
      if (!isSelected(filters, cls.name, method.name)) continue;
      if (!suite) {
        suite.emplace();
        suite->name = cls.name;
        suite->start();
      }
      CaseResult r = XCTestRunner::run(cls, method, !junitPath.empty());
      suite->add(r);
      all.add(r);
      summary.passed += r.outcome == Outcome::passed;
      summary.failed += r.outcome == Outcome::failed;
      summary.skipped += r.outcome == Outcome::skipped;
      results.push_back(std::move(r));
    }
    if (suite) suite->finish();
  }
  all.finish();
  std::string reportError;
  if (!junitPath.empty() && !writeJUnit(junitPath, results, reportError)) {
    std::cerr << "error: cannot write the JUnit report to " << junitPath << ": " << reportError << std::endl;
    summary.reportWritten = false;
  }
  if (closing) closing();
  // The last line of the run, whatever went to standard error before it.
  std::cerr.flush();
  std::cout << summary.passed << " passed, " << summary.failed << " failed";
  if (summary.skipped) std::cout << ", " << summary.skipped << " skipped";
  std::cout << std::endl;
  return summary;
}

}  // namespace xctest

int XCTestMain(int argc, char** argv) { return XCTestMain(argc, argv, XCTestRunnerSetup{}); }

int XCTestMain(int argc, char** argv, const XCTestRunnerSetup& setup) {
  std::vector<std::string> filters;
  std::string junitPath;
  std::string mode, modeValue;
  bool listClasses = false, list = false;
  const char* program = argc > 0 ? argv[0] : "xctest";
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--list-classes") {
      listClasses = true;
    } else if (arg == "--list") {
      list = true;
    } else if (arg == "--junit") {
      // An empty name (an unset variable in a script) would quietly write no report.
      if (i + 1 >= argc || *argv[i + 1] == '\0') {
        std::cerr << "error: --junit needs a file name\n";
        usage(std::cerr, program);
        return 2;
      }
      if (!junitPath.empty()) {
        std::cerr << "error: --junit is given twice\n";
        usage(std::cerr, program);
        return 2;
      }
      junitPath = argv[++i];
    } else if (arg == "--help" || arg == "-h") {
      help(std::cout, program, setup);
      return 0;
    } else if (auto command = setup.commands.find(arg); command != setup.commands.end()) {
      if (argc != 2) {
        std::cerr << "error: " << arg << " is given alone\n";
        usage(std::cerr, program);
        return 2;
      }
      return command->second();
    } else if (setup.runModes.count(arg)) {
      if (!mode.empty() || i + 1 >= argc || *argv[i + 1] == '\0') {
        std::cerr << "error: " << arg << (mode.empty() ? " needs a value\n" : " comes after " + mode + "\n");
        usage(std::cerr, program);
        return 2;
      }
      mode = arg;
      modeValue = argv[++i];
    } else if (!arg.empty() && arg[0] == '-') {
      std::cerr << "error: unknown option " << arg << " (--help lists the options)\n";
      usage(std::cerr, program);
      return 2;
    } else {
      filters.push_back(arg);
    }
  }
  auto classes = xctest::TestRegistry::shared().classes();
  if (listClasses || list) {
    for (const auto& cls : classes) {
      if (listClasses) std::cout << cls.name << "\n";
      else
        for (const auto& m : cls.methods) std::cout << cls.name << "/" << m.name << "\n";
    }
    return 0;
  }
  for (const auto& f : filters) {
    bool known = false;
    for (const auto& cls : classes) {
      if (f == cls.name) known = true;
      for (const auto& m : cls.methods)
        if (f == cls.name + "/" + m.name) known = true;
    }
    if (!known) {
      std::cerr << "error: no test matches " << f << " (--list prints every test as Class/method)\n";
      return 2;
    }
  }
  if (!mode.empty() && !junitPath.empty()) {
    std::cerr << "error: " << mode << " writes no JUnit report\n";
    usage(std::cerr, program);
    return 2;
  }
  // A report that cannot be written is known before anything runs. Opened without waiting, so a
  // FIFO with no reader is refused rather than waited on.
  if (!junitPath.empty()) {
    const int fd = ::open(junitPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
      std::cerr << "error: cannot write the JUnit report to " << junitPath << ": " << std::strerror(errno) << "\n";
      return 2;
    }
    ::close(fd);
  }
  if (auto check = setup.runModeChecks.find(mode); check != setup.runModeChecks.end()) {
    if (int status = check->second(modeValue); status != 0) return status;
  }
  if (setup.prepare) {
    if (int status = setup.prepare(); status != 0) return status;
  }
  if (!mode.empty()) return setup.runModes.at(mode)(modeValue, filters);
  auto summary = xctest::runTests(filters, junitPath, setup.closing);
  if (!summary.reportWritten) return 3;
  return summary.failed > 0 ? 1 : 0;
}
