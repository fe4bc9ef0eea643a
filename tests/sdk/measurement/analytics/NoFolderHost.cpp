// A host app with no folder to keep its data in: no main bundle (so no identifier to name the
// per-app folders) and no chosen roots. It calls the public entry points of one part of the SDK,
// named by its argument, and prints a line "<entry>: <what it answered>" for each; the test
// reading the output checks that each answer carries the reason there is no folder and that no
// exception escaped. Completion handlers are counted: each must be answered exactly once.
// FifoDataFileTests.cpp runs it with the app's folders chosen instead, and a FIFO among them,
// and FolderExchangeTests.cpp with chosen folders open to all.
//
// Exit status: 0 when every call returned and every handler was answered once in time; 2 for a
// handler answered twice; 3 for one never answered; 4 for a call that threw.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "Core/Public/CDVApp.h"
#include "Core/Public/CDVOptions.h"
#include "Diagnostics/CDVDiagnostics.h"
#include "Diagnostics/CDVLumtraceLogger.h"
#include "InstanceID/CDVInstanceID.h"
#include "dispatch/Queue.h"
#include "foundation/Exception.h"
#include "foundation/Preferences.h"
#include "foundation/UserDefaults.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/analytics/TLMAnalytics.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/engine/TLMUserDefaults.h"
#include "measurement/model/TLMUtil.h"
#include "security/SecItem.h"
#include "uikit/UIKit.h"

