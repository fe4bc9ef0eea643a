#include "Utility/TestFailure.h"

#include <iostream>
#include <mutex>

namespace TestFailure {
namespace {

std::mutex& handlerMutex() {
  static std::mutex m;
  return m;
}

Handler& currentHandler() {
  static Handler h;
  return h;
}

Handler handler() {
  std::lock_guard<std::mutex> lock(handlerMutex());
  return currentHandler();
}

void defaultHandler(const std::string& message, bool stopTest) {
  std::cerr << "Test failure: " << message << std::endl;
  if (stopTest) throw Stopped(message);
}

}  // namespace

Handler setHandler(Handler h) {
  std::lock_guard<std::mutex> lock(handlerMutex());
  Handler previous = std::move(currentHandler());
  currentHandler() = std::move(h);
  return previous;
}

void record(const std::string& message) {
  Handler h = handler();
  if (h) {
    h(message, false);
  } else {
    defaultHandler(message, false);
  }
}

void recordAndStop(const std::string& message) {
  Handler h = handler();
  if (h) h(message, true);
  // A handler that returned did not end the test: make sure it ends anyway.
  throw Stopped(message);
}

}  // namespace TestFailure
