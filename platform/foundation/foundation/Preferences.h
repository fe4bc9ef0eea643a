// The platform's preferences functions (application values by application id). They share the
// user-defaults stores: kCurrentApplication is the standard user defaults' domain, any other id
// is the domain of that name.
#pragma once

#include <string>
#include <vector>

#include "foundation/Error.h"
#include "foundation/Value.h"

namespace platform::preferences {

inline constexpr const char* kCurrentApplication = "kCFPreferencesCurrentApplication";

// Null when absent.
Value copyAppValue(const std::string& key, const std::string& applicationID = kCurrentApplication);
// A null value removes the key. Non-property-list values throw platform::Exception.
void setAppValue(const std::string& key, const Value& value,
                 const std::string& applicationID = kCurrentApplication);
// As UserDefaults::synchronize.
bool appSynchronize(const std::string& applicationID = kCurrentApplication, Error* error = nullptr);
std::vector<std::string> copyKeyList(const std::string& applicationID = kCurrentApplication);

}  // namespace platform::preferences
