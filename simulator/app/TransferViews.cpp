#include "app/TransferViews.h"

#include "app/OverviewViews.h"
#include "app/PaymentViews.h"
#include "model/AccountPages.h"

#include <algorithm>

namespace vesmora::views {

// Faults of the transfer screens' drawing (see model/Faults.h).
const Fault kSecurityQuestionMissing("securityQuestionMissing",
                                     "the e-Transfer form does not show the recipient's security question");
const Fault kReviewToBeforeFrom("reviewToBeforeFrom",
                                "the review and completion screens list the To account before the From account");
const Fault kDateFieldShowsNextDay("dateFieldShowsNextDay",
                                   "the one-time date field shows the day after the form's date, under a line that "
                                   "shows the form's date");

using xcui::CGRect;
using T = XCUIElementType;
using Form = TransferForm;

namespace parts {

sim::Node text(const std::string& identifier, const std::string& label) {
  return sim::Node(T::staticText, identifier, label);
}

sim::Node rowAt(const std::string& identifier, double top, double height) {
  return sim::Node(T::other, identifier).withFrame(CGRect{0, top, kWidth, height});
}

sim::Node navigationBar(const std::string& title) {
  sim::Node bar(T::navigationBar, title);
  bar.withFrame(CGRect{0, 47, kWidth, 53});
  bar.add(text("", title));
  return bar;
}

sim::Node scrollingPage(const std::string& identifier, const std::string& title, const std::string& scrollIdentifier,
                        sim::Node content) {
  sim::Node page(T::other, identifier);
  page.add(navigationBar(title));
  sim::Node scroll(T::scrollView, scrollIdentifier);
  scroll.withFrame(CGRect{0, kContentTop, kWidth, kContentBottom - kContentTop});
  scroll.add(std::move(content));
  page.add(std::move(scroll));
  return page;
}

}  // namespace parts

namespace {

using namespace parts;

std::string balanceText(const std::optional<platform::Decimal>& balance, const MovableAccount* account) {
  return balance && account ? accountAmountText(*balance, account->currency) : "";
}

// The From or To field of the form: its caption (tapped to choose), the chosen account and the
// in-line message.
sim::Node accountField(VesmoraModel& model, bool from, double top) {
  Form& form = *model.transferForm();
  const std::string side = from ? "from" : "to";
  const MovableAccount* account = from ? form.from() : form.to();
  sim::Node field = rowAt(side + "AccountField", top, 84);
  field.add(text("", from ? "From Account" : "To Account"));
  if (const Payee* payee = from ? nullptr : form.payee()) {
    field.add(text("payeeName", payee->label));
    field.add(text("payeeDetail", payee->detail));
  }
  if (account) {
    field.add(text(side + "AccountName", account->label));
    field.add(text(side + "AccountNumber", "(" + account->number + ")"));
    field.add(text(side + "AccountBalance", accountAmountText(account->balance, account->currency)));
  }
  const std::string& error = from ? form.fromError() : form.toError();
  if (!error.empty()) field.add(text(side + "AccountInLineError", error));
  field.onTap([&form, from] { form.openAccountPicker(from); });
  return field;
}

// A caption with the field's value; a tap opens its picker.
sim::Node pickerField(const std::string& identifier, const std::string& caption, const std::string& value, double top,
                      std::function<void()> open) {
  sim::Node field = rowAt(identifier, top, 50);
  field.add(text("", caption));
  field.add(text(identifier + "Value", value));
  field.onTap(std::move(open));
  return field;
}

sim::Node textView(const std::string& identifier, const std::string& value, bool focused, Form& form, Form::Focus focus) {
  sim::Node view(T::textView, identifier);
  view.withValue(value).withFocus(focused);
  view.on([&form, focus](const sim::Action& action) {
    if (action.kind == sim::Action::Kind::tap || action.kind == sim::Action::Kind::doubleTap) form.focusField(focus);
    if (action.kind == sim::Action::Kind::typeText) form.type(action.text);
  });
  return view;
}

sim::Node formPage(VesmoraModel& model) {
  Form& form = *model.transferForm();
  const bool bill = form.purpose() == Form::Purpose::billPayment;
  const bool eTransfer = form.purpose() == Form::Purpose::eTransfer;
  sim::Node content(T::other, "transferForm");

  if (eTransfer) {
    content.add(rowAt("eTransferHeader", 108, 36).add(text("", "Interac e-Transfer")));
  } else {
    sim::Node kinds(T::segmentedControl, "transferTypeControl");
    kinds.withFrame(CGRect{16, 108, kWidth - 32, 36});
    const std::pair<const char*, Form::Kind> segments[] = {{bill ? "One-time payment" : "One-time", Form::Kind::oneTime},
                                                           {bill ? "Recurring payment" : "Recurring", Form::Kind::recurring}};
    for (const auto& [title, kind] : segments) {
      Form::Kind k = kind;
      kinds.add(
          sim::Node(T::button, title, title).withSelected(form.kind() == kind).onTap([&form, k] { form.selectKind(k); }));
    }
    content.add(std::move(kinds));
  }
  content.add(accountField(model, true, 150));
  content.add(accountField(model, false, 240));

  double amountTop = 330;
  if (eTransfer) {
    // The recipient's security question, read-only.
    const Payee* recipient = form.payee();
    if (recipient && !model.settings().faults.has(kSecurityQuestionMissing)) {
      content.add(rowAt("securityQuestionField", 330, 50)
                      .add(text("", "Security question"))
                      .add(sim::Node(T::textView, "securityQuestionTextView", recipient->securityQuestion)
                               .withValue(recipient->securityQuestion)
                               .withEnabled(false)));
    }
    amountTop = 386;
  }
  sim::Node amount = rowAt("amountField", amountTop, 70);
  amount.add(text("", "Amount"));
  amount.add(textView("amountTextView", form.amountText(), form.focus() == Form::Focus::amount, form, Form::Focus::amount));
  if (!form.amountError().empty()) amount.add(text("amountInLineError", form.amountError()));
  content.add(std::move(amount));

  if (eTransfer) {
    // Sent today: no date.
  } else if (form.kind() == Form::Kind::oneTime) {
    CalendarDay shown = form.transferDate();
    double top = 406;
    if (model.settings().faults.has(kDateFieldShowsNextDay)) {
      content.add(rowAt("dateHintRow", top, 24).add(text("", shown.text())));
      shown = shown.addingDays(1);
      top += 26;
    }
    content.add(pickerField("transferDateField", bill ? "Payment date" : "Transfer date", shown.text(), top,
                            [&form] { form.openDatePicker(Form::DateField::transfer); }));
  } else {
    content.add(pickerField("frequencyField", "Frequency", form.frequency(), 406, [&form] { form.openFrequencyPicker(); }));
    content.add(pickerField("startingField", "Starting", form.startDate().text(), 458,
                            [&form] { form.openDatePicker(Form::DateField::start); }));
    sim::Node endings = rowAt("endingField", 510, 44);
    endings.add(text("", "Ending"));
    const std::pair<const char*, Form::Ending> choices[] = {{"Never", Form::Ending::never},
                                                            {"End date", Form::Ending::endDate},
                                                            {bill ? "No. of payments" : "No. of transfers", Form::Ending::numberOf}};
    for (const auto& [title, ending] : choices) {
      Form::Ending e = ending;
      endings.add(sim::Node(T::button, title, title).withSelected(form.ending() == ending).onTap([&form, e] {
        form.selectEnding(e);
      }));
    }
    content.add(std::move(endings));
    if (form.ending() == Form::Ending::endDate) {
      content.add(pickerField("endDateField", "End date", form.endDate().text(), 560,
                              [&form] { form.openDatePicker(Form::DateField::end); }));
    } else if (form.ending() == Form::Ending::numberOf) {
      sim::Node number = rowAt("numberOfField", 560, 64);
      number.add(text("", bill ? "Number of payments" : "Number of transfers"));
      number.add(textView("numberOfTextView", form.numberOfText(), form.focus() == Form::Focus::numberOf, form,
                          Form::Focus::numberOf));
      if (!form.numberOfError().empty()) number.add(text("numberOfInLineError", form.numberOfError()));
      content.add(std::move(number));
    }
  }
  double submitTop = 660;
  if (bill || eTransfer) {
    sim::Node memo = rowAt("memoField", eTransfer ? 462 : 626, 50);
    memo.add(text("", "Memo (optional)"));
    memo.add(textView("MemoTextView", form.memo(), form.focus() == Form::Focus::memo, form, Form::Focus::memo));
    content.add(std::move(memo));
    submitTop = 680;
  }
  content.add(rowAt("submitRow", submitTop, 36).add(sim::Node(T::button, "Submit", "Submit").onTap([&model] {
    model.submitTransfer();
  })));
  if (eTransfer) {
    sim::Node page = scrollingPage("eTransferView", "Transfer", "ETransferScrollView", std::move(content));
    // The bar's title view.
    page.children.front().add(sim::Node(T::other, "Transfer"));
    return page;
  }
  return scrollingPage(bill ? "payABillView" : "transferView", bill ? "Pay a bill" : "Transfer",
                       bill ? "PayABillScrollView" : "TransferScrollView", std::move(content));
}

// The lines the review and the completion share, each a caption and its values.
void summaryLines(VesmoraModel& model, sim::Node& content, double top) {
  const Form& form = *model.transferForm();
  auto line = [&](const std::string& caption, std::vector<sim::Node> values) {
    sim::Node row = rowAt("", top, values.size() > 1 ? 84 : 48);
    row.add(text("", caption));
    for (auto& v : values) row.add(std::move(v));
    top += values.size() > 1 ? 84 : 48;
    content.add(std::move(row));
  };
  auto accountLine = [&](bool from) {
    const MovableAccount* a = from ? form.from() : form.to();
    std::string side = from ? "From" : "To";
    std::vector<sim::Node> values;
    values.push_back(text("Move_Money_" + side + "_Name", a ? a->label : ""));
    values.push_back(text("Move_Money_" + side + "_Number", a ? "(" + a->number + ")" : ""));
    values.push_back(text("Move_Money_" + side + "_Balance", balanceText(from ? form.fromBalance() : form.toBalance(), a)));
    line(side, std::move(values));
  };
  bool toFirst = model.settings().faults.has(kReviewToBeforeFrom);
  accountLine(!toFirst);
  accountLine(toFirst);
  std::vector<sim::Node> amount;
  amount.push_back(text("Move_Money_Amount", form.amountLabel()));
  line("Amount", std::move(amount));
  auto single = [&](const std::string& caption, const std::string& identifier, const std::string& value) {
    std::vector<sim::Node> values;
    values.push_back(text(identifier, value));
    line(caption, std::move(values));
  };
  if (form.kind() == Form::Kind::oneTime) {
    single("When", "Move_Money_Date", form.transferDate().text());
    return;
  }
  single("Frequency", "Move_Money_Frequency", form.frequency());
  single("Starting", "Move_Money_Date", form.startDate().text());
  single("Ending", "Move_Money_End_Date", form.endingLabel());
  if (auto count = form.transferCount()) single("Number of transfers", "Move_Money_Number_Of_Transfers", std::to_string(*count));
}

sim::Node reviewPage(VesmoraModel& model) {
  sim::Node content(T::other, "transferReview");
  summaryLines(model, content, 108);
  sim::Node buttons = rowAt("reviewButtons", 690, 56);
  buttons.add(sim::Node(T::button, "Edit", "Edit").withFrame(CGRect{16, 690, 170, 56}).onTap([&model] {
    model.editTransfer();
  }));
  buttons.add(sim::Node(T::button, "Transfer", "Transfer").withFrame(CGRect{204, 690, 170, 56}).onTap([&model] {
    model.confirmTransfer();
  }));
  content.add(std::move(buttons));
  return scrollingPage("transferReviewView", "Review Transfer", "TransferReviewScrollView", std::move(content));
}

sim::Node completionPage(VesmoraModel& model) {
  sim::Node content(T::other, "transferComplete");
  content.add(rowAt("confirmationRow", 104, 40)
                  .add(text("Move_Money_Confirmation_Number", model.transferForm()->confirmationNumber())));
  summaryLines(model, content, 148);
  content.add(rowAt("doneRow", 700, 50).add(sim::Node(T::button, "Done", "Done").onTap([&model] {
    model.finishTransfer();
  })));
  return scrollingPage("transferCompleteView", "Transfer Complete", "TransferCompleteScrollView", std::move(content));
}

sim::Node accountSheet(Form& form) {
  sim::Node sheet(T::other, "accountPickerSheet");
  sheet.withFrame(CGRect{0, kContentTop, kWidth, kContentBottom - kContentTop}).asModal();
  sheet.add(rowAt("accountPickerHeader", kContentTop, 44)
                .add(text("", form.picker() == Form::Picker::fromAccount ? "From Account" : "To Account"))
                .add(sim::Node(T::button, "Cancel", "Cancel").onTap([&form] { form.closePicker(); })));
  // The list scrolls when it is longer than the sheet: swipes move it, a tap on a cell out of
  // view scrolls the cell in first.
  constexpr double kListTop = kContentTop + 44, kCellHeight = 64, kSwipe = 400;
  // Each cell: its id and texts; a bill payment's or e-Transfer's To list holds the payees.
  struct Row {
    std::string id;
    std::vector<std::string> texts;
  };
  std::vector<Row> rows;
  const bool payees = form.picker() == Form::Picker::toAccount && form.purpose() != Form::Purpose::transfer;
  if (payees) {
    for (const Payee& p : form.payees()) rows.push_back({p.id, {p.label, p.detail}});
  } else {
    for (const MovableAccount* a : form.pickerAccounts()) {
      rows.push_back({a->id, {a->label, "(" + a->number + ")", accountAmountText(a->balance, a->currency)}});
    }
  }
  double maxOffset = std::max(0.0, rows.size() * kCellHeight - (kContentBottom - kListTop));
  sim::Node table(T::table, "AccountPickerTable");
  table.withFrame(CGRect{0, kListTop, kWidth, kContentBottom - kListTop});
  auto scroll = [&form, maxOffset](const sim::Action& action) {
    if (action.kind == sim::Action::Kind::swipeUp) form.setSheetOffset(std::min(maxOffset, form.sheetOffset() + kSwipe));
    if (action.kind == sim::Action::Kind::swipeDown) form.setSheetOffset(form.sheetOffset() - kSwipe);
  };
  table.on(scroll);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    double top = kListTop + i * kCellHeight - form.sheetOffset();
    sim::Node cell(T::cell, rows[i].id);
    cell.withFrame(CGRect{0, top, kWidth, kCellHeight});
    for (const auto& t : rows[i].texts) cell.add(text("", t));
    double middle = top + kCellHeight / 2;
    setHittable(cell, middle >= kListTop && middle < kContentBottom);
    std::string id = rows[i].id;
    double contentTop = i * kCellHeight;
    cell.on([&form, id, contentTop, maxOffset, scroll, payees](const sim::Action& action) {
      if (action.kind == sim::Action::Kind::tap) {
        if (payees) {
          form.choosePayee(id);
        } else {
          form.chooseAccount(id);
        }
      } else if (action.kind == sim::Action::Kind::scrollToVisible) {
        double shown = kContentBottom - kListTop;
        if (contentTop < form.sheetOffset()) form.setSheetOffset(contentTop);
        if (contentTop + kCellHeight > form.sheetOffset() + shown) {
          form.setSheetOffset(std::min(maxOffset, contentTop + kCellHeight - shown));
        }
      } else {
        scroll(action);
      }
    });
    table.add(std::move(cell));
  }
  sheet.add(std::move(table));
  return sheet;
}

sim::Node pickerSheet(Form& form) {
  sim::Node sheet(T::other, "pickerSheet");
  sheet.withFrame(CGRect{0, 481, kWidth, 280}).asModal();
  sheet.add(sim::Node(T::toolbar, "pickerToolbar")
                .withFrame(CGRect{0, 481, kWidth, 44})
                .add(sim::Node(T::button, "toolbarDoneButton", "Done").onTap([&form] { form.pickerDone(); })));
  sim::Node picker(form.picker() == Form::Picker::date ? T::datePicker : T::picker,
                   form.picker() == Form::Picker::date ? "datePicker" : "frequencyPicker");
  auto values = form.wheelValues();
  auto selection = form.wheelSelection();
  for (std::size_t i = 0; i < values.size(); ++i) {
    sim::Node wheel(T::pickerWheel);
    wheel.withValue(selection[i]);
    wheel.pickerValues = values[i];
    wheel.on([&form, i](const sim::Action& action) {
      if (action.kind == sim::Action::Kind::adjustPickerWheel) form.turnWheel(i, action.text);
    });
    picker.add(std::move(wheel));
  }
  sheet.add(std::move(picker));
  return sheet;
}

}  // namespace

