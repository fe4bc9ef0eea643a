#include "app/PaymentViews.h"

#include "app/TransferViews.h"
#include "model/AccountPages.h"

namespace vesmora::views {

namespace {

using xcui::CGRect;
using T = XCUIElementType;
using Form = TransferForm;
using namespace parts;

constexpr const char* kBillPaymentDone = "You've successfully created your bill payment.";
constexpr const char* kETransferSent = "You've successfully sent funds by Interac e-Transfer";

// The lines of the review and completion, each a caption and its values, from `top` down.
class Lines {
 public:
  Lines(sim::Node& content, double top) : content_(content), top_(top) {}

  void add(const std::string& caption, std::vector<sim::Node> values) {
    double height = values.size() > 1 ? 84 : 48;
    sim::Node row = rowAt("", top_, height);
    row.add(text("", caption));
    for (auto& v : values) row.add(std::move(v));
    content_.add(std::move(row));
    top_ += height;
  }
  void add(const std::string& caption, const std::string& identifier, const std::string& value) {
    std::vector<sim::Node> values;
    values.push_back(text(identifier, value));
    add(caption, std::move(values));
  }

 private:
  sim::Node& content_;
  double top_;
};

void summaryLines(const Form& form, sim::Node& content, double top) {
  Lines lines(content, top);
  const MovableAccount* from = form.from();
  const Payee* payee = form.payee();
  const bool bill = form.purpose() == Form::Purpose::billPayment;
  std::vector<sim::Node> fromValues;
  fromValues.push_back(text("Move_Money_From_Name", from ? from->label : ""));
  fromValues.push_back(text("Move_Money_From_Number", from ? "(" + from->number + ")" : ""));
  auto balance = form.fromBalance();
  fromValues.push_back(text("Move_Money_From_Balance", balance && from ? accountAmountText(*balance, from->currency) : ""));
  lines.add("From", std::move(fromValues));
  std::vector<sim::Node> toValues;
  // A bill's payee is read by the identifier "To", so its caption must not read "To".
  toValues.push_back(text(bill ? "To" : "Move_Money_To_Name", payee ? payee->label : ""));
  toValues.push_back(text("Move_Money_To_Number", payee ? payee->detail : ""));
  lines.add(bill ? "Payee" : "Recipient", std::move(toValues));
  lines.add("Amount", "Move_Money_Amount", form.amountLabel());
  if (form.purpose() == Form::Purpose::eTransfer) {
    lines.add("Fee", "Move_Money_Fee", accountAmountText(form.fee(), "CAD"));
  } else if (form.kind() == Form::Kind::oneTime) {
    lines.add("Payment date", "Move_Money_Date", form.transferDate().text());
  } else {
    lines.add("Frequency", "Move_Money_Frequency", form.frequency());
    lines.add("Starting", "Move_Money_Date", form.startDate().text());
    lines.add("Ending", "Move_Money_End_Date", form.endingLabel());
    if (auto count = form.transferCount()) lines.add("Number of payments", "Move_Money_Number_Of_Payments", std::to_string(*count));
  }
  if (!form.memo().empty()) lines.add("Memo", "Move_Money_Memo", form.memo());
}

sim::Node button(const std::string& title, double left, double width, double top, std::function<void()> action) {
  return sim::Node(T::button, title, title).withFrame(CGRect{left, top, width, 40}).onTap(std::move(action));
}

}  // namespace

sim::Node paymentSummaryPage(VesmoraModel& model) {
  const Form& form = *model.transferForm();
  const bool bill = form.purpose() == Form::Purpose::billPayment;
  if (form.stage() == Form::Stage::review) {
    sim::Node content(T::other, "paymentReview");
    summaryLines(form, content, 108);
    content.add(rowAt("reviewButtons", 700, 40)
                    .add(button("Edit", 16, 170, 700, [&model] { model.editTransfer(); }))
                    .add(button(bill ? "Pay bill" : "Transfer", 204, 170, 700, [&model] { model.confirmTransfer(); })));
    return scrollingPage("paymentReviewView", bill ? "Review Payment" : "Review Transfer", "PaymentReviewScrollView",
                         std::move(content));
  }
  sim::Node content(T::other, "paymentComplete");
  content.add(rowAt("confirmationRow", 104, 60)
                  .add(text("paymentCompleteMessage", bill ? kBillPaymentDone : kETransferSent))
                  .add(text("Move_Money_Confirmation_Number", form.confirmationNumber())));
  summaryLines(form, content, 168);
  sim::Node buttons = rowAt("completeButtons", 676, 84);
  if (bill) {
    buttons.add(button("Pay another bill", 16, kWidth - 32, 700, [&model] { model.makeAnotherPayment(); }));
  } else {
    buttons.add(button("Make another Interac e-Transfer", 16, kWidth - 32, 676, [&model] { model.makeAnotherPayment(); }));
    buttons.add(button("Done", 16, kWidth - 32, 720, [&model] { model.finishTransfer(); }));
  }
  content.add(std::move(buttons));
  return scrollingPage("paymentCompleteView", bill ? "Payment Complete" : "Transfer Complete",
                       "PaymentCompleteScrollView", std::move(content));
}

}  // namespace vesmora::views
