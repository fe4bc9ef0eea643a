#include <linux/securebits.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "Core/Public/CDVAnalyticsStarter.h"
#include "CoreTestSupport.h"
#include "FailingOpens.h"
#include "foundation/Exception.h"
#include "ScopedVariable.h"

namespace {

using coretest::CoreTest;
using coretest::FakeLibrary;
using coretest::kBundleID;
using coretest::kValidAppID;

// Stands in for the measurement library's facade class.
class RecordingAnalytics : public CDVAnalyticsStarter {
 public:
  struct Start {
    std::shared_ptr<CDVAnalyticsConfiguration> configuration;
    std::optional<std::string> appID;
    bool optionsLocked;
    bool defaultAppStored;
  };
  void startWithConfiguration(const std::shared_ptr<CDVAnalyticsConfiguration>& configuration,
                              const std::shared_ptr<const CDVOptions>& options) override {
    starts.push_back({configuration, options->ombrixAppID(), options->isEditingLocked(),
                      CDVApp::isDefaultAppConfigured()});
  }
  std::vector<Start> starts;
};

const std::string kCore = "com.cindervale.core";

class CDVAppTest : public CoreTest {};

TEST_F(CDVAppTest, ConfigureFromOptionsFileRegistersDefaultAppAndNotifies) {
  installBundle({{"CFBundleIdentifier", coretest::kBundleID}}, platform::Value(serviceInfo()));
  auto analytics = std::make_shared<RecordingAnalytics>();
  platform::ClassRegistry::registerClass(analytics);

  CDVApp::configure();

  auto app = CDVApp::defaultApp();
  ASSERT_TRUE(app);
  EXPECT_TRUE(app->isDefaultApp());
  EXPECT_EQ(app->name(), "__CDVAPP_DEFAULT");
  EXPECT_EQ(app->options()->ombrixAppID(), kValidAppID);
  EXPECT_TRUE(app->options()->usingOptionsFromDefaultPlist());
  ASSERT_TRUE(CDVApp::allApps());
  EXPECT_EQ(CDVApp::allApps()->size(), 1u);
  EXPECT_EQ(CDVApp::appNamed("__CDVAPP_DEFAULT"), app);

  // The measurement library is started once, with the shared configuration and locked options,
  // after the default app is stored.
  ASSERT_EQ(analytics->starts.size(), 1u);
  EXPECT_EQ(analytics->starts[0].configuration, CDVConfiguration::sharedInstance()->analyticsConfiguration());
  EXPECT_EQ(analytics->starts[0].appID, kValidAppID);
  EXPECT_TRUE(analytics->starts[0].optionsLocked);
  EXPECT_TRUE(analytics->starts[0].defaultAppStored);

  auto ready = notificationsNamed("CDVAppReadyToConfigureSDKNotification");
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].object, platform::Value::object(CDVApp::classObject()));
  EXPECT_EQ(ready[0].userInfo["CDVAppNameKey"], platform::Value("__CDVAPP_DEFAULT"));
  EXPECT_EQ(ready[0].userInfo["CDVAppIsDefaultAppKey"], platform::Value(true));
  EXPECT_EQ(ready[0].userInfo["CDVOmbrixAppIDKey"], platform::Value(kValidAppID));

  auto diagnostics = notificationsNamed("CDVAppDiagnosticsNotification");
  ASSERT_EQ(diagnostics.size(), 1u);
  EXPECT_TRUE(diagnostics[0].object.isNull());
  EXPECT_EQ(diagnostics[0].userInfo["ConfigType"], platform::Value(1));
  EXPECT_EQ(diagnostics[0].userInfo["CDVApp"].objectAs<CDVApp>(), app);

  auto debug = linesWithCode("I-COR000001");
  ASSERT_EQ(debug.size(), 1u);
  EXPECT_EQ(debug[0].message, "Configuring the default app.");
  EXPECT_EQ(debug[0].level, 7);
  EXPECT_EQ(debug[0].service, "[Cindervale/Core]");
}

