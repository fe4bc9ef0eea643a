#include "app/MoreViews.h"

#include "app/PreferencesViews.h"

namespace vesmora::views {

// Faults of the More tab's pages (see model/Faults.h).
const Fault kMoreHeaderIconMissing("moreHeaderIconMissing", "the More tab's header has no icon");
const Fault kBiometricRowNamesKind("biometricRowNamesKind",
                                   "the biometric settings row's sub-text says \"Face ID\" or \"Touch ID\" instead of "
                                   "\"face\" or \"fingerprint\"");
const Fault kStraightApostropheInNote("straightApostropheInNote",
                                      "the last security note is written with a straight apostrophe (they're)");
const Fault kTollFreeNumberTransposed("tollFreeNumberTransposed",
                                      "Contact us shows the toll-free number with two digits swapped");

namespace {

using sim::Node;
using Type = XCUIElementType;

Node staticText(const std::string& label, const std::string& identifier = {}) {
  return Node(Type::staticText, identifier, label);
}

Node at(double y, double height) { return Node(Type::other).withFrame({0, y, 390, height}); }

// A pushed page's navigation bar: the back button "More" and the title view.
Node pushedBar(VesmoraModel& model, const std::string& title) {
  Node bar(Type::navigationBar, title);
  bar.withFrame({0, 47, 390, 44});
  bar.add(Node(Type::button, "BackButton", texts::kMoreTitle).withFrame({0, 47, 80, 44}).onTap([&model] {
    model.closeMorePage();
  }));
  bar.add(Node(Type::other, title, title).withFrame({120, 47, 150, 44}));
  return bar;
}

Node menuCell(const std::string& identifier, double y, const std::string& title, const std::string& subText,
              const std::string& titleIdentifier = {}) {
  Node cell(Type::cell, identifier);
  cell.withFrame({0, y, 390, 88});
  cell.add(staticText(title, titleIdentifier)).add(staticText(subText));
  return cell;
}

void addMenu(Node& content, VesmoraModel& model) {
  content.add(Node(Type::navigationBar, texts::kMoreTitle)
                  .withFrame({0, 47, 390, 44})
                  .add(staticText(texts::kMoreTitle))
                  .add(Node(Type::button, texts::kLogOut, texts::kLogOut).withFrame({300, 47, 90, 44}).onTap([&model] {
                    model.logOut();
                  })));
  Node header(Type::other, "moreHeader");
  header.withFrame({0, 91, 390, 60});
  if (!model.settings().faults.has(kMoreHeaderIconMissing)) header.add(Node(Type::image, "moreHeaderIcon"));
  content.add(header);
  Node table(Type::table, "MoreTable");
  table.withFrame({0, 151, 390, 610});
  table.add(Node(Type::cell, "moreTitleCell").withFrame({0, 151, 390, 44}).add(staticText(texts::kMoreTitle)));
  bool namesKind = model.settings().faults.has(kBiometricRowNamesKind);
  table.add(menuCell("biometricSettingsCell", 195, texts::kBiometricSettings,
                     texts::biometricSettingsSubText(namesKind ? model.biometryName() : model.biometryWord()))
                .onTap([&model] { model.openBiometricSettings(); }));
  table.add(menuCell("eTransferPreferencesCell", 283, texts::kETransferPreferences,
                     texts::kETransferPreferencesSubText, "MoreViewInteractPreferences")
                .onTap([&model] { model.openETransferPreferences(); }));
  table.add(menuCell("contactUsCell", 371, texts::kContactUs, texts::kContactUsSubText).onTap([&model] {
    model.openContactUs();
  }));
  content.add(table);
}

void addBiometricSettings(Node& content, VesmoraModel& model) {
  std::string kind = model.biometryName();
  content.add(pushedBar(model, kind));
  Node scroll(Type::scrollView, "BiometricSettingsScrollView");
  scroll.withFrame({0, 91, 390, 670});
  scroll.add(at(111, 44).add(Node(Type::switch_, "EnableBiometrics", texts::enableBiometricsLabel(kind))
                                 .withValue(std::string(model.biometricLoginOn() ? "1" : "0"))
                                 .onTap([&model] { model.tapEnableBiometrics(); })));
  scroll.add(at(165, 44).add(Node(Type::switch_, "StoreBiometrics", texts::storeBiometricsLabel(kind))
                                 .withValue(std::string(model.storeBiometricsOn() ? "1" : "0"))
                                 .onTap([&model] { model.tapStoreBiometrics(); })));
  scroll.add(at(229, 30).add(staticText(texts::kSecurityNote)));
  scroll.add(at(269, 44).add(staticText(texts::securityNote1(kind))));
  scroll.add(at(323, 66).add(staticText(texts::securityNote2(kind))));
  std::string note3 = texts::securityNote3(kind);
  if (model.settings().faults.has(kStraightApostropheInNote)) {
    std::string curly = "they\u2019re";
    note3.replace(note3.find(curly), curly.size(), "they're");
  }
  scroll.add(at(399, 110).add(staticText(note3)));
  content.add(scroll);
}

void addContactUs(Node& content, VesmoraModel& model) {
  content.add(pushedBar(model, texts::kContactUs));
  Node scroll(Type::scrollView, "ContactUsScrollView");
  scroll.withFrame({0, 91, 390, 670});
  scroll.add(at(111, 30).add(staticText(texts::kGiveUsFeedback)));
  scroll.add(at(141, 66).add(staticText(texts::kGiveUsFeedbackSubText)));
  scroll.add(at(217, 44).add(Node(Type::button, texts::kGetStarted, texts::kGetStarted)));
  scroll.add(at(291, 30).add(staticText(texts::kEmailUsAnytime)));
  scroll.add(at(321, 44).add(staticText(texts::kEmailUsSubText)));
  scroll.add(at(365, 44).add(Node(Type::button, "emailAddressButton", texts::kSupportEmailAddress)));
  scroll.add(at(439, 30).add(staticText(texts::kCallUsTollFree)));
  scroll.add(at(469, 44).add(staticText(texts::kCallUsTollFreeSubText)));
  bool transposed = model.settings().faults.has(kTollFreeNumberTransposed);
  scroll.add(at(513, 44).add(
      Node(Type::button, "tollFreeNumberButton", transposed ? "1-800-555-0124" : texts::kTollFreeNumber)));
  content.add(scroll);
}

}  // namespace

void addMoreTab(Node& content, VesmoraModel& model) {
  switch (model.morePage()) {
    case MorePage::menu:
      addMenu(content, model);
      break;
    case MorePage::biometricSettings:
      addBiometricSettings(content, model);
      break;
    case MorePage::contactUs:
      addContactUs(content, model);
      break;
    case MorePage::eTransferPreferences:
      addETransferPreferences(content, model);
      break;
  }
}

}  // namespace vesmora::views
