// The bill-payment and e-Transfer forms (their messages, schedules, memo and "another" reset) and
// the test backend's booking of bill payments and e-Transfers.
#include <gtest/gtest.h>

#include <thread>

#include "FormSteps.h"
#include "model/TestBackend.h"
#include "model/TransferForm.h"

using namespace vesmora;
using Form = TransferForm;
using testsupport::dec;
using testsupport::pick;

namespace {

const CalendarDay kToday{2026, 12, 7};

Form paymentForm(Form::Purpose purpose, const std::string& faults = "") {
  std::vector<MovableAccount> accounts = {{"chq", "Bills", "001-1", "CAD", dec("2480.15")},
                                          {"usd", "US Dollar Chequing", "001-3", "USD", dec("2150.40")}};
  std::vector<Payee> payees = {{"hydro", "Hydro", "8812004417", ""}, {"sam", "Sam Whitfield", "sam@example.com", "who made it?"}};
  return Form(purpose, accounts, payees, kToday, Faults::parse(faults), dec("1.50"));
}

void fill(Form& form, const std::string& amount) {
  form.openAccountPicker(true);
  form.chooseAccount("chq");
  form.openAccountPicker(false);
  form.choosePayee("hydro");
  form.focusField(Form::Focus::amount);
  form.type(amount);
  form.focusField(Form::Focus::memo);
  form.type("Testing Memo");
}

TransferOrder order(const char* from, const char* to, const char* amount, CalendarDay day = kToday) {
  TransferOrder o;
  o.fromId = from;
  o.toId = to;
  o.amount = dec(amount);
  o.firstDate = day;
  return o;
}

}  // namespace

TEST(PaymentForm, EachFormNamesWhatIsMissingAndKeepsTheMemo) {
  Form bill = paymentForm(Form::Purpose::billPayment);
  bill.focusField(Form::Focus::memo);
  bill.type("This is my memo");
  EXPECT_FALSE(bill.validate());
  EXPECT_EQ(bill.fromError(), "Select an account.");
  EXPECT_EQ(bill.toError(), "Select a payee.");
  EXPECT_EQ(bill.amountError(), "Enter an amount.");
  EXPECT_EQ(bill.memo(), "This is my memo");
  // The To picker of a payment offers payees only: an account id is no payee, nor an unknown id.
  bill.openAccountPicker(false);
  bill.chooseAccount("chq");
  bill.choosePayee("nobody");
  EXPECT_EQ(bill.payee(), nullptr);
  bill.selectKind(Form::Kind::recurring);
  bill.selectEnding(Form::Ending::numberOf);
  bill.validate();
  EXPECT_EQ(bill.numberOfError(), "Enter the number of payments.");

  Form eTransfer = paymentForm(Form::Purpose::eTransfer);
  eTransfer.validate();
  EXPECT_EQ(eTransfer.toError(), "Select a recipient.");
  // e-Transfers leave Canadian-dollar accounts only; bills may be paid from any deposit.
  eTransfer.openAccountPicker(true);
  EXPECT_EQ(eTransfer.pickerAccounts().size(), 1u);
  eTransfer.chooseAccount("usd");
  EXPECT_EQ(eTransfer.from(), nullptr);
  bill.openAccountPicker(true);
  EXPECT_EQ(bill.pickerAccounts().size(), 2u);
  Form faulty = paymentForm(Form::Purpose::billPayment, "payeeMessageSaysAccount,memoClearedOnSubmit");
  faulty.focusField(Form::Focus::memo);
  faulty.type("memo");
  faulty.validate();
  EXPECT_EQ(faulty.toError(), "Select an account.");
  EXPECT_EQ(faulty.memo(), "");
}

TEST(PaymentForm, OrdersCarryMemoAndFeeAndTheETransferGoesOutToday) {
  Form eTransfer = paymentForm(Form::Purpose::eTransfer);
  eTransfer.openAccountPicker(true);
  eTransfer.chooseAccount("chq");
  eTransfer.openAccountPicker(false);
  eTransfer.choosePayee("sam");
  eTransfer.focusField(Form::Focus::amount);
  eTransfer.type("0.01");
  ASSERT_TRUE(eTransfer.validate());
  TransferOrder o = eTransfer.order();
  EXPECT_EQ(o.toId, "sam");
  EXPECT_EQ(o.fee, dec("1.50"));
  EXPECT_EQ(o.firstDate, kToday);
  EXPECT_FALSE(o.recurring);
  EXPECT_EQ(paymentForm(Form::Purpose::eTransfer, "eTransferFeeNotCharged").order().fee, platform::Decimal());

  Form bill = paymentForm(Form::Purpose::billPayment);
  fill(bill, "0.01");
  pick(bill, Form::DateField::transfer, "March", "1", "2027");
  EXPECT_EQ(bill.order().memo, "Testing Memo");
  EXPECT_EQ(bill.order().fee, platform::Decimal()) << "bills cost no fee";
  EXPECT_EQ(bill.order().firstDate, (CalendarDay{2027, 3, 1}));
  Form shifted = paymentForm(Form::Purpose::billPayment, "paymentDateOffByDay");
  pick(shifted, Form::DateField::transfer, "December", "31", "2026");
  EXPECT_EQ(shifted.transferDate(), (CalendarDay{2027, 1, 1}));
}