TEST_F(CDVAppTest, ConfigurePreconditionsRaiseWithTheirMessages) {
  CDVApp::configureWithOptions(optionsWithAppID());
  expectException([] { CDVApp::configureWithOptions(optionsWithAppID()); }, kCore,
                  "Default app has already been configured.");
  expectException([] { CDVApp::configureWithOptions(nullptr); }, kCore,
                  "Options is nil. Please pass a valid options.");
  expectException([] { CDVApp::configureWithName(std::nullopt, optionsWithAppID()); }, kCore,
                  "Neither name nor options can be nil.");
  expectException([] { CDVApp::configureWithName("x", nullptr); }, kCore,
                  "Neither name nor options can be nil.");
  expectException([] { CDVApp::configureWithName("", optionsWithAppID()); }, kCore,
                  "Name cannot be empty.");
  for (const char* bad : {"my.app", "my app", "a/b"}) {
    expectException([&] { CDVApp::configureWithName(bad, optionsWithAppID()); }, kCore,
                    "App name can only contain alphanumeric, hyphen (-), and underscore (_) characters");
  }
  CDVApp::configureWithName("my-app_2", optionsWithAppID());
  CDVApp::configureWithName("Ünïcødé日本", optionsWithAppID());
  expectException([] { CDVApp::configureWithName("my-app_2", optionsWithAppID()); }, kCore,
                  "App named my-app_2 has already been configured.");
  EXPECT_EQ(CDVApp::allApps()->size(), 3u);
  EXPECT_EQ(linesWithCode("I-COR000002").at(0).message, "Configuring app named my-app_2");
}

TEST_F(CDVAppTest, MissingOptionsFilePostsDiagnosticsUnlessHostDisabledCollection) {
  const std::string message =
      "`[CDVApp configure];` (`CindervaleApp.configure()` in Swift) could not find a valid "
      "OmbrixService-Info.plist in your project. Please download one from " +
      std::string(kCDVConsoleURL) + ".";
  expectException([] { CDVApp::configure(); }, kCore, message);
  EXPECT_FALSE(CDVApp::isDefaultAppConfigured());
  EXPECT_EQ(linesWithCode("I-COR000012").at(0).message,
            "Could not locate configuration file: 'OmbrixService-Info.plist'.");
  auto diagnostics = notificationsNamed("CDVAppDiagnosticsNotification");
  ASSERT_EQ(diagnostics.size(), 1u);
  EXPECT_EQ(diagnostics[0].userInfo["ConfigType"], platform::Value(1));
  auto error = diagnostics[0].userInfo["Error"].objectAs<platform::Error>();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, -100);
  EXPECT_EQ(error->domain, kCore);
  EXPECT_EQ(error->description, "Unable to parse OmbrixService-Info.plist in order to configure services.");

  resetCore();
  installBundle({{"CindervaleDataCollectionDefaultEnabled", false}});
  clearCaptures();
  expectException([] { CDVApp::configure(); }, kCore, message);
  EXPECT_TRUE(notificationsNamed("CDVAppDiagnosticsNotification").empty());
}

// With no file descriptor to be had (the process at its limit of open files), configure names the
// limit and what helps, not a missing options file or bundle identifier, both for the options file
// and for the default data folders named after the bundle's identifier; and nothing that failed so
// is kept: once descriptors are to be had, configure works.
TEST_F(CDVAppTest, ConfigureWithNoDescriptorFreeNamesTheLimitAndWorksOnceOneIs) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        sandbox_.reset();  // back to no roots: this process had none before the test's
        std::string base = std::filesystem::temp_directory_path().string() + "/vesmora-descriptors-XXXXXX";
        if (::mkdtemp(base.data()) == nullptr) std::exit(10);
        // Ends the child (std::exit leaves what is on the stack), leaving nothing behind.
        const auto end = [&base](int code) {
          std::filesystem::remove_all(base);
          std::exit(code);
        };
        const std::string bundle = base + "/App.app";
        const std::string data = base + "/data";
        if (!platform::files::createDirectories(bundle) ||
            !platform::plist::writeFile(bundle + "/Info.plist",
                                        platform::Value(platform::Dictionary{{"CFBundleIdentifier", kBundleID}}),
                                        platform::plist::Format::XML) ||
            !platform::plist::writeFile(bundle + "/OmbrixService-Info.plist", platform::Value(serviceInfo()),
                                        platform::plist::Format::XML)) {
          end(10);
        }
        // The bundle as the host names it, read from its folder, and the default data folders.
        testsupport::ScopedVariable named("VESMORA_MAIN_BUNDLE", bundle.c_str());
        testsupport::ScopedVariable home("XDG_DATA_HOME", data.c_str());
        testsupport::ScopedVariable app("VESMORA_SANDBOX_ROOT", nullptr);
        testsupport::ScopedVariable device("VESMORA_DEVICE_ROOT", nullptr);
        platform::Bundle::resetForTesting();
        const auto namesTheLimit = [](const std::string& reason) {
          return reason.find("ulimit -n") != std::string::npos && reason.find(std::strerror(EMFILE)) != std::string::npos;
        };
        int code = 0;
        // On a thread of its own whose every open fails so; the process's other threads open.
        std::thread([&] {
          if (!testsupport::failOpensWith(EMFILE)) {
            code = 10;
            return;
          }
          std::string reason;
          try {
            CDVApp::configure();
          } catch (const platform::Exception& e) {
            reason = e.reason();
          }
          if (!namesTheLimit(reason) || reason.find("could not find a valid") != std::string::npos) {
            std::fprintf(stderr, "configure: %s\n", reason.c_str());
            code = 11;
          }
          platform::Error noFolder;
          if (platform::sandbox::available(&noFolder) || !namesTheLimit(noFolder.description) ||
              noFolder.description.find("CFBundleIdentifier") != std::string::npos) {
            std::fprintf(stderr, "folders: %s\n", noFolder.description.c_str());
            code = 12;
          }
        }).join();
        try {
          CDVApp::configure();
        } catch (const platform::Exception& e) {
          std::fprintf(stderr, "configure again: %s\n", e.reason().c_str());
          code = 13;
        }
        if (!CDVApp::isDefaultAppConfigured() ||
            platform::sandbox::root() != data + "/vesmora/apps/" + kBundleID + "/sandbox") {
          code = 14;
        }
        end(code);
      },
      ::testing::ExitedWithCode(0), "");
}

