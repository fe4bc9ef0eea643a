// Hooks around every test method, for things that must be fresh per test (the simulated device
// resets its per-test state here) or that report on the run.
#pragma once

#include <string>
#include <vector>

class XCTestCase;

class XCTestObservation {
 public:
  virtual ~XCTestObservation() = default;
  // Before the instance's setUp().
  virtual void testCaseWillStart(XCTestCase& /*testCase*/) {}
  // Each recorded failure, as it is recorded.
  virtual void testCaseDidRecordFailure(XCTestCase& /*testCase*/, const std::string& /*description*/,
                                        const std::string& /*file*/, int /*line*/) {}
  // After tearDown(), with the test's failures final.
  virtual void testCaseDidFinish(XCTestCase& /*testCase*/) {}
};

class XCTestObservationCenter {
 public:
  static XCTestObservationCenter& shared();
  // Observers are not owned; an observer added twice is called once.
  void addTestObserver(XCTestObservation* observer);
  void removeTestObserver(XCTestObservation* observer);
  const std::vector<XCTestObservation*>& observers() const { return observers_; }

 private:
  std::vector<XCTestObservation*> observers_;
};
