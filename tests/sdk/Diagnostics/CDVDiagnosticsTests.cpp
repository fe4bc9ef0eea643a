#include <sys/stat.h>

#include <regex>
#include <limits>

#include "CoreTestSupport.h"
#include "Diagnostics/CDVDiagnostics.h"
#include "DiagnosticsTestSupport.h"
#include "foundation/Date.h"
#include "obx/OBXNetworkTesting.h"

namespace diagtest {
namespace {

using Slot = CDVPBICoreConfigurationSlot;

class CDVDiagnosticsTest : public coretest::CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    CDVDiagnostics::resetForTesting();
    // These tests report through their own client: configuring must not load the reporter.
    loader_ = CDVApp::setDiagnosticsLoader(nullptr);
    platform::TimeZone::setCurrent(platform::TimeZone::named("America/Denver"));
    // 2023-11-14 13:00 in Denver.
    clock_ = std::make_shared<platform::ManualClock>(1699992000.0, 5000.0);
    scopedClock_ = std::make_unique<platform::ScopedClock>(clock_);
    transport_ = std::make_shared<OBXFakeNetworkTransport>();
    transport_->setResponder([](const OBXNetworkRequest& request) {
      auto response = std::make_shared<OBXHTTPResponse>();
      response->url = request.url;
      response->statusCode = 200;
      return OBXNetworkResult{response, {}, std::nullopt};
    });
    queue_ = platform::ManualQueue::create("lumtrace");
    logger_ = CDVLumtraceLogger::initWithQueue(queue_, queue_, std::make_shared<OBXNetwork>("", transport_),
                                               platform::files::join(sandbox_->root(), "logs"));
    logger_->setDelegate(CDVDiagnostics::delegateInstance());
  }

  void TearDown() override {
    logger_.reset();
    scopedClock_.reset();
    platform::TimeZone::setCurrent(std::nullopt);
    CDVDiagnostics::resetForTesting();
    CDVApp::setDiagnosticsLoader(std::move(loader_));
    CoreTest::TearDown();
  }

  void installInfo(platform::Dictionary extra = {}) {
    platform::Dictionary info{{"CFBundleIdentifier", coretest::kBundleID}};
    for (const auto& [key, value] : extra) info.set(key, value);
    installBundle(info);
  }

  // Reports every diagnostics notification posted so far through the test's client.
  void reportPostedDiagnostics() {
    for (const auto& n : notificationsNamed(kCDVAppDiagnosticsNotification)) CDVDiagnostics::logDiagnostics(n, logger_);
    clearCaptures();
    queue_->drain();
  }

  // The ICoreConfiguration payloads of every upload so far.
  std::vector<std::shared_ptr<CDVPBICoreConfiguration>> reports() const {
    std::vector<std::shared_ptr<CDVPBICoreConfiguration>> found;
    for (const auto& sent : transport_->requests()) {
      auto request = LMTPBLogRequest::initWithBuffer(sent.body);
      auto files = NANOGetArray(*request, LMTPBLogRequestSlot::serialized_log_events);
      for (const auto& file : *files) {
        for (const auto& record : CDVLumtraceRecords(*file.dataValue())) {
          auto event = LMTPBLogEvent::initWithBuffer(record);
          auto payload = NANOGetBytes(*event, LMTPBLogEventSlot::payload);
          found.push_back(CDVPBICoreConfiguration::initWithBuffer(*payload));
        }
      }
    }
    return found;
  }

  size_t heartbeatCount() const {
    size_t count = 0;
    for (const auto& report : reports()) count += NANOGetInt32(*report, Slot::service_type) == 1 ? 1 : 0;
    return count;
  }

  void sendPass() {
    logger_->flushWithCompletionHandler(nullptr);
    queue_->drain();
  }

  std::shared_ptr<platform::ManualClock> clock_;
  std::unique_ptr<platform::ScopedClock> scopedClock_;
  std::shared_ptr<OBXFakeNetworkTransport> transport_;
  std::shared_ptr<platform::ManualQueue> queue_;
  std::function<void()> loader_;
  std::shared_ptr<CDVLumtraceLogger> logger_;
};

