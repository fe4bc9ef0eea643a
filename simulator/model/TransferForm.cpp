#include "model/TransferForm.h"

#include <algorithm>
#include <cctype>


namespace vesmora {

// Faults of the transfer form (see model/Faults.h).
const Fault kMinimumAmountNotChecked("minimumAmountNotChecked",
                                     "the transfer form takes amounts above zero but below $0.01");
const Fault kSameAccountAllowed("sameAccountAllowed", "the transfer form lets the same account be From and To");
const Fault kEmptyAmountShowsLimitMessage("emptyAmountShowsLimitMessage",
                                          "an empty amount gets the limit message instead of \"Enter an amount.\"");
const Fault kPickerDoneIgnoresWheels("pickerDoneIgnoresWheels",
                                     "the date picker's Done keeps the field's old date instead of the wheels'");
const Fault kRecurringEndDateShiftedByDay("recurringEndDateShiftedByDay",
                                          "a recurring transfer's end date is kept one day before the picked day");
const Fault kTransferCountOffByOne("transferCountOffByOne",
                                   "the number of transfers up to an end date counts a started week as a transfer");
const Fault kAnotherKeepsAmount("anotherKeepsAmount", "\"Pay another bill\" empties the form but keeps the old amount");
const Fault kPaymentDateOffByDay("paymentDateOffByDay",
                                 "a bill payment's date is kept one day after the day picked");
const Fault kETransferFeeNotCharged("eTransferFeeNotCharged", "an e-Transfer goes out without its fee");
const Fault kPayeeMessageSaysAccount("payeeMessageSaysAccount",
                                      "an empty payee field gets \"Select an account.\" instead of \"Select a payee.\"");
const Fault kMemoClearedOnSubmit("memoClearedOnSubmit", "a Submit that shows in-line messages empties the memo");
const Fault kYearlyFrequencyMissing("yearlyFrequencyMissing", "the bill payment's frequency picker leaves out \"Yearly\"");
const Fault kImmediateKeepsOpeningDay("immediateKeepsOpeningDay",
                                      "a payment dated today keeps the day its form opened: confirmed after "
                                      "midnight, the bank refuses it as dated in the past");
const Fault kPickedDateBecomesToday("pickedDateBecomesToday",
                                    "once midnight has passed, a one-time date picked ahead becomes the new today "
                                    "as well");
const Fault kCompletionBalanceOffByCent("completionBalanceOffByCent",
                                        "the completion screen shows the destination's new balance a cent short");

namespace {

const platform::Decimal& minimumAmount() {
  static const platform::Decimal value = *platform::Decimal::parse("0.01");
  return value;
}

const platform::Decimal& maximumAmount() {
  static const platform::Decimal value = *platform::Decimal::parse("99999.99");
  return value;
}

bool isDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

}  // namespace

const std::vector<std::string>& TransferForm::frequencies() {
  static const std::vector<std::string> values = {"Weekly", "Every 2 weeks", "Monthly"};
  return values;
}

const std::vector<std::string>& TransferForm::monthNames() {
  static const std::vector<std::string> names = {"January", "February", "March",     "April",   "May",      "June",
                                                 "July",    "August",   "September", "October", "November", "December"};
  return names;
}

TransferForm::TransferForm(std::vector<MovableAccount> accounts, CalendarDay today, Faults faults)
    : accounts_(std::move(accounts)),
      faults_(std::move(faults)),
      today_(today),
      deviceDay_(today),
      transferDate_(today),
      startDate_(today.addingDays(1)),
      endDate_(today.addingDays(8)) {}

TransferForm::TransferForm(Purpose purpose, std::vector<MovableAccount> accounts, std::vector<Payee> payees,
                           CalendarDay today, Faults faults, platform::Decimal fee)
    : TransferForm(std::move(accounts), today, std::move(faults)) {
  purpose_ = purpose;
  payees_ = std::move(payees);
  fee_ = fee;
}

TransferForm TransferForm::another() const {
  TransferForm fresh(purpose_, accounts_, payees_, today_, faults_, fee_);
  // The accounts as the bank has them after the last payment.
  if (!accountsAfter_.empty()) fresh.accounts_ = accountsAfter_;
  fresh.deviceDay_ = deviceDay_;
  if (purpose_ == Purpose::billPayment && faults_.has(kAnotherKeepsAmount)) fresh.amountText_ = amountText_;
  return fresh;
}

void TransferForm::setToday(CalendarDay today) {
  if (today == deviceDay_) return;
  deviceDay_ = today;
  if (faults_.has(kImmediateKeepsOpeningDay)) return;
  if (dateIsToday_ || faults_.has(kPickedDateBecomesToday)) transferDate_ = today;
  today_ = today;
}

const Payee* TransferForm::payee() const {
  if (purpose_ == Purpose::transfer) return nullptr;
  auto it = std::find_if(payees_.begin(), payees_.end(), [&](const Payee& p) { return p.id == toId_; });
  return it == payees_.end() ? nullptr : &*it;
}

std::vector<std::string> TransferForm::frequencyChoices() const {
  std::vector<std::string> values = frequencies();
  if (purpose_ == Purpose::billPayment && !faults_.has(kYearlyFrequencyMissing)) values.push_back("Yearly");
  return values;
}

const MovableAccount* TransferForm::account(const std::string& id) const {
  auto it = std::find_if(accounts_.begin(), accounts_.end(), [&](const MovableAccount& a) { return a.id == id; });
  return it == accounts_.end() ? nullptr : &*it;
}

const MovableAccount* TransferForm::accountAfter(const std::string& id) const {
  auto it = std::find_if(accountsAfter_.begin(), accountsAfter_.end(), [&](const MovableAccount& a) { return a.id == id; });
  return it == accountsAfter_.end() ? nullptr : &*it;
}

std::vector<const MovableAccount*> TransferForm::pickerAccounts() const {
  std::vector<const MovableAccount*> out;
  const MovableAccount* source = from();
  for (const MovableAccount& a : accounts_) {
    if (picker_ == Picker::toAccount && source && a.currency != source->currency) continue;
    if (!sends(a)) continue;
    out.push_back(&a);
  }
  return out;
}

std::vector<std::vector<std::string>> TransferForm::wheelValues() const {
  if (picker_ == Picker::frequency) return {frequencyChoices()};
  if (picker_ != Picker::date) return {};
  std::vector<std::string> days, years;
  for (int d = 1; d <= 31; ++d) days.push_back(std::to_string(d));
  for (int y = today_.year; y <= today_.year + kPickerYears; ++y) years.push_back(std::to_string(y));
  return {monthNames(), days, years};
}

int TransferForm::stepDays() const {
  if (frequency_ == "Weekly") return 7;
  if (frequency_ == "Every 2 weeks") return 14;
  return 0;
}

int TransferForm::stepMonths() const { return frequency_ == "Yearly" ? 12 : 1; }

std::optional<CalendarDay> TransferForm::lastDate() const {
  if (ending_ != Ending::never) {
    auto count = transferCount();
    if (!count) return std::nullopt;
    int step = stepDays();
    return step ? startDate_.addingDays(static_cast<long long>(*count - 1) * step)
                : startDate_.addingMonths((*count - 1) * stepMonths());
  }
  return std::nullopt;
}

std::optional<int> TransferForm::transferCount() const {
  switch (ending_) {
    case Ending::never:
      return std::nullopt;
    case Ending::numberOf: {
      if (numberOfText_.empty()) return std::nullopt;
      int n = std::stoi(numberOfText_);
      return n > 0 ? std::optional<int>(n) : std::nullopt;
    }
    case Ending::endDate: {
      if (endDate_ < startDate_) return std::nullopt;
      long long days = startDate_.daysUntil(endDate_);
      if (int step = stepDays()) {
        if (faults_.has(kTransferCountOffByOne)) return static_cast<int>((days + step - 1) / step + 1);
        return static_cast<int>(days / step + 1);
      }
      int months = 0;
      while (startDate_.addingMonths((months + 1) * stepMonths()) <= endDate_) ++months;
      return months + 1;
    }
  }
  return std::nullopt;
}

std::string TransferForm::endingLabel() const {
  if (ending_ == Ending::never) return texts::kNever;
  // The end date as chosen; the last transfer's day for a number of transfers.
  if (ending_ == Ending::endDate) return endDate_.text();
  auto last = lastDate();
  return last ? last->text() : "";
}

TransferOrder TransferForm::order() const {
  TransferOrder o;
  o.fromId = fromId_;
  o.toId = toId_;
  o.amount = parseAmount(amountText_).value_or(platform::Decimal());
  o.recurring = kind_ == Kind::recurring;
  o.firstDate = o.recurring ? startDate_ : transferDate_;
  o.memo = memo_;
  if (purpose_ == Purpose::eTransfer) {
    o.firstDate = today_;
    o.fee = faults_.has(kETransferFeeNotCharged) ? platform::Decimal() : fee_;
  }
  if (o.recurring) {
    o.frequency = frequency_;
    o.lastDate = lastDate();
    o.occurrences = transferCount();
  }
  return o;
}

std::optional<platform::Decimal> TransferForm::fromBalance() const {
  const MovableAccount* a = stage_ == Stage::complete ? accountAfter(fromId_) : from();
  return a ? std::optional<platform::Decimal>(a->balance) : std::nullopt;
}

std::optional<platform::Decimal> TransferForm::toBalance() const {
  const MovableAccount* a = stage_ == Stage::complete ? accountAfter(toId_) : to();
  if (!a) return std::nullopt;
  if (stage_ == Stage::complete && faults_.has(kCompletionBalanceOffByCent)) return a->balance - minimumAmount();
  return a->balance;
}

void TransferForm::selectKind(Kind kind) {
  kind_ = kind;
  focus_ = Focus::none;
}

void TransferForm::openAccountPicker(bool from) {
  focus_ = Focus::none;
  picker_ = from ? Picker::fromAccount : Picker::toAccount;
  sheetOffset_ = 0;
}

bool TransferForm::sends(const MovableAccount& account) const {
  // Interac e-Transfers move Canadian dollars only.
  return purpose_ != Purpose::eTransfer || account.currency == "CAD";
}

void TransferForm::chooseAccount(const std::string& accountId) {
  const MovableAccount* chosen = account(accountId);
  if (!chosen || !sends(*chosen) || (picker_ == Picker::toAccount && purpose_ != Purpose::transfer)) return;
  if (picker_ == Picker::fromAccount) {
    fromId_ = accountId;
    // Money moves only between accounts of one currency.
    if (to() && to()->currency != from()->currency) toId_.clear();
  } else if (picker_ == Picker::toAccount) {
    toId_ = accountId;
  }
  picker_ = Picker::none;
}

void TransferForm::choosePayee(const std::string& payeeId) {
  if (picker_ != Picker::toAccount ||
      std::none_of(payees_.begin(), payees_.end(), [&](const Payee& p) { return p.id == payeeId; })) {
    return;
  }
  toId_ = payeeId;
  picker_ = Picker::none;
}

CalendarDay& TransferForm::dateOf(DateField field) {
  switch (field) {
    case DateField::start:
      return startDate_;
    case DateField::end:
      return endDate_;
    case DateField::transfer:
      break;
  }
  return transferDate_;
}

CalendarDay TransferForm::firstAllowed(DateField field) const {
  switch (field) {
    case DateField::start:
      return today_.addingDays(1);
    case DateField::end:
      return startDate_;
    case DateField::transfer:
      break;
  }
  return today_;
}

void TransferForm::openDatePicker(DateField field) {
  focus_ = Focus::none;
  picker_ = Picker::date;
  pickerDate_ = field;
  const CalendarDay& day = dateOf(field);
  wheels_ = {monthNames()[static_cast<std::size_t>(day.month - 1)], std::to_string(day.day), std::to_string(day.year)};
}

void TransferForm::openFrequencyPicker() {
  focus_ = Focus::none;
  picker_ = Picker::frequency;
  wheels_ = {frequency_};
}

void TransferForm::turnWheel(std::size_t wheel, const std::string& value) {
  auto values = wheelValues();
  if (wheel >= values.size() || std::find(values[wheel].begin(), values[wheel].end(), value) == values[wheel].end()) {
    return;
  }
  wheels_[wheel] = value;
}

void TransferForm::pickerDone() {
  if (picker_ == Picker::frequency) {
    frequency_ = wheels_[0];
  } else if (picker_ == Picker::date && !faults_.has(kPickerDoneIgnoresWheels)) {
    const auto& months = monthNames();
    int month = static_cast<int>(std::find(months.begin(), months.end(), wheels_[0]) - months.begin()) + 1;
    int year = std::stoi(wheels_[2]);
    int day = std::min(std::stoi(wheels_[1]), CalendarDay::daysInMonth(year, month));
    CalendarDay picked{year, month, day};
    picked = std::max(picked, firstAllowed(pickerDate_));
    if (pickerDate_ == DateField::end) {
      endDateChosen_ = true;
      if (faults_.has(kRecurringEndDateShiftedByDay)) picked = picked.addingDays(-1);
    }
    if (purpose_ == Purpose::billPayment && pickerDate_ == DateField::transfer && faults_.has(kPaymentDateOffByDay)) {
      picked = picked.addingDays(1);
    }
    dateOf(pickerDate_) = picked;
    if (pickerDate_ == DateField::transfer) dateIsToday_ = picked == today_;
    // A start moved past the end takes the end with it.
    if (pickerDate_ == DateField::start && endDate_ < startDate_) endDate_ = startDate_;
  }
  closePicker();
}

void TransferForm::closePicker() {
  picker_ = Picker::none;
  wheels_.clear();
}

void TransferForm::focusField(Focus field) {
  if (field == Focus::numberOf && (kind_ != Kind::recurring || ending_ != Ending::numberOf)) return;
  if (field == Focus::memo && purpose_ == Purpose::transfer) return;
  focus_ = field;
}

void TransferForm::type(const std::string& keys) {
  if (focus_ == Focus::none) return;
  if (focus_ == Focus::memo) {
    // A text keyboard: anything but the delete key is written, up to the memo's length.
    for (char c : keys) {
      if (c == '\b' || c == '\x7f') {
        // Remove one whole character (UTF-8 continuation bytes first).
        while (!memo_.empty() && (static_cast<unsigned char>(memo_.back()) & 0xC0) == 0x80) memo_.pop_back();
        if (!memo_.empty()) memo_.pop_back();
      } else if (memo_.size() < kMaxMemoLength || (static_cast<unsigned char>(c) & 0xC0) == 0x80) {
        memo_ += c;
      }
    }
    return;
  }
  // Decimal and number pads: digits (and the amount's ".") only; "\b" deletes.
  bool amount = focus_ == Focus::amount;
  std::string& text = amount ? amountText_ : numberOfText_;
  std::size_t limit = amount ? kMaxAmountLength : kMaxNumberOfLength;
  for (char c : keys) {
    if (c == '\b' || c == '\x7f') {
      if (!text.empty()) text.pop_back();
    } else if ((isDigit(c) || (amount && c == '.')) && text.size() < limit) {
      text += c;
    }
  }
}

void TransferForm::selectEnding(Ending ending) {
  ending_ = ending;
  focus_ = Focus::none;
  if (ending == Ending::endDate && !endDateChosen_ && endDate_ < startDate_) endDate_ = startDate_;
}

std::optional<platform::Decimal> TransferForm::parseAmount(const std::string& text) {
  std::size_t dots = 0, digits = 0;
  for (char c : text) {
    if (c == '.') {
      ++dots;
    } else if (isDigit(c)) {
      ++digits;
    } else {
      return std::nullopt;
    }
  }
  if (digits == 0 || dots > 1) return std::nullopt;
  return platform::Decimal::parse(text.front() == '.' ? "0" + text : text);
}

bool TransferForm::validate() {
  focus_ = Focus::none;
  fromError_ = from() ? "" : texts::kSelectAccount;
  switch (purpose_) {
    case Purpose::transfer:
      toError_ = to() ? "" : texts::kSelectAccount;
      if (from() && to() && fromId_ == toId_ && !faults_.has(kSameAccountAllowed)) {
        toError_ = texts::kSelectDifferentAccounts;
      }
      break;
    case Purpose::billPayment:
      toError_ = payee() ? "" : faults_.has(kPayeeMessageSaysAccount) ? texts::kSelectAccount : texts::kSelectPayee;
      break;
    case Purpose::eTransfer:
      toError_ = payee() ? "" : texts::kSelectRecipient;
      break;
  }

  amountError_.clear();
  if (amountText_.empty()) {
    amountError_ = faults_.has(kEmptyAmountShowsLimitMessage) ? texts::kAmountLimits : texts::kEnterAmount;
  } else if (auto amount = parseAmount(amountText_)) {
    bool inCents = amount->rounded(2) == *amount;
    bool aboveMinimum = *amount >= minimumAmount();
    if (faults_.has(kMinimumAmountNotChecked)) {
      inCents = true;
      aboveMinimum = *amount > platform::Decimal();
    }
    if (!inCents || !aboveMinimum || *amount > maximumAmount()) amountError_ = texts::kAmountLimits;
  } else {
    // Text that is no amount at all ("0.01.00") gets the same message as one out of bounds.
    amountError_ = texts::kAmountLimits;
  }

  numberOfError_.clear();
  if (kind_ == Kind::recurring && ending_ == Ending::numberOf && !transferCount()) {
    numberOfError_ = purpose_ == Purpose::billPayment ? texts::kEnterNumberOfPayments : texts::kEnterNumberOfTransfers;
  }
  bool valid = fromError_.empty() && toError_.empty() && amountError_.empty() && numberOfError_.empty();
  if (!valid && faults_.has(kMemoClearedOnSubmit)) memo_.clear();
  return valid;
}

void TransferForm::complete(std::string confirmationNumber, std::vector<MovableAccount> accountsAfter) {
  confirmation_ = std::move(confirmationNumber);
  accountsAfter_ = std::move(accountsAfter);
  stage_ = Stage::complete;
}

}  // namespace vesmora
