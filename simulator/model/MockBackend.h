// The mock backend: used when the app is launched with test settings. Sign-in knows the built-in
// users "userid", "2038556" and "2048887" (password "480917") and "lockedUserId" (locked); account
// data is fetched over HTTP from the stub server on 127.0.0.1:8080.
#pragma once

#include "model/Backend.h"

namespace vesmora {

class MockBackend : public Backend {
 public:
  static constexpr const char* kValidUser = "userid";
  static constexpr const char* kLockedUser = "lockedUserId";
  static constexpr const char* kPassword = "480917";

  explicit MockBackend(std::string host = "127.0.0.1", int port = 8080);

  SignInResult signIn(const std::string& username, const std::string& password) override;
  bool answerChallenge(const std::string& username, const std::string& answer) override;
  std::string customerName(const std::string& username) override;
  // GET <path> on the stub server; empty when it does not answer 200 with JSON.
  std::optional<nlohmann::json> accountSummary(const std::string& username, const std::string& path) override;
  bool offersSurvey(const std::string& username) override;

 private:
  std::string host_;
  int port_;
};

}  // namespace vesmora
