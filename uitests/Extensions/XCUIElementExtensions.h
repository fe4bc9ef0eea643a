// Helpers on elements: visibility, scrolling an element into reach, clearing a text field.
#pragma once

#include "xcuitest/XCUITest.h"

// True when the element exists, its frame is not empty and lies inside the app's first window.
bool isVisible(const XCUIElement& element);
// Swipes up (at most 7 times) while the element is not hittable, then down (at most 7 times);
// returns without a failure either way.
void scrollToElement(const XCUIElement& element);
// Taps the element, then types one delete key per character of its text value (only a tap when
// it has no text value).
void clearText(const XCUIElement& element);