namespace {

// Runs `body(base)` in a fresh folder of its own with the app's bundle (its service file holding
// `info`) named from there and the default data folders under it, no root chosen, then ends the
// process with its code.
template <typename Info, typename Body>
[[noreturn]] void exitAfterConfiguringFrom(const Info& info, Body body) {
  std::string base = std::filesystem::temp_directory_path().string() + "/vesmora-configure-XXXXXX";
  if (::mkdtemp(base.data()) == nullptr) {
    std::fprintf(stderr, "could not make %s: %s%s\n", base.c_str(), std::strerror(errno),
                 testsupport::freeSpace(std::filesystem::temp_directory_path().string()).c_str());
    std::exit(10);
  }
  const std::string bundle = base + "/App.app";
  platform::Error error;
  if (::chmod(base.c_str(), 0755) != 0 || !platform::files::createDirectories(bundle, &error) ||
      !platform::plist::writeFile(bundle + "/Info.plist",
                                  platform::Value(platform::Dictionary{{"CFBundleIdentifier", kBundleID}}),
                                  platform::plist::Format::XML, &error) ||
      !platform::plist::writeFile(bundle + "/OmbrixService-Info.plist", platform::Value(info),
                                  platform::plist::Format::XML, &error)) {
    std::fprintf(stderr, "could not write the app's bundle: %s%s\n", error.description.c_str(),
                 testsupport::freeSpace(base).c_str());
    std::filesystem::remove_all(base);
    std::exit(10);
  }
  ::setenv("VESMORA_MAIN_BUNDLE", bundle.c_str(), 1);
  ::setenv("XDG_DATA_HOME", (base + "/data").c_str(), 1);
  ::unsetenv("VESMORA_SANDBOX_ROOT");
  ::unsetenv("VESMORA_DEVICE_ROOT");
  platform::Bundle::resetForTesting();
  const int code = body(base);
  std::filesystem::remove_all(base);
  std::exit(code);
}

// The reason configure throws; empty when it configures.
std::string configureRefusal() {
  try {
    CDVApp::configure();
  } catch (const platform::Exception& e) {
    return e.reason().empty() ? "(no reason)" : e.reason();
  }
  return {};
}

}  // namespace

// A process whose data root was resolved for one user (a server that asked for it as root before
// it forked its workers) and that now runs as another is not configured on that root: configure
// refuses, naming the change of user.
TEST_F(CDVAppTest, ConfigureAsAnotherUserThanTheRootsIsRefusedNamingTheChange) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can change the process's user";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  sandbox_.reset();  // back to no roots (the death test's process had none before the test's)
  EXPECT_EXIT(exitAfterConfiguringFrom(serviceInfo(), [](const std::string&) {
    const std::string root = platform::sandbox::root();
    // Capabilities kept: whose the folder is decides, not whether the other user may reach it.
    if (::prctl(PR_SET_SECUREBITS, SECBIT_NO_SETUID_FIXUP) != 0 || ::setresuid(54321, 54321, 54321) != 0) return 11;
    const std::string reason = configureRefusal();
    if (reason.find("now runs as uid 54321, not as uid 0") == std::string::npos ||
        reason.find("another user (uid 0)") == std::string::npos || CDVApp::isDefaultAppConfigured()) {
      std::fprintf(stderr, "configure as another user on %s: %s\n", root.c_str(), reason.c_str());
      return 12;
    }
    return 0;
  }), ::testing::ExitedWithCode(0), "");
}

