#include "measurement/analytics/CDVAnalytics.h"

#include <algorithm>
#include <set>

#include "Core/Private/CDVForkedChild.h"
#include "Core/Public/CDVApp.h"
#include "Core/Public/CDVConfiguration.h"
#include "Core/Public/CDVOptions.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "measurement/engine/TLMIdentity.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/model/TLMFormatting.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMValue.h"

namespace {

using platform::Value;

bool contains(const std::set<std::string>& set, const std::string& item) { return set.count(item) != 0; }

const std::set<std::string>& allowedListenerOrigins() {
  static const std::set<std::string>& set = *new std::set<std::string>{"ciam", "crash"};
  return set;
}
const std::set<std::string>& blacklistedOrigins() {
  static const std::set<std::string>& set = *new std::set<std::string>{"auto", "app", "vx"};
  return set;
}
const std::set<std::string>& blacklistedEventNames() {
  static const std::set<std::string>& set = *new std::set<std::string>{"_e", "_f", "_iap", "_s", "_au", "app_open"};
  return set;
}
const std::set<std::string>& blacklistedParameters() {
  static const std::set<std::string>& set = *new std::set<std::string>{"_r", "_dbg"};
  return set;
}
const std::set<std::string>& blacklistedUserProperties() {
  static const std::set<std::string>& set = *new std::set<std::string>{"_fot", "_ln", "_id", "_fi", "_lte", "_sid", "_sno"};
  return set;
}
// The lifetime-value properties ("_ltv_" and three capital letters) and "_cc1" to "_cc5".
bool isBlacklistedUserPropertyPattern(const std::string& name) {
  auto upper = [](char c) { return c >= 'A' && c <= 'Z'; };
  if (name.size() == 8 && name.starts_with("_ltv_")) return upper(name[5]) && upper(name[6]) && upper(name[7]);
  return name.size() == 4 && name.starts_with("_cc") && name[3] >= '1' && name[3] <= '5';
}
const std::set<std::string>& hiddenEventNames() {
  static const std::set<std::string>& set = *new std::set<std::string>{"_xa",       "_xu",     "_aq",        "_aa",          "_ai",
                                         "_ac",       "campaign_details", "_iapx", "_ug",     "_exp_set",
                                         "_exp_clear", "_exp_activate", "_exp_timeout", "_exp_expire"};
  return set;
}

}  // namespace

// MARK: - Facade

std::shared_ptr<CDVAnalytics> CDVAnalytics::classObject() {
  static const std::shared_ptr<CDVAnalytics>& object = *new std::shared_ptr<CDVAnalytics>([] {
    checkLibraryVersion(kTLMTallymarkLibraryVersion);
    return std::make_shared<CDVAnalytics>();
  }());
  return object;
}

void CDVAnalytics::checkLibraryVersion(const std::string& libraryVersion) {
  if (libraryVersion == kCDVAnalyticsExpectedLibraryVersion) return;
  throw platform::Exception(
      "CDVAnalyticsVersionMismatch",
      platform::format("Ombrix Analytics for Cindervale version (%@) does not match with Ombrix Tally Mark (%@) "
                       "version. Please update.",
                       std::string(kCDVAnalyticsExpectedLibraryVersion), libraryVersion));
}

platform::Dictionary CDVAnalytics::startOptions(const std::shared_ptr<CDVAnalyticsConfiguration>& configuration,
                                                const CDVOptions& options) {
  platform::Dictionary startOptions;
  if (configuration) startOptions.set(kTLMStartOptionConfiguration, Value::object(configuration));
  startOptions.set(kTLMStartOptionCollectionDeactivated, Value(options.isAnalyticsCollectionDeactivated()));
  startOptions.set(kTLMStartOptionCollectionEnabled, Value(options.isAnalyticsCollectionEnabled()));
  startOptions.set(kTLMStartOptionLogTag, Value(kCDVAnalyticsLogTag));
  Value safelisted;
  if (auto dictionary = CDVOptions::defaultOptionsDictionary()) {
    if (const Value* value = dictionary->find(kCDVAnalyticsSafelistedEventsKey)) safelisted = *value;
  }
  if (!safelisted.isNull()) startOptions.set(kTLMStartOptionSafelistedEvents, safelisted);
  return startOptions;
}

void CDVAnalytics::startWithConfiguration(const std::shared_ptr<CDVAnalyticsConfiguration>& configuration,
                                          const std::shared_ptr<const CDVOptions>& options) {
  if (!options) return;
  TLMAnalytics::startWithAppID(options->ombrixAppID().value_or(""), "xq", startOptions(configuration, *options));
}

