// Each app's component container: the creation callbacks of every registered library by
// protocol name, and the instances created so far that their callbacks allowed to be cached.
// Safe to use from several threads; creation callbacks run without the container's lock held,
// so they may ask the container for other instances.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Core/Public/CDVComponent.h"

class CDVComponentContainer {
 public:
  using Registrants = std::vector<std::shared_ptr<const CDVLibrary>>;

  // Adds a library class to the process-wide registrants (a class added twice is kept once).
  static void registerAsComponentRegistrant(std::shared_ptr<const CDVLibrary> library);
  static void registerAsComponentRegistrant(std::shared_ptr<const CDVLibrary> library,
                                            Registrants& registrants);
  // A copy of the process-wide registrants, in registration order.
  static Registrants registeredRegistrants();
  // Test support: forgets every registrant.
  static void resetRegistrantsForTesting();

  // Builds the component table from the process-wide registrants (or the given ones) and
  // creates the eager instances. `app` may be null (then no app is the default app).
  explicit CDVComponentContainer(const std::shared_ptr<CDVApp>& app);
  CDVComponentContainer(const std::shared_ptr<CDVApp>& app, const Registrants& registrants);
  CDVComponentContainer(const CDVComponentContainer&) = delete;
  CDVComponentContainer& operator=(const CDVComponentContainer&) = delete;

  // The cached instance for the protocol, else a new one from its callback; null when the
  // protocol is unknown or the callback returned null.
  CDVInstance instanceForProtocol(const CDVProtocol& protocol);
  template <typename T>
  std::shared_ptr<T> instanceForProtocol(const CDVProtocol& protocol) {
    return std::dynamic_pointer_cast<T>(instanceForProtocol(protocol));
  }

  // Runs `block` (null gives null); caches the result under the protocol's name when the block
  // set its cacheable flag, replacing an earlier entry.
  CDVInstance instantiateInstanceForProtocol(const CDVProtocol& protocol,
                                             const CDVComponentCreationBlock& block);

  // Tells cached instances that adopt CDVComponentLifecycleMaintainer that the app goes away,
  // then drops every cached instance. The callbacks stay.
  void removeAllCachedInstances();

  std::shared_ptr<CDVApp> app() const { return app_.lock(); }
  std::map<std::string, CDVComponentCreationBlock> components() const;
  void setComponents(std::map<std::string, CDVComponentCreationBlock> components);
  std::map<std::string, CDVInstance> cachedInstances() const;
  void setCachedInstances(std::map<std::string, CDVInstance> cachedInstances);

 private:
  void populateComponentsFromRegisteredClasses(const Registrants& registrants, bool isDefaultApp);
  CDVInstance instantiate(const CDVProtocol& protocol, const CDVComponentCreationBlock& block,
                          bool replaceCached);

  std::weak_ptr<CDVApp> app_;
  mutable std::mutex mutex_;
  std::map<std::string, CDVComponentCreationBlock> components_;
  std::map<std::string, CDVInstance> cachedInstances_;
};

// Convenience for libraries: the instance for `protocol` in `container`.
class CDVComponentType {
 public:
  static CDVInstance instanceForProtocol(const CDVProtocol& protocol,
                                        CDVComponentContainer* container) {
    return container ? container->instanceForProtocol(protocol) : nullptr;
  }
  template <typename T>
  static std::shared_ptr<T> instanceForProtocol(const CDVProtocol& protocol,
                                                CDVComponentContainer* container) {
    return std::dynamic_pointer_cast<T>(instanceForProtocol(protocol, container));
  }
};
