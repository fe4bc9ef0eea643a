// The advertising-identifier manager of the system's ad-support framework. The framework is
// optional: when present it registers its class "ASIdentifierManager" in the ClassRegistry, and
// that class object implements ASIdentifierManagerClass. Code that only knows the class name
// reaches the shared manager through it.
#pragma once

#include <memory>
#include <string>

#include "foundation/ClassRegistry.h"

namespace platform {

class ASIdentifierManager : public Object {
 public:
  // Whether the user allows tracking with the advertising identifier.
  virtual bool isAdvertisingTrackingEnabled() const = 0;
  // The advertising identifier in its UUID text form; all zeros while tracking is limited.
  virtual std::string advertisingIdentifier() const = 0;
};

class ASIdentifierManagerClass {
 public:
  virtual ~ASIdentifierManagerClass() = default;
  virtual std::shared_ptr<ASIdentifierManager> sharedManager() const = 0;
};

}  // namespace platform