namespace {

// An event the host logs through the public call `call`: refused in a forked child (naming that
// call) before the default app's lock is taken.
void logFromHost(const char* call, const std::string& origin, const std::string& name,
                 const TLMObjectDictionary& parameters) {
  if (CDVForkedChild::refuses(call)) return;
  if (!CDVApp::isDefaultAppConfigured()) {
    tlm_monitor()->logWithLevel(4, 25018, "Event not logged. Call +[CDVApp configure]",
                                Value(TLMFormattedEventName(TLMObject(name))));
    TLMAnalytics::countCallRefusedBeforeStart();
    return;
  }
  TLMAnalytics::logEventWithOriginInSDKProcess(origin, name, parameters);
}

}  // namespace

void CDVAnalytics::logEventWithName(const std::string& name, const TLMObjectDictionary& parameters) {
  logFromHost(__func__, "app", name, parameters);
}

void CDVAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const TLMObjectDictionary& parameters) {
  logFromHost(__func__, origin, name, parameters);
}

void CDVAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const TLMObjectDictionary& parameters, double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
  if (CDVForkedChild::refuses(__func__)) return;
  TLMAnalytics::logEventWithOrigin(origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled,
                                   ignoreInterceptor);
}

void CDVAnalytics::setAnalyticsCollectionEnabled(bool enabled) {
  if (CDVForkedChild::refuses(__func__)) return;
  TLMAnalytics::setAnalyticsEnabled(enabled, true);
}

void CDVAnalytics::setUserPropertyString(const TLMObject& value, const std::string& name) {
  if (CDVForkedChild::refuses(__func__)) return;
  if (!CDVApp::isDefaultAppConfigured()) {
    tlm_monitor()->logWithLevel(4, 25019, "User property not set. Call +[CDVApp configure]",
                                Value(TLMFormattedUserPropertyName(name)));
    TLMAnalytics::countCallRefusedBeforeStart();
    return;
  }
  TLMAnalytics::setUserPropertyString(value, name);
}

void CDVAnalytics::setSessionTimeoutInterval(double seconds) {
  if (CDVForkedChild::refuses(__func__)) return;
  if (auto engine = TLMMeasurementEngine::sharedInstance()) engine->setSessionTimeoutInterval(seconds);
}

// MARK: - Connector lists

bool CDVConnectorUtils::isOriginAllowed(const std::string& origin) { return !contains(blacklistedOrigins(), origin); }

bool CDVConnectorUtils::isListenerOriginAllowed(const std::string& origin) {
  return contains(allowedListenerOrigins(), origin);
}

bool CDVConnectorUtils::isEventNameAllowedForListeners(const std::string& name) {
  return !contains(hiddenEventNames(), name);
}

bool CDVConnectorUtils::shouldLogEventWithName(const std::string& name, const TLMObjectDictionary& parameters) {
  if (name.empty() || contains(blacklistedEventNames(), name)) return false;
  return std::none_of(blacklistedParameters().begin(), blacklistedParameters().end(),
                      [&](const std::string& key) { return parameters.contains(key); });
}

bool CDVConnectorUtils::isUserPropertyAllowed(const std::string& name, const std::string& origin) {
  if (name.empty()) return false;
  if (name == "_ln") return origin == "jxq" || origin == "ciam";
  if (contains(blacklistedUserProperties(), name)) return false;
  return !isBlacklistedUserPropertyPattern(name);
}

// MARK: - Connector

void CDVAnalyticsConnector::load() {
  CDVApp::registerInternalLibrary(
      std::make_shared<CDVAnalyticsConnectorClass>(), kCDVAnalyticsConnectorLibraryName,
      kCDVAnalyticsConnectorLibraryVersion);
  platform::ClassRegistry::registerClass(CDVAnalytics::classObject());
  TLMMeasurement::setAnalyticsFacadePresent(true);
  // Before a successful configure the app's end reports that nothing was stored.
  TLMAnalytics::observeAppEnd();
  TLMMeasurementEngine::observeAppLaunch();
}

CDVProtocol CDVAnalyticsConnector::interopProtocol() {
  return CDVProtocol::of<CDVAnalyticsConnector>("CDVAnalyticsInterop");
}

std::vector<std::shared_ptr<CDVComponent>> CDVAnalyticsConnectorClass::componentsToRegister() const {
  return {CDVComponent::componentWithProtocol(
      CDVAnalyticsConnector::interopProtocol(), CDVInstantiationLazy, {},
      [](CDVComponentContainer&, bool*) -> CDVInstance { return std::make_shared<CDVAnalyticsConnector>(); })};
}

void CDVAnalyticsConnector::logEventWithOrigin(const std::string& origin, const std::string& name,
                                               const TLMObjectDictionary& parameters) {
  if (!CDVConnectorUtils::isOriginAllowed(origin) || !CDVConnectorUtils::shouldLogEventWithName(name, parameters)) {
    return;
  }
  TLMObjectDictionary copy = parameters;
  if (name == "_cmp") {
    if (origin == "jxq") copy.set("_cis", TLMObject("jxq_integration"));
    if (origin == "cdl") copy.set("_cis", TLMObject("cdl_integration"));
    if (origin == "ciam") copy.set("_cis", TLMObject("ciam_integration"));
  }
  CDVAnalytics::logInternalEventWithOrigin(origin, name, copy);
}

