// Automatic screen views over the UI stand-in: controller changes, the app naming its screen,
// the active/inactive switch, the stack's bookkeeping, and reads from a second thread.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "dispatch/Testing.h"
#include "foundation/Bundle.h"
#include "measurement/engine/components/TLMScreenViewReporter.h"
#include "measurement/model/TLMRecordingMonitor.h"

namespace {

class FakeSession : public TLMSessionReporting {
 public:
  void setReportingEnabled(bool) override {}
  bool isReportingEnabled() const override { return true; }
  bool isSessionExpired() override { return false; }
  bool extendSession() override { return true; }
  void updatePropertiesForNewSessionStart() override {}
  std::optional<TLMUserAttribute> sessionIDPropertyWithTimestamp(double) override { return std::nullopt; }
  std::optional<TLMUserAttribute> sessionNumberProperty() override { return std::nullopt; }
  void setTimeoutSessionInterval(double) override {}
  void setMinimumSessionInterval(double) override {}
  std::int64_t cutFreerideEngagementTimeMillis() override { return std::exchange(engagement, 0); }
  void handleAppDidBecomeActive() override { ++becameActive; }
  void handleAppWillResignActiveWithScreen(const TLMScreen* screen) override {
    resignedWith = screen ? std::optional<std::string>(screen->className) : std::nullopt;
  }
  void handleScreenDidChange(const TLMScreen*, const TLMScreen* to) override { changes.push_back(to->className); }

  std::int64_t engagement = 0;
  int becameActive = 0;
  std::optional<std::string> resignedWith;
  std::vector<std::string> changes;
};

struct Logged {
  std::string name;
  TLMObjectDictionary parameters;
  std::optional<std::string> string(const char* key) const {
    const TLMObject* o = parameters.find(key);
    return o ? o->contextValue().stringValue() : std::nullopt;
  }
  std::optional<std::int64_t> number(const char* key) const {
    const TLMObject* o = parameters.find(key);
    return o ? o->contextValue().int64Value() : std::nullopt;
  }
};

struct ScreenHarness {
  explicit ScreenHarness(bool active = true, std::shared_ptr<platform::Queue> queue = nullptr) {
    TLMScreenViewReporterServices services;
    services.queue = queue ? queue : manual;
    services.isReportingEnabled = [this] { return enabled.load(); };
    services.application = [this] { return application; };
    services.sessionReporter = [this]() -> std::shared_ptr<TLMSessionReporting> { return session; };
    services.adExposureReporter = [] { return nullptr; };
    services.delegateEnabled = [] { return false; };
    services.efficientEngagementEnabled = [] { return true; };
    services.logEvent = [this](const std::string& name, const TLMObjectDictionary& parameters) {
      std::lock_guard<std::mutex> lock(mutex);
      events.push_back({name, parameters});
    };
    services.randomInt64 = [] { return std::int64_t{1000}; };
    services.notificationCenter = &center;
    reporter = TLMScreenViewReporter::create(std::move(services));
    application->makeKeyWindow(window);
    if (active) becomeActive();
  }
  void becomeActive() {
    center.post(UIApplicationDidBecomeActiveNotification);
    manual->drain();
  }
  void resignActive() { center.post(UIApplicationWillResignActiveNotification); }

  std::shared_ptr<UIViewController> controller(const std::string& className, bool fromMain = true,
                                               const std::string& superclass = "UIViewController") {
    auto c = std::make_shared<UIViewController>(className, superclass, fromMain);
    c->setViewLoaded(true);
    c->setViewWindow(window);
    return c;
  }
  void appear(const std::shared_ptr<UIViewController>& c) { reporter->viewControllerDidAppear(c); }
  void disappear(const std::shared_ptr<UIViewController>& c) {
    c->setViewWindow(nullptr);
    reporter->viewControllerDidDisappear(c);
  }
  std::vector<Logged> screenViews() {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
  }

  TLMScopedRecordingMonitor monitor;
  platform::NotificationCenter center;
  std::shared_ptr<platform::ManualQueue> manual = platform::ManualQueue::create("TLMScreenViewReporter");
  std::shared_ptr<UIApplication> application = std::make_shared<UIApplication>();
  std::shared_ptr<UIWindow> window = std::make_shared<UIWindow>();
  std::shared_ptr<FakeSession> session = std::make_shared<FakeSession>();
  std::atomic<bool> enabled{true};
  std::mutex mutex;
  std::vector<Logged> events;
  std::shared_ptr<TLMScreenViewReporter> reporter;
};

}  // namespace

