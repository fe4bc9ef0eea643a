// Interac e-Transfer preferences: the customer's sender profile and autodeposit registrations, as
// the bank keeps them (ETransferBook, held by the test backend) and as the app shows and edits
// them (PreferencesArea, the state of the More tab's preferences page and its two editors).
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vesmora {

// The name and e-mail address that recipients of the customer's e-Transfers see.
struct SenderProfile {
  std::string name;
  std::string email;
  bool operator==(const SenderProfile&) const = default;
};

// An e-mail address whose incoming e-Transfers are deposited into one of the customer's accounts.
struct AutodepositRegistration {
  std::string email;
  std::string accountId;
  std::string status = "Pending";  // "Pending" until the customer follows the activation link
};

// Whether `email` is a well-formed address: one "@", a local part of letters, digits and
// ".!#$%&'*+/=?^_`{|}~-" (no leading, trailing or doubled dot), and a domain of at least two
// dot-separated labels of letters, digits and inner hyphens, the last of two or more letters;
// 254 characters at most.
bool isWellFormedEmail(const std::string& email);
// The text with blanks (spaces, tabs, line breaks) removed at both ends.
std::string trimmedText(const std::string& text);

// The bank's record of every customer's profile and registrations. Not thread-safe on its own:
// the test backend calls it under its lock.
class ETransferBook {
 public:
  // Reads the fixture's "eTransferPreferences" section: by user name, an optional "profile"
  // {"name", "email"} and "autodeposits" [{"email", "account", optional "status"}]. Throws
  // std::runtime_error on a malformed entry; `ownsAccount` tells whether an account id is one of
  // the user's deposit accounts.
  void load(const nlohmann::json& section,
            const std::function<bool(const std::string& user, const std::string& accountId)>& ownsAccount);

  std::optional<SenderProfile> profile(const std::string& user) const;
  // Creates or replaces the profile; false (nothing changed) for an empty name or a malformed
  // address.
  bool saveProfile(const std::string& user, const SenderProfile& profile);

  std::vector<AutodepositRegistration> registrations(const std::string& user) const;
  // The caller checks that the account is one of the customer's. A new registration needs a profile, a
  // well-formed address not yet registered by anyone, and at most kMaxRegistrations per customer.
  bool addRegistration(const std::string& user, const AutodepositRegistration& registration);
  bool changeRegistrationAccount(const std::string& user, const std::string& email, const std::string& accountId);
  bool removeRegistration(const std::string& user, const std::string& email);

  // How many addresses one customer may register.
  static constexpr std::size_t kMaxRegistrations = 5;

 private:
  struct Entry {
    std::optional<SenderProfile> profile;
    std::vector<AutodepositRegistration> registrations;
  };
  std::map<std::string, Entry> entries_;
};

}  // namespace vesmora
