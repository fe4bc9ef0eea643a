// The money forms: a transfer between two of the customer's accounts, a bill payment to a payee
// and an Interac e-Transfer to a recipient. Each is a form (accounts or payee, amount, one-time or
// recurring, dates, frequency and ending, memo), its in-line validation, the review of what will
// be sent and the completion with the bank's confirmation number and the new balances. Dates are
// calendar days; the date pickers' wheels are applied only when the picker's Done is tapped.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "foundation/Decimal.h"
#include "model/Backend.h"
#include "model/CalendarDay.h"
#include "model/Faults.h"

namespace vesmora {

namespace texts {
inline constexpr const char* kSelectAccount = "Select an account.";
inline constexpr const char* kSelectDifferentAccounts = "Select different accounts.";
inline constexpr const char* kEnterAmount = "Enter an amount.";
inline constexpr const char* kAmountLimits = "Enter an amount between $0.01 and $99,999.99";
inline constexpr const char* kEnterNumberOfTransfers = "Enter the number of transfers.";
inline constexpr const char* kNever = "Never";
inline constexpr const char* kConfirmationPrefix = "Your transaction number is: ";
inline constexpr const char* kSelectPayee = "Select a payee.";
inline constexpr const char* kSelectRecipient = "Select a recipient.";
inline constexpr const char* kEnterNumberOfPayments = "Enter the number of payments.";
}  // namespace texts

class TransferForm {
 public:
  enum class Kind { oneTime, recurring };
  enum class Ending { never, endDate, numberOf };
  enum class DateField { transfer, start, end };
  enum class Stage { form, review, complete };
  enum class Picker { none, fromAccount, toAccount, date, frequency };
  enum class Focus { none, amount, numberOf, memo };
  // What the form moves money to: another account, a bill payee or an e-Transfer recipient.
  enum class Purpose { transfer, billPayment, eTransfer };

  static const std::vector<std::string>& frequencies();  // "Weekly", "Every 2 weeks", "Monthly"
  // The frequencies this form offers: bill payments may also recur yearly.
  std::vector<std::string> frequencyChoices() const;
  static const std::vector<std::string>& monthNames();   // "January" ... "December"
  static constexpr std::size_t kMaxAmountLength = 12;
  static constexpr std::size_t kMaxNumberOfLength = 3;
  static constexpr std::size_t kMaxMemoLength = 100;  // bytes of UTF-8
  // How many years ahead the date pickers reach.
  static constexpr int kPickerYears = 2;

  TransferForm() = default;
  // A new form over the customer's accounts, dated `today` (a one-time transfer today, a
  // recurring one from tomorrow).
  TransferForm(std::vector<MovableAccount> accounts, CalendarDay today, Faults faults);
  // A bill-payment or e-Transfer form: To picks one of `payees`; an e-Transfer costs `fee` and
  // goes out today.
  TransferForm(Purpose purpose, std::vector<MovableAccount> accounts, std::vector<Payee> payees, CalendarDay today,
               Faults faults, platform::Decimal fee = {});
  // The same form empty again, over the same accounts and payees ("Pay another bill").
  TransferForm another() const;
  // The device's day the form opened on, when the form was dated another day (by default the
  // day it was made with). `setToday` compares against it, not against the form's own date.
  void setOpeningDeviceDay(CalendarDay day) { deviceDay_ = day; }
  // The device's day as the form is sent on (Submit, the review's confirmation, "another"): when
  // the device's day has moved on since the form opened (midnight passed), a one-time date that
  // was today (as preset, or picked on its day) becomes `today`: a payment "today" goes out on the
  // day it is sent, an e-Transfer always. The pickers' first allowed days follow. A day picked
  // ahead stays as picked, also once it has gone by (the bank refuses it). While the device's day
  // is the one the form opened on, nothing changes: a form dated a wrong day keeps it.
  void setToday(CalendarDay today);

  // --- state ---------------------------------------------------------------------------------
  Stage stage() const { return stage_; }
  Kind kind() const { return kind_; }
  Purpose purpose() const { return purpose_; }
  const std::vector<MovableAccount>& accounts() const { return accounts_; }
  const MovableAccount* from() const { return account(fromId_); }
  const MovableAccount* to() const { return purpose_ == Purpose::transfer ? account(toId_) : nullptr; }
  // The chosen payee or recipient (bill payments and e-Transfers).
  const Payee* payee() const;
  const std::vector<Payee>& payees() const { return payees_; }
  const std::string& memo() const { return memo_; }
  const platform::Decimal& fee() const { return fee_; }
  const std::string& amountText() const { return amountText_; }
  const std::string& numberOfText() const { return numberOfText_; }
  const CalendarDay& today() const { return today_; }
  const CalendarDay& transferDate() const { return transferDate_; }
  const CalendarDay& startDate() const { return startDate_; }
  const CalendarDay& endDate() const { return endDate_; }
  const std::string& frequency() const { return frequency_; }
  Ending ending() const { return ending_; }
  Focus focus() const { return focus_; }
  Picker picker() const { return picker_; }
  DateField pickerDate() const { return pickerDate_; }
  // In-line messages of the last Submit (empty: none).
  const std::string& fromError() const { return fromError_; }
  const std::string& toError() const { return toError_; }
  const std::string& amountError() const { return amountError_; }
  const std::string& numberOfError() const { return numberOfError_; }