TEST(PaymentForm, YearlyPaymentsCountWholeYears) {
  Form bill = paymentForm(Form::Purpose::billPayment);
  bill.selectKind(Form::Kind::recurring);
  bill.openFrequencyPicker();
  bill.turnWheel(0, "Yearly");
  bill.pickerDone();
  ASSERT_EQ(bill.frequency(), "Yearly");
  pick(bill, Form::DateField::start, "February", "29", "2028");
  bill.selectEnding(Form::Ending::endDate);
  pick(bill, Form::DateField::end, "February", "28", "2028");
  EXPECT_EQ(bill.endDate(), bill.startDate()) << "an end before the start becomes the start";
  EXPECT_EQ(bill.transferCount(), 1);
  // A year less a day holds one payment; the day a year on holds the second.
  Form later = paymentForm(Form::Purpose::billPayment);
  later.selectKind(Form::Kind::recurring);
  later.openFrequencyPicker();
  later.turnWheel(0, "Yearly");
  later.pickerDone();
  pick(later, Form::DateField::start, "December", "9", "2026");
  later.selectEnding(Form::Ending::endDate);
  pick(later, Form::DateField::end, "December", "8", "2027");
  EXPECT_EQ(later.transferCount(), 1) << "a day short of a year";
  pick(later, Form::DateField::end, "December", "9", "2027");
  EXPECT_EQ(later.transferCount(), 2);
  later.selectEnding(Form::Ending::numberOf);
  later.focusField(Form::Focus::numberOf);
  later.type("3");
  EXPECT_EQ(later.lastDate(), (CalendarDay{2028, 12, 9}));
  // Transfers offer no yearly frequency.
  Form transfer(std::vector<MovableAccount>{}, kToday, Faults());
  transfer.openFrequencyPicker();
  transfer.turnWheel(0, "Yearly");
  transfer.pickerDone();
  EXPECT_EQ(transfer.frequency(), "Weekly");
}

TEST(PaymentForm, AnotherPaymentStartsEmptyOverTheBalancesAfter) {
  Form bill = paymentForm(Form::Purpose::billPayment);
  fill(bill, "0.01");
  bill.selectKind(Form::Kind::recurring);
  bill.complete("Your transaction number is: 1", {{"chq", "Bills", "001-1", "CAD", dec("2480.14")}});
  Form fresh = bill.another();
  EXPECT_EQ(fresh.stage(), Form::Stage::form);
  EXPECT_EQ(fresh.purpose(), Form::Purpose::billPayment);
  EXPECT_EQ(fresh.kind(), Form::Kind::oneTime);
  EXPECT_EQ(fresh.amountText(), "");
  EXPECT_EQ(fresh.memo(), "");
  EXPECT_EQ(fresh.from(), nullptr);
  EXPECT_EQ(fresh.payee(), nullptr);
  EXPECT_EQ(fresh.accounts()[0].balance, dec("2480.14"));
  EXPECT_EQ(fresh.payees().size(), 2u);
  Form faulty = paymentForm(Form::Purpose::billPayment, "anotherKeepsAmount");
  fill(faulty, "0.01");
  EXPECT_EQ(faulty.another().amountText(), "0.01");
}

TEST(PaymentForm, MemoKeepsWholeCharactersUpToItsLimit) {
  Form bill = paymentForm(Form::Purpose::billPayment);
  bill.focusField(Form::Focus::memo);
  bill.type(std::string(99, 'a') + "\xC3\xA9" + "b");  // 99 bytes, then "é" (2 bytes), then one more
  EXPECT_EQ(bill.memo().size(), Form::kMaxMemoLength + 1) << "a character begun below the limit is kept whole";
  EXPECT_EQ(bill.memo().substr(99), "\xC3\xA9");
  bill.type("\b");
  EXPECT_EQ(bill.memo(), std::string(99, 'a')) << "delete removes the whole character";
  Form transfer(std::vector<MovableAccount>{}, kToday, Faults());
  transfer.focusField(Form::Focus::memo);
  EXPECT_EQ(transfer.focus(), Form::Focus::none) << "transfers have no memo";
}