TEST(TLMScreenViewReporterTests, EachNewCurrentControllerLogsAScreenViewWithThePreviousScreen) {
  ScreenHarness h;
  auto home = h.controller("Shop.HomeViewController");
  h.window->setRootViewController(home);
  h.appear(home);
  ASSERT_EQ(h.screenViews().size(), 1u);
  EXPECT_EQ(h.screenViews()[0].name, "_vs");
  EXPECT_EQ(h.screenViews()[0].string("_sc"), "HomeViewController");
  EXPECT_EQ(h.screenViews()[0].number("_si"), 1000);
  EXPECT_FALSE(h.screenViews()[0].parameters.contains("_pc"));
  EXPECT_FALSE(h.screenViews()[0].parameters.contains("_sn"));

  h.session->engagement = 250;
  auto detail = h.controller("Shop.");  // a name ending in "." is used whole
  h.appear(detail);
  ASSERT_EQ(h.screenViews().size(), 2u);
  const Logged second = h.screenViews()[1];
  EXPECT_EQ(second.string("_sc"), "Shop.");
  EXPECT_EQ(second.number("_si"), 1001);
  EXPECT_EQ(second.string("_pc"), "HomeViewController");
  EXPECT_EQ(second.number("_pi"), 1000);
  EXPECT_EQ(second.number("_et"), 250);

  // Back to the home screen: it keeps its instance id.
  h.disappear(detail);
  ASSERT_EQ(h.screenViews().size(), 3u);
  EXPECT_EQ(h.screenViews()[2].number("_si"), 1000);
  EXPECT_EQ(h.screenViews()[2].number("_pi"), 1001);
  EXPECT_FALSE(h.screenViews()[2].parameters.contains("_et"));
  EXPECT_EQ(h.session->changes, (std::vector<std::string>{"Shop.", "HomeViewController"}));

  // A system controller from another bundle never becomes current; a long class name is cut to
  // 100 code points.
  h.appear(h.controller("_UIAlertShimController", false));
  h.appear(h.controller("AlertWrapper", false, "UIKit._UIAlertBase"));
  EXPECT_EQ(h.screenViews().size(), 3u);
  h.appear(h.controller("Mod." + std::string(130, 'X')));
  ASSERT_EQ(h.screenViews().size(), 4u);
  EXPECT_EQ(h.screenViews()[3].string("_sc"), std::string(100, 'X'));
  EXPECT_TRUE(h.monitor->has(31007));
}

TEST(TLMScreenViewReporterTests, ManualScreensNeedAControllerStayCurrentAboveChildrenAndAreNotRepeated) {
  ScreenHarness h;
  h.reporter->setScreenName("Checkout", std::nullopt);
  EXPECT_TRUE(h.monitor->has(31003));
  EXPECT_TRUE(h.screenViews().empty());

  auto cart = h.controller("CartViewController");
  h.appear(cart);
  h.reporter->setScreenName("Checkout", std::nullopt);
  h.reporter->setScreenName("Checkout", std::nullopt);
  ASSERT_EQ(h.screenViews().size(), 2u);
  EXPECT_EQ(h.screenViews()[1].string("_sn"), "Checkout");
  EXPECT_EQ(h.screenViews()[1].string("_sc"), "CartViewController");
  EXPECT_EQ(h.screenViews()[1].string("_pc"), "CartViewController");
  EXPECT_TRUE(h.monitor->has(31004));

  // A child controller coming up above the named screen does not replace it.
  auto child = h.controller("BadgeViewController");
  cart->addChildViewController(child);
  h.appear(child);
  EXPECT_EQ(h.screenViews().size(), 2u);
  std::optional<std::string> name, cls;
  h.reporter->getScreenName(&name, &cls);
  EXPECT_EQ(name, "Checkout");
  EXPECT_EQ(h.reporter->screenParameters().find("_sn")->contextValue().stringValue(), "Checkout");

  // The app's own class wins; invalid values are refused.
  h.reporter->setScreenName("Checkout", "PaymentStep");
  EXPECT_EQ(h.screenViews().back().string("_sc"), "PaymentStep");
  h.reporter->setScreenName(std::string(101, 'n'), std::nullopt);
  EXPECT_TRUE(h.monitor->has(31001));
  h.reporter->setScreenName("x", "");
  EXPECT_TRUE(h.monitor->has(31002));

  h.enabled = false;
  h.reporter->setScreenName("Other", std::nullopt);
  EXPECT_TRUE(h.monitor->has(31000));
  EXPECT_TRUE(h.reporter->screenParameters().empty());
  EXPECT_EQ(h.screenViews().size(), 3u);
}

