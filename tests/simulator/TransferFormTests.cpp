// The transfer form's calendar days, validation, pickers and schedule, and the test backend's
// booking of transfers.
#include <gtest/gtest.h>

#include "FormSteps.h"
#include "model/TestBackend.h"
#include "model/TransferForm.h"
#include "model/VesmoraModel.h"

#include <thread>

using namespace vesmora;
using testsupport::dec;
using testsupport::pick;

namespace {

// A transfer on one day, not recurring.
TransferOrder oneTimeOrder(std::string from, std::string to, platform::Decimal amount, CalendarDay day) {
  TransferOrder order;
  order.fromId = std::move(from);
  order.toId = std::move(to);
  order.amount = std::move(amount);
  order.firstDate = day;
  return order;
}

std::vector<MovableAccount> accounts() {
  return {{"chq", "Everyday Chequing", "001-1", "CAD", dec("5240.75")},
          {"sav", "Rainy day", "001-2", "CAD", dec("12500.00")},
          {"usd", "US Dollar Chequing", "001-3", "USD", dec("2150.40")}};
}

TransferForm formOn(CalendarDay today, const std::string& faults = "") {
  return TransferForm(accounts(), today, Faults::parse(faults));
}

std::string amountMessage(const std::string& typed) {
  TransferForm form = formOn({2026, 12, 7});
  form.focusField(TransferForm::Focus::amount);
  form.type(typed);
  form.validate();
  return form.amountError();
}

}  // namespace

TEST(CalendarDay, RollsOverMonthsYearsAndLeapDays) {
  EXPECT_EQ((CalendarDay{2026, 12, 31}.addingDays(1)), (CalendarDay{2027, 1, 1}));
  EXPECT_EQ((CalendarDay{2027, 1, 1}.addingDays(-1)), (CalendarDay{2026, 12, 31}));
  EXPECT_EQ((CalendarDay{2028, 2, 28}.addingDays(1)), (CalendarDay{2028, 2, 29}));
  EXPECT_EQ((CalendarDay{2100, 2, 28}.addingDays(1)), (CalendarDay{2100, 3, 1})) << "no leap day in 2100";
  EXPECT_EQ((CalendarDay{1969, 12, 31}.serial()), -1);
  EXPECT_EQ((CalendarDay{2026, 12, 30}.daysUntil({2027, 1, 9})), 10);
  EXPECT_EQ((CalendarDay{2027, 1, 31}.addingMonths(1)), (CalendarDay{2027, 2, 28}));
  EXPECT_EQ((CalendarDay{2026, 11, 30}.addingMonths(2)), (CalendarDay{2027, 1, 30}));
  EXPECT_EQ((CalendarDay{2027, 1, 15}.addingMonths(-1)), (CalendarDay{2026, 12, 15}));
  EXPECT_EQ((CalendarDay{2027, 1, 6}.text()), "Jan 6, 2027");
  EXPECT_EQ((CalendarDay{2027, 1, 6}.iso()), "2027-01-06");
  EXPECT_EQ(CalendarDay::fromISO("2028-02-29"), (CalendarDay{2028, 2, 29}));
  EXPECT_FALSE(CalendarDay::fromISO("2027-02-29"));
  EXPECT_FALSE(CalendarDay::fromISO("2027-1-06"));
}

TEST(CalendarDay, TodayIsTheDeviceZonesDay) {
  // 2026-12-31 23:30 in Denver is already 2027-01-01 06:30 in UTC and 12:00 in Kolkata.
  double instant = *platform::dateFromComponents({2027, 1, 1, 6, 30, 0}, platform::TimeZone::utc());
  EXPECT_EQ(CalendarDay::of(instant, *platform::TimeZone::named("America/Denver")), (CalendarDay{2026, 12, 31}));
  EXPECT_EQ(CalendarDay::of(instant, platform::TimeZone::utc()), (CalendarDay{2027, 1, 1}));
}

