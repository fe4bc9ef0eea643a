#include "CoreTestSupport.h"
#include "foundation/Exception.h"

#include <cstdlib>

namespace {

using coretest::CoreTest;
using coretest::kValidAppID;

class CDVOptionsTest : public CoreTest {};

TEST_F(CDVOptionsTest, DefaultOptionsAreReadFromXMLAndBinaryOptionsFiles) {
  for (auto format : {platform::plist::Format::XML, platform::plist::Format::Binary}) {
    resetCore();
    platform::Dictionary contents = serviceInfo();
    contents.set("IS_SIGNIN_ENABLED", true);
    contents.set("ANALYTICS_SAFELISTED_EVENTS", platform::Value::array({"purchase", "login"}));
    installBundle({{"CFBundleIdentifier", coretest::kBundleID}}, platform::Value(contents), format);

    auto options = CDVOptions::defaultOptions();
    ASSERT_TRUE(options);
    EXPECT_EQ(CDVOptions::defaultOptions(), options);  // the same object every time
    EXPECT_TRUE(options->usingOptionsFromDefaultPlist());
    EXPECT_FALSE(options->isEditingLocked());
    EXPECT_EQ(options->ombrixAppID(), kValidAppID);
    EXPECT_EQ(options->WRQSenderID(), "123456789");
    EXPECT_EQ(options->APIKey(), "key-1");
    EXPECT_EQ(options->bundleID(), coretest::kBundleID);
    EXPECT_FALSE(options->clientID());
    EXPECT_TRUE(options->isSignInEnabled());
    EXPECT_FALSE(options->isAnalyticsEnabled());
    auto dictionary = CDVOptions::defaultOptionsDictionary();
    ASSERT_TRUE(dictionary);
    EXPECT_EQ(dictionary->get("ANALYTICS_SAFELISTED_EVENTS"),
              platform::Value::array({"purchase", "login"}));
  }
}

TEST_F(CDVOptionsTest, MissingOrBrokenOptionsFilesAreLoggedAndRetried) {
  EXPECT_FALSE(CDVOptions::defaultOptions());
  EXPECT_EQ(linesWithCode("I-COR000012").at(0).message,
            "Could not locate configuration file: 'OmbrixService-Info.plist'.");

  // A property list that is no dictionary.
  installBundle({}, platform::Value::array({"a"}));
  clearCaptures();
  EXPECT_FALSE(CDVOptions::defaultOptions());
  EXPECT_EQ(linesWithCode("I-COR000011").at(0).message,
            "The configuration file is not a dictionary: 'OmbrixService-Info.plist'.");

  // Nothing was cached: a good file is found on the next call.
  installBundle({}, platform::Value(serviceInfo()));
  ASSERT_TRUE(CDVOptions::defaultOptions());
  EXPECT_EQ(CDVOptions::defaultOptions()->ombrixAppID(), kValidAppID);
  CDVOptions::resetDefaultOptions();
  installBundle({});
  EXPECT_FALSE(CDVOptions::defaultOptions());
}

// Sets VESMORA_MAIN_BUNDLE (or unsets it) for one test and forgets the installed main bundle, so
// that the next lookup takes the default one.
class ScopedMainBundleVariable {
 public:
  explicit ScopedMainBundleVariable(const std::optional<std::string>& value) {
    if (const char* old = std::getenv(kName)) saved_ = old;
    if (value) {
      setenv(kName, value->c_str(), 1);
    } else {
      unsetenv(kName);
    }
    platform::Bundle::resetForTesting();
  }
  ~ScopedMainBundleVariable() {
    if (saved_) {
      setenv(kName, saved_->c_str(), 1);
    } else {
      unsetenv(kName);
    }
  }

