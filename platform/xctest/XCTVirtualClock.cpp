#include "xctest/XCTVirtualClock.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <vector>

namespace {

struct ClockState {
  std::mutex mutex;
  double now = 0;
  double epochAtStart = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  std::vector<xctest::TimeDriven*> clients;
};

ClockState& state() {
  static ClockState s;
  return s;
}

std::vector<xctest::TimeDriven*> clientsCopy() {
  std::lock_guard lock(state().mutex);
  return state().clients;
}

// The earliest client deadline after `now`, if any.
std::optional<double> nextClientDeadline(double now) {
  std::optional<double> next;
  for (auto* client : clientsCopy()) {
    auto deadline = client->nextDeadline();
    if (deadline && *deadline > now && (!next || *deadline < *next)) next = deadline;
  }
  return next;
}

void stepTo(double time) {
  {
    std::lock_guard lock(state().mutex);
    state().now = time;
  }
  for (auto* client : clientsCopy()) client->timeAdvanced(time);
}

}  // namespace

double XCTVirtualClock::now() {
  std::lock_guard lock(state().mutex);
  return state().now;
}

double XCTVirtualClock::epochSeconds() {
  std::lock_guard lock(state().mutex);
  return state().epochAtStart + state().now;
}

void XCTVirtualClock::pinEpochSeconds(double seconds) {
  std::lock_guard lock(state().mutex);
  state().epochAtStart = seconds - state().now;
}

void XCTVirtualClock::advance(double seconds) {
  if (seconds > 0) advanceTo(now() + seconds);
}

void XCTVirtualClock::advanceTo(double time) {
  for (;;) {
    double current = now();
    if (!(time > current)) return;
    auto next = nextClientDeadline(current);
    stepTo(next && *next < time ? *next : time);
  }
}

bool XCTVirtualClock::waitUntil(const std::function<bool()>& condition, double timeout) {
  const double deadline = now() + std::max(0.0, timeout);
  for (;;) {
    if (condition()) return true;
    double current = now();
    if (current >= deadline) return false;
    auto next = nextClientDeadline(current);
    stepTo(next && *next < deadline ? *next : deadline);
  }
}

void XCTVirtualClock::addClient(xctest::TimeDriven* client) {
  std::lock_guard lock(state().mutex);
  if (std::find(state().clients.begin(), state().clients.end(), client) == state().clients.end())
    state().clients.push_back(client);
}

void XCTVirtualClock::removeClient(xctest::TimeDriven* client) {
  std::lock_guard lock(state().mutex);
  std::erase(state().clients, client);
}
