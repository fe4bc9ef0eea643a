// The frame the More-tab classes share: on one launch, for each row of a data file in file order,
// sign in with its user, answer an error alert when one is shown, wait for loading and open the
// More tab; then the class checks its page and signs out (`onMoreTab`).
#pragma once

#include <functional>
#include <string>

#include "xctest/XCTest.h"

namespace MoreTabRows {

void run(XCTestCase& test, const std::string& dataFile, const std::function<void()>& onMoreTab);

}  // namespace MoreTabRows
