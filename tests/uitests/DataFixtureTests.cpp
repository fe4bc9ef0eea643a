// Every user, account id, name and number the suite's data files mention must exist, alike, in
// the simulated test backend's fixture; otherwise a test would fail for a data slip, not a bug.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "model/TestBackend.h"

namespace {

struct Findings {
  std::vector<std::string> problems;
  int users = 0;
  int accounts = 0;
};

// The money forms' pickers name an account by its nickname when it has one.
bool namesAccount(const nlohmann::json& name, const vesmora::BankAccount& account) {
  return name == account.name || (!account.nickname.empty() && name == account.nickname);
}

void check(const nlohmann::json& value, const std::string& where, const vesmora::TestBackend& bank, Findings& f) {
  if (value.is_array()) {
    for (std::size_t i = 0; i < value.size(); ++i) check(value[i], where + "[" + std::to_string(i) + "]", bank, f);
    return;
  }
  if (!value.is_object()) return;
  if (value.contains("username") && value["username"].is_string()) {
    ++f.users;
    std::string name = value["username"];
    bool found = false;
    for (const auto& user : bank.users()) {
      if (user.username != name) continue;
      found = true;
      if (value.contains("password") && value["password"] != user.password) {
        f.problems.push_back(where + ": password of " + name + " differs from the fixture");
      }
    }
    if (!found) f.problems.push_back(where + ": user " + name + " is not in the fixture");
  }
  if (value.contains("number") && value.contains("name")) {
    ++f.accounts;
    bool found = false;
    for (const auto& account : bank.accounts()) {
      if (account.number != value["number"]) continue;
      found = true;
      if (!namesAccount(value["name"], account)) {
        f.problems.push_back(where + ": name of account " + account.number + " differs");
      }
      if (value.contains("id") && value["id"].is_string() && value["id"] != account.id) {
        f.problems.push_back(where + ": id of account " + account.number + " differs");
      }
      if (value.contains("nickname") && value["nickname"] != account.nickname) {
        f.problems.push_back(where + ": nickname of account " + account.number + " differs");
      }
    }
    if (!found) f.problems.push_back(where + ": account " + value["number"].dump() + " is not in the fixture");
  }
  // Account entries known by their card's id and name only (the details tests' lists).
  if (value.contains("id") && value["id"].is_string() && value.contains("name") && !value.contains("number")) {
    ++f.accounts;
    bool found = false;
    for (const auto& account : bank.accounts()) {
      if (account.id != value["id"]) continue;
      found = true;
      if (account.name != value["name"]) f.problems.push_back(where + ": name of account " + account.id + " differs");
    }
    if (!found) f.problems.push_back(where + ": account id " + value["id"].dump() + " is not in the fixture");
  }
  // A transfer row's accounts, as the pickers show them.
  for (const char* side : {"fromAccount", "toAccount"}) {
    std::string nameKey = std::string(side) + "Str", numberKey = std::string(side) + "Number";
    if (!value.contains(nameKey) || !value.contains(numberKey)) continue;
    ++f.accounts;
    bool found = false;
    for (const auto& account : bank.accounts()) {
      if (account.number != value[numberKey]) continue;
      found = true;
      if (!namesAccount(value[nameKey], account)) f.problems.push_back(where + ": " + nameKey + " names another account");
    }
    if (!found) f.problems.push_back(where + ": " + numberKey + " " + value[numberKey].dump() + " is not in the fixture");
  }
  // An autodeposit record's accounts, as the editor's account list shows them.
  for (const char* prefix : {"account", "newAccount"}) {
    std::string nameKey = std::string(prefix) + "Name", numberKey = std::string(prefix) + "Number";
    if (!value.contains(nameKey) || !value.contains(numberKey)) continue;
    ++f.accounts;
    bool found = false;
    for (const auto& account : bank.accounts()) {
      if (account.number != value[numberKey]) continue;
      found = true;
      if (!namesAccount(value[nameKey], account)) f.problems.push_back(where + ": " + nameKey + " names another account");
    }
    if (!found) f.problems.push_back(where + ": " + numberKey + " " + value[numberKey].dump() + " is not in the fixture");
  }
  // Bill payees by their nickname, e-Transfer recipients by their name, and the fee they cost.
  auto listed = [&](const char* list, const char* key, const nlohmann::json& name) {
    for (const auto& entry : bank.fixture().value(list, nlohmann::json::array())) {
      if (entry.value(key, "") == name) return true;
    }
    return false;
  };
  if (value.contains("payeeNickname") && !listed("payees", "nickname", value["payeeNickname"])) {
    f.problems.push_back(where + ": payee " + value["payeeNickname"].dump() + " is not in the fixture");
  }
  if (value.contains("recipientStr") && !listed("recipients", "name", value["recipientStr"])) {
    f.problems.push_back(where + ": recipient " + value["recipientStr"].dump() + " is not in the fixture");
  }
  if (value.contains("etransferFee") && value["etransferFee"] != bank.fixture().value("eTransferFee", "")) {
    f.problems.push_back(where + ": the e-Transfer fee differs from the fixture's");
  }
  for (const auto& [key, child] : value.items()) check(child, where + "." + key, bank, f);
}

}  // namespace