TEST(TransferForm, AmountLimitsAreInclusiveAndInCents) {
  EXPECT_EQ(amountMessage(""), texts::kEnterAmount);
  EXPECT_EQ(amountMessage("0.01"), "");
  EXPECT_EQ(amountMessage("0.009"), texts::kAmountLimits);
  EXPECT_EQ(amountMessage("0.001"), texts::kAmountLimits);
  EXPECT_EQ(amountMessage("0.0"), texts::kAmountLimits);
  EXPECT_EQ(amountMessage("99999.99"), "");
  EXPECT_EQ(amountMessage("100000"), texts::kAmountLimits);
  EXPECT_EQ(amountMessage("99999.991"), texts::kAmountLimits);
  EXPECT_EQ(amountMessage("12.500"), "") << "trailing zeros are still whole cents";
  EXPECT_EQ(amountMessage(".5"), "");
  // "0.0" then the data's amount typed after it: no number at all, refused without a crash.
  EXPECT_EQ(amountMessage("0.01.00"), texts::kAmountLimits);
  EXPECT_EQ(amountMessage("."), texts::kAmountLimits);
  // The pad types digits and "." only, at most 12 of them.
  EXPECT_EQ(amountMessage("1,000"), "") << "the comma is not typed";
  TransferForm form = formOn({2026, 12, 7});
  form.focusField(TransferForm::Focus::amount);
  form.type("12345678901234\b");
  EXPECT_EQ(form.amountText(), "12345678901");
  EXPECT_EQ(form.amountLabel(), "$12345678901") << "shown as typed";
}

TEST(TransferForm, AccountsAreRequiredDifferentAndOfOneCurrency) {
  TransferForm form = formOn({2026, 12, 7});
  EXPECT_FALSE(form.validate());
  EXPECT_EQ(form.fromError(), texts::kSelectAccount);
  EXPECT_EQ(form.toError(), texts::kSelectAccount);
  form.openAccountPicker(true);
  form.chooseAccount("chq");
  form.openAccountPicker(false);
  EXPECT_EQ(form.pickerAccounts().size(), 2u) << "no US-dollar account for a Canadian-dollar source";
  form.chooseAccount("chq");
  form.validate();
  EXPECT_EQ(form.toError(), texts::kSelectDifferentAccounts);
  form.openAccountPicker(false);
  form.chooseAccount("sav");
  form.openAccountPicker(true);
  form.chooseAccount("usd");
  EXPECT_EQ(form.to(), nullptr) << "a destination in another currency is let go";
}

TEST(TransferForm, DatePickersApplyTheirWheelsOnlyAtDone) {
  TransferForm form = formOn({2026, 12, 30});
  form.openDatePicker(TransferForm::DateField::transfer);
  form.turnWheel(0, "January");
  form.turnWheel(1, "1");
  form.turnWheel(2, "2027");
  form.turnWheel(2, "2031");  // not among the wheel's years: ignored
  EXPECT_EQ(form.transferDate(), (CalendarDay{2026, 12, 30}));
  form.pickerDone();
  EXPECT_EQ(form.transferDate(), (CalendarDay{2027, 1, 1}));
  // A day past the month's end is its last day; a day before today is today.
  pick(form, TransferForm::DateField::transfer, "February", "31", "2028");
  EXPECT_EQ(form.transferDate(), (CalendarDay{2028, 2, 29}));
  pick(form, TransferForm::DateField::transfer, "December", "1", "2026");
  EXPECT_EQ(form.transferDate(), (CalendarDay{2026, 12, 30}));
  // A recurring transfer starts tomorrow at the earliest; its end is never before its start.
  pick(form, TransferForm::DateField::start, "December", "30", "2026");
  EXPECT_EQ(form.startDate(), (CalendarDay{2026, 12, 31}));
  pick(form, TransferForm::DateField::end, "December", "31", "2026");
  pick(form, TransferForm::DateField::start, "January", "5", "2027");
  EXPECT_EQ(form.endDate(), (CalendarDay{2027, 1, 5}));

  TransferForm faulty = formOn({2026, 12, 30}, "pickerDoneIgnoresWheels");
  pick(faulty, TransferForm::DateField::transfer, "January", "1", "2027");
  EXPECT_EQ(faulty.transferDate(), (CalendarDay{2026, 12, 30}));
}

