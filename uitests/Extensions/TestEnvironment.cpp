#include "Extensions/TestEnvironment.h"

#include <cstdlib>

std::string testEnvironment() {
  const char* value = std::getenv("test_env");
  return value ? std::string(value) : std::string();
}
