#include "xctest/XCTestMain.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <set>
#include <sstream>

#include "xctest/XCTestCase.h"
#include "xctest/XCTestObservation.h"

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
  std::string skipMessage;
};

std::string xmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t' && c != '\r') out += ' ';
        else out += c;
    }
  }
  return out;
}

std::string secondsText(double s) {
  std::ostringstream os;
  os << std::fixed << std::setprecision(3) << s;
  return os.str();
}

bool writeJUnit(const std::string& path, const std::vector<CaseResult>& results) {
  std::ofstream out(path);
  if (!out) return false;
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
    out << "  <testsuite name=\"" << xmlEscape(results[i].className) << "\" tests=\"" << (j - i) << "\" failures=\""
        << f << "\" skipped=\"" << s << "\" time=\"" << secondsText(t) << "\">\n";
    for (std::size_t k = i; k < j; ++k) {
      const auto& r = results[k];
      out << "    <testcase classname=\"" << xmlEscape(r.className) << "\" name=\"" << xmlEscape(r.methodName)
          << "\" time=\"" << secondsText(r.seconds) << "\"";
      if (r.outcome == Outcome::passed) {
        out << "/>\n";
        continue;
      }
      out << ">\n";
      if (r.outcome == Outcome::skipped) {
        out << "      <skipped message=\"" << xmlEscape(r.skipMessage) << "\"/>\n";
      } else {
        for (const auto& failure : r.failures)
          out << "      <failure message=\"" << xmlEscape(failure.description) << "\">" << xmlEscape(failure.file)
              << ":" << failure.line << "</failure>\n";
      }
      out << "    </testcase>\n";
    }
    out << "  </testsuite>\n";
    i = j;
  }
  out << "</testsuites>\n";
  return static_cast<bool>(out);
}

void usage(std::ostream& os, const char* program) {
  os << "usage: " << program << " [--list-classes | --list] [--junit <file>] [Class | Class/method]...\n";
}

}  // namespace

// Runs one test method on a fresh instance; friend of XCTestCase.
class XCTestRunner {
 public:
  static CaseResult run(const xctest::TestClassInfo& cls, const xctest::TestMethodInfo& method) {
    CaseResult result{cls.name, method.name, Outcome::passed, 0, {}, {}};
    auto started = std::chrono::steady_clock::now();
    std::unique_ptr<XCTestCase> test = cls.create();
    test->className_ = cls.name;
    test->methodName_ = method.name;
    xctest::setCurrentTestCase(test.get());
    for (auto* observer : XCTestObservationCenter::shared().observers()) observer->testCaseWillStart(*test);

    bool skipped = false;
    bool setUpDone = guarded(*test, [&] { test->setUp(); }, skipped, result.skipMessage);
    if (setUpDone && !skipped) guarded(*test, [&] { method.invoke(*test); }, skipped, result.skipMessage);
    bool ignoredSkip = false;
    std::string ignoredMessage;
    guarded(*test, [&] { test->tearDown(); }, ignoredSkip, ignoredMessage);
    test->expectations_.clear();

    for (auto* observer : XCTestObservationCenter::shared().observers()) observer->testCaseDidFinish(*test);
    xctest::setCurrentTestCase(nullptr);
    result.failures = test->failures_;
    result.outcome = !result.failures.empty() ? Outcome::failed : (skipped ? Outcome::skipped : Outcome::passed);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (skipped && result.outcome == Outcome::skipped)
      std::cout << "Test Case '" << test->name() << "' skipped" << (result.skipMessage.empty() ? "" : " - ")
                << result.skipMessage << std::endl;
    return result;
  }

 private:
  // Runs one phase; false when it was cut short (failure, skip or exception).
  template <class F>
  static bool guarded(XCTestCase& test, F&& body, bool& skipped, std::string& skipMessage) {
    test.interruptible_ = true;
    bool completed = false;
    try {
      body();
      completed = true;
    } catch (const xctest::XCTestInterruption&) {
    } catch (const XCTSkip& skip) {
      skipped = true;
      skipMessage = skip.message;
    } catch (const platform::Exception& e) {
      test.interruptible_ = false;
      test.recordFailure("failed: caught \"" + e.name() + "\", \"" + e.reason() + "\"", "<unknown>", 0);
    } catch (const std::exception& e) {
      test.interruptible_ = false;
      test.recordFailure(std::string("failed: caught error: \"") + e.what() + "\"", "<unknown>", 0);
    } catch (...) {
      test.interruptible_ = false;
      test.recordFailure("failed: caught an unknown exception", "<unknown>", 0);
    }
    test.interruptible_ = false;
    return completed;
  }
};

namespace xctest {

TestRunSummary runTests(const std::vector<std::string>& filters, const std::string& junitPath) {
  TestRunSummary summary;
  std::vector<CaseResult> results;
  for (const auto& cls : TestRegistry::shared().classes()) {
    for (const auto& method : cls.methods) {
      bool selected = filters.empty();
      for (const auto& f : filters)
        if (f == cls.name || f == cls.name + "/" + method.name) selected = true;
      if (!selected) continue;
      CaseResult r = XCTestRunner::run(cls, method);
      const char* word = r.outcome == Outcome::passed ? "passed" : r.outcome == Outcome::failed ? "failed" : "skipped";
      std::cout << "Test Case '-[" << r.className << " " << r.methodName << "]' " << word << " ("
                << secondsText(r.seconds) << " seconds)." << std::endl;
      summary.passed += r.outcome == Outcome::passed;
      summary.failed += r.outcome == Outcome::failed;
      summary.skipped += r.outcome == Outcome::skipped;
      results.push_back(std::move(r));
    }
  }
  std::cout << summary.passed << " passed, " << summary.failed << " failed";
  if (summary.skipped) std::cout << ", " << summary.skipped << " skipped";
  std::cout << std::endl;
  if (!junitPath.empty() && !writeJUnit(junitPath, results)) {
    std::cerr << "error: cannot write the JUnit report to " << junitPath << std::endl;
    summary.reportWritten = false;
  }
  return summary;
}

}  // namespace xctest

int XCTestMain(int argc, char** argv) {
  std::vector<std::string> filters;
  std::string junitPath;
  bool listClasses = false, list = false;
  const char* program = argc > 0 ? argv[0] : "xctest";
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--list-classes") {
      listClasses = true;
    } else if (arg == "--list") {
      list = true;
    } else if (arg == "--junit") {
      if (i + 1 >= argc) {
        usage(std::cerr, program);
        return 2;
      }
      junitPath = argv[++i];
    } else if (arg == "--help" || arg == "-h") {
      usage(std::cout, program);
      return 0;
    } else if (!arg.empty() && arg[0] == '-') {
      std::cerr << "error: unknown option " << arg << "\n";
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
      std::cerr << "error: no test matches " << f << "\n";
      return 2;
    }
  }
  // A report that cannot be written is known before anything runs.
  if (!junitPath.empty() && !std::ofstream(junitPath, std::ios::app)) {
    std::cerr << "error: cannot write the JUnit report to " << junitPath << "\n";
    return 2;
  }
  auto summary = xctest::runTests(filters, junitPath);
  if (!summary.reportWritten) return 3;
  return summary.failed > 0 ? 1 : 0;
}
