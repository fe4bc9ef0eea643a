// Everything a test class needs of the test framework.
#pragma once

#include "xctest/NSPredicate.h"
#include "xctest/XCTAssert.h"
#include "xctest/XCTestCase.h"
#include "xctest/XCTestMain.h"
#include "xctest/XCTestObservation.h"
#include "xctest/XCTVirtualClock.h"