 private:
  static constexpr const char* kName = "VESMORA_MAIN_BUNDLE";
  std::optional<std::string> saved_;
};

// The missing options file is reported in the fixed words, then in a line that says where it was
// looked for, or why there was nowhere to look and how to install a main bundle.
TEST_F(CDVOptionsTest, MissingOptionsFileSaysWhereItWasLookedFor) {
  const auto linesOf12 = [this] {
    std::vector<std::string> messages;
    for (const auto& line : linesWithCode("I-COR000012")) messages.push_back(line.message);
    return messages;
  };
  const std::string located = "Could not locate configuration file: 'OmbrixService-Info.plist'.";
  const std::string howTo = "or install one with platform::Bundle::setMain before configure).";
  {
    ScopedMainBundleVariable unset(std::nullopt);
    clearCaptures();
    EXPECT_FALSE(CDVOptions::defaultOptions());
    EXPECT_EQ(linesOf12(), (std::vector<std::string>{
                               located,
                               "Nowhere to look for 'OmbrixService-Info.plist': no main bundle is "
                               "installed (set VESMORA_MAIN_BUNDLE to the app bundle folder, " + howTo}));
  }
  const std::string missing = platform::files::join(sandbox_->root(), "Missing.app");
  {
    ScopedMainBundleVariable named(missing);
    clearCaptures();
    EXPECT_FALSE(CDVOptions::defaultOptions());
    EXPECT_EQ(linesOf12(), (std::vector<std::string>{
                               located, "Nowhere to look for 'OmbrixService-Info.plist': "
                                        "VESMORA_MAIN_BUNDLE names '" + missing +
                                            "', which is not a folder, so no main bundle is "
                                            "installed (set it to the app bundle folder, " + howTo}));
  }
  const std::string empty = installBundle({});
  {
    ScopedMainBundleVariable named(empty);
    clearCaptures();
    EXPECT_FALSE(CDVOptions::defaultOptions());
    EXPECT_EQ(linesOf12(), (std::vector<std::string>{
                               located, "Looked for 'OmbrixService-Info.plist' in '" + empty + "'."}));

    // A bundle registered for the core's class is searched too.
    const std::string other = installBundle({});
    platform::Bundle::setBundleForClass("CDVBundleUtil", platform::Bundle::atPath(other));
    platform::Bundle::setMain(platform::Bundle::atPath(empty));
    clearCaptures();
    EXPECT_FALSE(CDVOptions::defaultOptions());
    EXPECT_EQ(linesOf12().at(1),
              "Looked for 'OmbrixService-Info.plist' in '" + empty + "' and '" + other + "'.");
  }
}

TEST_F(CDVOptionsTest, OptionsFromAFile) {
  const std::string dir = installBundle({}, platform::Value(serviceInfo()));
  auto options = CDVOptions::initWithContentsOfFile(dir + "/OmbrixService-Info.plist");
  ASSERT_TRUE(options);
  EXPECT_EQ(options->ombrixAppID(), kValidAppID);
  EXPECT_FALSE(options->usingOptionsFromDefaultPlist());

  EXPECT_FALSE(CDVOptions::initWithContentsOfFile(std::nullopt));
  EXPECT_EQ(linesWithCode("I-COR000013").at(0).message, "The plist file path is nil.");
  EXPECT_FALSE(CDVOptions::initWithContentsOfFile(dir + "/missing.plist"));
  EXPECT_EQ(linesWithCode("I-COR000014").at(0).message,
            "The configuration file at " + dir +
                "/missing.plist does not exist or is not a well-formed plist file.");
}

TEST_F(CDVOptionsTest, OptionsBuiltInCodeTakeTheMainBundleIdentifier) {
  CDVOptions options(std::string("1:2:ios:3"), std::nullopt);
  EXPECT_EQ(options.ombrixAppID(), "1:2:ios:3");
  EXPECT_FALSE(options.WRQSenderID());
  EXPECT_EQ(options.bundleID(), coretest::kBundleID);
  EXPECT_FALSE(options.optionsDictionary().contains("WRQ_SENDER_ID"));
  options.setOmbrixAppID(std::nullopt);
  EXPECT_FALSE(options.optionsDictionary().contains("OMBRIX_APP_ID"));
}

TEST_F(CDVOptionsTest, AnAppsOptionsAreLockedAndIndependentOfTheHostsCopy) {
  auto hostOptions = optionsWithAppID();
  CDVApp::configureWithOptions(hostOptions);
  auto app = CDVApp::defaultApp();

  // The host's object stays editable, and editing it does not reach the app.
  hostOptions->setAPIKey("changed");
  EXPECT_EQ(app->options()->APIKey(), "key-1");

  auto fromApp = app->options();
  EXPECT_TRUE(fromApp->isEditingLocked());
  expectException([&] { fromApp->setAPIKey("x"); }, "com.cindervale.core",
                  "Attempted to modify options after it's set on CDVApp. Please modify all "
                  "properties before initializing CDVApp.");
  expectException([&] { fromApp->setDeepLinkURLScheme("scheme"); }, "com.cindervale.core",
                  kCDVExceptionBadModification);
  EXPECT_EQ(fromApp->APIKey(), "key-1");

  // Copies do not share the dictionary, in either direction.
  CDVOptions source(std::string("1:2:ios:3"), std::nullopt);
  source.setDeepLinkURLScheme("vesmora");
  auto copy = source.copy();
  copy->setAPIKey("copy-key");
  copy->setDeepLinkURLScheme("other");
  EXPECT_FALSE(source.APIKey());
  EXPECT_EQ(source.deepLinkURLScheme(), "vesmora");
  EXPECT_EQ(copy->ombrixAppID(), "1:2:ios:3");
}

TEST_F(CDVOptionsTest, AnalyticsSwitchesPreferTheInfoPlist) {
  auto make = [](platform::Dictionary values) {
    return CDVOptions::initInternalWithOptionsDictionary(values);
  };
  const platform::Dictionary noInfo;

  auto overridden = make({{"CINDERVALE_ANALYTICS_COLLECTION_ENABLED", true}});
  overridden->analyticsOptionsDictionaryWithInfoDictionary(
      {{"CINDERVALE_ANALYTICS_COLLECTION_ENABLED", false}});
  EXPECT_FALSE(overridden->isAnalyticsCollectionEnabled());
  EXPECT_TRUE(overridden->isAnalyticsCollectionExpicitlySet());
  // Built once: a later Info.plist does not change it.
  EXPECT_EQ(overridden->analyticsOptionsDictionaryWithInfoDictionary(noInfo).get(
                "CINDERVALE_ANALYTICS_COLLECTION_ENABLED"),
            platform::Value(false));

  auto measurementOnly = make({{"IS_MEASUREMENT_ENABLED", true}});
  measurementOnly->analyticsOptionsDictionaryWithInfoDictionary(noInfo);
  EXPECT_TRUE(measurementOnly->isAnalyticsCollectionEnabled());
  EXPECT_TRUE(measurementOnly->isMeasurementEnabled());

  auto deactivated = make({{"IS_MEASUREMENT_ENABLED", true},
                           {"CINDERVALE_ANALYTICS_COLLECTION_ENABLED", true},
                           {"CINDERVALE_ANALYTICS_COLLECTION_DEACTIVATED", true}});
  EXPECT_FALSE(deactivated->isAnalyticsCollectionEnabled());
  EXPECT_FALSE(deactivated->isMeasurementEnabled());
  EXPECT_TRUE(deactivated->isAnalyticsCollectionExpicitlySet());
  EXPECT_TRUE(deactivated->isAnalyticsCollectionDeactivated());

  // Neither key: measurement follows the default app's data-collection switch.
  auto neither = make({});
  EXPECT_FALSE(neither->isAnalyticsCollectionEnabled());
  EXPECT_FALSE(neither->isAnalyticsCollectionExpicitlySet());
  CDVApp::configureWithOptions(optionsWithAppID());
  EXPECT_TRUE(neither->isMeasurementEnabled());
  CDVApp::defaultApp()->setDataCollectionDefaultEnabled(false);
  EXPECT_FALSE(neither->isAnalyticsCollectionEnabled());

  // The main bundle's Info.plist is used when none is passed.
  installBundle({{"IS_MEASUREMENT_ENABLED", false}});
  auto fromMain = make({{"IS_MEASUREMENT_ENABLED", true}});
  EXPECT_FALSE(fromMain->isMeasurementEnabled());
}

// The app's data-collection switch is only the fallback: an explicit option wins either way.
TEST_F(CDVOptionsTest, ExplicitMeasurementOptionsOutrankTheDataCollectionSwitch) {
  auto make = [](platform::Dictionary values) {
    auto options = CDVOptions::initInternalWithOptionsDictionary(values);
    options->analyticsOptionsDictionaryWithInfoDictionary({});
    return options;
  };
  auto measurementOn = make({{"IS_MEASUREMENT_ENABLED", true}});
  auto measurementOff = make({{"IS_MEASUREMENT_ENABLED", false}});
  auto collectionOn = make({{"CINDERVALE_ANALYTICS_COLLECTION_ENABLED", true}});
  auto collectionOff = make({{"CINDERVALE_ANALYTICS_COLLECTION_ENABLED", false}});
  CDVApp::configureWithOptions(optionsWithAppID());
  for (bool appSwitch : {false, true}) {
    CDVApp::defaultApp()->setDataCollectionDefaultEnabled(appSwitch);
    EXPECT_TRUE(measurementOn->isMeasurementEnabled()) << appSwitch;
    EXPECT_TRUE(measurementOn->isAnalyticsCollectionEnabled()) << appSwitch;
    EXPECT_FALSE(measurementOff->isMeasurementEnabled()) << appSwitch;
    EXPECT_FALSE(measurementOff->isAnalyticsCollectionEnabled()) << appSwitch;
    EXPECT_TRUE(collectionOn->isAnalyticsCollectionEnabled()) << appSwitch;
    EXPECT_FALSE(collectionOff->isAnalyticsCollectionEnabled()) << appSwitch;
  }
}

// Which setting decides collection, row by row: the deactivation, then the collection key, then
// the measurement key, then the app's data collection default (on when never set). Each key is
// read from the Info.plist first: the same rows hold with the keys there and the opposite values
// in the options file.
TEST_F(CDVOptionsTest, CollectionIsDecidedByTheFirstSettingPresent) {
  struct Row {
    std::optional<bool> deactivated, collection, measurement, dataDefault;
    bool collects;
  };
  const Row rows[] = {
      {{}, {}, {}, {}, true},
      {{}, {}, {}, false, false},
      {{}, {}, true, false, true},
      {{}, {}, false, true, false},
      {{}, true, false, false, true},
      {{}, false, true, true, false},
      {false, true, {}, {}, true},
      {false, {}, {}, false, false},
      {true, true, true, true, false},
  };
  CDVApp::configureWithOptions(optionsWithAppID());
  std::shared_ptr<CDVApp> app = CDVApp::defaultApp();
  int index = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE("row " + std::to_string(index++));
    platform::Dictionary keys, opposite;
    for (const auto& [key, value] : {std::pair{kCDVIsAnalyticsCollectionDeactivated, row.deactivated},
                                     std::pair{kCDVIsAnalyticsCollectionEnabled, row.collection},
                                     std::pair{kCDVIsMeasurementEnabled, row.measurement}}) {
      if (!value) continue;
      keys.set(key, *value);
      opposite.set(key, !*value);
    }
    if (row.dataDefault) {
      app->setDataCollectionDefaultEnabled(*row.dataDefault);
    } else {
      app->clearDataCollectionSwitchFromUserDefaults();
    }
    auto inOptionsFile = CDVOptions::initInternalWithOptionsDictionary(keys);
    inOptionsFile->analyticsOptionsDictionaryWithInfoDictionary({});
    EXPECT_EQ(inOptionsFile->isAnalyticsCollectionEnabled(), row.collects);
    auto inInfoPlist = CDVOptions::initInternalWithOptionsDictionary(opposite);
    inInfoPlist->analyticsOptionsDictionaryWithInfoDictionary(keys);
    EXPECT_EQ(inInfoPlist->isAnalyticsCollectionEnabled(), row.collects);
  }
}

