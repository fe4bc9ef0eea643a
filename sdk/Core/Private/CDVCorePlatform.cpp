#include "Core/Private/CDVCorePlatform.h"

#include "obx/OBXAppEnvironmentUtil.h"

namespace cdv_platform {

bool isAppExtension() { return OBXAppEnvironmentUtil::isAppExtension(); }

}  // namespace cdv_platform