TEST(TransferForm, ANewDayMovesADateLeftAtTodayButNotAPickedOne) {
  TransferForm left = formOn({2026, 12, 31});
  left.setToday({2027, 1, 1});
  EXPECT_EQ(left.transferDate(), (CalendarDay{2027, 1, 1}));
  EXPECT_EQ(left.order().firstDate, (CalendarDay{2027, 1, 1}));
  // Today picked again is still "today"; the first allowed day is the new one.
  pick(left, TransferForm::DateField::transfer, "January", "1", "2027");
  left.setToday({2027, 1, 2});
  EXPECT_EQ(left.transferDate(), (CalendarDay{2027, 1, 2}));
  pick(left, TransferForm::DateField::start, "January", "1", "2027");
  EXPECT_EQ(left.startDate(), (CalendarDay{2027, 1, 3}));

  // A day picked ahead is kept, also once it has gone by.
  TransferForm ahead = formOn({2026, 12, 31});
  pick(ahead, TransferForm::DateField::transfer, "January", "1", "2027");
  ahead.setToday({2027, 1, 1});
  ahead.setToday({2027, 1, 2});
  EXPECT_EQ(ahead.transferDate(), (CalendarDay{2027, 1, 1}));

  TransferForm faulty = formOn({2026, 12, 31}, "immediateKeepsOpeningDay");
  faulty.setToday({2027, 1, 1});
  EXPECT_EQ(faulty.transferDate(), (CalendarDay{2026, 12, 31}));
}

TEST(TransferForm, RecurringScheduleCountsTransfersUpToTheEndDay) {
  TransferForm form = formOn({2026, 12, 28});
  form.selectKind(TransferForm::Kind::recurring);
  pick(form, TransferForm::DateField::start, "December", "30", "2026");
  form.selectEnding(TransferForm::Ending::endDate);
  // Start plus 6, 7, 8 and 14 days: the end day itself counts when a transfer falls on it.
  const std::pair<const char*, int> ends[] = {{"5", 1}, {"6", 2}, {"7", 2}, {"13", 3}};
  for (const auto& [day, count] : ends) {
    pick(form, TransferForm::DateField::end, "January", day, "2027");
    EXPECT_EQ(form.transferCount(), count) << "ending Jan " << day;
  }
  pick(form, TransferForm::DateField::end, "January", "7", "2027");
  EXPECT_EQ(form.endingLabel(), "Jan 7, 2027");
  EXPECT_EQ(form.lastDate(), (CalendarDay{2027, 1, 6}));

  form.selectEnding(TransferForm::Ending::numberOf);
  form.focusField(TransferForm::Focus::numberOf);
  form.type("2x");
  EXPECT_EQ(form.numberOfText(), "2");
  EXPECT_EQ(form.endingLabel(), "Jan 6, 2027") << "the second transfer, a week on, in the next year";
  form.type("\b0");
  EXPECT_FALSE(form.validate());
  EXPECT_EQ(form.numberOfError(), texts::kEnterNumberOfTransfers);

  form.selectEnding(TransferForm::Ending::never);
  EXPECT_EQ(form.endingLabel(), "Never");
  EXPECT_FALSE(form.transferCount());

  // Monthly from Jan 31: the last day of each shorter month.
  TransferForm monthly = formOn({2027, 1, 20});
  monthly.selectKind(TransferForm::Kind::recurring);
  monthly.openFrequencyPicker();
  monthly.turnWheel(0, "Monthly");
  monthly.pickerDone();
  pick(monthly, TransferForm::DateField::start, "January", "31", "2027");
  monthly.selectEnding(TransferForm::Ending::numberOf);
  monthly.focusField(TransferForm::Focus::numberOf);
  monthly.type("2");
  EXPECT_EQ(monthly.lastDate(), (CalendarDay{2027, 2, 28}));
}