TEST(SuiteData, SimDataFilesAgreeWithTheTestBackendFixture) {
  vesmora::TestBackend bank(vesmora::TestBackend::defaultFixturePath());
  Findings findings;
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(VESMORA_UITEST_RESOURCES_DIR)) {
    std::string file = entry.path().filename().string();
    if (file.size() < 9 || file.substr(file.size() - 9) != "_sim.json") continue;
    ++files;
    std::ifstream in(entry.path());
    nlohmann::json document;
    try {
      document = nlohmann::json::parse(in);
    } catch (const nlohmann::json::parse_error& e) {
      ADD_FAILURE() << file << " is not JSON: " << e.what();
      continue;
    }
    check(document, file, bank, findings);
  }
  EXPECT_GE(files, 2);
  EXPECT_GT(findings.users, 0);
  for (const auto& p : findings.problems) ADD_FAILURE() << p;
}

TEST(SuiteData, ChallengeUserOfTheDataHasAQuestion) {
  vesmora::TestBackend bank(vesmora::TestBackend::defaultFixturePath());
  std::ifstream in(std::string(VESMORA_UITEST_RESOURCES_DIR) + "/RSATestData_sim.json");
  auto document = nlohmann::json::parse(in);
  auto result = bank.signIn(document["CHALLENGE"]["username"], document["CHALLENGE"]["password"]);
  EXPECT_EQ(result.kind, vesmora::SignInResult::Kind::challenge);
}

// The rows of the classes that sign in and out row after row: every row must sign in with its
// password (no locked account, no typo), and the rows whose class relaunches by "id" must carry
// an id of 1 first, so that only the rows after it relaunch.
TEST(SuiteData, SignInRowsOfTheBiometricAndMoreTabFilesSignIn) {
  vesmora::TestBackend bank(vesmora::TestBackend::defaultFixturePath());
  const std::pair<const char*, bool> files[] = {{"BiometricsLoginTestData", true},
                                                {"BiometricsPreferencesTestData", false},
                                                {"MoreValidateTestsData", false},
                                                {"ContactUsValidateTestsTestData", false}};
  for (const auto& [file, keyedById] : files) {
    std::ifstream in(std::string(VESMORA_UITEST_RESOURCES_DIR) + "/" + file + "_sim.json");
    ASSERT_TRUE(in) << file;
    auto rows = nlohmann::json::parse(in);
    ASSERT_TRUE(rows.is_array() && rows.size() >= 2) << file << ": at least two rows, to reach a second sign-in";
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const auto& row = rows[i];
      auto kind = bank.signIn(row.at("username"), row.at("password")).kind;
      EXPECT_TRUE(kind == vesmora::SignInResult::Kind::success || kind == vesmora::SignInResult::Kind::challenge)
          << file << " row " << i;
      if (keyedById) {
        EXPECT_EQ(row.at("id"), i + 1) << file << " row " << i;
      }
    }
  }
}

// Each record of the e-Transfer preferences file names a user in the state the tests expect of it,
// and its autodeposit accounts are deposit accounts of that user.
TEST(SuiteData, ETransferRecordsNameUsersInTheirStates) {
  vesmora::TestBackend bank(vesmora::TestBackend::defaultFixturePath());
  std::ifstream in(std::string(VESMORA_UITEST_RESOURCES_DIR) + "/ETransferPreferencesTests_sim.json");
  ASSERT_TRUE(in);
  auto records = nlohmann::json::parse(in);
  struct Expected {
    const char* record;
    bool profile;
    bool registrations;
  };
  for (const Expected& e : {Expected{"noInteractProfile", false, false}, Expected{"noAutoDepositRegistrations", true, false},
                            Expected{"hasAutoDepositRegistrations", true, true},
                            Expected{"ProfileRegisteredNoAutoDeposits", true, false}}) {
    ASSERT_TRUE(records.contains(e.record)) << e.record;
    const auto& r = records[e.record];
    std::string user = r.at("username");
    EXPECT_EQ(bank.signIn(user, r.at("password")).kind, vesmora::SignInResult::Kind::success) << e.record;
    EXPECT_EQ(bank.senderProfile(user).has_value(), e.profile) << e.record;
    EXPECT_EQ(!bank.autodeposits(user).empty(), e.registrations) << e.record;
    auto movable = bank.movableAccounts(user);
    for (const char* key : {"accountNumber", "newAccountNumber"}) {
      if (!r.contains(key)) continue;
      EXPECT_TRUE(std::any_of(movable.begin(), movable.end(), [&](const auto& a) { return a.number == r[key]; }))
          << e.record << " " << key;
    }
    if (r.contains("email")) {
      EXPECT_TRUE(vesmora::isWellFormedEmail(r["email"])) << e.record;
    }
    if (r.contains("badEmail")) {
      EXPECT_FALSE(vesmora::isWellFormedEmail(r["badEmail"])) << e.record;
    }
  }
}
