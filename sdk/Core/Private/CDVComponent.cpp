#include "Core/Public/CDVComponent.h"

#include "Core/Public/CDVApp.h"
#include "Core/Public/CDVComponentContainer.h"
#include "Core/Public/CDVLogger.h"
#include "foundation/Immortal.h"

// ---- CDVDependency / CDVComponent ----

std::shared_ptr<CDVDependency> CDVDependency::dependencyWithProtocol(CDVProtocol protocol) {
  return dependencyWithProtocol(std::move(protocol), true);
}

std::shared_ptr<CDVDependency> CDVDependency::dependencyWithProtocol(CDVProtocol protocol,
                                                                     bool isRequired) {
  return std::make_shared<CDVDependency>(std::move(protocol), isRequired);
}

CDVComponent::CDVComponent(CDVProtocol protocol, std::int64_t instantiationTiming,
                           std::vector<std::shared_ptr<CDVDependency>> dependencies,
                           CDVComponentCreationBlock creationBlock)
    : protocol_(std::move(protocol)),
      instantiationTiming_(instantiationTiming),
      dependencies_(std::move(dependencies)),
      creationBlock_(std::move(creationBlock)) {}

std::shared_ptr<CDVComponent> CDVComponent::componentWithProtocol(
    CDVProtocol protocol, CDVComponentCreationBlock creationBlock) {
  return componentWithProtocol(std::move(protocol), CDVInstantiationLazy, {},
                               std::move(creationBlock));
}

std::shared_ptr<CDVComponent> CDVComponent::componentWithProtocol(
    CDVProtocol protocol, std::int64_t instantiationTiming,
    std::vector<std::shared_ptr<CDVDependency>> dependencies,
    CDVComponentCreationBlock creationBlock) {
  return std::make_shared<CDVComponent>(std::move(protocol), instantiationTiming,
                                        std::move(dependencies), std::move(creationBlock));
}

// ---- CDVComponentContainer ----

namespace {

std::mutex gRegistrantsMutex;
platform::Immortal<CDVComponentContainer::Registrants> gRegistrantsStorage;
constinit CDVComponentContainer::Registrants& gRegistrants = *gRegistrantsStorage;

}  // namespace

void CDVComponentContainer::registerAsComponentRegistrant(std::shared_ptr<const CDVLibrary> library) {
  std::lock_guard lock(gRegistrantsMutex);
  registerAsComponentRegistrant(std::move(library), gRegistrants);
}

void CDVComponentContainer::registerAsComponentRegistrant(std::shared_ptr<const CDVLibrary> library,
                                                          Registrants& registrants) {
  if (!library) return;
  for (const auto& known : registrants) {
    if (known == library) return;
  }
  registrants.push_back(std::move(library));
}

CDVComponentContainer::Registrants CDVComponentContainer::registeredRegistrants() {
  std::lock_guard lock(gRegistrantsMutex);
  return gRegistrants;
}

void CDVComponentContainer::resetRegistrantsForTesting() {
  Registrants old;
  std::lock_guard lock(gRegistrantsMutex);
  old.swap(gRegistrants);
}

CDVComponentContainer::CDVComponentContainer(const std::shared_ptr<CDVApp>& app)
    : CDVComponentContainer(app, registeredRegistrants()) {}

CDVComponentContainer::CDVComponentContainer(const std::shared_ptr<CDVApp>& app,
                                             const Registrants& registrants)
    : app_(app) {
  populateComponentsFromRegisteredClasses(registrants, app && app->isDefaultApp());
}

void CDVComponentContainer::populateComponentsFromRegisteredClasses(const Registrants& registrants,
                                                                    bool isDefaultApp) {
  for (const auto& library : registrants) {
    for (const auto& component : library->componentsToRegister()) {
      if (!component) continue;
      const std::string& name = component->protocol().name();
      {
        std::lock_guard lock(mutex_);
        if (components_.count(name) != 0) {
          CDVLogError(kCDVLoggerCore, "I-COR000029",
                      "Attempted to register protocol %@, but it already has an implementation.",
                      name);
          continue;
        }
        components_[name] = component->creationBlock();
      }
      const std::int64_t timing = component->instantiationTiming();
      if (timing == CDVInstantiationAlwaysEager ||
          (timing == CDVInstantiationEagerInDefaultApp && isDefaultApp)) {
        instantiate(component->protocol(), component->creationBlock(), true);
      }
    }
  }
}

CDVInstance CDVComponentContainer::instantiateInstanceForProtocol(
    const CDVProtocol& protocol, const CDVComponentCreationBlock& block) {
  return instantiate(protocol, block, true);
}

CDVInstance CDVComponentContainer::instantiate(const CDVProtocol& protocol,
                                               const CDVComponentCreationBlock& block,
                                               bool replaceCached) {
  if (!block) return nullptr;
  bool isCacheable = false;
  CDVInstance instance = block(*this, &isCacheable);
  if (instance && !protocol.isConformedBy(*instance)) {
    CDVLogError(kCDVLoggerCore, "I-COR000030",
                "An instance conforming to %@ was requested, but the instance provided does not "
                "conform to the protocol",
                protocol.name());
  }
  if (isCacheable && instance) {
    std::lock_guard lock(mutex_);
    auto [it, inserted] = cachedInstances_.try_emplace(protocol.name(), instance);
    if (!inserted) {
      // Another thread cached an instance while this one was being made: on a plain request
      // everyone gets the same one.
      if (replaceCached) {
        it->second = instance;
      } else {
        return it->second;
      }
    }
  }
  return instance;
}

CDVInstance CDVComponentContainer::instanceForProtocol(const CDVProtocol& protocol) {
  CDVComponentCreationBlock block;
  {
    std::lock_guard lock(mutex_);
    auto cached = cachedInstances_.find(protocol.name());
    if (cached != cachedInstances_.end()) return cached->second;
    auto found = components_.find(protocol.name());
    if (found == components_.end()) return nullptr;
    block = found->second;
  }
  return instantiate(protocol, block, false);
}

void CDVComponentContainer::removeAllCachedInstances() {
  std::map<std::string, CDVInstance> instances;
  {
    std::lock_guard lock(mutex_);
    instances.swap(cachedInstances_);
  }
  const std::shared_ptr<CDVApp> app = app_.lock();
  for (const auto& [name, instance] : instances) {
    if (auto* maintainer = dynamic_cast<CDVComponentLifecycleMaintainer*>(instance.get())) {
      maintainer->appWillBeDeleted(app);
    }
  }
}

std::map<std::string, CDVComponentCreationBlock> CDVComponentContainer::components() const {
  std::lock_guard lock(mutex_);
  return components_;
}

void CDVComponentContainer::setComponents(std::map<std::string, CDVComponentCreationBlock> components) {
  std::lock_guard lock(mutex_);
  components_ = std::move(components);
}

std::map<std::string, CDVInstance> CDVComponentContainer::cachedInstances() const {
  std::lock_guard lock(mutex_);
  return cachedInstances_;
}

void CDVComponentContainer::setCachedInstances(std::map<std::string, CDVInstance> cachedInstances) {
  std::lock_guard lock(mutex_);
  cachedInstances_ = std::move(cachedInstances);
}