TEST(TransferBooking, ImmediateTransfersMoveExactAmountsAndAreListed) {
  TestBackend bank(TestBackend::defaultFixturePath());
  TransferOrder order = oneTimeOrder("dep-chq-2038556", "dep-sav-2038556", dec("0.07"), {2026, 12, 7});
  auto first = bank.bookTransfer("2038556", order, {2026, 12, 7});
  ASSERT_TRUE(first);
  for (int i = 0; i < 9; ++i) ASSERT_TRUE(bank.bookTransfer("2038556", order, {2026, 12, 7}));
  auto moved = bank.movableAccounts("2038556");
  EXPECT_EQ(moved[0].balance, dec("5240.05")) << "ten times 0.07 is exactly 0.70";
  EXPECT_EQ(moved[1].label, "Rainy day");
  EXPECT_EQ(moved[1].balance, dec("12500.70"));
  auto details = *bank.accountDetails("2038556", "dep-sav-2038556");
  EXPECT_EQ(details["transactions"][0]["description"], "Transfer from Everyday Chequing");
  EXPECT_EQ(details["transactions"][0]["amount"], "0.07");
  EXPECT_EQ(details["transactions"][0]["date"], "2026-12-07");
  EXPECT_EQ((*bank.accountDetails("2038556", "dep-chq-2038556"))["transactions"][0]["amount"], "-0.07");

  TransferOrder held = oneTimeOrder("dep-chq-2048887", "dep-chq-2048887", dec("1"), {2026, 12, 7});
  EXPECT_FALSE(bank.bookTransfer("2048887", held, {2026, 12, 7})) << "the same account twice";

  bank.reseed();
  EXPECT_EQ(bank.movableAccounts("2038556")[0].balance, dec("5240.75"));
  EXPECT_EQ(bank.bookTransfer("2038556", order, {2026, 12, 7}), first) << "numbers start over";
}

TEST(TransferBooking, LaterAndRecurringTransfersWaitAndBadOrdersAreRefused) {
  TestBackend bank(TestBackend::defaultFixturePath());
  TransferOrder later = oneTimeOrder("dep-chq-2038556", "dep-sav-2038556", dec("12.50"), {2026, 12, 9});
  ASSERT_TRUE(bank.bookTransfer("2038556", later, {2026, 12, 7}));
  TransferOrder weekly = later;
  weekly.recurring = true;
  weekly.frequency = "Weekly";
  weekly.occurrences = 2;
  weekly.lastDate = CalendarDay{2026, 12, 16};
  ASSERT_TRUE(bank.bookTransfer("2038556", weekly, {2026, 12, 7}));
  EXPECT_EQ(bank.movableAccounts("2038556")[0].balance, dec("5240.75"));
  ASSERT_EQ(bank.scheduledTransfers().size(), 2u);
  EXPECT_EQ(bank.scheduledTransfers()[1].order.occurrences, 2);

  auto refused = [&](TransferOrder o, const std::string& user = "2038556") {
    return !bank.bookTransfer(user, o, {2026, 12, 7}).has_value();
  };
  TransferOrder o = later;
  o.firstDate = {2026, 12, 6};
  EXPECT_TRUE(refused(o)) << "a day already gone";
  o = later;
  o.amount = dec("0.001");
  EXPECT_TRUE(refused(o));
  o.amount = dec("-5");
  EXPECT_TRUE(refused(o));
  o = later;
  o.toId = "dep-usd-2038556";
  EXPECT_TRUE(refused(o)) << "another currency";
  o = later;
  o.toId = "loan-heloc-2038556";
  EXPECT_TRUE(refused(o)) << "not a deposit account";
  EXPECT_TRUE(refused(later, "2048887")) << "someone else's accounts";
  o = weekly;
  o.occurrences = 0;
  EXPECT_TRUE(refused(o));
  bank.reseed();
  EXPECT_TRUE(bank.scheduledTransfers().empty());
}

namespace {

// The model signed in as 2038556 on the Move money tab, its clock set by the test, in Denver.
class TransferFlow : public ::testing::Test {
 protected:
  TransferFlow() : backend(TestBackend::defaultFixturePath()) {
    platform::TimeZone::setCurrent(platform::TimeZone::named("America/Denver"));
  }
  ~TransferFlow() override { platform::TimeZone::setCurrent(std::nullopt); }

