// The class operation "sharedApplication": a UI framework registers its application class in the
// ClassRegistry (as "UIApplication"); when that class object also implements this interface, code
// that only knows the class name can reach the process's application object through it.
#pragma once

#include <memory>

#include "foundation/ClassRegistry.h"

namespace platform {

class SharedApplicationClass {
 public:
  virtual ~SharedApplicationClass() = default;
  // The application object, or null when there is none.
  virtual std::shared_ptr<Object> sharedApplication() const = 0;
};

}  // namespace platform