// A device root given that is refused (here through /proc's link to a working folder since
// removed) leaves the app root unmade, whatever configure did before it looked at the roots.
TEST_F(CDVAppTest, ConfigureWithARefusedDeviceRootMakesNoAppRoot) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  sandbox_.reset();
  EXPECT_EXIT(exitAfterConfiguringFrom(serviceInfo(), [](const std::string& base) {
    const std::string gone = base + "/gone";
    if (::mkdir(gone.c_str(), 0700) != 0 || ::chdir(gone.c_str()) != 0 || ::rmdir(gone.c_str()) != 0) return 11;
    ::setenv("VESMORA_SANDBOX_ROOT", (base + "/app").c_str(), 1);
    ::setenv("VESMORA_DEVICE_ROOT", "/proc/self/cwd/device", 1);
    const std::string reason = configureRefusal();
    if (reason.find("removed folder") == std::string::npos || platform::files::exists(base + "/app")) {
      std::fprintf(stderr, "configure: %s\n", reason.c_str());
      return 12;
    }
    return 0;
  }), ::testing::ExitedWithCode(0), "");
}

TEST_F(CDVAppTest, AppIDValidation) {
  EXPECT_TRUE(CDVApp::validateAppID("1:123:ios:abc"));
  EXPECT_TRUE(CDVApp::validateAppID("1:123:ios:0xABC"));
  EXPECT_FALSE(CDVApp::validateAppID("1:123:android:abc"));
  EXPECT_FALSE(CDVApp::validateAppID("1:123:ios:abc:"));
  EXPECT_FALSE(CDVApp::validateAppID("1:123:ios:xyz"));
  EXPECT_FALSE(CDVApp::validateAppID("1:123:ios:"));
  EXPECT_FALSE(CDVApp::validateAppID("1::ios:abc"));
  EXPECT_FALSE(CDVApp::validateAppID("x:1:ios:a"));
  EXPECT_FALSE(CDVApp::validateAppID("1123"));
  EXPECT_FALSE(CDVApp::validateAppID(""));
  EXPECT_FALSE(CDVApp::validateAppID(std::nullopt));
  // Nothing may follow the fingerprint.
  EXPECT_FALSE(CDVApp::validateAppID("1:123:ios:abcg"));
  EXPECT_FALSE(CDVApp::validateAppID("1:123:ios:abc "));
  EXPECT_FALSE(CDVApp::validateAppID("1:123:ios:abc\n"));
  EXPECT_TRUE(linesWithCode("I-COR000010").empty());

  EXPECT_TRUE(CDVApp::validateAppID("2:anything"));
  auto info = linesWithCode("I-COR000010");
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(info[0].message, "Unknown OMBRIX_APP_ID version: 2");
  EXPECT_EQ(info[0].level, 6);

  // The fingerprint check alone: four parts, a hex start, version 1.
  EXPECT_TRUE(CDVApp::validateAppIDFingerprint("1:2:ios:fz", "1"));
  EXPECT_FALSE(CDVApp::validateAppIDFingerprint("1:2:ios:fz", "2"));
  EXPECT_FALSE(CDVApp::validateAppIDFingerprint("1:2:ios:zz", "1"));
  EXPECT_FALSE(CDVApp::validateAppIDFingerprint("1:2:ios", "1"));
  EXPECT_FALSE(CDVApp::validateAppIDFormat("1:2:ios:a", ""));
}

