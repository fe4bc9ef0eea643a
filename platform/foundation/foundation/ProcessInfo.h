// The process's launch arguments and environment. Until a host or test sets them they are the
// real ones (read once from the operating system). Thread-safe.
#pragma once

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
  // True in a process made by fork() from one this program had loaded in (read from memory, like
  // the identifier: no system call). Its first process, and one made by a raw clone() without
  // fork's handlers, answer false.
  static bool madeByFork();

  // Host and test control.
  static void setArguments(std::vector<std::string> arguments);
  static void setEnvironment(std::map<std::string, std::string> environment);
  // An empty optional removes the variable.
  static void setEnvironmentValue(const std::string& name, std::optional<std::string> value);
  // Back to the real arguments and environment.
  static void resetForTesting();
  // Tests: this process counts as the one the program loaded in (madeByFork() false here), for a
  // forked child that stands in for a process of its own.
  static void countAsFirstProcessForTesting();
};

}  // namespace platform
