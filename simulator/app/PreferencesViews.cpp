#include "app/PreferencesViews.h"

#include "app/OverviewViews.h"
#include "app/TransferViews.h"

#include <algorithm>

namespace vesmora::views {

// Faults of the e-Transfer preferences' drawing (see model/Faults.h).
const Fault kRegisterShownWithRegistrations("registerShownWithRegistrations",
                                            "the Autodeposit section offers \"Register\" although addresses are listed");
const Fault kNoProfileOffersRegister("noProfileOffersRegister",
                                     "without a sender profile the Autodeposit section still offers \"Register\"");
const Fault kAccountMessageWithPeriod("accountMessageWithPeriod",
                                      "the autodeposit editor's account message reads \"Select an account.\"");
const Fault kLegalNoticeOnlyAfterChoice("legalNoticeOnlyAfterChoice",
                                        "the legal-name notice shows only after an account is picked, not when an "
                                        "existing registration opens");

namespace {

using xcui::CGRect;
using T = XCUIElementType;
using Focus = PreferencesArea::Focus;

constexpr double kTableTop = 91;
constexpr double kTableBottom = 761;
constexpr double kTableHeight = kTableBottom - kTableTop;
constexpr double kSwipeDistance = 400;

sim::Node text(const std::string& identifier, const std::string& label, CGRect frame) {
  return sim::Node(T::staticText, identifier, label).withFrame(frame);
}

sim::Node bar(VesmoraModel& model, const std::string& title, bool editor, bool deletable) {
  sim::Node nav(T::navigationBar, title);
  nav.withFrame({0, 47, kWidth, 44});
  if (editor) {
    nav.add(sim::Node(T::button, "Close", "Close").withFrame({0, 47, 80, 44}).onTap([&model] {
      model.closePreferencesEditor();
    }));
    if (deletable) {
      nav.add(sim::Node(T::button, "Delete", "Delete").withFrame({310, 47, 80, 44}).onTap([&model] {
        model.tapAutodepositDelete();
      }));
    }
  } else {
    nav.add(sim::Node(T::button, "BackButton", texts::kMoreTitle).withFrame({0, 47, 80, 44}).onTap([&model] {
      model.closeMorePage();
    }));
  }
  nav.add(sim::Node(T::other, title, title).withFrame({100, 47, 190, 44}));
  return nav;
}

// A row of the page's table, laid out in content coordinates.
struct Row {
  sim::Node node;
  double top;
  double height;
};

// Moves a node and its descendants down by `dy` points.
void shift(sim::Node& node, double dy) {
  if (!node.frame.isEmpty()) node.frame.origin.y += dy;
  for (auto& child : node.children) shift(child, dy);
}

double contentHeight(const std::vector<Row>& rows) {
  return rows.empty() ? 0 : rows.back().top + rows.back().height;
}

void scrollBy(PreferencesArea& prefs, double delta, double height) {
  prefs.scrollOffset = std::clamp(prefs.scrollOffset + delta, 0.0, std::max(0.0, height - kTableHeight));
}

// A swipe up or down moves the content by 400 points; true when the action was one.
bool swipeScrolls(PreferencesArea& prefs, const sim::Action& action, double height) {
  if (action.kind == sim::Action::Kind::swipeUp) scrollBy(prefs, kSwipeDistance, height);
  if (action.kind == sim::Action::Kind::swipeDown) scrollBy(prefs, -kSwipeDistance, height);
  return action.kind == sim::Action::Kind::swipeUp || action.kind == sim::Action::Kind::swipeDown;
}

// Gives the scrolling actions (swipes up and down, scrolling into view) that reach a row or any
// control in it to `scroll`; every other action goes to the control's own handler. The row itself
// handles them when nothing else does.
void routeScrolling(sim::Node& node, const std::function<void(const sim::Action&)>& scroll, bool isRow = true) {
  for (auto& child : node.children) routeScrolling(child, scroll, false);
  if (!node.onAction && !isRow) return;
  auto own = node.onAction;
  node.onAction = [own, scroll](const sim::Action& action) {
    bool scrolling = action.kind == sim::Action::Kind::swipeUp || action.kind == sim::Action::Kind::swipeDown ||
                     action.kind == sim::Action::Kind::scrollToVisible;
    if (scrolling) {
      scroll(action);
    } else if (own) {
      own(action);
    }
  };
}

sim::Node entryField(VesmoraModel& model, const std::string& identifier, const std::string& caption,
                     const std::string& value, double y) {
  // The profile is read here and changed in its editor: a tap opens the editor.
  return sim::Node(T::textField, identifier, caption)
      .withValue(value)
      .withFrame({16, y, kWidth - 32, 40})
      .onTap([&model] { model.openProfileEditor(); });
}

std::vector<Row> pageRows(VesmoraModel& model) {
  const PreferencesArea& prefs = model.preferences();
  const Faults& faults = model.settings().faults;
  std::vector<Row> rows;
  double y = 0;

  sim::Node profile(T::cell, "interactProfileCell");
  profile.withFrame({0, y, kWidth, 200});
  profile.add(text("interactProfileTitleLabel", texts::kInteracProfileTitle, {16, y + 10, kWidth - 32, 24}));
  profile.add(text("", texts::kInteracProfileMessage, {16, y + 40, kWidth - 32, 60}));
  if (prefs.profile) {
    profile.add(entryField(model, "interactProfileEmailEntry", "Email", prefs.profile->email, y + 106));
    profile.add(entryField(model, "interactProfileNameEntry", "Name", prefs.profile->name, y + 152));
  } else {
    profile.add(sim::Node(T::button, texts::kCreateProfile, texts::kCreateProfile)
                    .withFrame({16, y + 120, kWidth - 32, 44})
                    .onTap([&model] { model.openProfileEditor(); }));
  }
  rows.push_back({std::move(profile), y, 200});
  y += 200;

  bool listed = !prefs.registrations.empty();
  sim::Node autodeposit(T::cell, "autodepositCell");
  autodeposit.withFrame({0, y, kWidth, 150});
  autodeposit.add(text("", texts::kAutodeposit, {16, y + 10, kWidth - 32, 24}));
  autodeposit.add(text("", prefs.profile ? texts::kHasProfileAutodeposit : texts::kNoProfileAutodeposit,
                       {16, y + 40, kWidth - 32, 60}));
  bool offersRegister = prefs.profile ? (!listed || faults.has(kRegisterShownWithRegistrations))
                                      : faults.has(kNoProfileOffersRegister);
  if (offersRegister) {
    autodeposit.add(sim::Node(T::button, texts::kRegister, texts::kRegister)
                        .withFrame({16, y + 100, kWidth - 32, 44})
                        .onTap([&model] { model.openAutodepositEditor(""); }));
  }
  rows.push_back({std::move(autodeposit), y, 150});
  y += 150;

  for (const auto& r : prefs.registrations) {
    const MovableAccount* account = prefs.account(r.accountId);
    sim::Node cell(T::cell, "autodepositRegistrationCell");
    cell.withFrame({0, y, kWidth, 130});
    cell.add(text("autodepositStatusLabel", r.status, {16, y + 6, 120, 20}));
    cell.add(text("autodepositEmailHeadingLabel", texts::kEmailHeading, {16, y + 30, 100, 20}));
    cell.add(text("autodepositEmailLabel", r.email, {16, y + 52, 260, 20}));
    cell.add(text("autodepositAccountHeadingLabel", texts::kAccountHeading, {16, y + 78, 100, 20}));
    cell.add(text("autodepositAccountNameLabel", account ? account->label : "", {16, y + 100, 200, 20}));
    cell.add(text("autodepositAccountNumberLabel", account ? account->number : "", {220, y + 100, 150, 20}));
    std::string email = r.email;
    if (prefs.swipedEmail == email) {
      cell.add(sim::Node(T::button, "Delete", "Delete").withFrame({300, y, 90, 130}).onTap([&model, email] {
        model.tapRegistrationDelete(email);
      }));
    }
    cell.on([&model, email](const sim::Action& action) {
      switch (action.kind) {
        case sim::Action::Kind::tap:
          model.openAutodepositEditor(email);
          break;
        case sim::Action::Kind::swipeLeft:
          model.swipeRegistration(email, true);
          break;
        case sim::Action::Kind::swipeRight:
          model.swipeRegistration(email, false);
          break;
        default:
          break;
      }
    });
    rows.push_back({std::move(cell), y, 130});
    y += 130;
  }
  if (prefs.profile && listed) {
    sim::Node another(T::cell, "autodepositRegisterAnotherCell");
    another.withFrame({0, y, kWidth, 60});
    another.add(sim::Node(T::button, texts::kRegisterAnother, texts::kRegisterAnother)
                    .withFrame({16, y + 8, kWidth - 32, 44})
                    .onTap([&model] { model.openAutodepositEditor(""); }));
    rows.push_back({std::move(another), y, 60});
  }
  return rows;
}

// The page's table. As on a device, only rows within one table height of the visible part are in
// the tree, and a row is hittable while its middle shows; swipes scroll by 400 points and a tap on
// a row out of view scrolls it in first.
sim::Node pageTable(VesmoraModel& model) {
  std::vector<Row> rows = pageRows(model);
  double height = contentHeight(rows);
  PreferencesArea& prefs = model.preferences();
  scrollBy(prefs, 0, height);  // the list may have shrunk since the last scroll
  double offset = prefs.scrollOffset;
  sim::Node table(T::table, "ETransferPreferencesTable");
  table.withFrame({0, kTableTop, kWidth, kTableHeight});
  table.on([&model, height](const sim::Action& action) { swipeScrolls(model.preferences(), action, height); });
  for (auto& row : rows) {
    double top = kTableTop + row.top - offset;
    if (top + row.height < kTableTop - kTableHeight || top > kTableBottom + kTableHeight) continue;
    shift(row.node, kTableTop - offset);
    double middle = top + row.height / 2;
    setHittable(row.node, middle >= kTableTop && middle < kTableBottom);
    double rowTop = row.top, rowHeight = row.height;
    routeScrolling(row.node, [&model, rowTop, rowHeight, height](const sim::Action& action) {
      PreferencesArea& p = model.preferences();
      if (swipeScrolls(p, action, height)) return;
      // Brought into view: the least scroll that shows the whole row.
      if (rowTop < p.scrollOffset) scrollBy(p, rowTop - p.scrollOffset, height);
      if (rowTop + rowHeight > p.scrollOffset + kTableHeight)
        scrollBy(p, rowTop + rowHeight - kTableHeight - p.scrollOffset, height);
    });
    table.add(std::move(row.node));
  }
  return table;
}

sim::Node editorField(VesmoraModel& model, const std::string& identifier, const std::string& placeholder,
                      const std::string& value, Focus focus, double y, bool editable = true) {
  sim::Node field(T::textField, identifier);
  // Like the platform, an empty field reports its placeholder as its value.
  field.withValue(value.empty() ? placeholder : value)
      .withPlaceholder(placeholder)
      .withFocus(model.preferences().focus == focus)
      .withEnabled(editable)
      .withFrame({16, y, kWidth - 32, 40});
  field.on([&model, focus](const sim::Action& action) {
    if (action.kind == sim::Action::Kind::tap || action.kind == sim::Action::Kind::doubleTap)
      model.focusPreferencesField(focus);
    if (action.kind == sim::Action::Kind::typeText) model.typeIntoPreferencesField(focus, action.text);
  });
  return field;
}

sim::Node saveButton(VesmoraModel& model, double y) {
  return sim::Node(T::button, "Save", "Save").withFrame({16, y, kWidth - 32, 44}).onTap([&model] {
    model.savePreferencesEditor();
  });
}

void addProfileEditor(sim::Node& content, VesmoraModel& model) {
  const PreferencesArea& prefs = model.preferences();
  content.add(bar(model, prefs.creating ? texts::kCreateProfileTitle : texts::kEditProfileTitle, true, false));
  sim::Node form(T::scrollView, "profileEditor");
  form.withFrame({0, kTableTop, kWidth, kTableHeight});
  form.add(text("", texts::kProfileEditorMessage, {16, 101, kWidth - 32, 60}));
  form.add(text("", "Name", {16, 171, 200, 20}));
  form.add(editorField(model, "profileNameTextField", "Name", prefs.name, Focus::profileName, 195));
  if (!prefs.nameError.empty()) form.add(text("profileNameInLineError", prefs.nameError, {16, 237, kWidth - 32, 20}));
  form.add(text("", "Email", {16, 267, 200, 20}));
  form.add(editorField(model, "profileEmailTextField", "Email", prefs.email, Focus::profileEmail, 291));
  if (!prefs.emailError.empty())
    form.add(text("profileEmailInLineError", prefs.emailError, {16, 333, kWidth - 32, 20}));
  form.add(saveButton(model, 373));
  content.add(std::move(form));
}

void addAutodepositEditor(sim::Node& content, VesmoraModel& model) {
  const PreferencesArea& prefs = model.preferences();
  const Faults& faults = model.settings().faults;
  content.add(bar(model, prefs.creating ? texts::kRegisterAutodepositTitle : texts::kEditAutodepositTitle, true,
                  !prefs.creating));
  sim::Node form(T::scrollView, "autodepositEditor");
  form.withFrame({0, kTableTop, kWidth, kTableHeight});
  form.add(text("", texts::kAutodepositInformation, {16, 101, kWidth - 32, 80}));
  form.add(text("", texts::kIfSentTo, {16, 191, kWidth - 32, 20}));
  form.add(editorField(model, "emailTextField", "Email address", prefs.email, Focus::autodepositEmail, 215,
                       prefs.creating));
  if (!prefs.emailError.empty())
    form.add(text("autodepositEmailInLineError", prefs.emailError, {16, 257, kWidth - 32, 20}));
  form.add(text("", texts::kThenDepositInto, {16, 287, kWidth - 32, 20}));
  const MovableAccount* account = prefs.accountId ? prefs.account(*prefs.accountId) : nullptr;
  std::string chosen = account ? account->label + " (" + account->number + ")" : "";
  form.add(sim::Node(T::textField, "Account", "Account")
               .withValue(chosen.empty() ? std::string("Select account") : chosen)
               .withPlaceholder("Select account")
               .withFrame({16, 311, kWidth - 32, 40})
               .onTap([&model] { model.openAutodepositAccountSheet(); }));
  if (!prefs.accountError.empty()) {
    std::string message = faults.has(kAccountMessageWithPeriod) ? prefs.accountError + "." : prefs.accountError;
    form.add(text("autodepositAccountInLineError", message, {16, 353, kWidth - 32, 20}));
  }
  bool notice = account && (prefs.accountPicked || !faults.has(kLegalNoticeOnlyAfterChoice));
  if (notice) form.add(text("legalNameMessageLabel", texts::kLegalNameNotice, {16, 383, kWidth - 32, 60}));
  form.add(saveButton(model, 463));
  content.add(std::move(form));

  if (prefs.focus == Focus::autodepositEmail) {
    sim::Node toolbar(T::toolbar, "Toolbar");
    toolbar.withFrame({0, 500, kWidth, 44});
    toolbar.add(sim::Node(T::button, "Done", "Done").withFrame({310, 500, 80, 44}).onTap([&model] {
      model.preferencesKeyboardDone();
    }));
    content.add(std::move(toolbar));
  }
  if (prefs.accountSheetOpen) {
    sim::Node sheet(T::other, "autodepositAccountSheet");
    sheet.withFrame({0, 300, kWidth, 544}).asModal();
    sheet.add(text("", "Select account", {16, 310, kWidth - 32, 24}));
    sim::Node table(T::table, "autodepositAccountTable");
    table.withFrame({0, 344, kWidth, 500});
    double y = 344;
    for (const auto& a : prefs.accounts) {
      std::string id = a.id;
      sim::Node cell(T::cell, "autodepositAccount_" + a.id);
      cell.withFrame({0, y, kWidth, 60});
      cell.add(text("", a.label, {16, y + 6, 250, 22}));
      cell.add(text("", "(" + a.number + ")", {16, y + 32, 250, 22}));
      cell.onTap([&model, id] { model.chooseAutodepositAccount(id); });
      table.add(std::move(cell));
      y += 60;
    }
    sheet.add(std::move(table));
    content.add(std::move(sheet));
  }
}

}  // namespace

void addETransferPreferences(sim::Node& content, VesmoraModel& model) {
  switch (model.preferences().editor) {
    case PreferencesArea::Editor::profile:
      addProfileEditor(content, model);
      return;
    case PreferencesArea::Editor::autodeposit:
      addAutodepositEditor(content, model);
      return;
    case PreferencesArea::Editor::none:
      break;
  }
  content.add(bar(model, texts::kETransferPreferences, false, false));
  if (model.preferences().loaded) content.add(pageTable(model));
}

}  // namespace vesmora::views