TEST_F(CDVAppTest, InvalidAppIDFailsWithoutLeavingADefaultAppAndRetryWorks) {
  installBundle({{"CFBundleIdentifier", coretest::kBundleID}},
                platform::Value(serviceInfo("1:123:android:abc")));
  auto analytics = std::make_shared<RecordingAnalytics>();
  platform::ClassRegistry::registerClass(analytics);

  expectException([] { CDVApp::configure(); }, kCore,
                  "Configuration fails. It may be caused by an invalid OMBRIX_APP_ID in "
                  "OmbrixService-Info.plist or set in the customized options.");
  EXPECT_FALSE(CDVApp::isDefaultAppConfigured());
  ASSERT_TRUE(CDVApp::allApps());
  EXPECT_TRUE(CDVApp::allApps()->empty());
  EXPECT_TRUE(analytics->starts.empty());
  EXPECT_TRUE(notificationsNamed("CDVAppReadyToConfigureSDKNotification").empty());

  auto invalid = linesWithCode("I-COR000009");
  ASSERT_EQ(invalid.size(), 1u);
  EXPECT_EQ(invalid[0].message,
            "The OMBRIX_APP_ID either in the plist file 'OmbrixService-Info.plist' or the one set "
            "in the customized options is invalid. If you are using the plist file, use the iOS "
            "version of bundle identifier to download the file, and do not manually edit the "
            "OMBRIX_APP_ID. You may change your app's bundle identifier to 'com.vesmora.banking'. "
            "Or you can download a new configuration file that matches your bundle identifier "
            "from " + std::string(kCDVConsoleURL) + " and replace the current one.");
  // The refused value and the form an app id must have.
  auto form = linesWithCode("I-COR000024");
  ASSERT_EQ(form.size(), 1u);
  EXPECT_EQ(form[0].message,
            "The OMBRIX_APP_ID '1:123:android:abc' is refused; an app id has the form 1:<project "
            "number>:ios:<hexadecimal fingerprint>, for example 1:123456789:ios:abc123.");
  auto diagnostics = notificationsNamed("CDVAppDiagnosticsNotification");
  ASSERT_EQ(diagnostics.size(), 1u);
  EXPECT_EQ(diagnostics[0].userInfo["Error"].objectAs<platform::Error>()->code, -101);

  // Options built in code are not from the options file: no diagnostics for a bad id.
  clearCaptures();
  auto coded = std::make_shared<CDVOptions>(std::optional<std::string>("bad"), std::nullopt);
  expectException([&] { CDVApp::configureWithOptions(coded); }, kCore,
                  "Configuration fails. It may be caused by an invalid OMBRIX_APP_ID in "
                  "OmbrixService-Info.plist or set in the customized options.");
  EXPECT_TRUE(notificationsNamed("CDVAppDiagnosticsNotification").empty());
  EXPECT_FALSE(CDVApp::isDefaultAppConfigured());
  auto missing = std::make_shared<CDVOptions>(std::nullopt, std::nullopt);
  clearCaptures();
  EXPECT_THROW(CDVApp::configureWithOptions(missing), platform::Exception);
  ASSERT_EQ(linesWithCode("I-COR000024").size(), 1u);
  EXPECT_EQ(linesWithCode("I-COR000024")[0].message.rfind("There is no OMBRIX_APP_ID; an app id has the form", 0), 0u);

  CDVApp::configureWithOptions(optionsWithAppID());
  EXPECT_TRUE(CDVApp::isDefaultAppConfigured());
  EXPECT_EQ(analytics->starts.size(), 1u);
}

TEST_F(CDVAppTest, BundleIDMismatchIsOnlyLogged) {
  auto options = optionsWithAppID();
  options->setBundleID("com.other.app");
  CDVApp::configureWithOptions(options);
  EXPECT_TRUE(CDVApp::isDefaultAppConfigured());
  auto mismatch = linesWithCode("I-COR000008");
  ASSERT_EQ(mismatch.size(), 1u);
  EXPECT_NE(mismatch[0].message.find("you may change your app's bundle identifier to 'com.other.app'"),
            std::string::npos);

  EXPECT_TRUE(linesWithCode("I-COR000023").empty());  // the app has a bundle identifier

  clearCaptures();
  CDVApp::configureWithName("second", optionsWithAppID());  // matching bundle id
  EXPECT_TRUE(linesWithCode("I-COR000008").empty());
}

// Without a bundle identifier measurement never uploads: configuration goes on but says what is
// missing and where it was looked for.
TEST_F(CDVAppTest, MissingBundleIdentifierIsNamedAtConfiguration) {
  const std::string dir = installBundle({}, platform::Value(serviceInfo()));
  CDVApp::configure();
  EXPECT_TRUE(CDVApp::isDefaultAppConfigured());
  auto missing = linesWithCode("I-COR000023");
  ASSERT_EQ(missing.size(), 1u);
  EXPECT_EQ(missing[0].message,
            "The app has no bundle identifier: '" + platform::files::join(dir, "Info.plist") +
                "' is missing or has no CFBundleIdentifier. Analytics keeps the events it records "
                "but cannot upload them until the app has one; it must be 'com.vesmora.banking', "
                "the BUNDLE_ID of OmbrixService-Info.plist.");
  // No bundle identifier is not an inconsistent one: the missing one alone is named.
  EXPECT_TRUE(linesWithCode("I-COR000008").empty());

  // No main bundle at all, options built in code without a bundle id.
  clearCaptures();
  platform::Bundle::setMain(std::make_shared<platform::Bundle>(std::string(), platform::Value()));
  CDVApp::configureWithName("second", std::make_shared<CDVOptions>(std::string(coretest::kValidAppID), std::nullopt));
  missing = linesWithCode("I-COR000023");
  ASSERT_EQ(missing.size(), 1u);
  EXPECT_EQ(missing[0].message,
            "The app has no bundle identifier: no main bundle is installed (set VESMORA_MAIN_BUNDLE "
            "to the app bundle folder, or install one with platform::Bundle::setMain before "
            "configure). Analytics keeps the events it records but cannot upload them until the "
            "app has one.");
  EXPECT_TRUE(linesWithCode("I-COR000008").empty());
}

