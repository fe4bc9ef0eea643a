#include "measurement/model/TLMEvent.h"

#include <unicode/unistr.h>

#include <algorithm>
#include <vector>

#include "foundation/Format.h"
#include "foundation/Text.h"
#include "measurement/model/TLMDataTypeValidator.h"
#include "measurement/model/TLMEventUtil.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMUtil.h"

namespace {

constexpr const char* kOriginKey = "_o";
constexpr const char* kConversionKey = "_c";
constexpr const char* kRealtimeKey = "_r";
constexpr const char* kDebugKey = "_dbg";
constexpr std::int64_t kConversionRemovedError = 10;
constexpr std::uint32_t kNameLimit = static_cast<std::uint32_t>(kTLMDataTypeEventParameterMaxNameLength);
constexpr std::uint32_t kValueLimit =
    static_cast<std::uint32_t>(kTLMDataTypeInternalEventParameterMaxValueLength);

bool isInt64One(const TLMValue* value) {
  return value != nullptr && value->isInt64() && value->int64Value() == 1;
}

// A plain string or the string of a string value.
const std::string* screenText(const TLMObject& object) {
  if (const std::string* s = object.stringPtr()) return s;
  if (const TLMValue* v = object.tlmValue()) return v->stringPtr();
  return nullptr;
}

// Plain string order, as the platform compares strings: by UTF-16 code units. It differs from
// byte (code point) order where characters from U+E000 to U+FFFF meet characters outside the
// Basic Multilingual Plane, whose surrogates sort below U+E000.
bool lessByUTF16Units(const std::string& a, const std::string& b) {
  return icu::UnicodeString::fromUTF8(a).compare(icu::UnicodeString::fromUTF8(b)) < 0;
}

}  // namespace

TLMEventPtr TLMEvent::initWithOrigin(const std::string& origin, bool isPublic,
                                     const std::string& name, double timestamp,
                                     double previousTimestamp,
                                     const TLMObjectDictionary& parameters) {
  TLMValidationFailure failure = TLMValidationFailureNone;
  if (!TLMDataTypeValidator::isValidForwardedEventOrigin(TLMObject(origin), &failure)) {
    if (failure != TLMValidationFailureNotForwarded ||
        !TLMDataTypeValidator::isValidInternalEventOrigin(TLMObject(origin))) {
      return nullptr;
    }
  }
  if (isPublic && !TLMDataTypeValidator::isValidPublicEventName(TLMObject(name))) return nullptr;
  if (!TLMDataTypeValidator::isValidInternalEventName(TLMObject(name))) return nullptr;
  if (previousTimestamp > timestamp) {
    tlm_monitor()->logWithLevel(4, 16002,
                                "Event created with previous timestamp after current timestamp");
  }
  TLMEventPtr event(new TLMEvent());
  event->origin_ = origin;
  event->name_ = name;
  event->timestamp_ = timestamp;
  event->previousTimestamp_ = previousTimestamp;
  event->parameters_ = normalizedParametersForParameters(parameters, isPublic).value_or(TLMParameters());
  event->parameters_.set(kOriginKey, TLMValue(origin));
  if (event->isConversion() && !TLMValidateConversionEventParameters(event->parameters_)) {
    event->parameters_.remove(kConversionKey);
  }
  return event;
}

TLMEventPtr TLMEvent::copyWithPreviousTimestamp(double previousTimestamp, bool checked) const {
  if (checked) {
    return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp, TLMObjectDictionary(parameters_));
  }
  TLMEventPtr event = initWithOrigin(origin_, false, name_, timestamp_, 0, TLMObjectDictionary(parameters_));
  if (event) event->previousTimestamp_ = previousTimestamp;
  return event;
}

TLMEventPtr TLMEvent::copyWithParameters(const TLMObjectDictionary& parameters) const {
  return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp_, parameters);
}

TLMEventPtr TLMEvent::copy() const {
  return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp_,
                        TLMObjectDictionary(parameters_));
}

bool TLMEvent::isValidParameterKey(const TLMObject& key, bool isPublicEvent,
                                   TLMParameters& errorParameters) {
  TLMValidationFailure failure = TLMValidationFailureNone;
  bool valid = true;
  if (isPublicEvent) valid = TLMDataTypeValidator::isValidPublicEventParameterName(key, &failure);
  if (valid && TLMDataTypeValidator::isValidInternalEventParameterName(key, &failure)) return true;
  if (!errorParameters.contains("_err")) {
    const std::string name = key.stringPtr() != nullptr ? *key.stringPtr() : key.className();
    const bool tooLong = tlm_UTF32Length(name) > kNameLimit;
    TLMAddErrorParameters(errorParameters, failure == TLMValidationFailureReserved ? 14 : 3,
                          TLMObject(name), kNameLimit, tooLong ? TLMObject(name) : TLMObject());
  }
  return false;
}