  // The accounts an account picker offers: every account for From (Canadian-dollar ones for an
  // e-Transfer); for To, those in the From account's currency (every account while no From is
  // chosen).
  std::vector<const MovableAccount*> pickerAccounts() const;
  // How far the account sheet's list is scrolled (points); back at the top whenever it opens.
  double sheetOffset() const { return sheetOffset_; }
  void setSheetOffset(double offset) { sheetOffset_ = offset < 0 ? 0 : offset; }
  // The picker's wheels: their values and the value each is turned to.
  std::vector<std::vector<std::string>> wheelValues() const;
  std::vector<std::string> wheelSelection() const { return wheels_; }

  // What the review and completion screens show.
  std::string amountLabel() const { return "$" + amountText_; }  // as typed: "$25", "$12.50"
  // The day of the last transfer of a recurring transfer; empty when it never ends.
  std::optional<CalendarDay> lastDate() const;
  // How many transfers a recurring transfer makes; empty when it never ends.
  std::optional<int> transferCount() const;
  std::string endingLabel() const;  // the last day's "Dec 17, 2026", or "Never"
  // The order the review sends to the bank.
  TransferOrder order() const;
  const std::string& confirmationNumber() const { return confirmation_; }
  // The two accounts' balances: before the transfer on the form and review, after it on the
  // completion screen.
  std::optional<platform::Decimal> fromBalance() const;
  std::optional<platform::Decimal> toBalance() const;

  // --- actions -------------------------------------------------------------------------------
  void selectKind(Kind kind);
  void openAccountPicker(bool from);
  void chooseAccount(const std::string& accountId);
  // The To picker of a bill payment or e-Transfer: a payee or recipient by its id.
  void choosePayee(const std::string& payeeId);
  void openDatePicker(DateField field);
  void openFrequencyPicker();
  void turnWheel(std::size_t wheel, const std::string& value);
  // The picker toolbar's Done: applies the wheels (a day past the month's end becomes its last
  // day; a day before the field's first allowed day becomes that day) and closes the picker.
  void pickerDone();
  void closePicker();
  void focusField(Focus field);
  void type(const std::string& keys);
  // The keyboard toolbar's Done.
  void endEditing() { focus_ = Focus::none; }
  void selectEnding(Ending ending);
  // Submit: sets the in-line messages; true when the form can go to review.
  bool validate();
  void showReview() { stage_ = Stage::review; }
  void edit() { stage_ = Stage::form; }
  // The bank booked the order: the completion with its confirmation number and the accounts as
  // the bank now has them.
  void complete(std::string confirmationNumber, std::vector<MovableAccount> accountsAfter);

  // The amount of a text: plain digits with at most one "."; empty for anything else.
  static std::optional<platform::Decimal> parseAmount(const std::string& text);

 private:
  const MovableAccount* account(const std::string& id) const;
  const MovableAccount* accountAfter(const std::string& id) const;
  // Whether money can leave `account` through this form.
  bool sends(const MovableAccount& account) const;
  CalendarDay& dateOf(DateField field);
  CalendarDay firstAllowed(DateField field) const;
  // Days between two transfers (0 for monthly and yearly ones), and months between them.
  int stepDays() const;
  int stepMonths() const;

  std::vector<MovableAccount> accounts_;
  std::vector<MovableAccount> accountsAfter_;
  Faults faults_;
  CalendarDay today_;
  CalendarDay deviceDay_;  // the device's day when the form opened or was last sent on
  Stage stage_ = Stage::form;
  Kind kind_ = Kind::oneTime;
  std::string fromId_;
  std::string toId_;
  std::string amountText_;
  std::string numberOfText_;
  CalendarDay transferDate_;
  bool dateIsToday_ = true;  // the one-time date was today when it was set
  CalendarDay startDate_;
  CalendarDay endDate_;
  bool endDateChosen_ = false;
  std::string frequency_ = "Weekly";
  Ending ending_ = Ending::never;
  Purpose purpose_ = Purpose::transfer;
  std::vector<Payee> payees_;
  std::string memo_;
  platform::Decimal fee_;
  Focus focus_ = Focus::none;
  Picker picker_ = Picker::none;
  DateField pickerDate_ = DateField::transfer;
  std::vector<std::string> wheels_;
  double sheetOffset_ = 0;
  std::string fromError_, toError_, amountError_, numberOfError_;
  std::string confirmation_;
};

}  // namespace vesmora
