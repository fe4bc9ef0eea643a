// The name of the test data set, from the runner's environment variable "test_env".
#pragma once

#include <string>

// The value of "test_env", or the empty text when it is unset. Every test case can call it.
std::string testEnvironment();
