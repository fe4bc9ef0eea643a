#include "InstanceID/CDVInstanceIDCheckinService.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string_view>

#include "InstanceID/CDVInstanceIDError.h"
#include "InstanceID/CDVInstanceIDLogger.h"
#include "InstanceID/CDVInstanceIDUtilities.h"
#include "dispatch/Random.h"
#include "foundation/Date.h"
#include "foundation/Files.h"
#include "foundation/Json.h"
#include "foundation/Text.h"

namespace {

struct TestBlockSlot {
  std::mutex mutex;
  CDVInstanceIDCheckinService::TestBlock block;
};

TestBlockSlot& testBlockSlot() {
  static TestBlockSlot* slot = new TestBlockSlot();  // never destroyed
  return *slot;
}

CDVInstanceIDCheckinService::TestBlock currentTestBlock() {
  std::lock_guard lock(testBlockSlot().mutex);
  return testBlockSlot().block;
}

// The value of a non-empty run of decimal digits; nothing for any other text or above 2^64 - 1.
std::optional<std::uint64_t> decimalDigitsValue(std::string_view digits) {
  const bool onlyDigits = !digits.empty() && std::all_of(digits.begin(), digits.end(),
                                                         [](char c) { return c >= '0' && c <= '9'; });
  return onlyDigits ? platform::text::parseUInt64(digits) : std::nullopt;
}

// A decimal id or token as the JSON number with exactly its digits: signed 64-bit, or unsigned
// 64-bit above that range. Anything else (none included) is 0.
platform::Value numberFromDecimalText(const std::string& text) {
  const bool negative = !text.empty() && text[0] == '-';
  const std::optional<std::uint64_t> magnitude = decimalDigitsValue(std::string_view(text).substr(negative ? 1 : 0));
  if (!magnitude) return platform::Value(0);
  if (!negative) {
    if (*magnitude <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return platform::Value(static_cast<std::int64_t>(*magnitude));
    }
    return platform::Value(*magnitude);
  }
  if (*magnitude > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1) return platform::Value(0);
  return platform::Value(static_cast<std::int64_t>(0 - *magnitude));
}

// A credential of the reply as its decimal digits: a JSON integer or a text of decimal digits,
// either within the unsigned 64-bit range and not zero (a request sends 0 for "none", so zero
// cannot be a credential). A JSON number read as floating point is refused too: it is either no
// integer or an integer too large to keep all its digits. Nothing when the value is anything
// else; the empty text when it is absent.
std::optional<std::string> credentialText(const platform::Value& value) {
  if (value.isNull()) return std::string();
  if (value.isInteger()) {
    if (value.numberKind() == platform::Value::NumberKind::UInt) return std::to_string(*value.uint64Value());
    const std::int64_t number = *value.int64Value();
    if (number <= 0) return std::nullopt;
    return std::to_string(number);
  }
  if (!value.isString()) return std::nullopt;
  const std::string& text = *value.stringPtr();
  if (text.empty()) return text;
  const std::optional<std::uint64_t> number = decimalDigitsValue(text);
  if (!number || *number == 0) return std::nullopt;
  return text;
}

// "time_msec" as a signed 64-bit number; values beyond that range are clamped (and then count as
// in the future or as 0).
std::int64_t int64FromReply(const platform::Value& value) {
  if (value.isInteger()) {
    if (value.numberKind() == platform::Value::NumberKind::UInt) return std::numeric_limits<std::int64_t>::max();
    return *value.int64Value();
  }
  if (value.isFloatingPoint()) {
    double number = *value.doubleValue();
    if (!std::isfinite(number)) return 0;
    if (number >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
    if (number <= -9.2e18) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(number);
  }
  if (value.isString()) {
    platform::Value parsed = numberFromDecimalText(*value.stringPtr());
    return int64FromReply(parsed);
  }
  return 0;
}

// Whether a property list can hold the value (the services data is written to one).
bool isPropertyListValue(const platform::Value& value) {
  switch (value.type()) {
    case platform::Value::Type::Bool:
    case platform::Value::Type::String:
    case platform::Value::Type::Data:
    case platform::Value::Type::Date:
      return true;
    case platform::Value::Type::Number:
      return value.numberKind() != platform::Value::NumberKind::UInt ||
             *value.uint64Value() <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    case platform::Value::Type::Array:
      for (const platform::Value& item : *value.arrayPtr()) {
        if (!isPropertyListValue(item)) return false;
      }
      return true;
    case platform::Value::Type::Dictionary:
      for (const auto& [key, item] : *value.dictionaryPtr()) {
        if (!isPropertyListValue(item)) return false;
      }
      return true;
    default:
      return false;
  }
}

std::string stringOrEmpty(const platform::Value& value) { return value.isString() ? *value.stringPtr() : std::string(); }

}  // namespace

CDVInstanceIDCheckinService::CDVInstanceIDCheckinService(std::string checkinURL, std::shared_ptr<platform::Queue> replyQueue,
                                                         double timeoutSeconds)
    : checkinURL_(std::move(checkinURL)),
      replyQueue_(replyQueue ? std::move(replyQueue) : platform::Queue::serial(kCDVInstanceIDCheckinSessionDescription)),
      session_(std::make_shared<OBXNetwork>()),
      sessionLive_(std::make_shared<std::atomic<bool>>(true)) {
  session_->setTimeoutInterval(timeoutSeconds);
}

CDVInstanceIDCheckinService::~CDVInstanceIDCheckinService() {
  setCheckinTestBlock(nullptr);
  stopFetching();
}

void CDVInstanceIDCheckinService::setCheckinTestBlock(TestBlock block) {
  std::lock_guard lock(testBlockSlot().mutex);
  testBlockSlot().block = std::move(block);
}

void CDVInstanceIDCheckinService::stopFetching() {
  std::lock_guard lock(mutex_);
  if (sessionLive_) *sessionLive_ = false;
  session_.reset();
}

platform::Dictionary CDVInstanceIDCheckinService::checkinParametersWithExistingCheckin(
    const CDVInstanceIDCheckinPreferencesPtr& existing) const {
  platform::Dictionary iosbuild{
      {"model", CDVInstanceIDDeviceModel().value_or(std::string())},
      {"os_version", "IOS_" + CDVInstanceIDOperatingSystemVersion()},
  };
  platform::Dictionary checkin{
      {"iosbuild", iosbuild},
      {"type", 2},
      {"user_number", 0},
      {"last_checkin_msec", existing ? existing->lastCheckinTimestampMillis() : std::int64_t{0}},
  };
  platform::Dictionary parameters{
      {"checkin", checkin},
      {"fragment", 0},
      {"logging_id", platform::Random::current()->next32()},
      {"locale", CDVInstanceIDCurrentLocale().value_or(std::string())},
      {"version", 2},
      {"digest", existing ? existing->digest() : std::string()},
      {"time_zone", platform::TimeZone::current().identifier()},
      {"user_serial_number", 0},
      {"id", existing ? numberFromDecimalText(existing->deviceID()) : platform::Value(0)},
      {"security_token", existing ? numberFromDecimalText(existing->secretToken()) : platform::Value(0)},
  };
  CDVInstanceIDLoggerDebug(7006, "Checkin parameters: %@", platform::Value(parameters));
  return parameters;
}

void CDVInstanceIDCheckinService::checkinWithExistingCheckin(CDVInstanceIDCheckinPreferencesPtr existing,
                                                             Completion completion) {
  std::shared_ptr<OBXNetwork> session;
  std::shared_ptr<std::atomic<bool>> live;
  {
    std::lock_guard lock(mutex_);
    session = session_;
    live = sessionLive_;
  }
  if (!session) {
    CDVInstanceIDLoggerError(7007, "Inconsistent state: NSURLSession has been invalidated");
    if (completion) completion(nullptr, errorWithCDVInstanceIDErrorCode(kCDVInstanceIDErrorCodeInvalidState));
    return;
  }
  std::optional<std::string> body = platform::json::serialize(platform::Value(checkinParametersWithExistingCheckin(existing)));
  const std::string json = body.value_or("{}");
  const platform::Bytes payload(json.begin(), json.end());
  const std::map<std::string, std::string> headers{{"content-type", "application/json"}};

  auto reply = [live, completion](std::shared_ptr<const OBXHTTPResponse> response, platform::Bytes data,
                                        std::optional<platform::Error> error) {
    if (!live->load()) {
      if (completion) {
        completion(nullptr, platform::Error(kCDVInstanceIDURLErrorDomain, kCDVInstanceIDURLErrorCancelled, "cancelled"));
      }
      return;
    }
    handleReply(response, data, error, completion);
  };

  if (TestBlock block = currentTestBlock()) {
    CDVInstanceIDLoggerDebug(7005, "Test block set, will not hit the server");
    OBXNetworkRequest request;
    request.method = "POST";
    request.url = checkinURL_;
    request.headers.assign(headers.begin(), headers.end());
    request.body = payload;
    request.timeoutInterval = session->timeoutInterval();
    block(request, reply);
    return;
  }
  session->postURL(checkinURL_, headers, payload, replyQueue_, false, reply);
}

void CDVInstanceIDCheckinService::handleReply(const std::shared_ptr<const OBXHTTPResponse>& response,
                                              const platform::Bytes& data, const std::optional<platform::Error>& error,
                                              const Completion& completion) {
  auto finish = [&completion](CDVInstanceIDCheckinPreferencesPtr preferences, std::optional<platform::Error> failure) {
    if (completion) completion(std::move(preferences), std::move(failure));
  };
  if (error) {
    CDVInstanceIDLoggerDebug(7000, "Device checkin HTTP fetch error. Error Code: %ld", error->code);
    return finish(nullptr, error);
  }
  // Only a successful exchange carries credentials: an error page is no check-in reply.
  const long status = response ? response->statusCode : 0;
  if (status != kOBXNetworkHTTPStatusOK) {
    CDVInstanceIDLoggerDebug(7000, "Device checkin HTTP fetch error. Error Code: %ld", status);
    return finish(nullptr, errorWithCDVInstanceIDErrorCode(
                               kCDVInstanceIDErrorCodeUnknown,
                               platform::Value(platform::Dictionary{{"statusCode", static_cast<std::int64_t>(status)}})));
  }
  platform::Error parseError;
  std::optional<platform::Value> json =
      platform::json::parse(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), &parseError);
  if (json && !json->isDictionary()) {
    json.reset();
    parseError = platform::Error(platform::files::kCocoaErrorDomain, 3840, "The check-in reply is not a JSON object");
  }
  if (!json) {
    CDVInstanceIDLoggerDebug(7001, "Error serializing json object. Error Code: %ld", parseError.code);
    return finish(nullptr, parseError);
  }
  const platform::Value& reply = *json;
  const std::optional<std::string> deviceID = credentialText(reply["android_id"]);
  const std::optional<std::string> secretToken = credentialText(reply["security_token"]);
  if (deviceID && deviceID->empty()) {
    return finish(nullptr, errorWithCDVInstanceIDErrorCode(kCDVInstanceIDErrorCodeInvalidValue));
  }
  if (!deviceID || !secretToken || secretToken->empty()) {
    parseError = platform::Error(platform::files::kCocoaErrorDomain, 3840,
                                 "The check-in reply's credentials are not unsigned 64-bit integers");
    CDVInstanceIDLoggerDebug(7001, "Error serializing json object. Error Code: %ld", parseError.code);
    return finish(nullptr, parseError);
  }

