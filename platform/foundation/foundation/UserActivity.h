// A user activity handed to the app (a link opened from the web or a search result): its type and,
// for browsing activities, the web page's address.
#pragma once

#include <optional>
#include <string>

namespace platform {

inline constexpr const char* kUserActivityTypeBrowsingWeb = "NSUserActivityTypeBrowsingWeb";

struct UserActivity {
  std::string activityType;
  std::optional<std::string> webpageURL;
};

}  // namespace platform
