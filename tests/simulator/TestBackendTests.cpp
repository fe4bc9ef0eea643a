#include <gtest/gtest.h>

#include <stdexcept>

#include "model/TestBackend.h"

using namespace vesmora;

TEST(TestBackend, SignInOutcomesFollowTheFixture) {
  TestBackend bank(TestBackend::defaultFixturePath());
  EXPECT_EQ(bank.signIn("2038556", "480917").kind, SignInResult::Kind::success);
  EXPECT_EQ(bank.signIn("2038556", "480918").kind, SignInResult::Kind::invalidCredentials);
  EXPECT_EQ(bank.signIn("nobody", "480917").kind, SignInResult::Kind::invalidCredentials);
  EXPECT_EQ(bank.signIn("lockeduser01", "Aspen#9001").kind, SignInResult::Kind::locked);
  auto challenge = bank.signIn("rsauser01", "Birch#3304");
  EXPECT_EQ(challenge.kind, SignInResult::Kind::challenge);
  EXPECT_FALSE(challenge.question.empty());
  EXPECT_TRUE(bank.answerChallenge("rsauser01", " STREET "));
  EXPECT_FALSE(bank.answerChallenge("rsauser01", "road"));
  EXPECT_FALSE(bank.answerChallenge("2038556", "street")) << "no question was asked";
}

TEST(TestBackend, ChallengeAnswersAreTheLastWordOfTheirQuestion) {
  // The suite answers the question with its last word, "?" removed.
  TestBackend bank(TestBackend::defaultFixturePath());
  for (const auto& user : bank.users()) {
    if (user.challengeQuestion.empty()) continue;
    std::string q = user.challengeQuestion;
    std::string last = q.substr(q.find_last_of(' ') + 1);
    std::erase(last, '?');
    EXPECT_TRUE(bank.answerChallenge(user.username, last)) << user.username;
  }
}

TEST(TestBackend, SummariesListTheUsersAccountsByCategory) {
  TestBackend bank(TestBackend::defaultFixturePath());
  auto deposits = bank.accountSummary("2038556", "/deposits");
  ASSERT_TRUE(deposits);
  ASSERT_EQ(deposits->size(), 3u);
  EXPECT_EQ((*deposits)[1]["nickname"], "Rainy day");
  EXPECT_EQ((*deposits)[1]["availableBalance"]["value"], 12500.0);
  EXPECT_EQ((*deposits)[1]["balance"]["currency"], "CAD");
  EXPECT_EQ((*bank.accountSummary("2038556", "/creditcards"))[0]["number"], "520473******1842");
  EXPECT_FALSE(bank.accountSummary("2038556", "/other"));
  EXPECT_FALSE(bank.accountSummary("nobody", "/loans"));
}

TEST(TestBackend, MalformedFixturesAreRejected) {
  EXPECT_THROW(TestBackend(std::string("/nonexistent/fixture.json")), std::runtime_error);
  EXPECT_THROW(TestBackend(nlohmann::json::object()), std::runtime_error);
  nlohmann::json unknownAccount = {{"users", {{{"username", "u"}, {"password", "p"}, {"name", "n"},
                                               {"accounts", {"missing"}}}}}};
  EXPECT_THROW(TestBackend{unknownAccount}, std::runtime_error);
  nlohmann::json badType = {{"users", {{{"username", 5}, {"password", "p"}, {"name", "n"}}}}};
  EXPECT_THROW(TestBackend{badType}, std::runtime_error);
}
