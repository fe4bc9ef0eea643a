// Failures that the support layer finds on its own (an unreadable data file, a malformed data
// row, a stub server that cannot start) are recorded on the running test through this one sink.
// The UI runner connects it to the test framework; unit tests install their own.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

namespace TestFailure {

// `stopTest` asks the handler to end the running test method (it does so by throwing).
using Handler = std::function<void(const std::string& message, bool stopTest)>;

// Installs a handler and returns the one it replaces. An empty handler restores the default,
// which prints the message to standard error and, for a stop, throws TestFailure::Stopped.
Handler setHandler(Handler handler);

// Records a failure; the test goes on as its framework settings say.
void record(const std::string& message);

// Records a failure and ends the running test method. Never returns.
[[noreturn]] void recordAndStop(const std::string& message);

// Thrown by the default handler when a test must stop.
class Stopped : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace TestFailure
