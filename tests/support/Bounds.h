// How long tests wait for work that runs for real: another thread, a child process, a loopback
// server. Such work takes milliseconds, but on a machine busy with other work a thread may wait
// seconds for a core; a bound only tells a hang from slowness, so it is far longer than any such
// delay, and short enough that a hang still fails well within ctest's limit of each test (300 s).
#pragma once

#include <chrono>
#include <thread>

namespace testsupport {

// A wait for an event that another thread or process brings about.
inline constexpr std::chrono::seconds kEventWait{60};
// A forked child's whole life, which may hold waits of kEventWait of its own.
inline constexpr std::chrono::seconds kChildLife{90};

// Whether `condition` holds within kEventWait, asked again every millisecond until it does.
template <typename Condition>
bool eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + kEventWait;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace testsupport