TEST_F(CDVDiagnosticsTest, CoreConfigurationIsReportedAndSentAtOnce) {
  installInfo({{"DTXcodeBuild", "14E222b"},
               {"DTSDKBuild", "20E238"},
               {"MinimumOSVersion", "15.0"},
               {"CindervaleAppDelegateProxyEnabled", false}});
  CDVApp::registerLibrary(std::string("cdv-core"), std::string("6.4.0"));
  CDVApp::configureWithOptions(optionsWithAppID());
  reportPostedDiagnostics();

  auto sent = reports();
  ASSERT_EQ(sent.size(), 1u);  // the heartbeat rides with the next pass
  const auto& report = *sent[0];
  EXPECT_EQ(NANOGetInt32(report, Slot::report_kind), 2);
  EXPECT_EQ(NANOGetInt32(report, Slot::configuration_type), 1);
  EXPECT_FALSE(NANOHasField(report, Slot::service_type));
  EXPECT_FALSE(NANOHasField(report, Slot::error_info));
  EXPECT_EQ(NANOGetInt32(report, Slot::configured_app_count), 1);
  EXPECT_EQ(NANOGetString(report, Slot::app_id), coretest::kValidAppID);
  EXPECT_EQ(NANOGetString(report, Slot::bundle_id), coretest::kBundleID);
  EXPECT_TRUE(NANOHasField(report, Slot::using_options_from_default_file));
  EXPECT_EQ(NANOGetBool(report, Slot::using_options_from_default_file),
            CDVApp::defaultApp()->options()->usingOptionsFromDefaultPlist());
  EXPECT_EQ(NANOGetString(report, Slot::sdk_version), CDVApp::defaultApp()->options()->libraryVersionID());
  EXPECT_EQ(NANOGetString(report, Slot::user_agent), CDVApp::cindervaleUserAgent());
  EXPECT_NE(CDVApp::cindervaleUserAgent().find("cdv-core/6.4.0"), std::string::npos);
  EXPECT_EQ(NANOGetString(report, Slot::device_model), CDVDiagnostics::deviceModel());
  EXPECT_FALSE(CDVDiagnostics::deviceModel().empty());
  EXPECT_EQ(NANOGetString(report, Slot::os_version), "16.4");
  EXPECT_TRUE(NANOHasField(report, Slot::constant_flag));
  EXPECT_FALSE(NANOGetBool(report, Slot::constant_flag));
  EXPECT_EQ(NANOGetInt32(report, Slot::constant_kind), 1);
  EXPECT_TRUE(NANOHasField(report, Slot::installed_from_app_store));
  EXPECT_TRUE(NANOHasField(report, Slot::dynamic_framework_count));
  EXPECT_GE(NANOGetInt32(report, Slot::dynamic_framework_count), -1);
  EXPECT_EQ(NANOGetString(report, Slot::toolchain_build), "14E222b-20E238");
  EXPECT_EQ(NANOGetString(report, Slot::min_supported_os_version), "15.0");
  EXPECT_FALSE(NANOGetBool(report, Slot::app_delegate_proxy_enabled));
  const auto install = NANOGetString(report, Slot::install_identifier);
  ASSERT_TRUE(install);
  EXPECT_TRUE(std::regex_match(*install, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")));
  EXPECT_EQ(CDVDiagnostics::installString(), install);  // kept for later reports

  // The event travels under log source 137, and its file is gone after the upload.
  auto request = LMTPBLogRequest::initWithBuffer(transport_->requests()[0].body);
  EXPECT_EQ(NANOGetInt32(*request, LMTPBLogRequestSlot::log_source), 137);
  EXPECT_TRUE(filesBelow(logger_->logDirectory() + "/tolvamere/137").size() == 1u);  // the heartbeat's
}

TEST_F(CDVDiagnosticsTest, LibraryReportCarriesServiceVersionAndError) {
  installInfo();
  CDVApp::configureWithOptions(optionsWithAppID());
  clearCaptures();
  CDVApp::defaultApp()->sendLogsWithServiceName("InstanceID", "1.2.3",
                                                platform::Error("com.cindervale.iid", -5, "no token"));
  CDVApp::defaultApp()->sendLogsWithServiceName("Analytics", "9.0", std::nullopt);
  reportPostedDiagnostics();
  auto sent = reports();
  ASSERT_EQ(sent.size(), 2u);
  const auto& failed = *sent[0];
  EXPECT_EQ(NANOGetInt32(failed, Slot::configuration_type), 2);
  EXPECT_TRUE(NANOHasField(failed, Slot::service_type));
  EXPECT_EQ(NANOGetInt32(failed, Slot::service_type), 0);  // not one of the table's names
  EXPECT_EQ(NANOGetString(failed, Slot::reporting_sdk_version), "1.2.3");
  auto error = NANOGetMessage<CDVPBErrorInfo>(failed, Slot::error_info);
  ASSERT_TRUE(error);
  EXPECT_TRUE(NANOGetBool(*error, CDVPBErrorInfoSlot::error_reported));
  EXPECT_EQ(NANOGetInt32(*error, CDVPBErrorInfoSlot::error_code), -5);
  EXPECT_EQ(NANOGetString(*error, CDVPBErrorInfoSlot::error_domain), "com.cindervale.iid");
  EXPECT_EQ(NANOGetInt32(*sent[1], Slot::service_type), 2);
  // Without Info.plist values: "-" for the tool chain, proxy enabled, no minimum OS version.
  EXPECT_EQ(NANOGetString(failed, Slot::toolchain_build), "-");
  EXPECT_TRUE(NANOGetBool(failed, Slot::app_delegate_proxy_enabled));
  EXPECT_FALSE(NANOHasField(failed, Slot::min_supported_os_version));
}

TEST_F(CDVDiagnosticsTest, NotificationsWithoutAnAppOrWithCollectionOffAreHandledAsTold) {
  installInfo({{"CindervaleAppDelegateProxyEnabled", "NO"}});
  platform::Dictionary userInfo{{kCDVAppDiagnosticsConfigurationTypeKey, int64_t{3}}};
  CDVDiagnostics::logDiagnostics(platform::Notification{kCDVAppDiagnosticsNotification, {}, platform::Value(userInfo)},
                                 logger_);
  queue_->drain();
  auto sent = reports();
  ASSERT_EQ(sent.size(), 1u);
  const auto& report = *sent[0];
  EXPECT_FALSE(NANOHasField(report, Slot::configuration_type));
  for (int32_t slot : {Slot::app_id, Slot::bundle_id, Slot::using_options_from_default_file, Slot::sdk_version,
                       Slot::user_agent}) {
    EXPECT_FALSE(NANOHasField(report, slot)) << slot;
  }
  EXPECT_EQ(NANOGetInt32(report, Slot::configured_app_count), 0);
  EXPECT_TRUE(NANOGetBool(report, Slot::app_delegate_proxy_enabled));  // a string does not count

  // An app whose data collection is off gets no report.
  CDVApp::configureWithOptions(optionsWithAppID());
  auto app = CDVApp::defaultApp();
  app->setDataCollectionDefaultEnabled(false);
  platform::Value withApp(platform::Dictionary{{kCDVAppDiagnosticsConfigurationTypeKey, int64_t{2}}});
  withApp.set(kCDVAppDiagnosticsCDVAppKey, platform::Value::object(app));
  CDVDiagnostics::logDiagnostics(platform::Notification{kCDVAppDiagnosticsNotification, {}, withApp}, logger_);
  queue_->drain();
  EXPECT_EQ(transport_->requests().size(), 1u);
}

TEST_F(CDVDiagnosticsTest, ServiceTableAndInstalledServiceProbes) {
  EXPECT_EQ(CDVDiagnostics::mapFromServiceStringToTypeEnum(std::string("Core")), 1);
  EXPECT_EQ(CDVDiagnostics::mapFromServiceStringToTypeEnum(std::string("Analytics")), 2);
  EXPECT_EQ(CDVDiagnostics::mapFromServiceStringToTypeEnum(std::string("InstanceID")), 0);
  EXPECT_EQ(CDVDiagnostics::mapFromServiceStringToTypeEnum(std::nullopt), 0);

  auto config = CDVPBICoreConfiguration::initWithMessageInfo(nullptr);
  CDVDiagnostics::populateLogProtoWithInstalledServices(*config);
  EXPECT_TRUE(NANOGetArray(*config, Slot::sdk_service_installed)->empty());
  platform::ClassRegistry::registerClass(std::make_shared<platform::ClassObject>("CDVAnalytics"));
  platform::ClassRegistry::registerClass(std::make_shared<platform::ClassObject>("CDVInvites"));  // needs CDVLinks too
  CDVDiagnostics::populateLogProtoWithInstalledServices(*config);
  auto installed = *NANOGetArray(*config, Slot::sdk_service_installed);
  ASSERT_EQ(installed.size(), 1u);
  EXPECT_EQ(installed[0].int64Value(), 2);
}

TEST_F(CDVDiagnosticsTest, StateFilesAndTheirFailures) {
  auto path = CDVDiagnostics::filePathURLWithName("X");
  ASSERT_TRUE(path);
  EXPECT_EQ(*path, platform::sandbox::applicationSupportDirectory() + "/Ombrix/CDVApp/X");
  auto install = CDVDiagnostics::installString();
  ASSERT_TRUE(install);
  const std::string installPath = *CDVDiagnostics::filePathURLWithName(kCDVDiagnosticsInstallFileName);
  EXPECT_EQ(CDVDiagnostics::stringAtURL(installPath), install);
  EXPECT_TRUE(platform::files::isExcludedFromBackup(installPath));

  auto storage = CDVDiagnosticsDateFileStorage::initWithFileURL(CDVDiagnostics::filePathURLWithName("D"));
  ASSERT_TRUE(storage);
  EXPECT_FALSE(CDVDiagnosticsDateFileStorage::initWithFileURL(std::nullopt));
  EXPECT_FALSE(storage->date());  // no file
  ASSERT_TRUE(storage->setDate(platform::kTimeIntervalSince1970ToReferenceDate + 12.5, nullptr));
  EXPECT_EQ(CDVDiagnostics::stringAtURL(storage->fileURL()), "12.500000");
  EXPECT_EQ(storage->date(), platform::kTimeIntervalSince1970ToReferenceDate + 12.5);
  ASSERT_TRUE(storage->setDate(std::nullopt, nullptr));
  EXPECT_FALSE(storage->date());  // an empty file is no date
  ASSERT_TRUE(CDVDiagnostics::writeString("garbage", storage->fileURL()));
  EXPECT_EQ(storage->date(), platform::kTimeIntervalSince1970ToReferenceDate);

  // Application Support cannot hold the state directory: no identifier, a warning.
  CDVDiagnostics::resetForTesting();
  sandbox_->wipeApp();
  const std::string support = platform::sandbox::applicationSupportDirectory();
  ASSERT_TRUE(platform::files::createDirectories(support));
  ASSERT_TRUE(platform::files::writeFileAtomically(support + "/Ombrix", std::string("file")));
  clearCaptures();
  EXPECT_FALSE(CDVDiagnostics::installString());
  EXPECT_FALSE(CDVDiagnostics::heartbeatDateStorage());
  EXPECT_EQ(linesWithCode("I-COR100001").size(), 2u);
}

TEST_F(CDVDiagnosticsTest, StateFoldersAnEarlierVersionLeftOpenAreClosedBothLevels) {
  const auto modeOf = [](const std::string& folder) {
    struct stat info {};
    return ::stat(folder.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0xFFFFu;
  };
  const std::string support = platform::sandbox::applicationSupportDirectory();
  ASSERT_TRUE(platform::files::createMissingDirectories(support + "/Ombrix/CDVApp"));
  for (const std::string& folder : {support + "/Ombrix", support + "/Ombrix/CDVApp"}) {
    ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
  }
  // The host's, shared as /tmp is: its sticky bit keeps others from replacing the SDK's folder.
  ASSERT_EQ(::chmod(support.c_str(), 01777), 0);
  ASSERT_TRUE(CDVDiagnostics::installString());
  EXPECT_EQ(modeOf(support + "/Ombrix"), 0700u);
  EXPECT_EQ(modeOf(support + "/Ombrix/CDVApp"), 0700u);
  EXPECT_EQ(modeOf(support), 01777u);  // the host's
}

TEST_F(CDVDiagnosticsTest, HeartbeatComesWithTheFirstPassOfEachLocalDay) {
  installInfo();
  sendPass();
  EXPECT_TRUE(transport_->requests().empty());  // no app, no heartbeat
  CDVApp::configureWithOptions(optionsWithAppID());
  clearCaptures();

  sendPass();  // logs the heartbeat after this pass's files were listed
  sendPass();  // sends it; no second heartbeat on the same day
  sendPass();
  ASSERT_EQ(heartbeatCount(), 1u);
  auto beat = reports()[0];
  EXPECT_EQ(NANOGetInt32(*beat, Slot::configuration_type), 1);
  EXPECT_FALSE(NANOHasField(*beat, Slot::dynamic_framework_count));
  EXPECT_EQ(NANOGetString(*beat, Slot::app_id), coretest::kValidAppID);
  auto storage = CDVDiagnostics::heartbeatDateStorage();
  ASSERT_TRUE(storage);
  EXPECT_EQ(storage->date(), 1699992000.0);

  clock_->advance(10.9 * 3600);  // 23:54 local: still the same day
  sendPass();
  sendPass();
  EXPECT_EQ(heartbeatCount(), 1u);
  clock_->advance(0.2 * 3600);  // 00:06 on the next day
  sendPass();
  sendPass();
  EXPECT_EQ(heartbeatCount(), 2u);

  // A stored date in the future (the clock went back) holds heartbeats off until its day passed.
  ASSERT_TRUE(storage->setDate(clock_->now() + 3 * 86400, nullptr));
  clock_->advance(86400);
  sendPass();
  sendPass();
  EXPECT_EQ(heartbeatCount(), 2u);
  EXPECT_TRUE(CDVDiagnostics::isDateInSameDayOrBeforeThan(1699992000.0, 1699992000.0 + 3600));
  EXPECT_FALSE(CDVDiagnostics::isDateInSameDayOrBeforeThan(1699992000.0 + 86400, 1699992000.0));
}

}  // namespace
}  // namespace diagtest

namespace diagtest {
namespace {

TEST_F(CDVDiagnosticsTest, ADamagedHeartbeatDateFileNeverBreaksASendPass) {
  installInfo();
  CDVApp::configureWithOptions(optionsWithAppID());
  auto storage = CDVDiagnostics::heartbeatDateStorage();
  ASSERT_TRUE(storage);
  size_t expected = 0;
  // Texts the platform reads as no number count as 2001-01-01; a number past every calendar
  // (either way) is still a date before or after today.
  for (const auto& [text, beats] : std::vector<std::pair<std::string, bool>>{
           {"nan", true}, {"inf", true}, {"-1e400", true}, {"-1e300", true}, {"1e400", false}, {"1e300", false}}) {
    ASSERT_TRUE(CDVDiagnostics::writeString(text, storage->fileURL()));
    clearCaptures();
    sendPass();
    sendPass();
    if (beats) ++expected;
    EXPECT_EQ(heartbeatCount(), expected) << text;
  }
  EXPECT_TRUE(CDVDiagnostics::isDateInSameDayOrBeforeThan(1699992000.0, std::numeric_limits<double>::infinity()));
  EXPECT_FALSE(CDVDiagnostics::isDateInSameDayOrBeforeThan(1699992000.0, -1e300));
  EXPECT_FALSE(CDVDiagnostics::isDateInSameDayOrBeforeThan(1699992000.0, std::numeric_limits<double>::quiet_NaN()));
}

}  // namespace
}  // namespace diagtest