TEST(TLMScreenViewReporterTests, InactiveAppLogsNothingUntilItReturnsAndAReturnWithoutChangeLogsNothing) {
  ScreenHarness h(false);
  EXPECT_FALSE(h.reporter->isAppActive());
  auto home = h.controller("HomeViewController");
  h.appear(home);
  EXPECT_TRUE(h.screenViews().empty());
  EXPECT_TRUE(h.monitor->has(31013));
  EXPECT_TRUE(h.reporter->screenParameters().empty());

  h.becomeActive();
  EXPECT_TRUE(h.reporter->isAppActive());
  EXPECT_EQ(h.session->becameActive, 1);
  ASSERT_EQ(h.screenViews().size(), 1u);
  EXPECT_EQ(h.screenViews()[0].string("_sc"), "HomeViewController");

  h.resignActive();
  EXPECT_FALSE(h.reporter->isAppActive());
  EXPECT_EQ(h.session->resignedWith, "HomeViewController");
  h.becomeActive();
  EXPECT_EQ(h.screenViews().size(), 1u);

  // A change while in the background is reported on return.
  h.resignActive();
  h.appear(h.controller("SettingsViewController"));
  EXPECT_EQ(h.screenViews().size(), 1u);
  h.becomeActive();
  ASSERT_EQ(h.screenViews().size(), 2u);
  EXPECT_EQ(h.screenViews()[1].string("_sc"), "SettingsViewController");
  EXPECT_EQ(h.screenViews()[1].string("_pc"), "HomeViewController");
}

TEST(TLMScreenViewReporterTests, StackDropsReleasedControllersAndStartsAgainWithANewRoot) {
  ScreenHarness h;
  auto root = h.controller("RootViewController");
  h.window->setRootViewController(root);
  h.appear(root);
  {
    auto temporary = h.controller("PopupViewController");
    h.appear(temporary);
    EXPECT_EQ(h.screenViews().back().string("_sc"), "PopupViewController");
  }
  // The popup is gone without a disappearance: a window's resignation finds the root again.
  h.center.post(UIWindowDidResignKeyNotification);
  EXPECT_EQ(h.screenViews().back().string("_sc"), "RootViewController");
  EXPECT_EQ(h.reporter->currentStack()->compacted().size(), 1u);

  // A new root view controller resets the stack.
  auto newRoot = h.controller("OnboardingViewController");
  h.window->setRootViewController(newRoot);
  h.appear(newRoot);
  EXPECT_EQ(h.reporter->currentStack()->compacted().size(), 1u);
  EXPECT_EQ(h.screenViews().back().string("_sc"), "OnboardingViewController");

  // A navigation controller on top gives its visible controller.
  auto nav = std::make_shared<UINavigationController>();
  nav->setViewLoaded(true);
  nav->setViewWindow(h.window);
  auto page = h.controller("ArticleViewController");
  nav->setVisibleViewController(page);
  h.appear(nav);
  EXPECT_EQ(h.screenViews().back().string("_sc"), "ArticleViewController");
}

TEST(TLMScreenViewReporterTests, ParametersReadOnAnotherThreadWhileScreensChange) {
  auto queue = platform::Queue::serial("TLMScreenViewReporter");
  ScreenHarness h(true, queue);
  queue->sync([] {});  // the activation's re-check has run
  auto a = h.controller("AViewController");
  auto b = h.controller("BViewController");
  h.appear(a);
  std::atomic<bool> done{false};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    while (!done) {
      auto parameters = h.reporter->screenParameters();
      if (const TLMObject* cls = parameters.find("_sc")) {
        const auto text = cls->contextValue().stringValue();
        EXPECT_TRUE(text == "AViewController" || text == "BViewController");
      }
      ++reads;
    }
  });
  for (int i = 0; i < 200; ++i) {
    b->setViewWindow(h.window);
    h.appear(b);
    h.disappear(b);
  }
  while (reads < 10) std::this_thread::yield();
  done = true;
  reader.join();
  EXPECT_EQ(h.screenViews().size(), 401u);
}
