#include "foundation/Locale.h"

#include <mutex>

#include "foundation/ProcessInfo.h"

namespace platform::locale {

namespace {

struct State {
  std::mutex mutex;
  std::optional<std::vector<std::string>> languages;
  std::optional<std::string> identifier;
};

State& state() {
  static State* s = new State();  // never destroyed: threads may outlive main()
  return *s;
}
// Made as the program loads: a child forked while another thread made it would wait for ever on
// its guard.
[[maybe_unused]] const State& gStateMadeAtLoad = state();

// "fr_CA.UTF-8@euro" -> "fr_CA"; empty for an unset, "C" or "POSIX" setting.
std::string environmentLocale() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    std::optional<std::string> value = ProcessInfo::environmentValue(name);
    if (!value || value->empty()) continue;
    std::string locale = value->substr(0, value->find_first_of(".@"));
    if (locale.empty() || locale == "C" || locale == "POSIX") return std::string();
    return locale;
  }
  return std::string();
}

}  // namespace

std::vector<std::string> preferredLanguages() {
  {
    std::lock_guard lock(state().mutex);
    if (state().languages) return *state().languages;
  }
  std::string locale = environmentLocale();
  if (locale.empty()) return {"en"};
  for (char& c : locale) {
    if (c == '_') c = '-';
  }
  return {locale};
}

void setPreferredLanguages(std::optional<std::vector<std::string>> languages) {
  std::lock_guard lock(state().mutex);
  state().languages = std::move(languages);
}

std::string currentLocaleIdentifier() {
  {
    std::lock_guard lock(state().mutex);
    if (state().identifier) return *state().identifier;
  }
  std::string locale = environmentLocale();
  return locale.empty() ? "en_US_POSIX" : locale;
}

void setCurrentLocaleIdentifier(std::optional<std::string> identifier) {
  std::lock_guard lock(state().mutex);
  state().identifier = std::move(identifier);
}

std::string languageCode(const std::string& identifier) {
  return identifier.substr(0, identifier.find_first_of("_-"));
}

}  // namespace platform::locale
