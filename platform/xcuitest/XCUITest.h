// Everything a UI test or page object needs: the test framework and the UI framework.
//
// For page-object and test writers, in short:
// - Build element queries once (constructor); they are resolved on every use against the screen
//   shown at that moment. `app.buttons()["loginButton"]` matches identifier OR label.
// - Several matches are fine: reads and actions use the first in document order; `exists` is
//   true with one or more. Use `element(boundBy)` / `count()` to address the others.
// - Reading or acting on an element that matches nothing records a failure at your line
//   ("Failed to get matching snapshot: No matches found for ...", "Failed to tap ...: No matches
//   found") and returns an empty value; check `exists()` first where absence is expected.
// - With `continueAfterFailure` false a recorded failure unwinds the test with
//   xctest::XCTestInterruption: never `catch (...)` around framework calls.
// - Waits: `tc.expectation(NSPredicate("exists == FALSE"), element); tc.waitForExpectations(45);`
//   or `element.waitForExistence(10)` (no failure). Time is virtual: waits and `XCTSleep` cost no
//   wall time; never call the POSIX `sleep` from page objects.
// - `typeText` types into the focused field: tap the field first. "\b" (sim::kDeleteKey) deletes.
// - Taps under an alert (the app's or the springboard's) land nowhere and record nothing.
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
