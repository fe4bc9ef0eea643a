// The process's launch arguments and environment. Until a host or test sets them they are the
// real ones (read once from the operating system). Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class ProcessInfo {
 public:
  // The launch arguments, the program path first.
  static std::vector<std::string> arguments();
  static bool hasArgument(const std::string& argument);
  static std::map<std::string, std::string> environment();
  static std::optional<std::string> environmentValue(const std::string& name);
  // The last path component of the first argument.
  static std::string processName();
  // This process's identifier (a child of fork() has its own); cheap, read from memory.
  static int processIdentifier();
  // How many fork()s lie between the process the program loaded in and this one (0 there),
  // counted by fork's child handler and read from memory: unlike process identifiers, two
  // processes of one line of descent never share a count. A child made by a raw clone() without
  // fork's handlers keeps its parent's.
  static std::uint64_t forks();
  // True where a fork() made this process, or one it descends from, while the forking process had
  // another thread: such a thread may have held a lock of the C library's that fork does not make
  // safe (its name services'), which nothing here will let go. A child of a process that was
  // alone with its forking thread, and the first process, answer false.
  static bool mayHoldOtherThreadsLocks();

  // Host and test control.
  static void setArguments(std::vector<std::string> arguments);
  static void setEnvironment(std::map<std::string, std::string> environment);
  // An empty optional removes the variable.
  static void setEnvironmentValue(const std::string& name, std::optional<std::string> value);
  // Back to the real arguments and environment.
  static void resetForTesting();
  // Tests: runs `work` with the values' lock held, as a thread that reads them holds it.
  static void whileValuesLockedForTesting(const std::function<void()>& work);
  // Tests: this process counts as the one the program loaded in (mayHoldOtherThreadsLocks() false
  // here), for a forked child that stands in for a process of its own.
  static void countAsFirstProcessForTesting();
};

}  // namespace platform
