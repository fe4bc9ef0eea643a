#include "model/MockBackend.h"

#include <httplib.h>

namespace vesmora {
namespace {

// The mock sign-in users: "userid" and the customers of the mock overview tests.
bool isValidUser(const std::string& username) {
  return username == MockBackend::kValidUser || username == "2038556" || username == "2048887";
}

}  // namespace

MockBackend::MockBackend(std::string host, int port) : host_(std::move(host)), port_(port) {}

SignInResult MockBackend::signIn(const std::string& username, const std::string& password) {
  SignInResult result;
  if (username == kLockedUser) {
    result.kind = SignInResult::Kind::locked;
  } else if (isValidUser(username) && password == kPassword) {
    result.kind = SignInResult::Kind::success;
  } else {
    result.kind = SignInResult::Kind::invalidCredentials;
  }
  return result;
}

bool MockBackend::answerChallenge(const std::string&, const std::string&) { return false; }

std::string MockBackend::customerName(const std::string& username) {
  return isValidUser(username) ? "Mock Customer" : "";
}

std::optional<nlohmann::json> MockBackend::accountSummary(const std::string&, const std::string& path) {
  httplib::Client client(host_, port_);
  // The stub server answers at once from memory; the bounds only tell a dead server from a busy
  // machine.
  client.set_connection_timeout(10);
  client.set_read_timeout(60);
  auto response = client.Get(path.c_str());
  if (!response || response->status != 200) return std::nullopt;
  try {
    return nlohmann::json::parse(response->body);
  } catch (const nlohmann::json::parse_error&) {
    return std::nullopt;
  }
}

bool MockBackend::offersSurvey(const std::string&) { return false; }

}  // namespace vesmora