TEST_F(CDVAppTest, LookupsLogWhenNothingIsThere) {
  EXPECT_FALSE(CDVApp::allApps());
  EXPECT_EQ(linesWithCode("I-COR000005").at(0).message, "No app has been configured yet.");
  EXPECT_FALSE(CDVApp::defaultApp());
  EXPECT_EQ(linesWithCode("I-COR000003").at(0).message,
            "The default Cindervale app has not yet been configured. Add `[CDVApp configure];` "
            "(`CindervaleApp.configure()` in Swift) to your application initialization. Read more: " +
                std::string(kCDVSetupDocumentationURL) + ".");
  EXPECT_FALSE(CDVApp::appNamed("none"));
  EXPECT_EQ(linesWithCode("I-COR000004").at(0).message, "App with name none does not exist.");
}

TEST_F(CDVAppTest, DeleteAppRemovesItOnceAndTellsEveryone) {
  CDVApp::configureWithOptions(optionsWithAppID());
  auto app = CDVApp::defaultApp();
  app->setDataCollectionDefaultEnabled(false);
  clearCaptures();

  std::vector<bool> results;
  app->deleteApp([&](bool ok) { results.push_back(ok); });
  app->deleteApp([&](bool ok) { results.push_back(ok); });
  EXPECT_EQ(results, (std::vector<bool>{true, false}));
  EXPECT_FALSE(CDVApp::isDefaultAppConfigured());
  EXPECT_TRUE(CDVApp::allApps()->empty());
  EXPECT_EQ(linesWithCode("I-COR000006").at(0).message, "Deleting app named __CDVAPP_DEFAULT");
  EXPECT_EQ(linesWithCode("I-COR000007").at(0).message, "App does not exist.");
  EXPECT_TRUE(platform::UserDefaults::standard()
                  .objectForKey("/ombrix/cindervale/global_data_collection_enabled:__CDVAPP_DEFAULT")
                  .isNull());
  auto deleted = notificationsNamed("CDVAppDeleteNotification");
  ASSERT_EQ(deleted.size(), 1u);
  EXPECT_EQ(deleted[0].userInfo["CDVAppNameKey"], platform::Value("__CDVAPP_DEFAULT"));

  // The name can be configured again; the old handle cannot remove the new app.
  CDVApp::configureWithOptions(optionsWithAppID());
  app->deleteApp([&](bool ok) { results.push_back(ok); });
  EXPECT_FALSE(results.back());
  EXPECT_TRUE(CDVApp::isDefaultAppConfigured());
}

TEST_F(CDVAppTest, ResetAppsForgetsAppsAndLibrariesButKeepsConfigurableLibraries) {
  auto library = std::make_shared<FakeLibrary>("FakeLib", std::vector<std::shared_ptr<CDVComponent>>{}, true);
  CDVApp::registerInternalLibrary(library, "fake-lib", "1.0");
  CDVApp::configureWithOptions(optionsWithAppID());
  CDVApp::resetApps();
  EXPECT_FALSE(CDVApp::isDefaultAppConfigured());
  EXPECT_FALSE(CDVApp::allApps());
  EXPECT_EQ(CDVApp::cindervaleUserAgent(), "");
  CDVApp::configureWithOptions(optionsWithAppID());
  EXPECT_EQ(library->configuredApps().size(), 2u);
}

TEST_F(CDVAppTest, LibraryRegistrationAndUserAgent) {
  CDVApp::registerLibrary("b", "1");
  CDVApp::registerLibrary("A", "2");
  EXPECT_EQ(CDVApp::cindervaleUserAgent(), "A/2 b/1");
  CDVApp::registerLibrary("lib/x", "1");
  CDVApp::registerLibrary("ok", "1 0");
  CDVApp::registerLibrary(std::nullopt, "1");
  EXPECT_EQ(CDVApp::cindervaleUserAgent(), "A/2 b/1");
  auto invalid = linesWithCode("I-COR000027");
  ASSERT_EQ(invalid.size(), 3u);
  EXPECT_EQ(invalid[0].message,
            "The library name (lib/x) or version number (1) contain invalid characters. Only "
            "alphanumeric, dash, underscore and period characters are allowed.");
  CDVApp::registerLibrary("b", "1.5-beta_2");
  EXPECT_EQ(CDVApp::cindervaleUserAgent(), "A/2 b/1.5-beta_2");

  // Using the options registers the core itself, and the build tools from the Info.plist.
  installBundle({{"DTXcodeBuild", "15A240d"}, {"DTSDKBuild", "21A325"}});
  CDVOptions::resetClassInitializationForTesting();
  optionsWithAppID();
  EXPECT_EQ(CDVApp::cindervaleUserAgent(), "A/2 apple-sdk/21A325 b/1.5-beta_2 cind-ios/6.0.4 xcode/15A240d");
}