void CDVAnalyticsConnector::setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                                      const TLMObject& value) {
  if (!CDVConnectorUtils::isOriginAllowed(origin) || !CDVConnectorUtils::isUserPropertyAllowed(name, origin)) return;
  CDVAnalytics::setInternalUserProperty(value, name, origin);
}

void CDVAnalyticsConnector::registerAnalyticsListener(std::shared_ptr<CDVAnalyticsInteropListener> listener,
                                                      const std::string& origin) {
  if (CDVForkedChild::refuses(__func__)) return;
  if (!listener || !CDVConnectorUtils::isListenerOriginAllowed(origin)) return;
  std::uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (listeners_) {
      // The interface listener is there (or being added by another registration).
      (*listeners_)[origin] = std::move(listener);
      return;
    }
    listeners_.emplace();
    (*listeners_)[origin] = std::move(listener);
    if (!listenerQueue_) listenerQueue_ = platform::Queue::serial("com.ombrix.analytics_connector.queue");
    generation = ++generation_;
  }
  std::weak_ptr<CDVAnalyticsConnector> weak = weak_from_this();
  auto token = CDVAnalytics::addLogEventListener([weak](const TLMEventPtr& event) {
    if (auto self = weak.lock()) self->eventLogged(event);
  });
  bool stale;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Every listener went away while the interface listener was being added: take it back.
    stale = generation != generation_ || !listeners_;
    if (!stale) logEventListener_ = token;
  }
  if (stale) CDVAnalytics::removeLogEventListener(token);
}

void CDVAnalyticsConnector::unregisterAnalyticsListenerWithOrigin(const std::string& origin) {
  if (CDVForkedChild::refuses(__func__)) return;
  std::optional<TLMLogEventListenerToken> token;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Nothing registered for the origin: nothing to remove and nothing to report.
    if (!listeners_ || listeners_->erase(origin) == 0 || !listeners_->empty()) return;
    token = logEventListener_;
    logEventListener_.reset();
    listeners_.reset();
    ++generation_;
  }
  if (token) CDVAnalytics::removeLogEventListener(token);
}

void CDVAnalyticsConnector::eventLogged(const TLMEventPtr& event) {
  if (!event || !CDVConnectorUtils::isEventNameAllowedForListeners(event->name())) return;
  std::vector<std::shared_ptr<CDVAnalyticsInteropListener>> targets;
  std::shared_ptr<platform::Queue> listenerQueue;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!listeners_) return;
    listenerQueue = listenerQueue_;
    auto found = listeners_->find(event->origin());
    if (found != listeners_->end()) {
      targets.push_back(found->second);
    } else if (event->origin() == "app") {
      for (const auto& [origin, listener] : *listeners_) targets.push_back(listener);
    }
  }
  if (targets.empty() || !listenerQueue) return;
  auto copy = event->copy();
  if (!copy) return;
  listenerQueue->async([copy, targets = std::move(targets)] {
    platform::Dictionary parameters = simplifiedParametersFromEventParameters(TLMObjectDictionary(copy->parameters()));
    const std::string name = copy->name();
    platform::Queue::main()->async([targets, name, parameters] {
      for (const auto& target : targets) target->messageTriggered(name, parameters);
    });
  });
}

platform::Dictionary CDVAnalyticsConnector::simplifiedParametersFromEventParameters(
    const TLMObjectDictionary& parameters) {
  platform::Dictionary simplified;
  for (const auto& [key, object] : parameters) {
    if (const TLMValue* value = object.tlmValue()) {
      if (value->isDouble()) {
        simplified.set(key, Value(value->doubleValue()));
      } else if (value->isInt64()) {
        simplified.set(key, Value(value->int64Value()));
      } else if (auto text = value->stringValue()) {
        simplified.set(key, Value(*text));
      }
    } else if (const Value* host = object.object(); host != nullptr && (host->isNumber() || host->isString())) {
      simplified.set(key, *host);
    }
  }
  return simplified;
}

// Linked in with the library whether or not the host names anything here (the build asks the
// linker for this symbol). Registers the connector and the facade, once: when the program loads
// (below), or earlier, when the core asks for it as it configures an app from a host's static
// initialiser that ran before this file's.
extern "C" void CDVAnalyticsLinkAnchor() {
  [[maybe_unused]] static const bool loaded = (CDVAnalyticsConnector::load(), true);
}

namespace {
[[maybe_unused]] const bool gLoaded = (CDVAnalyticsLinkAnchor(), true);
}  // namespace
