// Shared fixture of the core's tests: a temporary sandbox, a main bundle made on the fly, a
// capture of every log line and notification, and a clean core before and after each test.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Core/Public/CDVApp.h"
#include "FreeSpace.h"
#include "Core/Public/CDVConfiguration.h"
#include "Core/Public/CDVLogger.h"
#include "Core/Public/CDVOptions.h"
#include "foundation/Bundle.h"
#include "foundation/ClassRegistry.h"
#include "foundation/Exception.h"
#include "foundation/Files.h"
#include "foundation/NotificationCenter.h"
#include "foundation/ProcessInfo.h"
#include "foundation/PropertyList.h"
#include "foundation/Sandbox.h"
#include "foundation/UserDefaults.h"
#include "obx/OBXLogger.h"

namespace coretest {

inline constexpr const char* kValidAppID = "1:123456789:ios:abc123";
inline constexpr const char* kBundleID = "com.vesmora.banking";

class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox_ = std::make_unique<platform::sandbox::ScopedTemporarySandbox>();
    resetCore();
    platform::ProcessInfo::setArguments({"/app/Vesmora"});
    installBundle(platform::Dictionary{{"CFBundleIdentifier", kBundleID}});
    OBXLoggerSetSink([this](const OBXLogLine& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    });
    CDVSetLoggerLevel(CDVLoggerLevelDebug);
    observerToken_ = platform::NotificationCenter::defaultCenter().addObserver(
        "", platform::Value(), [this](const platform::Notification& n) {
          std::lock_guard lock(mutex_);
          notifications_.push_back(n);
        });
    clearCaptures();
  }

  void TearDown() override {
    // A test that failed where it writes (a full disk, say) shows how much room there was.
    if (HasFailure() && sandbox_) ADD_FAILURE() << "where the test writes:" << testsupport::freeSpace(sandbox_->root());
    platform::NotificationCenter::defaultCenter().removeObserver(observerToken_);
    OBXLoggerSetSink(nullptr);
    resetCore();
    platform::ProcessInfo::resetForTesting();
    sandbox_.reset();
  }

  static void resetCore() {
    CDVApp::resetForTesting();
    CDVLoggerResetForTesting();
    OBXLoggerResetForTesting();
    platform::ClassRegistry::resetForTesting();
    platform::Bundle::resetForTesting();
    platform::UserDefaults::resetForTesting();
  }

  // A main bundle in a fresh directory with `info` as its Info.plist; `serviceInfo`, when
  // given, is written as "OmbrixService-Info.plist" in the given format.
  std::string installBundle(const platform::Dictionary& info,
                            const std::optional<platform::Value>& serviceInfo = std::nullopt,
                            platform::plist::Format format = platform::plist::Format::XML) {
    const std::string dir = platform::files::join(sandbox_->root(), "Bundle" + std::to_string(++bundleCount_) + ".app");
    platform::Error error;
    EXPECT_TRUE(platform::files::createDirectories(dir, &error)) << dir << ": " << error.description;
    if (serviceInfo) {
      EXPECT_TRUE(platform::plist::writeFile(platform::files::join(dir, "OmbrixService-Info.plist"),
                                             *serviceInfo, format, &error))
          << dir << ": " << error.description;
    }
    platform::Bundle::setMain(std::make_shared<platform::Bundle>(dir, platform::Value(info)));
    return dir;
  }

  static platform::Dictionary serviceInfo(const std::string& appID = kValidAppID) {
    return platform::Dictionary{{"OMBRIX_APP_ID", appID},
                                {"BUNDLE_ID", kBundleID},
                                {"API_KEY", "key-1"},
                                {"WRQ_SENDER_ID", "123456789"}};
  }

  static std::shared_ptr<CDVOptions> optionsWithAppID(const std::string& appID = kValidAppID) {
    return CDVOptions::initInternalWithOptionsDictionary(serviceInfo(appID));
  }

  // Also lets every kind of line be written at once again: a step of a test sees all its lines.
  void clearCaptures() {
    OBXLoggerForgetHeldLinesForTesting();
    std::lock_guard lock(mutex_);
    lines_.clear();
    notifications_.clear();
  }

  std::vector<OBXLogLine> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::vector<OBXLogLine> linesWithCode(const std::string& code) {
    std::vector<OBXLogLine> found;
    for (const auto& line : lines()) {
      if (line.messageCode == code) found.push_back(line);
    }
    return found;
  }
  std::vector<platform::Notification> notificationsNamed(const std::string& name) {
    std::lock_guard lock(mutex_);
    std::vector<platform::Notification> found;
    for (const auto& n : notifications_) {
      if (n.name == name) found.push_back(n);
    }
    return found;
  }

  // Runs `body`, expecting platform::Exception with that name and reason.
  template <typename Body>
  static void expectException(Body&& body, const std::string& name, const std::string& reason) {
    try {
      body();
      ADD_FAILURE() << "no exception; expected " << reason;
    } catch (const platform::Exception& e) {
      EXPECT_EQ(e.name(), name);
      EXPECT_EQ(e.reason(), reason);
    }
  }

  std::unique_ptr<platform::sandbox::ScopedTemporarySandbox> sandbox_;
  int bundleCount_ = 0;
  std::mutex mutex_;
  std::vector<OBXLogLine> lines_;
  std::vector<platform::Notification> notifications_;
  platform::NotificationCenter::ObserverToken observerToken_ = 0;
};

// A library class for tests: offers the given components and records configureWithApp calls.
class FakeLibrary : public CDVLibrary {
 public:
  FakeLibrary(std::string name, std::vector<std::shared_ptr<CDVComponent>> components,
              bool configurable = false)
      : CDVLibrary(std::move(name)), components_(std::move(components)), configurable_(configurable) {}

  std::vector<std::shared_ptr<CDVComponent>> componentsToRegister() const override {
    return components_;
  }
  bool respondsToConfigureWithApp() const override { return configurable_; }
  void configureWithApp(const std::shared_ptr<CDVApp>& app) const override {
    std::lock_guard lock(mutex_);
    configuredApps_.push_back(app->name());
  }
  std::vector<std::string> configuredApps() const {
    std::lock_guard lock(mutex_);
    return configuredApps_;
  }

 private:
  std::vector<std::shared_ptr<CDVComponent>> components_;
  bool configurable_;
  mutable std::mutex mutex_;
  mutable std::vector<std::string> configuredApps_;
};

}  // namespace coretest