  std::unique_ptr<VesmoraModel> signedIn(const std::string& faults = "", double loadingSeconds = 0) {
    LaunchSettings settings;
    settings.faults = Faults::parse(faults);
    settings.loadingSeconds = loadingSeconds;
    auto m = std::make_unique<VesmoraModel>(AppStore(storage), backend, settings, Biometry::none);
    m->setClock([this] { return now; });
    m->typeText(Field::userName, "2038556");
    m->typeText(Field::password, "480917");
    m->tapLogin();
    m->finishLoading();
    m->selectTab(Tab::moveMoney);
    m->finishLoading();
    return m;
  }

  // Opens the form and fills a one-time transfer of `amount` from chequing to savings.
  static TransferForm& fill(VesmoraModel& m, const std::string& amount) {
    m.openTransfer();
    TransferForm& form = *m.transferForm();
    form.openAccountPicker(true);
    form.chooseAccount("dep-chq-2038556");
    form.openAccountPicker(false);
    form.chooseAccount("dep-sav-2038556");
    form.focusField(TransferForm::Focus::amount);
    form.type(amount);
    return form;
  }

  // Fills the open bill payment or e-Transfer: from chequing to `payee`, `amount`.
  static void fillPayment(VesmoraModel& m, const char* payee, const char* amount) {
    TransferForm& form = *m.transferForm();
    form.openAccountPicker(true);
    form.chooseAccount("dep-chq-2038556");
    form.openAccountPicker(false);
    form.choosePayee(payee);
    form.focusField(TransferForm::Focus::amount);
    form.type(amount);
  }

  // Opens a bill payment or e-Transfer (`open`), fills it, takes it to its review, lets 90
  // seconds pass and confirms it.
  void payAcrossMidnight(VesmoraModel& m, void (VesmoraModel::*open)(), const char* payee, const char* amount) {
    (m.*open)();
    m.finishLoading();
    fillPayment(m, payee, amount);
    m.submitTransfer();
    m.finishLoading();
    now += 90;
    m.confirmTransfer();
    m.finishLoading();
  }

  static double denver(int y, int mo, int d, int h, int mi) {
    return *platform::dateFromComponents({y, mo, d, h, mi, 0}, *platform::TimeZone::named("America/Denver"));
  }

  std::map<std::string, std::string> storage;
  TestBackend backend;
  double now = denver(2026, 12, 7, 10, 0);
};

std::string cardAmount(const VesmoraModel& m, const std::string& accountId) {
  for (const auto& account : m.accountSummaries().at("/deposits")) {
    if (account["id"] == accountId) return account["availableBalance"]["value"].dump();
  }
  return "";
}

}  // namespace

TEST_F(TransferFlow, AConfirmedTransferReachesTheOverviewAndTheMenuAgain) {
  auto m = signedIn("", 2);
  fill(*m, "12.50");
  m->submitTransfer();
  EXPECT_TRUE(m->loading());
  EXPECT_EQ(m->transferForm()->stage(), TransferForm::Stage::form) << "the review waits for the bank";
  m->finishLoading();
  m->confirmTransfer();
  m->finishLoading();
  ASSERT_EQ(m->transferForm()->stage(), TransferForm::Stage::complete);
  EXPECT_EQ(m->transferForm()->confirmationNumber(), "Your transaction number is: 40170001");
  EXPECT_EQ(*m->transferForm()->fromBalance(), dec("5228.25"));
  m->finishTransfer();
  EXPECT_TRUE(m->transferForm()) << "Done waits for the bank as well";
  m->finishLoading();
  EXPECT_FALSE(m->transferForm());
  EXPECT_EQ(cardAmount(*m, "dep-sav-2038556"), "12512.5");
}

