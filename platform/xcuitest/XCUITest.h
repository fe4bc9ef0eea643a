// Everything a UI test or page object needs: the test framework and the UI framework.
#pragma once

#include "xctest/XCTest.h"
#include "xcuitest/LocalAuthentication.h"
#include "xcuitest/SimulatedDevice.h"
#include "xcuitest/UIPasteboard.h"
#include "xcuitest/XCUIApplication.h"
#include "xcuitest/XCUIDevice.h"
#include "xcuitest/XCUIElement.h"
#include "xcuitest/XCUIElementType.h"
#include "xcuitest/notify.h"
