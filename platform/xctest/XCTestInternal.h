// Framework-internal helpers shared by the test and UI frameworks (not for test code).
#pragma once

#include <string>

namespace xctest::detail {

// Throws the platform's programming-error exception with a name and a reason.
[[noreturn]] void throwProgrammingError(const std::string& name, const std::string& reason);

}  // namespace xctest::detail
