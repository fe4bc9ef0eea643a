#include "Screens/LandingScreen.h"

LandingScreen::LandingScreen()
    : overviewButton(XCUIApplication().tabBars().buttons()["Overview"]),
      moveMoneyButton(XCUIApplication().tabBars().buttons()["Move money"]),
      moreButton(XCUIApplication().tabBars().buttons()["More"]),
      moreHeaderIcon(XCUIApplication().otherElements().containing(XCUIElementType::image, "moreHeaderIcon").element()) {}

void LandingScreen::tapOnOverviewButton() { tap(overviewButton); }

void LandingScreen::tapOnMoreButton() { tap(moreButton); }

void LandingScreen::tapOnMoveMoneyButton(XCTestCase& xctestcase) {
  tap(moveMoneyButton);
  xctestcase.expectation(NSPredicate("exists == FALSE"), appLoadingAnimation);
  xctestcase.waitForExpectations(45);
}