// Whether the options set analytics collection explicitly, key by key: either switch given as a
// number (true or false) counts, as does deactivation; a deactivation set to false, a switch
// given as text, or no key leaves the choice to the app's data-collection switch.
TEST_F(CDVOptionsTest, EachAnalyticsKeyAloneCountsAsAnExplicitSetting) {
  struct Case {
    const char* key;
    platform::Value value;
    bool explicitlySet;
  };
  const Case cases[] = {
      {"IS_MEASUREMENT_ENABLED", platform::Value(true), true},
      {"IS_MEASUREMENT_ENABLED", platform::Value(false), true},
      {"IS_MEASUREMENT_ENABLED", platform::Value(1), true},
      {"IS_MEASUREMENT_ENABLED", platform::Value("YES"), false},
      {"CINDERVALE_ANALYTICS_COLLECTION_ENABLED", platform::Value(true), true},
      {"CINDERVALE_ANALYTICS_COLLECTION_ENABLED", platform::Value(false), true},
      {"CINDERVALE_ANALYTICS_COLLECTION_ENABLED", platform::Value("NO"), false},
      {"CINDERVALE_ANALYTICS_COLLECTION_DEACTIVATED", platform::Value(true), true},
      {"CINDERVALE_ANALYTICS_COLLECTION_DEACTIVATED", platform::Value(false), false},
      {"IS_ANALYTICS_ENABLED", platform::Value(true), false},
  };
  for (const Case& c : cases) {
    auto options = CDVOptions::initInternalWithOptionsDictionary({{c.key, c.value}});
    options->analyticsOptionsDictionaryWithInfoDictionary({});
    EXPECT_EQ(options->isAnalyticsCollectionExpicitlySet(), c.explicitlySet) << c.key << " = " << c.value.description();
    // The same key in the Info.plist counts alike.
    auto fromInfo = CDVOptions::initInternalWithOptionsDictionary({});
    fromInfo->analyticsOptionsDictionaryWithInfoDictionary({{c.key, c.value}});
    EXPECT_EQ(fromInfo->isAnalyticsCollectionExpicitlySet(), c.explicitlySet) << c.key << " in the Info.plist";
  }
}

