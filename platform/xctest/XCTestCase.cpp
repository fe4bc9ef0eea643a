#include "xctest/XCTestCase.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "foundation/Exception.h"
#include "xctest/XCTAssert.h"
#include "xctest/XCTVirtualClock.h"
#include "xctest/XCTestInternal.h"
#include "xctest/XCTestObservation.h"

namespace xctest::detail {

void throwProgrammingError(const std::string& name, const std::string& reason) {
  throw platform::Exception(name, reason);
}

}  // namespace xctest::detail

namespace {

XCTestCase* g_current = nullptr;
std::thread::id g_runnerThread;
std::atomic<int> g_unattributed{0};
std::mutex g_recordMutex;

std::string formatSeconds(double seconds) {
  std::ostringstream os;
  os << seconds;
  return os.str();
}

}  // namespace

namespace xctest {

void setCurrentTestCase(XCTestCase* test) {
  g_current = test;
  g_runnerThread = std::this_thread::get_id();
}

void recordFailure(const std::string& description, const std::string& file, int line) {
  if (XCTestCase* test = g_current) {
    test->recordFailure(description, file, line);
    return;
  }
  ++g_unattributed;
  std::lock_guard lock(g_recordMutex);
  std::cerr << file << ":" << line << ": error: (no running test) : " << description << std::endl;
}

int unattributedFailureCount() { return g_unattributed.load(); }

void assertionFailed(const std::string& what, const std::string& details, const std::string& message,
                     const char* file, int line) {
  std::string text = what.empty() ? "failed" : what + " failed" + details;
  if (!message.empty()) text += " - " + message;
  recordFailure(text, file, line);
}

void skipTest(const std::string&, const std::string& message) { throw XCTSkip(message); }

// --- registry ---------------------------------------------------------------------------------

TestRegistry& TestRegistry::shared() {
  static TestRegistry registry;
  return registry;
}

void TestRegistry::registerClass(const std::string& name, std::function<std::unique_ptr<XCTestCase>()> create) {
  for (auto& c : classes_)
    if (c.name == name) return;
  classes_.push_back({name, std::move(create), {}});
}

void TestRegistry::registerMethod(const std::string& className, const std::string& methodName,
                                  std::function<void(XCTestCase&)> invoke) {
  for (auto& c : classes_) {
    if (c.name != className) continue;
    for (auto& m : c.methods)
      if (m.name == methodName) return;
    c.methods.push_back({methodName, std::move(invoke)});
    return;
  }
}

std::vector<TestClassInfo> TestRegistry::classes() const {
  auto sorted = classes_;
  std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  for (auto& c : sorted)
    std::sort(c.methods.begin(), c.methods.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  return sorted;
}

void TestRegistry::clear() { classes_.clear(); }

}  // namespace xctest

// --- XCTestCase -----------------------------------------------------------------------------------

XCTestCase::XCTestCase() = default;
XCTestCase::~XCTestCase() = default;

std::string XCTestCase::name() const { return "-[" + className_ + " " + methodName_ + "]"; }

XCTestCase* XCTestCase::current() { return g_current; }

void XCTestCase::recordFailure(const std::string& description, const std::string& file, int line) {
  {
    std::lock_guard lock(g_recordMutex);
    failures_.push_back({description, file, line});
    std::cout << file << ":" << line << ": error: " << name() << " : " << description << std::endl;
  }
  for (auto* observer : XCTestObservationCenter::shared().observers())
    observer->testCaseDidRecordFailure(*this, description, file, line);
  // Only the runner's thread can be unwound; a failure recorded elsewhere is just recorded.
  if (!continueAfterFailure && interruptible_ && std::this_thread::get_id() == g_runnerThread)
    throw xctest::XCTestInterruption{};
}

XCTestExpectation& XCTestCase::expectation(const NSPredicate& predicate,
                                           std::shared_ptr<const NSPredicateSubject> object,
                                           std::function<bool()> handler) {
  auto e = std::make_unique<XCTestExpectation>();
  e->description_ = "Expect predicate `" + predicate.predicateFormat() + "` for object " + object->debugDescription();
  XCTestExpectation* raw = e.get();
  e->check_ = [raw, predicate, object, handler]() {
    if (raw->fulfilled_) return true;
    if (predicate.evaluate(*object) && (!handler || handler())) raw->fulfilled_ = true;
    return raw->fulfilled_;
  };
  expectations_.push_back(std::move(e));
  return *raw;
}

void XCTestCase::waitForExpectations(double timeout, std::function<void(bool)> handler, std::source_location where) {
  if (expectations_.empty()) {
    recordFailure("API violation - call made to wait without any expectations having been set.", where.file_name(),
                  static_cast<int>(where.line()));
    return;
  }
  // Take the expectations out first: they are spent whatever happens below.
  auto waiting = std::move(expectations_);
  expectations_.clear();
  bool met = XCTVirtualClock::waitUntil(
      [&] {
        bool all = true;
        for (auto& e : waiting)
          if (!e->check_()) all = false;
        return all;
      },
      timeout);
  // The test may still hold references to the expectations it registered.
  std::vector<XCTestExpectation*> results;
  for (auto& e : waiting) {
    results.push_back(e.get());
    spentExpectations_.push_back(std::move(e));
  }
  if (handler) handler(!met);
  if (met) return;
  std::string text = "Asynchronous wait failed: Exceeded timeout of " + formatSeconds(timeout) +
                     " seconds, with unfulfilled expectations: ";
  bool first = true;
  for (auto* e : results) {
    if (e->fulfilled_) continue;
    text += (first ? "\"" : ", \"") + e->description_ + "\"";
    first = false;
  }
  text += ".";
  recordFailure(text, where.file_name(), static_cast<int>(where.line()));
}

void XCTestCase::sleep(double seconds) { XCTVirtualClock::advance(seconds); }

void XCTSleep(double seconds) { XCTVirtualClock::advance(seconds); }

// --- observation ------------------------------------------------------------------------------------

XCTestObservationCenter& XCTestObservationCenter::shared() {
  static XCTestObservationCenter center;
  return center;
}

void XCTestObservationCenter::addTestObserver(XCTestObservation* observer) {
  if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end()) observers_.push_back(observer);
}

void XCTestObservationCenter::removeTestObserver(XCTestObservation* observer) { std::erase(observers_, observer); }