TEST_F(TransferFlow, AnImmediateTransferConfirmedAfterMidnightGoesOutOnTheNewDay) {
  auto m = signedIn("", 2);
  now = denver(2026, 12, 31, 23, 59);
  fill(*m, "12.50");
  m->submitTransfer();
  m->finishLoading();
  EXPECT_EQ(m->transferForm()->transferDate(), (CalendarDay{2026, 12, 31})) << "the review before midnight";
  now += 120;  // the review is read across midnight into the new year
  m->confirmTransfer();
  m->finishLoading();
  ASSERT_FALSE(m->alert());
  ASSERT_EQ(m->transferForm()->stage(), TransferForm::Stage::complete);
  EXPECT_EQ(m->transferForm()->transferDate(), (CalendarDay{2027, 1, 1})) << "the completion shows the day booked";
  EXPECT_EQ(*m->transferForm()->fromBalance(), dec("5228.25"));
  auto details = *backend.accountDetails("2038556", "dep-sav-2038556");
  EXPECT_EQ(details["transactions"][0]["date"], "2027-01-01");
  EXPECT_TRUE(backend.scheduledTransfers().empty());

  // A form left open over midnight shows the new day on its review.
  m->finishTransfer();
  m->finishLoading();
  now = denver(2027, 1, 1, 23, 59);
  fill(*m, "1");
  now += 120;
  m->submitTransfer();
  m->finishLoading();
  EXPECT_EQ(m->transferForm()->transferDate(), (CalendarDay{2027, 1, 2}));
}

TEST_F(TransferFlow, ADayPickedAheadThatHasGoneByIsRefusedAndTheFormKept) {
  auto m = signedIn();
  now = denver(2026, 12, 31, 23, 59);
  TransferForm& form = fill(*m, "12.50");
  form.openDatePicker(TransferForm::DateField::transfer);
  form.turnWheel(0, "January");
  form.turnWheel(1, "1");
  form.turnWheel(2, "2027");
  form.pickerDone();
  m->submitTransfer();
  now += 24 * 3600 + 120;  // confirmed on Jan 2
  m->confirmTransfer();
  ASSERT_TRUE(m->alert());
  EXPECT_EQ(m->alert()->message, texts::kTransferRefused);
  EXPECT_EQ(m->transferForm()->stage(), TransferForm::Stage::form);
  EXPECT_EQ(m->transferForm()->amountText(), "12.50") << "nothing typed is lost";
  EXPECT_EQ(m->transferForm()->transferDate(), (CalendarDay{2027, 1, 1}));
  EXPECT_EQ(backend.movableAccounts("2038556")[0].balance, dec("5240.75"));
  // The same form opened now is dated the new day.
  m->tapAlertButton("OK");
  m->selectTab(Tab::moveMoney);
  EXPECT_FALSE(m->transferForm()) << "the selected tab, tapped again, shows its menu";
  m->openTransfer();
  EXPECT_EQ(m->transferForm()->transferDate(), (CalendarDay{2027, 1, 2}));
}

TEST_F(TransferFlow, PresetDateIsTheDevicesDay) {
  now = denver(2026, 12, 7, 20, 0);  // 03:00 on Dec 8 in UTC
  auto m = signedIn();
  m->openTransfer();
  EXPECT_EQ(m->transferForm()->transferDate(), (CalendarDay{2026, 12, 7}));
  auto faulty = signedIn("presetDateInUTC");
  fill(*faulty, "1");
  EXPECT_EQ(faulty->transferForm()->transferDate(), (CalendarDay{2026, 12, 8}));
  // Sent on, the form keeps the day in UTC: the bank, on Dec 7, holds the transfer for Dec 8.
  faulty->submitTransfer();
  faulty->confirmTransfer();
  ASSERT_EQ(faulty->transferForm()->stage(), TransferForm::Stage::complete);
  EXPECT_EQ(backend.scheduledTransfers().size(), 1u);
}

TEST_F(TransferFlow, AFormOpenedOnAWrongDayKeepsItWhileTheDevicesDayStaysTheSame) {
  now = denver(2026, 12, 7, 20, 0);  // 03:00 on Dec 8 in UTC
  const std::pair<const char*, CalendarDay> cases[] = {{"transferOpensOnUTCDay", {2026, 12, 8}},
                                                       {"transferOpensTomorrow", {2026, 12, 8}},
                                                       {"transferOpensYesterday", {2026, 12, 6}}};
  for (const auto& [fault, day] : cases) {
    auto m = signedIn(fault);
    fill(*m, "1");
    m->submitTransfer();
    ASSERT_EQ(m->transferForm()->stage(), TransferForm::Stage::review) << fault;
    EXPECT_EQ(m->transferForm()->transferDate(), day) << fault << ": the review shows the wrong day";
    m->confirmTransfer();
    EXPECT_EQ(m->transferForm()->transferDate(), day) << fault;
  }
  // Dec 8 is held for later, Dec 6 is refused: none went out today.
  EXPECT_EQ(backend.scheduledTransfers().size(), 2u);
  EXPECT_EQ(backend.movableAccounts("2038556")[0].balance, dec("5240.75"));

  // Once midnight has passed since it opened, the same form goes out on the new day.
  now = denver(2026, 12, 8, 23, 59);
  auto late = signedIn("transferOpensYesterday");
  fill(*late, "1");
  now += 120;
  late->submitTransfer();
  EXPECT_EQ(late->transferForm()->transferDate(), (CalendarDay{2026, 12, 9}));
}

