// Starting a test's HTTP server on the loopback interface.
#pragma once

#include <httplib.h>

#include <atomic>
#include <memory>
#include <thread>

namespace testsupport {

// Runs the accept loop of `server` (already bound) on `thread` and returns once it runs. stop()
// does nothing to a server whose loop has not started yet, so without this wait a test that ends
// quickly stops nothing and its join waits for ever. When the loop ends without running, the
// thread is joined and the result is false.
inline bool startListening(httplib::Server& server, std::thread& thread) {
  auto finished = std::make_shared<std::atomic<bool>>(false);
  thread = std::thread([&server, finished] {
    server.listen_after_bind();
    finished->store(true);
  });
  while (!server.is_running() && !finished->load()) std::this_thread::yield();
  if (server.is_running()) return true;
  thread.join();
  return false;
}

}  // namespace testsupport