TEST_F(CDVOptionsTest, LibraryVersionID) {
  EXPECT_EQ(optionsWithAppID()->libraryVersionID(), "60004000");
  auto options = optionsWithAppID();
  options->setEditingLocked(true);
  options->setLibraryVersionID("1");  // not subject to the lock
  EXPECT_EQ(options->libraryVersionID(), "60004000");
}

}  // namespace

#include "Core/Private/CDVBundleUtil.h"
#include "obx/OBXAppEnvironmentUtil.h"

namespace {

using coretest::CoreTest;

class CDVBundleUtilTest : public CoreTest {};

TEST_F(CDVBundleUtilTest, BundleIdentifiersAreComparedWholeAndTrimmedInsideExtensions) {
  installBundle({{"CFBundleIdentifier", "com.vesmora.banking.widget"}});
  const auto bundles = CDVBundleUtil::relevantBundles();
  ASSERT_EQ(bundles.size(), 2u);
  EXPECT_TRUE(CDVBundleUtil::hasBundleIdentifierPrefix("com.vesmora.banking.widget", bundles));
  EXPECT_FALSE(CDVBundleUtil::hasBundleIdentifierPrefix("com.vesmora.banking", bundles));
  EXPECT_FALSE(CDVBundleUtil::hasBundleIdentifierPrefix("com.vesmora", bundles));
  {
    OBXAppEnvironmentUtil::Environment extension;
    extension.isAppExtension = true;
    OBXScopedAppEnvironment scoped(extension);
    EXPECT_TRUE(CDVBundleUtil::hasBundleIdentifierPrefix("com.vesmora.banking", bundles));
    EXPECT_FALSE(CDVBundleUtil::hasBundleIdentifierPrefix("com.vesmora.banking.widget", bundles));
  }
  EXPECT_EQ(CDVBundleUtil::bundleIdentifierByRemovingLastPartFrom("com.example.app.widget"), "com.example.app");
  EXPECT_EQ(CDVBundleUtil::bundleIdentifierByRemovingLastPartFrom("app"), "");
}

TEST_F(CDVBundleUtilTest, URLSchemesOfEveryRelevantBundleInOrder) {
  installBundle({{"CFBundleURLTypes",
                  platform::Value::array(
                      {platform::Value::dictionary({{"CFBundleURLSchemes", platform::Value::array({"vesmora", "vsm"})}}),
                       platform::Value::dictionary({{"CFBundleURLName", "no schemes"}})})}});
  // The core's bundle is the main bundle here, so every scheme appears twice.
  EXPECT_EQ(CDVBundleUtil::relevantURLSchemes(),
            (std::vector<std::string>{"vesmora", "vsm", "vesmora", "vsm"}));
}

}  // namespace
