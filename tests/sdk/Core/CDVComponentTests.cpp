#include <atomic>

#include "Core/Public/CDVAppAssociationRegistration.h"
#include "CoreTestSupport.h"
#include "foundation/Exception.h"

namespace {

using coretest::CoreTest;
using coretest::FakeLibrary;

class Greeter : public platform::Object {};
class OtherService : public platform::Object {};

class Maintained : public Greeter, public CDVComponentLifecycleMaintainer {
 public:
  void appWillBeDeleted(const std::shared_ptr<CDVApp>& app) override {
    deletedApps.push_back(app ? app->name() : "(null)");
  }
  std::vector<std::string> deletedApps;
};

const CDVProtocol kGreeter = CDVProtocol::of<Greeter>("Greeter");

class CDVComponentTest : public CoreTest {
 protected:
  // A component that counts its creations; `cache` sets the cacheable flag.
  std::shared_ptr<CDVComponent> countingComponent(std::int64_t timing, bool cache,
                                                  std::atomic<int>& counter) {
    return CDVComponent::componentWithProtocol(
        kGreeter, timing, {}, [&counter, cache](CDVComponentContainer&, bool* cacheable) {
          ++counter;
          *cacheable = cache;
          return std::make_shared<Greeter>();
        });
  }
  void registerLibrary(const std::string& name, std::vector<std::shared_ptr<CDVComponent>> components) {
    CDVApp::registerInternalLibrary(std::make_shared<FakeLibrary>(name, std::move(components)), name, "1");
  }
};

TEST_F(CDVComponentTest, FactoriesFillTheirDefaults) {
  auto component = CDVComponent::componentWithProtocol(kGreeter, [](CDVComponentContainer&, bool*) {
    return CDVInstance();
  });
  EXPECT_EQ(component->instantiationTiming(), CDVInstantiationLazy);
  EXPECT_TRUE(component->dependencies().empty());
  EXPECT_TRUE(CDVDependency::dependencyWithProtocol(kGreeter)->isRequired());
  EXPECT_FALSE(CDVDependency::dependencyWithProtocol(kGreeter, false)->isRequired());
}

TEST_F(CDVComponentTest, FirstDeclarationOfAProtocolWins) {
  std::atomic<int> first{0}, second{0};
  registerLibrary("LibA", {countingComponent(CDVInstantiationLazy, false, first)});
  registerLibrary("LibB", {countingComponent(CDVInstantiationLazy, false, second)});
  CDVApp::configureWithOptions(optionsWithAppID());
  auto duplicate = linesWithCode("I-COR000029");
  ASSERT_EQ(duplicate.size(), 1u);
  EXPECT_EQ(duplicate[0].message, "Attempted to register protocol Greeter, but it already has an implementation.");
  EXPECT_TRUE(CDVApp::defaultApp()->container()->instanceForProtocol(kGreeter));
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 0);
  EXPECT_EQ(CDVApp::defaultApp()->container()->components().size(), 1u);
}

TEST_F(CDVComponentTest, TimingDecidesWhenInstancesAreMade) {
  std::atomic<int> eagerDefault{0};
  registerLibrary("Lib", {countingComponent(CDVInstantiationEagerInDefaultApp, true, eagerDefault)});
  CDVApp::configureWithName("other", optionsWithAppID());
  EXPECT_EQ(eagerDefault, 0);
  CDVApp::configureWithOptions(optionsWithAppID());
  EXPECT_EQ(eagerDefault, 1);
  CDVApp::defaultApp()->container()->instanceForProtocol(kGreeter);
  EXPECT_EQ(eagerDefault, 1);  // cached by the eager creation
  CDVApp::appNamed("other")->container()->instanceForProtocol(kGreeter);
  EXPECT_EQ(eagerDefault, 2);

  resetCore();
  std::atomic<int> always{0};
  registerLibrary("Lib", {countingComponent(CDVInstantiationAlwaysEager, true, always)});
  CDVApp::configureWithName("other", optionsWithAppID());
  EXPECT_EQ(always, 1);
}

TEST_F(CDVComponentTest, OnlyCacheableInstancesAreKept) {
  std::atomic<int> fresh{0}, cached{0};
  auto container = std::make_shared<CDVComponentContainer>(
      nullptr, CDVComponentContainer::Registrants{
                   std::make_shared<FakeLibrary>("Lib", std::vector{countingComponent(CDVInstantiationLazy, false, fresh)})});
  auto a = container->instanceForProtocol(kGreeter);
  auto b = container->instanceForProtocol(kGreeter);
  EXPECT_NE(a, b);
  EXPECT_EQ(fresh, 2);
  EXPECT_TRUE(container->cachedInstances().empty());

  auto cachingContainer = std::make_shared<CDVComponentContainer>(
      nullptr, CDVComponentContainer::Registrants{
                   std::make_shared<FakeLibrary>("Lib", std::vector{countingComponent(CDVInstantiationLazy, true, cached)})});
  auto c = cachingContainer->instanceForProtocol<Greeter>(kGreeter);
  auto d = cachingContainer->instanceForProtocol<Greeter>(kGreeter);
  EXPECT_TRUE(c);
  EXPECT_EQ(c, d);
  EXPECT_EQ(cached, 1);
  EXPECT_FALSE(cachingContainer->instanceForProtocol(CDVProtocol("Unknown")));
  EXPECT_FALSE(CDVComponentType::instanceForProtocol(kGreeter, nullptr));
}

