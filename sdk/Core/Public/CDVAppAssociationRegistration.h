// Attaches one lazily created object per key to a host object.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "foundation/ClassRegistry.h"

class CDVAppAssociationRegistration {
 public:
  // The object stored for `key` on `host`; when there is none, `creationBlock` makes it (a null
  // result stores nothing). Calls for every host are serialised; a creation block that asks for
  // the same host and key again raises platform::Exception named
  // "Reentering registeredObjectWithHost:key:creationBlock: not allowed".
  static std::shared_ptr<platform::Object> registeredObjectWithHost(
      const std::shared_ptr<platform::Object>& host, const std::string& key,
      const std::function<std::shared_ptr<platform::Object>()>& creationBlock);

  template <typename T>
  static std::shared_ptr<T> registeredObjectWithHost(
      const std::shared_ptr<platform::Object>& host, const std::string& key,
      const std::function<std::shared_ptr<T>()>& creationBlock) {
    return std::dynamic_pointer_cast<T>(registeredObjectWithHost(
        host, key, std::function<std::shared_ptr<platform::Object>()>(
                       [&]() -> std::shared_ptr<platform::Object> { return creationBlock(); })));
  }
};
