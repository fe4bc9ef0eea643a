#include "foundation/Error.h"

namespace platform {

std::string Error::fullDescription() const {
  std::string out = "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + description + "\"";
  if (!userInfo.isNull()) out += " UserInfo=" + userInfo.description();
  return out;
}

}  // namespace platform