TEST_F(CDVComponentTest, NonConformingInstancesAreLoggedButHandedOut) {
  auto component = CDVComponent::componentWithProtocol(kGreeter, [](CDVComponentContainer&, bool* cacheable) {
    *cacheable = true;
    return std::make_shared<OtherService>();
  });
  CDVComponentContainer container(nullptr, {std::make_shared<FakeLibrary>("Lib", std::vector{component})});
  auto instance = container.instanceForProtocol(kGreeter);
  EXPECT_TRUE(std::dynamic_pointer_cast<OtherService>(instance));
  EXPECT_FALSE(container.instanceForProtocol<Greeter>(kGreeter));
  EXPECT_EQ(container.cachedInstances().size(), 1u);
  EXPECT_EQ(linesWithCode("I-COR000030").at(0).message,
            "An instance conforming to Greeter was requested, but the instance provided does not "
            "conform to the protocol");
}

TEST_F(CDVComponentTest, DeletingAnAppTellsAndDropsCachedInstances) {
  std::atomic<int> made{0};
  auto component = CDVComponent::componentWithProtocol(kGreeter, [&made](CDVComponentContainer&, bool* cacheable) {
    ++made;
    *cacheable = true;
    return std::make_shared<Maintained>();
  });
  registerLibrary("Lib", {component});
  CDVApp::configureWithName("other", optionsWithAppID());
  auto app = CDVApp::appNamed("other");
  auto container = app->container();
  auto instance = std::dynamic_pointer_cast<Maintained>(container->instanceForProtocol(kGreeter));
  ASSERT_TRUE(instance);
  app->deleteApp([](bool) {});
  EXPECT_EQ(instance->deletedApps, std::vector<std::string>{"other"});
  EXPECT_TRUE(container->cachedInstances().empty());
  EXPECT_NE(container->instanceForProtocol(kGreeter), instance);
  EXPECT_EQ(made, 2);
}

TEST_F(CDVComponentTest, CallbacksMayAskTheirContainerForOtherInstances) {
  const CDVProtocol other = CDVProtocol::of<OtherService>("OtherService");
  auto dependent = CDVComponent::componentWithProtocol(kGreeter, [other](CDVComponentContainer& c, bool* cacheable) {
    *cacheable = true;
    EXPECT_TRUE(c.instanceForProtocol(other));
    return std::make_shared<Greeter>();
  });
  auto base = CDVComponent::componentWithProtocol(other, [](CDVComponentContainer&, bool* cacheable) {
    *cacheable = true;
    return std::make_shared<OtherService>();
  });
  CDVComponentContainer container(nullptr, {std::make_shared<FakeLibrary>("Lib", std::vector{dependent, base})});
  EXPECT_TRUE(container.instanceForProtocol(kGreeter));
  EXPECT_EQ(container.cachedInstances().size(), 2u);
}

TEST_F(CDVComponentTest, AssociationRegistryMakesOneObjectPerHostAndKey) {
  auto host = std::make_shared<platform::Object>();
  auto otherHost = std::make_shared<platform::Object>();
  int made = 0;
  auto make = [&made]() -> std::shared_ptr<platform::Object> {
    ++made;
    return std::make_shared<Greeter>();
  };
  auto a = CDVAppAssociationRegistration::registeredObjectWithHost(host, "key", make);
  auto b = CDVAppAssociationRegistration::registeredObjectWithHost(host, "key", make);
  auto c = CDVAppAssociationRegistration::registeredObjectWithHost(otherHost, "key", make);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_EQ(made, 2);

  // A null result stores nothing.
  auto none = CDVAppAssociationRegistration::registeredObjectWithHost(
      host, "empty", []() -> std::shared_ptr<platform::Object> { return nullptr; });
  EXPECT_FALSE(none);
  EXPECT_TRUE(CDVAppAssociationRegistration::registeredObjectWithHost(host, "empty", make));

  // Re-entering for the same host and key is refused; the key stays usable.
  std::function<std::shared_ptr<platform::Object>()> reentrant = [&]() -> std::shared_ptr<platform::Object> {
    return CDVAppAssociationRegistration::registeredObjectWithHost(host, "loop", reentrant);
  };
  try {
    CDVAppAssociationRegistration::registeredObjectWithHost(host, "loop", reentrant);
    ADD_FAILURE() << "no exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "Reentering registeredObjectWithHost:key:creationBlock: not allowed");
    EXPECT_EQ(e.reason().rfind("host: ", 0), 0u);
    EXPECT_NE(e.reason().find(" key: loop"), std::string::npos);
  }
  EXPECT_TRUE(CDVAppAssociationRegistration::registeredObjectWithHost(host, "loop", make));

  // A host that died takes its objects with it, even if a new host reuses its address.
  std::weak_ptr<platform::Object> weakA = a;
  a.reset();
  b.reset();
  host.reset();
  auto newHost = std::make_shared<platform::Object>();
  auto fresh = CDVAppAssociationRegistration::registeredObjectWithHost(newHost, "key", make);
  EXPECT_TRUE(weakA.expired());
  EXPECT_TRUE(fresh);
}

}  // namespace