TEST_F(CDVAppTest, InternalLibrariesJoinContainersAndAreConfiguredWithEveryApp) {
  auto component = CDVComponent::componentWithProtocol(
      CDVProtocol("FakeService"), [](CDVComponentContainer&, bool* cacheable) {
        *cacheable = true;
        return std::make_shared<platform::Object>();
      });
  auto library = std::make_shared<FakeLibrary>("FakeLib", std::vector{component}, true);
  CDVApp::registerInternalLibrary(library, "fake-lib", "3.1");
  EXPECT_EQ(CDVApp::cindervaleUserAgent(), "fake-lib/3.1");

  CDVApp::configureWithOptions(optionsWithAppID());
  CDVApp::configureWithName("other", optionsWithAppID());
  EXPECT_EQ(library->configuredApps(), (std::vector<std::string>{"__CDVAPP_DEFAULT", "other"}));
  auto app = CDVApp::defaultApp();
  auto instance = app->container()->instanceForProtocol(CDVProtocol("FakeService"));
  EXPECT_TRUE(instance);
  EXPECT_EQ(CDVComponentType::instanceForProtocol(CDVProtocol("FakeService"), app->container().get()),
            instance);

  expectException(
      [] { CDVApp::registerInternalLibrary(std::make_shared<platform::ClassObject>("NotALibrary"), "x", "1"); },
      platform::kInvalidArgumentException,
      "Class NotALibrary attempted to register components, but it does not conform to `CDVLibrary "
      "or provide a `componentsToRegister:` method.");
}

TEST_F(CDVAppTest, DataCollectionSwitchIsPersistedPerAppAndFollowsThePlistDefault) {
  CDVApp::configureWithOptions(optionsWithAppID());
  CDVApp::configureWithName("other", optionsWithAppID());
  auto app = CDVApp::defaultApp();
  auto other = CDVApp::appNamed("other");
  EXPECT_TRUE(app->isDataCollectionDefaultEnabled());
  EXPECT_FALSE(CDVApp::readDataCollectionSwitchFromUserDefaultsForApp(*app));
  clearCaptures();

  app->setDataCollectionDefaultEnabled(false);
  EXPECT_FALSE(app->isDataCollectionDefaultEnabled());
  EXPECT_TRUE(other->isDataCollectionDefaultEnabled());
  EXPECT_EQ(platform::UserDefaults::standard().objectForKey(
                "/ombrix/cindervale/global_data_collection_enabled:__CDVAPP_DEFAULT"),
            platform::Value(false));
  // The default app without explicit analytics options tells the analytics switch, unpersisted.
  auto posted = notificationsNamed("CDVAnalyticsConfigurationSetEnabledNotification");
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].userInfo["CDVAnalyticsConfigurationSetEnabledNotification"], platform::Value(false));
  EXPECT_TRUE(platform::UserDefaults::standard()
                  .objectForKey("/ombrix/measurement/measurement_enabled_state")
                  .isNull());
  other->setDataCollectionDefaultEnabled(false);
  EXPECT_EQ(notificationsNamed("CDVAnalyticsConfigurationSetEnabledNotification").size(), 1u);

  // Survives a relaunch (user defaults re-read from disk).
  platform::UserDefaults::resetForTesting();
  EXPECT_FALSE(app->isDataCollectionDefaultEnabled());

  // A sent library report is dropped while collection is off.
  clearCaptures();
  app->sendLogsWithServiceName("InstanceID", "4.2.0", std::nullopt);
  EXPECT_TRUE(notificationsNamed("CDVAppDiagnosticsNotification").empty());
  app->clearDataCollectionSwitchFromUserDefaults();
  EXPECT_TRUE(app->isDataCollectionDefaultEnabled());

  // The Info.plist value is the default when the app has none of its own.
  resetCore();
  installBundle({{"CindervaleDataCollectionDefaultEnabled", false}});
  CDVApp::configureWithOptions(optionsWithAppID());
  EXPECT_FALSE(CDVApp::defaultApp()->isDataCollectionDefaultEnabled());
  EXPECT_EQ(CDVApp::readDataCollectionSwitchFromPlist(), false);
}

