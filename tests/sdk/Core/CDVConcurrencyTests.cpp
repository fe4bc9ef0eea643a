#include <atomic>
#include <thread>

#include "CoreTestSupport.h"

namespace {

using coretest::CoreTest;
using coretest::FakeLibrary;

class Service : public platform::Object {};

// A library that reports its configuration from configureWithApp, as SDK libraries do.
class ReportingLibrary : public FakeLibrary {
 public:
  using FakeLibrary::FakeLibrary;
  void configureWithApp(const std::shared_ptr<CDVApp>& app) const override {
    app->sendLogsWithServiceName("Quorrel", "2.0", std::nullopt);
  }
};

class CDVConcurrencyTest : public CoreTest {};

TEST_F(CDVConcurrencyTest, ConfiguringAppsWhileLibrariesSendLogsDoesNotDeadlock) {
  // Observes diagnostics the way the diagnostics client does: under a lock of its own, it reads
  // the registry.
  std::recursive_mutex diagnosticsLock;
  std::atomic<int> observed{0};
  auto token = platform::NotificationCenter::defaultCenter().addObserver(
      kCDVAppDiagnosticsNotification, platform::Value(), [&](const platform::Notification& n) {
        std::lock_guard lock(diagnosticsLock);
        auto apps = CDVApp::allApps();
        if (auto app = n.userInfo["CDVApp"].objectAs<CDVApp>()) (void)app->isDataCollectionDefaultEnabled();
        ++observed;
      });

  auto component = CDVComponent::componentWithProtocol(
      CDVProtocol::of<Service>("Service"), [](CDVComponentContainer&, bool* cacheable) {
        *cacheable = true;
        return std::make_shared<Service>();
      });
  CDVApp::registerInternalLibrary(std::make_shared<ReportingLibrary>("Reporting", std::vector{component}, true),
                                  "reporting", "2.0");
  CDVApp::configureWithOptions(optionsWithAppID());
  auto defaultApp = CDVApp::defaultApp();

  constexpr int kConfigurers = 4;
  constexpr int kAppsEach = 25;
  constexpr int kReporters = 4;
  std::atomic<bool> configuring{true};
  std::vector<std::thread> threads;
  for (int t = 0; t < kConfigurers; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kAppsEach; ++i) {
        const std::string name = "app-" + std::to_string(t) + "-" + std::to_string(i);
        CDVApp::configureWithName(name, optionsWithAppID());
        auto app = CDVApp::appNamed(name);
        ASSERT_TRUE(app);
        app->container()->instanceForProtocol(CDVProtocol("Service"));
        if (i % 3 == 0) app->deleteApp([](bool ok) { EXPECT_TRUE(ok); });
      }
    });
  }
  for (int t = 0; t < kReporters; ++t) {
    threads.emplace_back([&] {
      while (configuring.load()) {
        {
          std::lock_guard lock(diagnosticsLock);  // a diagnostics pass holding its lock
          (void)CDVApp::allApps();
        }
        defaultApp->sendLogsWithServiceName("InstanceID", "4.2.0", std::nullopt);
        (void)CDVApp::cindervaleUserAgent();
        (void)defaultApp->container()->instanceForProtocol(CDVProtocol("Service"));
      }
    });
  }
  for (int t = 0; t < kConfigurers; ++t) threads[t].join();
  configuring.store(false);
  for (std::size_t t = kConfigurers; t < threads.size(); ++t) threads[t].join();
  platform::NotificationCenter::defaultCenter().removeObserver(token);

  const int deletedEach = (kAppsEach + 2) / 3;
  EXPECT_EQ(CDVApp::allApps()->size(), 1u + kConfigurers * (kAppsEach - deletedEach));
  EXPECT_GE(observed.load(), 2 * (1 + kConfigurers * kAppsEach));
}

TEST_F(CDVConcurrencyTest, ConcurrentRequestsShareOneCachedInstance) {
  std::atomic<int> made{0};
  auto component = CDVComponent::componentWithProtocol(
      CDVProtocol("Service"), [&made](CDVComponentContainer&, bool* cacheable) {
        ++made;
        *cacheable = true;
        return std::make_shared<Service>();
      });
  CDVComponentContainer container(nullptr, {std::make_shared<FakeLibrary>("Lib", std::vector{component})});
  std::vector<CDVInstance> seen(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] { seen[t] = container.instanceForProtocol(CDVProtocol("Service")); });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& instance : seen) EXPECT_EQ(instance, seen[0]);
  EXPECT_GE(made.load(), 1);
}

TEST_F(CDVConcurrencyTest, OnlyOneThreadConfiguresTheDefaultApp) {
  std::atomic<int> succeeded{0}, refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&] {
      try {
        CDVApp::configureWithOptions(optionsWithAppID());
        ++succeeded;
      } catch (const platform::Exception& e) {
        EXPECT_EQ(e.reason(), "Default app has already been configured.");
        ++refused;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(succeeded.load(), 1);
  EXPECT_EQ(refused.load(), 5);
  EXPECT_EQ(notificationsNamed(kCDVAppReadyToConfigureSDKNotification).size(), 1u);
}

TEST_F(CDVConcurrencyTest, AConfigureFromInsideTheConfigureOnItsThreadIsRefusedWithoutWaitingForItself) {
  // A library configured with the app configures the default app again, on the configuring
  // thread: a configure under way on another thread is waited for, its own is not.
  class ReconfiguringLibrary : public FakeLibrary {
   public:
    using FakeLibrary::FakeLibrary;
    void configureWithApp(const std::shared_ptr<CDVApp>&) const override {
      try {
        CDVApp::configureWithOptions(optionsWithAppID());
      } catch (const platform::Exception& e) {
        refusal = e.reason();
      }
    }
    mutable std::string refusal;
  };
  auto library = std::make_shared<ReconfiguringLibrary>("Reconfiguring", std::vector<std::shared_ptr<CDVComponent>>{},
                                                        true);
  CDVApp::registerInternalLibrary(library, "reconfiguring", "1.0");
  CDVApp::configureWithOptions(optionsWithAppID());
  EXPECT_EQ(library->refusal, "Default app has already been configured.");
  EXPECT_TRUE(CDVApp::isDefaultAppConfigured());
}

}  // namespace