TEST(PaymentBooking, BillPaymentsAndETransfersMoveExactAmounts) {
  TestBackend bank(TestBackend::defaultFixturePath());
  EXPECT_EQ(bank.eTransferFee(), dec("1.50"));
  ASSERT_EQ(bank.payees("billpayer01").size(), 2u);
  EXPECT_TRUE(bank.payees("nobody").empty());
  EXPECT_EQ(bank.recipients("etransfer01")[0].securityQuestion, "who made it?");

  // Today's payment leaves at once, down to the threshold of the bill tests' data.
  EXPECT_EQ(bank.payBill("billpayer01", order("dep-sav-billpayer01", "payee-hydro", "0.01"), kToday), "40170001");
  EXPECT_EQ(bank.movableAccounts("billpayer01")[1].balance, dec("1.00"));
  auto details = *bank.accountDetails("billpayer01", "dep-sav-billpayer01");
  EXPECT_EQ(details["transactions"][0]["description"], "Hydro bill payment");
  EXPECT_EQ(details["transactions"][0]["amount"], "-0.01");
  // Later and recurring payments wait.
  TransferOrder recurring = order("dep-chq-billpayer01", "payee-phone", "0.01", kToday.addingDays(2));
  recurring.recurring = true;
  recurring.frequency = "Yearly";
  EXPECT_TRUE(bank.payBill("billpayer01", recurring, kToday));
  EXPECT_TRUE(bank.payBill("billpayer01", order("dep-chq-billpayer01", "payee-hydro", "0.01", kToday.addingDays(364)), kToday));
  EXPECT_EQ(bank.scheduledTransfers().size(), 2u);
  EXPECT_EQ(bank.movableAccounts("billpayer01")[0].balance, dec("2480.15"));
  // Refused: someone else's account, an unknown payee, a fraction of a cent, a day gone.
  EXPECT_FALSE(bank.payBill("billpayer01", order("dep-chq-2038556", "payee-hydro", "0.01"), kToday));
  EXPECT_FALSE(bank.payBill("billpayer01", order("dep-chq-billpayer01", "recipient-sam", "0.01"), kToday));
  EXPECT_FALSE(bank.payBill("billpayer01", order("dep-chq-billpayer01", "payee-hydro", "0.001"), kToday));
  EXPECT_FALSE(bank.payBill("billpayer01", order("dep-chq-billpayer01", "payee-hydro", "0.01", {2026, 12, 6}), kToday));

  // An e-Transfer takes amount and fee at once, exactly.
  TransferOrder send = order("dep-chq-etransfer01", "recipient-sam", "0.01");
  send.fee = bank.eTransferFee();
  EXPECT_TRUE(bank.sendETransfer("etransfer01", send, kToday));
  EXPECT_EQ(bank.movableAccounts("etransfer01")[0].balance, dec("12344.16"));
  EXPECT_EQ((*bank.accountDetails("etransfer01", "dep-chq-etransfer01"))["transactions"].size(), 2u);
  send.firstDate = kToday.addingDays(1);
  EXPECT_FALSE(bank.sendETransfer("etransfer01", send, kToday)) << "e-Transfers are not dated ahead";
  send.firstDate = kToday;
  send.toId = "payee-hydro";
  EXPECT_FALSE(bank.sendETransfer("etransfer01", send, kToday));
  bank.reseed();
  EXPECT_EQ(bank.movableAccounts("etransfer01")[0].balance, dec("12345.67"));
  EXPECT_TRUE(bank.scheduledTransfers().empty());
}

TEST(PaymentBooking, ETransfersFromTwoThreadsAddUpExactly) {
  TestBackend bank(TestBackend::defaultFixturePath());
  TransferOrder send = order("dep-chq-etransfer01", "recipient-sam", "0.01");
  send.fee = dec("1.50");
  TransferOrder bill = order("dep-chq-etransfer01", "payee-hydro", "0.03");
  std::thread other([&] {
    for (int i = 0; i < 100; ++i) bank.payBill("etransfer01", bill, kToday);
  });
  for (int i = 0; i < 100; ++i) bank.sendETransfer("etransfer01", send, kToday);
  other.join();
  EXPECT_EQ(bank.movableAccounts("etransfer01")[0].balance, dec("12191.67"));
}
