// Components: how SDK libraries offer services to each other. A library declares, per protocol,
// a creation callback; each app's container collects the declarations of every registered
// library and hands out instances by protocol.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/ClassRegistry.h"

class CDVApp;
class CDVComponentContainer;

// Instances handed out by containers.
using CDVInstance = std::shared_ptr<platform::Object>;

// A protocol a component provides: identified by its name; knows how to tell whether an
// instance conforms to it.
class CDVProtocol {
 public:
  // A protocol whose conformance is checked with dynamic_cast to `T`.
  template <typename T>
  static CDVProtocol of(std::string name) {
    return CDVProtocol(std::move(name), [](const platform::Object& object) {
      return dynamic_cast<const T*>(&object) != nullptr;
    });
  }
  // A protocol known by name only: every instance conforms.
  explicit CDVProtocol(std::string name) : name_(std::move(name)) {}
  CDVProtocol(std::string name, std::function<bool(const platform::Object&)> conformance)
      : name_(std::move(name)), conformance_(std::move(conformance)) {}

  const std::string& name() const { return name_; }
  bool isConformedBy(const platform::Object& object) const {
    return !conformance_ || conformance_(object);
  }
  friend bool operator==(const CDVProtocol& a, const CDVProtocol& b) { return a.name_ == b.name_; }

 private:
  std::string name_;
  std::function<bool(const platform::Object&)> conformance_;
};

// When a component's instance is created.
enum CDVInstantiationTiming : std::int64_t {
  CDVInstantiationLazy = 0,                   // on first request
  CDVInstantiationAlwaysEager = 1,            // when any app's container is built
  CDVInstantiationEagerInDefaultApp = 2,      // when the default app's container is built
};

class CDVDependency {
 public:
  static std::shared_ptr<CDVDependency> dependencyWithProtocol(CDVProtocol protocol);
  static std::shared_ptr<CDVDependency> dependencyWithProtocol(CDVProtocol protocol, bool isRequired);
  CDVDependency(CDVProtocol protocol, bool isRequired)
      : isRequired_(isRequired), protocol_(std::move(protocol)) {}

  bool isRequired() const { return isRequired_; }
  const CDVProtocol& protocol() const { return protocol_; }

 private:
  bool isRequired_;
  CDVProtocol protocol_;
};

// Creation callback: gets the container and a cacheable flag (false on entry); sets the flag to
// have the container keep the instance. May return null.
using CDVComponentCreationBlock =
    std::function<CDVInstance(CDVComponentContainer& container, bool* isCacheable)>;

class CDVComponent {
 public:
  static std::shared_ptr<CDVComponent> componentWithProtocol(CDVProtocol protocol,
                                                             CDVComponentCreationBlock creationBlock);
  static std::shared_ptr<CDVComponent> componentWithProtocol(
      CDVProtocol protocol, std::int64_t instantiationTiming,
      std::vector<std::shared_ptr<CDVDependency>> dependencies,
      CDVComponentCreationBlock creationBlock);
  CDVComponent(CDVProtocol protocol, std::int64_t instantiationTiming,
               std::vector<std::shared_ptr<CDVDependency>> dependencies,
               CDVComponentCreationBlock creationBlock);

  const CDVProtocol& protocol() const { return protocol_; }
  std::int64_t instantiationTiming() const { return instantiationTiming_; }
  const std::vector<std::shared_ptr<CDVDependency>>& dependencies() const { return dependencies_; }
  const CDVComponentCreationBlock& creationBlock() const { return creationBlock_; }

 private:
  CDVProtocol protocol_;
  std::int64_t instantiationTiming_;
  std::vector<std::shared_ptr<CDVDependency>> dependencies_;
  CDVComponentCreationBlock creationBlock_;
};

// Adopted by component instances that want to know when their app goes away.
class CDVComponentLifecycleMaintainer {
 public:
  virtual ~CDVComponentLifecycleMaintainer() = default;
  virtual void appWillBeDeleted(const std::shared_ptr<CDVApp>& app) = 0;
};

// The class object of an SDK library. A library registers it with
// CDVApp::registerInternalLibrary(...) before apps are configured.
class CDVLibrary : public platform::ClassObject {
 public:
  using platform::ClassObject::ClassObject;

  virtual std::vector<std::shared_ptr<CDVComponent>> componentsToRegister() const = 0;

  // Optional: libraries that want to hear of every configured app answer true and override
  // configureWithApp.
  virtual bool respondsToConfigureWithApp() const { return false; }
  virtual void configureWithApp(const std::shared_ptr<CDVApp>& app) const { (void)app; }
};