namespace {

std::mutex gLock;
std::condition_variable gChanged;
std::map<std::string, int> gAnswers;  // handler name -> times answered
int gExpected = 0;

void report(const std::string& entry, const std::string& what) {
  std::lock_guard lock(gLock);
  std::printf("%s: %s\n", entry.c_str(), what.c_str());
  std::fflush(stdout);
}

std::string describe(const std::optional<platform::Error>& error) {
  if (!error) return "no error";
  std::string text = error->fullDescription();
  return text;
}

// A handler's answer: counted and printed.
void answered(const std::string& entry, const std::string& what) {
  report(entry, what);
  std::lock_guard lock(gLock);
  ++gAnswers[entry];
  gChanged.notify_all();
}

void expectAnswer() {
  std::lock_guard lock(gLock);
  ++gExpected;
}

// Runs one call; a throw is reported and fails the host.
int gThrew = 0;
void call(const std::string& entry, const std::function<void()>& body) {
  try {
    body();
  } catch (const platform::Exception& e) {
    report(entry, "THREW " + e.name() + ": " + e.reason());
    ++gThrew;
  } catch (const std::exception& e) {
    report(entry, std::string("THREW ") + e.what());
    ++gThrew;
  }
}

void runCore() {
  call("CDVApp::configureWithOptions", [] {
    try {
      CDVApp::configureWithOptions(std::make_shared<CDVOptions>(std::string("1:123456789:ios:abc123"),
                                                                std::string("123456789")));
      report("CDVApp::configureWithOptions", "configured");
    } catch (const platform::Exception& e) {
      report("CDVApp::configureWithOptions", "refused (" + e.name() + "): " + e.reason());
    }
    report("CDVApp::isDefaultAppConfigured", CDVApp::isDefaultAppConfigured() ? "yes" : "no");
  });
}

void runDiagnostics() {
  call("CDVLumtraceLogger::sharedInstance", [] {
    auto logger = CDVLumtraceLogger::sharedInstance();
    report("CDVLumtraceLogger::sharedInstance", logger ? "a client" : "none");
    if (!logger) return;
    logger->logEvent(*LMTPBLogEvent::initWithMessageInfo(nullptr), kCDVDiagnosticsLogSource, kCDVDiagnosticsAccount);
    expectAnswer();
    logger->flushWithCompletionHandler([] { answered("CDVLumtraceLogger::flush", "completed"); });
  });
  call("CDVDiagnostics::installString", [] {
    auto install = CDVDiagnostics::installString();
    report("CDVDiagnostics::installString", install ? *install : "none");
  });
  call("CDVDiagnostics::heartbeatDateStorage", [] {
    report("CDVDiagnostics::heartbeatDateStorage", CDVDiagnostics::heartbeatDateStorage() ? "a storage" : "none");
  });
  call("CDVDiagnostics::logDiagnostics", [] {
    CDVDiagnostics::load();
    platform::NotificationCenter::defaultCenter().post(kCDVAppDiagnosticsNotification);
    report("CDVDiagnostics::logDiagnostics", "posted");
  });
}

void runMeasurement() {
  call("TLMFilePathForDatabaseName", [] {
    report("TLMFilePathForDatabaseName", "\"" + TLMFilePathForDatabaseName("measurement.sql") + "\"");
  });
  call("TLMFilePathForPreferencesName", [] {
    report("TLMFilePathForPreferencesName", "\"" + TLMFilePathForPreferencesName("suite") + "\"");
  });
  call("TLMAnalytics::startWithAppID", [] {
    TLMAnalytics::startWithAppID("1:123456789:ios:abc123", "xq", {});
    TLMAnalytics::startWithAppID("1:123456789:ios:abc123", "xq", {});  // refused again, not logged again
    TLMObjectDictionary parameters;
    TLMAnalytics::logEventWithName("offer_viewed", parameters);
    TLMAnalytics::setUserPropertyString(TLMObject("gold"), "tier");
    TLMAnalytics::setAnalyticsEnabled(false, true);
    TLMAnalytics::resetAnalyticsData();
    report("TLMAnalytics::appInstanceID", TLMAnalytics::appInstanceID().value_or("none"));
    report("TLMAnalytics::waitForQueuedWork", TLMAnalytics::waitForQueuedWork(5) ? "done" : "not done");
    report("UIApplication::terminate", UIApplication().terminate() ? "all stored" : "not all stored");
  });
  call("CDVAnalytics::logEventWithName", [] {
    CDVAnalytics::logEventWithName("offer_viewed", {});
    CDVAnalytics::setAnalyticsCollectionEnabled(true);
    report("CDVAnalytics::logEventWithName", "returned");
  });
  call("TLMMeasurementEngine::initializeSharedInstanceWithAppID", [] {
    TLMMeasurementEngine::initializeSharedInstanceWithAppID("1:123456789:ios:abc123", true, false, {});
    report("TLMMeasurementEngine::initializeSharedInstanceWithAppID",
           TLMMeasurementEngine::hasSharedInstance() ? "an engine" : "no engine");
  });
  call("TLMUserDefaults", [] {
    auto defaults = TLMUserDefaults::initWithSuiteName("com.example.suite");
    defaults->setObject(platform::Value("x"), "key");
    report("TLMUserDefaults", defaults->objectForKey("key").description());
    defaults->synchronize();  // logs why nothing was written
  });
}

// The part `identifier`: the instance and its identifier, and nothing after that could remove
// what they wrote.
std::shared_ptr<CDVInstanceID> runIdentifier() {
  std::shared_ptr<CDVInstanceID> identity;
  call("CDVInstanceID::instanceIDForTests", [&] {
    identity = CDVInstanceID::instanceIDForTests();
    report("CDVInstanceID::instanceIDForTests", identity ? "an instance" : "none");
  });
  if (!identity) return nullptr;
  call("CDVInstanceID::appInstanceID", [&] {
    platform::Error error;
    auto id = identity->appInstanceID(&error);
    report("CDVInstanceID::appInstanceID", id ? *id : "none, " + error.fullDescription());
  });
  return identity;
}

void runIdentity() {
  std::shared_ptr<CDVInstanceID> identity = runIdentifier();
  if (!identity) return;
  call("CDVInstanceID::token", [&] { report("CDVInstanceID::token", identity->token().value_or("none")); });
  expectAnswer();
  call("CDVInstanceID::getIDWithHandler", [&] {
    identity->getIDWithHandler([](std::optional<std::string> id, std::optional<platform::Error> error) {
      answered("CDVInstanceID::getIDWithHandler", (id ? *id + ", " : std::string()) + describe(error));
    });
  });
  expectAnswer();
  call("CDVInstanceID::instanceIDWithHandler", [&] {
    identity->instanceIDWithHandler([](std::optional<CDVInstanceIDResult> result, std::optional<platform::Error> error) {
      answered("CDVInstanceID::instanceIDWithHandler", (result ? result->token + ", " : std::string()) + describe(error));
    });
  });
  expectAnswer();
  call("CDVInstanceID::tokenWithAuthorizedEntity", [&] {
    identity->tokenWithAuthorizedEntity(
        "123456789", "*", {}, [](std::optional<std::string> token, std::optional<platform::Error> error) {
          answered("CDVInstanceID::tokenWithAuthorizedEntity", (token ? *token + ", " : std::string()) + describe(error));
        });
  });
  expectAnswer();
  call("CDVInstanceID::deleteTokenWithAuthorizedEntity", [&] {
    identity->deleteTokenWithAuthorizedEntity("123456789", "*", [](std::optional<platform::Error> error) {
      answered("CDVInstanceID::deleteTokenWithAuthorizedEntity", describe(error));
    });
  });
  expectAnswer();
  call("CDVInstanceID::deleteIDWithHandler", [&] {
    identity->deleteIDWithHandler(
        [](std::optional<platform::Error> error) { answered("CDVInstanceID::deleteIDWithHandler", describe(error)); });
  });
  expectAnswer();
  call("CDVInstanceID::fetchCheckinInfoWithHandler", [&] {
    identity->fetchCheckinInfoWithHandler([](CDVInstanceIDCheckinPreferencesPtr, std::optional<platform::Error> error) {
      answered("CDVInstanceID::fetchCheckinInfoWithHandler", describe(error));
    });
  });
}

std::string keychainAnswer(OSStatus status) { return std::to_string(status) + ", " + SecCopyErrorMessageString(status); }

void runKeychain() {
  const platform::Dictionary item{{kSecClass, platform::Value(kSecClassGenericPassword)},
                                  {kSecAttrService, platform::Value("svc")},
                                  {kSecAttrAccount, platform::Value("acct")}};
  call("SecItemCopyMatching", [&] { report("SecItemCopyMatching", keychainAnswer(SecItemCopyMatching(item, nullptr))); });
  call("SecItemAdd", [&] {
    platform::Dictionary add = item;
    add.set(kSecValueData, platform::Value(platform::Bytes{1, 2, 3}));
    report("SecItemAdd", keychainAnswer(SecItemAdd(add, nullptr)));
  });
  call("SecItemUpdate", [&] {
    const platform::Dictionary changes{{kSecValueData, platform::Value(platform::Bytes{4})}};
    report("SecItemUpdate", keychainAnswer(SecItemUpdate(item, changes)));
  });
  call("SecItemDelete", [&] { report("SecItemDelete", keychainAnswer(SecItemDelete(item))); });
}

void runPreferences() {
  call("UserDefaults::standard", [] {
    platform::UserDefaults& defaults = platform::UserDefaults::standard();
    defaults.setObject(platform::Value("x"), "key");
    report("UserDefaults::objectForKey", defaults.objectForKey("key").description());
    platform::Error error;
    report("UserDefaults::synchronize", defaults.synchronize(&error) ? "written" : "not written, " + error.description);
  });
  call("UserDefaults::setPersistentDomain", [] {
    platform::UserDefaults::setPersistentDomain({{"k", platform::Value(1)}}, "com.example.domain");
    const auto domain = platform::UserDefaults::persistentDomainForName("com.example.domain");
    report("UserDefaults::persistentDomainForName", domain ? "k = " + domain->get("k").description() : "none");
    platform::UserDefaults::removePersistentDomainForName("com.example.domain");
  });
  call("preferences::setAppValue", [] {
    platform::preferences::setAppValue("key", platform::Value("x"), "com.example.prefs");
    platform::Error error;
    report("preferences::appSynchronize", platform::preferences::appSynchronize("com.example.prefs", &error)
                                              ? "written"
                                              : "not written, " + error.description);
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: no_folder_host core|diagnostics|measurement|identity|identifier|keychain|preferences\n", stderr);
    return 64;
  }
  const std::string part = argv[1];
  if (part == "core") runCore();
  else if (part == "diagnostics") runDiagnostics();
  else if (part == "measurement") runMeasurement();
  else if (part == "identity") runIdentity();
  else if (part == "identifier") runIdentifier();
  else if (part == "keychain") runKeychain();
  else if (part == "preferences") runPreferences();
  else return 64;

  // Handlers answer on the main queue: wait for them (a generous watchdog), then let the main
  // queue run what it holds, where a second answer would be.
  std::unique_lock lock(gLock);
  const auto answeredAll = [] {
    int total = 0;
    for (const auto& [entry, times] : gAnswers) total += times > 0 ? 1 : 0;
    return total >= gExpected;
  };
  const bool all = gChanged.wait_for(lock, std::chrono::seconds(60), answeredAll);
  lock.unlock();
  for (int pass = 0; pass < 3; ++pass) platform::Queue::main()->sync([] {});
  lock.lock();
  for (const auto& [entry, times] : gAnswers) {
    if (times > 1) {
      std::printf("%s: answered %d times\n", entry.c_str(), times);
      return 2;
    }
  }
  if (!all) {
    std::printf("handlers answered: %zu of %d\n", gAnswers.size(), gExpected);
    return 3;
  }
  return gThrew > 0 ? 4 : 0;
}