sim::Node transferPage(VesmoraModel& model) {
  if (model.transferForm()->purpose() != Form::Purpose::transfer &&
      model.transferForm()->stage() != Form::Stage::form) {
    return paymentSummaryPage(model);
  }
  switch (model.transferForm()->stage()) {
    case Form::Stage::review:
      return reviewPage(model);
    case Form::Stage::complete:
      return completionPage(model);
    case Form::Stage::form:
      break;
  }
  return formPage(model);
}

sim::Node transferOverlay(VesmoraModel& model) {
  sim::Node overlay(T::other);
  Form* form = model.transferForm();
  if (!form || form->stage() != Form::Stage::form || model.loading()) return overlay;
  switch (form->picker()) {
    case Form::Picker::fromAccount:
    case Form::Picker::toAccount:
      return accountSheet(*form);
    case Form::Picker::date:
    case Form::Picker::frequency:
      return pickerSheet(*form);
    case Form::Picker::none:
      break;
  }
  if (form->focus() != Form::Focus::none) {
    // The keyboard's toolbar.
    overlay.add(sim::Node(T::toolbar, "Toolbar")
                    .withFrame(CGRect{0, 717, kWidth, 44})
                    .add(sim::Node(T::button, "Done", "Done").onTap([form] { form->endEditing(); })));
  }
  return overlay;
}

}  // namespace vesmora::views