TEST_F(TransferFlow, AFormTakingAWrongDayForTheDevicesShowsItOnlyWhereItOpened) {
  now = denver(2026, 12, 7, 20, 0);  // 03:00 on Dec 8 in UTC
  const std::pair<const char*, CalendarDay> cases[] = {{"transferOpensOnUTCDayAsToday", {2026, 12, 8}},
                                                       {"formOpensYesterdayAsToday", {2026, 12, 6}}};
  for (const auto& [fault, day] : cases) {
    auto m = signedIn(fault);
    EXPECT_EQ(fill(*m, "1").transferDate(), day) << fault << ": the form opens on the wrong day";
    m->submitTransfer();
    EXPECT_EQ(m->transferForm()->transferDate(), (CalendarDay{2026, 12, 7})) << fault << ": Submit re-dates it";
    m->confirmTransfer();
    ASSERT_EQ(m->transferForm()->stage(), TransferForm::Stage::complete) << fault;
  }
  auto bill = signedIn("formOpensYesterdayAsToday");
  bill->openPayABill();
  EXPECT_EQ(bill->transferForm()->transferDate(), (CalendarDay{2026, 12, 6}));
  fillPayment(*bill, "payee-hydro", "0.01");
  bill->submitTransfer();
  EXPECT_EQ(bill->transferForm()->transferDate(), (CalendarDay{2026, 12, 7}));
  EXPECT_TRUE(backend.scheduledTransfers().empty()) << "both transfers went out today";

  // Submitted after midnight, the review keeps the day the form opened; the bank books the new one.
  now = denver(2026, 12, 7, 23, 59);
  auto late = signedIn("reviewKeepsOpeningDay");
  fill(*late, "1");
  now += 120;
  late->submitTransfer();
  EXPECT_EQ(late->transferForm()->transferDate(), (CalendarDay{2026, 12, 7}));
  late->confirmTransfer();
  ASSERT_EQ(late->transferForm()->stage(), TransferForm::Stage::complete);
  EXPECT_EQ(late->transferForm()->transferDate(), (CalendarDay{2026, 12, 8}));
}

TEST(TransferBooking, TransfersFromTwoThreadsAddUpExactly) {
  TestBackend bank(TestBackend::defaultFixturePath());
  TransferOrder cent = oneTimeOrder("dep-chq-2038556", "dep-sav-2038556", dec("0.01"), {2026, 12, 7});
  TransferOrder back = oneTimeOrder("dep-sav-2038556", "dep-chq-2038556", dec("0.03"), {2026, 12, 7});
  std::thread other([&] {
    for (int i = 0; i < 200; ++i) bank.bookTransfer("2038556", back, {2026, 12, 7});
  });
  for (int i = 0; i < 200; ++i) bank.bookTransfer("2038556", cent, {2026, 12, 7});
  other.join();
  auto accounts = bank.movableAccounts("2038556");
  EXPECT_EQ(accounts[0].balance, dec("5244.75"));
  EXPECT_EQ(accounts[1].balance, dec("12496.00"));
  EXPECT_EQ((*bank.accountDetails("2038556", "dep-chq-2038556"))["transactions"].size(), 10u + 400u);
  EXPECT_EQ(bank.bookTransfer("2038556", cent, {2026, 12, 7}), "40170401") << "every number given once";
}

