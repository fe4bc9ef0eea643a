#include "model/ETransferPreferences.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>

#include "foundation/Text.h"

namespace vesmora {
namespace {

bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }

bool validLocalPart(const std::string& local) {
  if (local.empty() || local.size() > 64 || local.front() == '.' || local.back() == '.') return false;
  if (local.find("..") != std::string::npos) return false;
  return std::all_of(local.begin(), local.end(), [](char c) {
    return isAsciiLetter(c) || isAsciiDigit(c) || (c != '\0' && std::strchr(".!#$%&'*+/=?^_`{|}~-", c));
  });
}

bool validDomain(const std::string& domain) {
  std::vector<std::string> labels;
  std::size_t start = 0;
  while (true) {
    std::size_t dot = domain.find('.', start);
    labels.push_back(domain.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  if (labels.size() < 2) return false;
  for (const auto& label : labels) {
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
    if (!std::all_of(label.begin(), label.end(), [](char c) { return isAsciiLetter(c) || isAsciiDigit(c) || c == '-'; }))
      return false;
  }
  const std::string& top = labels.back();
  return top.size() >= 2 && std::all_of(top.begin(), top.end(), isAsciiLetter);
}

std::string lowered(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string fieldText(const nlohmann::json& object, const char* key, const std::string& where) {
  if (!object.is_object() || !object.contains(key) || !object[key].is_string()) {
    throw std::runtime_error("test backend fixture: e-Transfer preferences of " + where + ": \"" + key +
                             "\" is missing or not text");
  }
  return object[key].get<std::string>();
}

}  // namespace

bool isWellFormedEmail(const std::string& email) {
  if (email.empty() || email.size() > 254) return false;
  std::size_t at = email.find('@');
  if (at == std::string::npos || email.find('@', at + 1) != std::string::npos) return false;
  return validLocalPart(email.substr(0, at)) && validDomain(email.substr(at + 1));
}

std::string trimmedText(const std::string& text) { return std::string(platform::text::trimASCII(text)); }

void ETransferBook::load(const nlohmann::json& section,
                         const std::function<bool(const std::string&, const std::string&)>& ownsAccount) {
  std::map<std::string, Entry> entries;
  if (!section.is_null() && !section.is_object()) {
    throw std::runtime_error("test backend fixture: \"eTransferPreferences\" is not an object");
  }
  if (section.is_object()) {
    for (const auto& [user, value] : section.items()) {
      Entry entry;
      if (value.contains("profile")) {
        SenderProfile profile{fieldText(value["profile"], "name", user), fieldText(value["profile"], "email", user)};
        if (trimmedText(profile.name).empty() || !isWellFormedEmail(profile.email)) {
          throw std::runtime_error("test backend fixture: sender profile of " + user + " is not valid");
        }
        entry.profile = profile;
      }
      for (const auto& r : value.value("autodeposits", nlohmann::json::array())) {
        AutodepositRegistration registration{fieldText(r, "email", user), fieldText(r, "account", user), "Pending"};
        if (r.contains("status")) registration.status = fieldText(r, "status", user);
        if (!isWellFormedEmail(registration.email) || !ownsAccount(user, registration.accountId)) {
          throw std::runtime_error("test backend fixture: autodeposit " + registration.email + " of " + user +
                                   " is not valid");
        }
        entry.registrations.push_back(registration);
      }
      if (!entry.registrations.empty() && !entry.profile) {
        throw std::runtime_error("test backend fixture: " + user + " has autodeposits but no sender profile");
      }
      entries[user] = std::move(entry);
    }
  }
  entries_ = std::move(entries);
}

std::optional<SenderProfile> ETransferBook::profile(const std::string& user) const {
  auto it = entries_.find(user);
  return it == entries_.end() ? std::nullopt : it->second.profile;
}

bool ETransferBook::saveProfile(const std::string& user, const SenderProfile& profile) {
  SenderProfile cleaned{trimmedText(profile.name), trimmedText(profile.email)};
  if (cleaned.name.empty() || !isWellFormedEmail(cleaned.email)) return false;
  entries_[user].profile = cleaned;
  return true;
}

std::vector<AutodepositRegistration> ETransferBook::registrations(const std::string& user) const {
  auto it = entries_.find(user);
  return it == entries_.end() ? std::vector<AutodepositRegistration>{} : it->second.registrations;
}

bool ETransferBook::addRegistration(const std::string& user, const AutodepositRegistration& registration) {
  auto it = entries_.find(user);
  if (it == entries_.end() || !it->second.profile || !isWellFormedEmail(registration.email)) return false;
  if (it->second.registrations.size() >= kMaxRegistrations) return false;
  std::string key = lowered(registration.email);
  for (const auto& [other, entry] : entries_) {
    for (const auto& r : entry.registrations) {
      if (lowered(r.email) == key) return false;
    }
  }
  it->second.registrations.push_back(registration);
  return true;
}

bool ETransferBook::changeRegistrationAccount(const std::string& user, const std::string& email,
                                              const std::string& accountId) {
  auto it = entries_.find(user);
  if (it == entries_.end()) return false;
  for (auto& r : it->second.registrations) {
    if (r.email == email) {
      r.accountId = accountId;
      return true;
    }
  }
  return false;
}

bool ETransferBook::removeRegistration(const std::string& user, const std::string& email) {
  auto it = entries_.find(user);
  if (it == entries_.end()) return false;
  auto& list = it->second.registrations;
  auto found = std::find_if(list.begin(), list.end(), [&](const AutodepositRegistration& r) { return r.email == email; });
  if (found == list.end()) return false;
  list.erase(found);
  return true;
}

}  // namespace vesmora
