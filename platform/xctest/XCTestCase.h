// Test cases, their registration and failure recording.
//
// A test class derives from `XCTestCase`, defines public `void test...()` methods and registers
// them in its source file:
//
//   class LoginTests : public XCTestCase {
//    public:
//     void setUp() override { XCTestCase::setUp(); continueAfterFailure = false; ... }
//     void testPlaceholderText() { ... }
//   };
//   XCTEST_CLASS(LoginTests)
//   XCTEST_METHOD(LoginTests, testPlaceholderText)
//
// The source must be compiled into the runner executable itself (or an OBJECT library linked into
// it): registration happens in static initialisers, which a static library would drop.
//
// The runner makes a fresh instance (default constructor) per test method and calls `setUp()`,
// the method, `tearDown()`. Classes and methods run in alphabetical order. `tearDown()` runs even
// when `setUp()` or the method stopped on a failure.
//
// Failures. Assertions (XCTAssert.h), unmet waits, and UI actions or reads on elements that resolve
// to nothing record a failure on the running test. With `continueAfterFailure` true (the default)
// the test goes on; with false the first failure ends the running method (or `setUp`/`tearDown`)
// by throwing `xctest::XCTestInterruption`. That type deliberately does not derive from
// std::exception: code under test (page objects, helpers) may catch std::exception, but must
// never swallow everything with `catch (...)`, or a failed test would carry on.
#pragma once

#include <functional>
#include <memory>
#include <source_location>
#include <string>
#include <vector>

#include "xctest/NSPredicate.h"

class XCTestCase;

namespace xctest {

// Thrown when a failure is recorded while `continueAfterFailure` is false. Only the runner catches
// it; see the note at the top of this file.
struct XCTestInterruption {};

// One recorded failure.
struct XCTFailureRecord {
  std::string description;
  std::string file;
  int line = 0;
};

// Records a failure on the running test case (see `XCTestCase::recordFailure`). Outside a test run
// the failure is printed on standard error and counted by `unattributedFailureCount()`.
void recordFailure(const std::string& description, const std::string& file, int line);
inline void recordFailure(const std::string& description,
                          std::source_location where = std::source_location::current()) {
  recordFailure(description, where.file_name(), static_cast<int>(where.line()));
}
int unattributedFailureCount();

// Registry of test classes and methods, filled by the XCTEST_ macros.
struct TestMethodInfo {
  std::string name;
  std::function<void(XCTestCase&)> invoke;
};
struct TestClassInfo {
  std::string name;
  std::function<std::unique_ptr<XCTestCase>()> create;
  std::vector<TestMethodInfo> methods;  // sorted by name when the runner lists them
};
class TestRegistry {
 public:
  static TestRegistry& shared();
  void registerClass(const std::string& name, std::function<std::unique_ptr<XCTestCase>()> create);
  void registerMethod(const std::string& className, const std::string& methodName,
                      std::function<void(XCTestCase&)> invoke);
  // All classes, sorted by name, each with its methods sorted by name.
  std::vector<TestClassInfo> classes() const;
  // Drops everything (for the framework's own tests).
  void clear();

 private:
  std::vector<TestClassInfo> classes_;
};

template <class C>
bool registerTestClass(const char* name) {
  TestRegistry::shared().registerClass(name, [] { return std::unique_ptr<XCTestCase>(new C()); });
  return true;
}
template <class C>
bool registerTestMethod(const char* className, const char* methodName, void (C::*method)()) {
  registerTestClass<C>(className);
  TestRegistry::shared().registerMethod(className, methodName,
                                        [method](XCTestCase& test) { (static_cast<C&>(test).*method)(); });
  return true;
}

}  // namespace xctest

#define XCTEST_CLASS(Class) \
  [[maybe_unused]] static const bool xctest_registered_class_##Class = ::xctest::registerTestClass<Class>(#Class);
#define XCTEST_METHOD(Class, method)                                      \
  [[maybe_unused]] static const bool xctest_registered_##Class##_##method = \
      ::xctest::registerTestMethod<Class>(#Class, #method, &Class::method);

// A skipped test: `throw XCTSkip("reason")` from setUp or a test method. Does not derive from
// std::exception, like the interruption above.
struct XCTSkip {
  explicit XCTSkip(std::string message = {}) : message(std::move(message)) {}
  std::string message;
};

// An expectation registered on a test case; fulfilled by its predicate holding.
class XCTestExpectation {
 public:
  const std::string& expectationDescription() const { return description_; }
  bool isFulfilled() const { return fulfilled_; }
  void fulfill() { fulfilled_ = true; }

 private:
  friend class XCTestCase;
  std::string description_;
  bool fulfilled_ = false;
  std::function<bool()> check_;  // evaluates the predicate (and handler); true once met
};

class XCTestCase {
 public:
  XCTestCase();
  virtual ~XCTestCase();
  XCTestCase(const XCTestCase&) = delete;
  XCTestCase& operator=(const XCTestCase&) = delete;

  virtual void setUp() {}
  virtual void tearDown() {}

  // Whether the test goes on after a recorded failure (default true).
  bool continueAfterFailure = true;

  // "-[Class method]".
  std::string name() const;
  const std::string& className() const { return className_; }
  const std::string& methodName() const { return methodName_; }

  // The test case being run (null between tests).
  static XCTestCase* current();

  // Registers an expectation that `predicate` holds for `object`. The object is evaluated afresh
  // at every check (an element query is resolved again). With a handler, the expectation is
  // fulfilled only when the handler, called once the predicate holds, returns true.
  // `expectation(for: predicate, evaluatedWith: element, handler: nil)` in the platform's terms.
  XCTestExpectation& expectation(const NSPredicate& predicate, std::shared_ptr<const NSPredicateSubject> object,
                                 std::function<bool()> handler = nullptr);
  template <class Subject>
    requires std::is_base_of_v<NSPredicateSubject, Subject>
  XCTestExpectation& expectation(const NSPredicate& predicate, const Subject& object,
                                 std::function<bool()> handler = nullptr) {
    return expectation(predicate, std::make_shared<const Subject>(object), std::move(handler));
  }

  // Waits, in virtual time, until every registered expectation is fulfilled or `timeout` seconds
  // have passed; then forgets them (a later wait does not wait for them again, but the objects
  // stay valid until the test case is destroyed). Unfulfilled ones record the failure
  //   Asynchronous wait failed: Exceeded timeout of <timeout> seconds, with unfulfilled
  //   expectations: "<description>", ...
  // The handler, if any, gets whether the wait timed out. Waiting with no expectations records
  // "API violation - call made to wait without any expectations having been set.".
  void waitForExpectations(double timeout, std::function<void(bool timedOut)> handler = nullptr,
                           std::source_location where = std::source_location::current());

  // Lets `seconds` of virtual time pass (the platform's `sleep(n)` inside a test).
  void sleep(double seconds);

  // Records a failure on this test (see the note at the top of this file).
  void recordFailure(const std::string& description, const std::string& file, int line);

  // Results of the current or finished run of this instance.
  const std::vector<xctest::XCTFailureRecord>& failures() const { return failures_; }

 private:
  friend class XCTestRunner;
  std::string className_;
  std::string methodName_;
  std::vector<xctest::XCTFailureRecord> failures_;
  std::vector<std::unique_ptr<XCTestExpectation>> expectations_;
  std::vector<std::unique_ptr<XCTestExpectation>> spentExpectations_;  // waited for; still referenced
  bool interruptible_ = false;  // set by the runner while it runs this test's code
};

// Lets virtual time pass outside a test case's member functions (page objects, helpers).
void XCTSleep(double seconds);