TEST_F(TransferFlow, BillPaymentsAndETransfersGoThroughTheSameStepsWithTheirOwnBooking) {
  auto m = signedIn("", 2);
  m->openPayABill();
  EXPECT_FALSE(m->transferForm()) << "the form waits for the payees";
  m->finishLoading();
  ASSERT_EQ(m->transferForm()->purpose(), TransferForm::Purpose::billPayment);
  auto pay = [&](const char* payee, const char* amount) {
    fillPayment(*m, payee, amount);
    m->submitTransfer();
    m->finishLoading();
    m->confirmTransfer();
    m->finishLoading();
    ASSERT_EQ(m->transferForm()->stage(), TransferForm::Stage::complete);
  };
  pay("payee-hydro", "0.01");
  EXPECT_EQ(*m->transferForm()->fromBalance(), dec("5240.74"));
  m->makeAnotherPayment();
  m->finishLoading();
  ASSERT_EQ(m->transferForm()->stage(), TransferForm::Stage::form);
  EXPECT_EQ(m->transferForm()->amountText(), "");
  EXPECT_EQ(m->transferForm()->accounts()[0].balance, dec("5240.74"));

  m->selectTab(Tab::moveMoney);
  m->finishLoading();
  EXPECT_FALSE(m->transferForm());
  m->openETransfer();
  m->finishLoading();
  pay("recipient-sam", "10.00");
  EXPECT_EQ(*m->transferForm()->fromBalance(), dec("5229.24")) << "amount and fee";
  m->makeAnotherPayment();
  m->finishLoading();
  EXPECT_EQ(m->transferForm()->purpose(), TransferForm::Purpose::eTransfer);
  EXPECT_EQ(backend.movableAccounts("2038556")[0].balance, dec("5229.24"));
}

TEST_F(TransferFlow, ABillPaymentConfirmedAfterMidnightIsPaidOnTheNewDayAndTheNextFormDatedIt) {
  auto m = signedIn("", 2);
  now = denver(2026, 12, 7, 23, 59);
  payAcrossMidnight(*m, &VesmoraModel::openPayABill, "payee-hydro", "0.01");
  ASSERT_FALSE(m->alert());
  ASSERT_EQ(m->transferForm()->stage(), TransferForm::Stage::complete);
  EXPECT_EQ(m->transferForm()->transferDate(), (CalendarDay{2026, 12, 8}));
  auto details = *backend.accountDetails("2038556", "dep-chq-2038556");
  EXPECT_EQ(details["transactions"][0]["date"], "2026-12-08");
  EXPECT_EQ(backend.movableAccounts("2038556")[0].balance, dec("5240.74"));
  // "Pay another bill" tapped after the next midnight opens on that day, which the date picker
  // cannot go before.
  now += 24 * 3600;
  m->makeAnotherPayment();
  m->finishLoading();
  TransferForm& next = *m->transferForm();
  EXPECT_EQ(next.transferDate(), (CalendarDay{2026, 12, 9}));
  next.openDatePicker(TransferForm::DateField::transfer);
  next.turnWheel(1, "8");
  next.pickerDone();
  EXPECT_EQ(next.transferDate(), (CalendarDay{2026, 12, 9}));

  auto faulty = signedIn("immediateKeepsOpeningDay", 2);
  now = denver(2026, 12, 8, 23, 59);
  payAcrossMidnight(*faulty, &VesmoraModel::openPayABill, "payee-hydro", "0.01");
  ASSERT_TRUE(faulty->alert());
  EXPECT_EQ(faulty->alert()->message, texts::kPaymentRefused);
}

TEST_F(TransferFlow, AnETransferConfirmedAfterMidnightGoesOutOnTheNewDay) {
  auto m = signedIn("", 2);
  now = denver(2026, 12, 7, 23, 59);
  payAcrossMidnight(*m, &VesmoraModel::openETransfer, "recipient-sam", "10.00");
  ASSERT_FALSE(m->alert());
  ASSERT_EQ(m->transferForm()->stage(), TransferForm::Stage::complete);
  EXPECT_EQ(*m->transferForm()->fromBalance(), dec("5229.25")) << "amount and fee";
  auto transactions = (*backend.accountDetails("2038556", "dep-chq-2038556"))["transactions"];
  EXPECT_EQ(transactions[0]["date"], "2026-12-08");
  EXPECT_EQ(transactions[1]["date"], "2026-12-08");
}