  std::int64_t lastCheckin = int64FromReply(reply["time_msec"]);
  const std::int64_t now = CDVInstanceIDCurrentTimestampInMilliseconds();
  if (lastCheckin > now) {
    CDVInstanceIDLoggerDebug(7002, "Invalid last checkin timestamp %@ in future.",
                             platform::Value::date(static_cast<double>(lastCheckin) / 1000.0));
    lastCheckin = now;
  }
  const std::string deviceDataVersion = stringOrEmpty(reply["device_data_version_info"]);
  const std::string digest = stringOrEmpty(reply["digest"]);
  const std::string versionInfo = stringOrEmpty(reply["version_info"]);
  CDVInstanceIDLoggerDebug(7003, "Checkin successful with authId: %@, digest: %@, lastCheckinTimestamp: %lld", *deviceID,
                           digest, lastCheckin);

  platform::Dictionary services;
  if (const platform::Array* settings = reply["setting"].arrayPtr()) {
    for (const platform::Value& setting : *settings) {
      const platform::Value& name = setting["name"];
      const platform::Value& value = setting["value"];
      if (!name.isString() || value.isNull() || !isPropertyListValue(value)) {
        CDVInstanceIDLoggerDebug(7008, "Invalid setting in checkin response: (%@: %@)", name, value);
        continue;
      }
      services.set(*name.stringPtr(), value);
    }
  }
  auto preferences = std::make_shared<CDVInstanceIDCheckinPreferences>(*deviceID, *secretToken);
  preferences->updateWithCheckinPlistContents(platform::Dictionary{
      {kCDVInstanceIDCheckinDigestKey, digest},
      {kCDVInstanceIDCheckinVersionInfoKey, versionInfo},
      {kCDVInstanceIDCheckinDeviceDataVersionKey, deviceDataVersion},
      {kCDVInstanceIDCheckinLastTimestampKey, lastCheckin},
      {kCDVInstanceIDCheckinGServicesDataKey, services},
  });
  finish(preferences, std::nullopt);
}
