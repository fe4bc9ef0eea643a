#include "Screens/ContactUsScreen.h"

ContactUsScreen::ContactUsScreen(XCUIApplication app)
    : BaseScreen(app),
      pageTitle(app.navigationBars()["Contact us"].otherElements()["Contact us"]),
      giveUsFeedback(app.staticTexts()["Give us feedback"]),
      giveUsFeedbackSubText(app.staticTexts()[
          "We're listening. Help us keep improving your online experience by providing valuable feedback."]),
      getStartedButton(app.buttons()["Get Started"]),
      emailUsAnytime(app.staticTexts()["Email us anytime"]),
      emailUsSubtext(app.staticTexts()["You should hear back from us within 24 hours."]),
      emailAddress(app.buttons()[kSupportEmailAddress]),
      callUsTollFree(app.staticTexts()["Call us toll free"]),
      callUsTollFreeSubText(
          app.staticTexts()["Our Client Care team is available 24/7 every day except Christmas Day."]),
      callUsTollFreePhoneNumber(app.buttons()["1-800-555-0142"]) {}