TEST_F(CDVAppTest, ExplicitAnalyticsOptionsKeepTheAnalyticsSwitchOutOfIt) {
  for (const char* key : {"CINDERVALE_ANALYTICS_COLLECTION_ENABLED", "IS_MEASUREMENT_ENABLED"}) {
    resetCore();
    installBundle({{"CFBundleIdentifier", coretest::kBundleID}});
    auto options = optionsWithAppID();
    auto dictionary = options->optionsDictionary();
    dictionary.set(key, true);
    options->setOptionsDictionary(dictionary);
    CDVApp::configureWithOptions(options);
    clearCaptures();
    CDVApp::defaultApp()->setDataCollectionDefaultEnabled(false);
    EXPECT_TRUE(notificationsNamed("CDVAnalyticsConfigurationSetEnabledNotification").empty()) << key;
  }
}

TEST_F(CDVAppTest, LibraryReportsBecomeDiagnostics) {
  CDVApp::configureWithOptions(optionsWithAppID());
  auto app = CDVApp::defaultApp();
  clearCaptures();
  app->sendLogsWithServiceName("InstanceID", "4.2.0",
                               CDVApp::errorForSubspecConfigurationFailureWithDomain(
                                   "com.cindervale.iid", -7, "InstanceID", "no sender id"));
  auto diagnostics = notificationsNamed("CDVAppDiagnosticsNotification");
  ASSERT_EQ(diagnostics.size(), 1u);
  const auto& info = diagnostics[0].userInfo;
  EXPECT_EQ(info["ConfigType"], platform::Value(2));
  EXPECT_EQ(info["SDKName"], platform::Value("InstanceID"));
  EXPECT_EQ(info["SDKVersion"], platform::Value("4.2.0"));
  EXPECT_EQ(info["CDVApp"].objectAs<CDVApp>(), app);
  auto error = info["Error"].objectAs<platform::Error>();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, "com.cindervale.iid");
  EXPECT_EQ(error->code, -7);
  EXPECT_EQ(error->description, "Configuration failed for service InstanceID.");
  EXPECT_EQ(error->userInfo["NSLocalizedFailureReason"], platform::Value("no sender id"));

  app->sendLogsWithServiceName("Auth", "1.0", std::nullopt);
  EXPECT_FALSE(notificationsNamed("CDVAppDiagnosticsNotification").back().userInfo.dictionaryPtr()->contains("Error"));
}

TEST_F(CDVAppTest, DiagnosticsFromLibrariesDuringConfigurationArriveAfterTheRegistryIsFree) {
  // A library that reports from configureWithApp: its report still reaches observers before
  // configure returns.
  class ReportingLibrary : public FakeLibrary {
   public:
    using FakeLibrary::FakeLibrary;
    void configureWithApp(const std::shared_ptr<CDVApp>& app) const override {
      app->sendLogsWithServiceName("Quorrel", "2.0", std::nullopt);
    }
  };
  auto library = std::make_shared<ReportingLibrary>("Reporting", std::vector<std::shared_ptr<CDVComponent>>{}, true);
  CDVApp::registerInternalLibrary(library, "reporting", "2.0");
  CDVApp::configureWithOptions(optionsWithAppID());
  auto diagnostics = notificationsNamed("CDVAppDiagnosticsNotification");
  ASSERT_EQ(diagnostics.size(), 2u);
  EXPECT_EQ(diagnostics[0].userInfo["ConfigType"], platform::Value(1));
  EXPECT_EQ(diagnostics[1].userInfo["ConfigType"], platform::Value(2));
  EXPECT_EQ(diagnostics[1].userInfo["SDKName"], platform::Value("Quorrel"));
}

TEST_F(CDVAppTest, OnlyMissingOrForbiddenCharactersMakeALibraryInvalid) {
  // An empty text holds no forbidden character: it is recorded like any other.
  CDVApp::registerLibrary(std::string("lib"), std::string(""));
  CDVApp::registerLibrary(std::string(""), std::string("2"));
  EXPECT_TRUE(linesWithCode("I-COR000027").empty());
  EXPECT_EQ(CDVApp::cindervaleUserAgent(), "/2 lib/");
  CDVApp::registerLibrary(std::string("x"), std::nullopt);
  CDVApp::registerLibrary(std::string("\xC3\xA9t\xC3\xA9"), std::string("\xD9\xA3"));  // letters and digits of any script
  EXPECT_EQ(linesWithCode("I-COR000027").size(), 1u);
  EXPECT_EQ(CDVApp::cindervaleUserAgent(), "/2 \xC3\xA9t\xC3\xA9/\xD9\xA3 lib/");
}

}  // namespace