std::optional<TLMParameters> TLMEvent::normalizedParametersForParameters(
    const TLMObjectDictionary& parameters, bool isPublicEvent) {
  if (parameters.empty()) return std::nullopt;
  std::vector<std::string> removed;
  TLMParameters replacements;
  for (const auto& [key, object] : parameters) {
    if (!isValidParameterKey(TLMObject(key), isPublicEvent, replacements)) {
      removed.push_back(key);
      continue;
    }
    std::optional<TLMValue> value = TLMValue::valueFromObject(object);
    if (!value) {
      removed.push_back(key);
      tlm_monitor()->logWithLevel(4, 16000,
                                  "Event parameter value must be of type NSString or NSNumber. Type",
                                  platform::Value(object.className()));
      continue;
    }
    TLMValidationFailure failure = TLMValidationFailureNone;
    bool accepted = true;
    bool trimmedErrorValue = false;
    if (isPublicEvent &&
        !TLMDataTypeValidator::isValidPublicEventParameterValue(TLMObject(*value), &failure)) {
      accepted = false;
    } else if (key == kTLMErrorValueParameterKey) {
      // An error value may be long: it is kept trimmed, with its full length in "_el".
      if (const std::string* s = value->stringPtr()) {
        const std::size_t length = tlm_UTF32Length(*s);
        const bool alreadyTrimmed = length == kValueLimit + 3 && s->ends_with("...");
        if (length > kValueLimit && !alreadyTrimmed) {
          TLMAddErrorValueAndLengthParameters(replacements, TLMObject(*s), kValueLimit,
                                              TLMObject(*s));
          trimmedErrorValue = true;
        }
      }
    } else if (!TLMDataTypeValidator::isValidInternalEventParameterValue(TLMObject(*value),
                                                                         &failure)) {
      accepted = false;
    }
    if (accepted) {
      if (trimmedErrorValue) {
        // The trimmed form stands; should an earlier problem already hold "_ev" or "_el", the
        // error value is still kept within its limit.
        if (!replacements.contains(kTLMErrorValueParameterKey)) {
          replacements.set(key, TLMValue(platform::text::codePointPrefix(*value->stringPtr(),
                                                                         kValueLimit) +
                                         "..."));
        }
      } else if (!object.isTLMValue()) {
        replacements.set(key, *value);
      }
      continue;
    }
    removed.push_back(key);
    if (failure == TLMValidationFailureTooLong && !replacements.contains("_err")) {
      TLMAddErrorParameters(replacements, 4, TLMObject(key), kNameLimit,
                            value->stringPtr() ? TLMObject(*value->stringPtr()) : TLMObject());
    }
  }

  // The kept entries in their given order, with their replacements, then the error parameters.
  TLMParameters result;
  for (const auto& [key, object] : parameters) {
    if (std::find(removed.begin(), removed.end(), key) != removed.end()) continue;
    if (const TLMValue* replacement = replacements.find(key)) {
      result.set(key, *replacement);
    } else if (const TLMValue* value = object.tlmValue()) {
      result.set(key, *value);
    }
  }
  for (const auto& [key, value] : replacements) result.set(key, value);

  std::int32_t publicCount = TLMEventPublicParameterCount(result);
  if (publicCount > kTLMDataTypeEventParameterMaxCount) {
    std::vector<std::string> keys = result.keys();
    std::sort(keys.begin(), keys.end(), lessByUTF16Units);
    for (auto it = keys.rbegin(); it != keys.rend() && publicCount > kTLMDataTypeEventParameterMaxCount;
         ++it) {
      if (it->empty() || (*it)[0] == '_') continue;
      result.remove(*it);
      --publicCount;
    }
    TLMAddErrorParameter(result, 5);
    tlm_monitor()->logWithLevel(1, 16001,
                                platform::format("Event cannot contain more than %d parameters",
                                             kTLMDataTypeEventParameterMaxCount));
  }
  return result;
}

