// The user's language settings: the preferred languages (most preferred first, as language tags
// such as "en-US") and the current locale's identifier ("en_US").
//
// Until a host or test sets them they come from the process environment (LC_ALL, LC_MESSAGES,
// LANG): "fr_CA.UTF-8" gives the locale "fr_CA" and the preferred languages ["fr-CA"]; an unset,
// "C" or "POSIX" setting gives "en_US_POSIX" and ["en"]. Thread-safe.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform::locale {

std::vector<std::string> preferredLanguages();
// An empty optional goes back to the environment's languages; an empty list means none.
void setPreferredLanguages(std::optional<std::vector<std::string>> languages);

std::string currentLocaleIdentifier();
// An empty optional goes back to the environment's locale.
void setCurrentLocaleIdentifier(std::optional<std::string> identifier);

// The language part of a locale identifier or language tag ("pt_BR" and "pt-BR" give "pt").
std::string languageCode(const std::string& identifier);

}  // namespace platform::locale