std::int32_t TLMEventPublicParameterCount(const TLMParameters& parameters) {
  std::int32_t count = 0;
  for (const auto& entry : parameters) {
    if (TLMEventUtilIsPublicName(TLMObject(entry.first))) ++count;
  }
  return count;
}

bool TLMEvent::isConversion() const { return isInt64One(parameters_.find(kConversionKey)); }

void TLMEvent::setConversion(bool conversion) {
  if (conversion) {
    if (!TLMValidateConversionEventParameters(parameters_)) return;
    parameters_.set(kConversionKey, TLMValue(std::int64_t{1}));
    const TLMValue* error = parameters_.find("_err");
    if (error != nullptr && error->isInt64() && error->int64Value() == kConversionRemovedError) {
      parameters_.remove("_err");
    }
    return;
  }
  if (!parameters_.contains(kConversionKey)) return;
  parameters_.remove(kConversionKey);
  TLMAddErrorParameter(parameters_, kConversionRemovedError);
}

bool TLMEvent::isRealtime() const {
  const TLMValue* value = parameters_.find(kRealtimeKey);
  if (value == nullptr) return false;
  if (value->isInt64()) return value->int64Value() == 1;
  tlm_monitor()->logWithLevel(1, 16006, "Realtime parameter must be an int64. Event name",
                              platform::Value(name_));
  return false;
}

void TLMEvent::setRealtime(bool realtime) {
  if (realtime) {
    parameters_.set(kRealtimeKey, TLMValue(std::int64_t{1}));
  } else {
    parameters_.remove(kRealtimeKey);
  }
}

bool TLMEvent::isDebug() const { return isInt64One(parameters_.find(kDebugKey)); }

void TLMEvent::setDebug(bool debug) {
  if (debug) {
    parameters_.set(kDebugKey, TLMValue(std::int64_t{1}));
  } else {
    parameters_.remove(kDebugKey);
  }
}

bool TLMEvent::addScreenParameters(const TLMObjectDictionary& screen) {
  if (screen.empty()) return false;
  if (TLMHasScreenParameters(parameters_)) return false;
  const TLMObject* screenClass = screen.find("_sc");
  const TLMObject* screenID = screen.find("_si");
  if (screenClass == nullptr || screenID == nullptr) return false;
  const std::string* classText = screenText(*screenClass);
  if (classText == nullptr) return false;
  if (!TLMDataTypeValidator::isValidScreenParameterValue(TLMObject(*classText))) {
    tlm_monitor()->logWithLevel(4, 16003, "Received invalid screen class", platform::Value(*classText));
    return false;
  }
  const TLMValue* idValue = screenID->tlmValue();
  if (!((idValue != nullptr && idValue->isInt64()) || screenID->isNumber())) return false;
  const TLMObject* screenName = screen.find("_sn");
  if (screenName != nullptr) {
    const std::string* nameText = screenText(*screenName);
    if (nameText == nullptr) return false;
    if (!TLMDataTypeValidator::isValidScreenParameterValue(TLMObject(*nameText))) {
      tlm_monitor()->logWithLevel(4, 16004, "Received invalid screen name", platform::Value(*nameText));
      return false;
    }
  }
  std::optional<TLMValue> classValue = TLMValue::valueFromObject(TLMObject(*classText));
  std::optional<TLMValue> idConverted = TLMValue::valueFromObject(*screenID);
  std::optional<TLMValue> nameValue;
  if (screenName != nullptr) {
    nameValue = TLMValue::valueFromObject(TLMObject(*screenText(*screenName)));
    if (!nameValue) return false;
  }
  if (!classValue || !idConverted) return false;
  parameters_.set("_sc", *classValue);
  parameters_.set("_si", *idConverted);
  if (nameValue) parameters_.set("_sn", *nameValue);
  return true;
}

std::optional<TLMRawEventData> TLMRawEventData::initWithRawEvent(TLMEventPtr rawEvent,
                                                                 std::int64_t rowID,
                                                                 std::int64_t metadataFingerprint) {
  if (!rawEvent) {
    tlm_monitor()->logWithLevel(4, 28000, "Failed to create raw event data. Received invalid raw event.");
    return std::nullopt;
  }
  if (rowID < 0) {
    tlm_monitor()->logWithLevel(4, 28001,
                                "Failed to create raw event data. Received invalid row ID. Row ID",
                                platform::Value(rowID));
    return std::nullopt;
  }
  return TLMRawEventData(std::move(rawEvent), rowID, metadataFingerprint);
}
