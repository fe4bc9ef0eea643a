#include "measurement/model/TLMEventUtil.h"

#include <algorithm>

#include "foundation/Text.h"
#include "measurement/model/TLMDataTypeValidator.h"
#include "measurement/model/TLMFormatting.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMUtil.h"

namespace {

constexpr const char* kErrorCodeKey = "_err";
constexpr const char* kErrorLengthKey = "_el";
constexpr std::uint32_t kErrorNameLimit = static_cast<std::uint32_t>(kTLMDataTypeEventParameterMaxNameLength);

std::int64_t lengthOf(const TLMObject& source) {
  const std::string* s = source.stringPtr();
  return s != nullptr ? static_cast<std::int64_t>(tlm_UTF32Length(*s)) : 0;
}

// A number or string, as a host object or as a measurement value.
bool isScalar(const TLMObject& object) {
  return object.isTLMValue() || object.isNumber() || object.isString();
}

}  // namespace

const std::map<std::int64_t, std::string>& TLMErrorEventCodeNames() {
  static const std::map<std::int64_t, std::string>& names = *new std::map<std::int64_t, std::string>{
      {0, "NoError"},
      {1, "InvalidQPXAppID"},
      {2, "InvalidEventName"},
      {3, "InvalidParameterName"},
      {4, "InvalidParameterValue"},
      {5, "ParameterLimitReached"},
      {6, "InvalidUserPropertyName"},
      {7, "UserPropertyValueTooLong"},
      {8, "EventLimitReached"},
      {9, "UserPropertyLimitReached"},
      {10, "ConversionEventLimitReached"},
      {11, "EventIsBlacklisted"},
      {12, "UserPropertyIsBlacklisted"},
      {13, "EventNameIsReserved"},
      {14, "ParameterNameIsReserved"},
      {15, "UserPropertyNameIsReserved"},
      {16, "PublicEventLimitReached"},
      {17, "TooManyExtraParamEvents"},
      {18, "ValueIsNotNumeric"},
      {19, "CurrencyCodeIsMissingOrInvalid"},
  };
  return names;
}

void TLMLogErrorEventWithCode(std::int64_t code) {
  if (code == 0) return;
  TLMObjectDictionary parameters;
  parameters.set(kErrorCodeKey, TLMObject(code));
  TLMMeasurement::logInternalEvent("auto", "_err", parameters);
}

void TLMLogErrorEventWithParameters(std::int64_t code, const TLMObject& value, std::uint32_t limit,
                                    const TLMObject& lengthSource) {
  if (code == 0) return;
  TLMParameters parameters;
  parameters.set(kErrorCodeKey, TLMValue(code));
  const bool withLength =
      !lengthSource.isNil() && (lengthOf(lengthSource) > static_cast<std::int64_t>(limit) ||
                                code == 4 || code == 7);
  TLMAddErrorValueAndLengthParameters(parameters, value, limit,
                                      withLength ? lengthSource : TLMObject());
  TLMMeasurement::logInternalEvent("auto", "_err", TLMObjectDictionary(parameters));
}

void TLMAddErrorValueAndLengthParameters(TLMParameters& parameters, const TLMObject& value,
                                         std::uint32_t limit, const TLMObject& lengthSource) {
  if (parameters.contains(kTLMErrorValueParameterKey) || parameters.contains(kErrorLengthKey)) return;
  std::string text;
  if (value.isNil()) {
    text = "(nil)";
  } else if (const std::string* s = value.stringPtr()) {
    text = *s;
  } else {
    text = value.className();
  }
  if (tlm_UTF32Length(text) > limit) text = platform::text::codePointPrefix(text, limit) + "...";
  parameters.set(kTLMErrorValueParameterKey, TLMValue(std::move(text)));
  if (!lengthSource.isNil()) parameters.set(kErrorLengthKey, TLMValue(lengthOf(lengthSource)));
}

void TLMAddErrorParameter(TLMParameters& parameters, std::int64_t code) {
  if (!parameters.contains(kErrorCodeKey)) parameters.set(kErrorCodeKey, TLMValue(code));
}

void TLMAddErrorParameters(TLMParameters& parameters, std::int64_t code, const TLMObject& value,
                           std::uint32_t limit, const TLMObject& lengthSource) {
  if (parameters.contains(kTLMErrorValueParameterKey) || parameters.contains(kErrorLengthKey) ||
      parameters.contains(kErrorCodeKey)) {
    return;
  }
  parameters.set(kErrorCodeKey, TLMValue(code));
  TLMAddErrorValueAndLengthParameters(parameters, value, limit, lengthSource);
}

bool TLMEventUtilIsPublicName(const TLMObject& name) {
  const std::string* s = name.stringPtr();
  if (s == nullptr) {
    tlm_monitor()->logWithLevel(1, 18002, "Unable to check the name. Name is not a string");
    return false;
  }
  if (s->empty()) {
    tlm_monitor()->logWithLevel(1, 18003, "Unable to check the name. Name is empty");
    return false;
  }
  return (*s)[0] != '_';
}

bool TLMHasScreenParameters(const TLMObjectDictionary& parameters) {
  return parameters.contains("_si") || parameters.contains("_sc") || parameters.contains("_sn");
}

bool TLMHasScreenParameters(const TLMParameters& parameters) {
  return parameters.contains("_si") || parameters.contains("_sc") || parameters.contains("_sn");
}

TLMObjectDictionary TLMExtractScreenParameters(const TLMObjectDictionary& parameters) {
  TLMObjectDictionary out;
  for (const char* key : {"_sn", "_sc", "_si"}) {
    if (const TLMObject* value = parameters.find(key)) out.set(key, *value);
  }
  return out;
}

TLMParameters TLMExtractScreenParameters(const TLMParameters& parameters) {
  TLMParameters out;
  for (const char* key : {"_sn", "_sc", "_si"}) {
    if (const TLMValue* value = parameters.find(key)) out.set(key, *value);
  }
  return out;
}

bool TLMValidateConversionEventParameters(TLMParameters& parameters) {
  const TLMValue* value = parameters.find("value");
  if (value == nullptr) return true;
  const std::uint32_t limit =
      static_cast<std::uint32_t>(kTLMDataTypeInternalEventParameterMaxValueLength);
  if (!TLMDataTypeValidator::isValidNumericValue(TLMObject(*value))) {
    parameters.remove("value");
    TLMAddErrorParameters(parameters, 18, TLMObject("value"), limit, TLMObject());
    return false;
  }
  const TLMValue* currency = parameters.find("currency");
  if (!TLMDataTypeValidator::isValidCurrencyCode(currency ? TLMObject(*currency) : TLMObject())) {
    tlm_monitor()->logWithLevel(3, 18014,
                                "Value parameter discarded. You must also supply a 3-letter ISO_4217 "
                                "currency code in the currency parameter.");
    parameters.remove("value");
    TLMAddErrorParameters(parameters, 19, TLMObject("currency"), limit, TLMObject());
    return false;
  }
  return true;
}

// --- Decomposition ------------------------------------------------------------------------------

bool TLMEventUtilIsErrorEvent(const TLMEvent& event) {
  if (event.name().empty()) {
    tlm_monitor()->logWithLevel(1, 18004, "Unable to check the event name. Name is empty");
    return false;
  }
  return event.name() == "_err";
}

bool TLMHasArrayParameters(const TLMObjectDictionary& parameters) {
  return std::any_of(parameters.begin(), parameters.end(),
                     [](const auto& entry) { return entry.second.isArray(); });
}

std::optional<std::vector<std::string>> TLMSortedParamKeysFromEvent(
    const TLMObjectDictionary& parameters, bool isPublic, TLMParameters& errorParameters) {
  if (parameters.empty()) return std::nullopt;
  std::vector<std::string> keys = parameters.keys();
  std::stable_sort(keys.begin(), keys.end(), [](const std::string& a, const std::string& b) {
    return platform::text::localizedCompare(a, b, "en_US") == platform::text::Ordering::Ascending;
  });
  std::vector<std::string> out;
  for (const std::string& key : keys) {
    if (!TLMEvent::isValidParameterKey(TLMObject(key), isPublic, errorParameters)) continue;
    const TLMObject& value = *parameters.find(key);
    if (!isScalar(value) && !value.isArray()) {
      tlm_monitor()->logWithLevel(
          1, 18005,
          "Invalid event parameter. Parameter must be a number, string or array. Param key, param "
          "value",
          platform::Value(TLMFormattedEventName(TLMObject(key))), value.contextValue());
      TLMAddErrorParameters(errorParameters, 4, TLMObject(key), kErrorNameLimit, TLMObject());
    }
    out.push_back(key);
  }
  return out;
}

std::optional<std::vector<TLMEventPtr>> TLMExtractChildEventsFromParamValue(
    const platform::Array& array, const std::string& origin, bool isPublic,
    const std::string& mainEventName, const std::string& key, std::int64_t eventID,
    double timestamp, TLMParameters& errorParameters) {
  if (mainEventName.empty()) {
    tlm_monitor()->logWithLevel(1, 18006, "Cannot create child events. Main event name cannot be nil");
    return std::nullopt;
  }
  if (key.empty()) {
    tlm_monitor()->logWithLevel(1, 18007,
                                "Cannot create child events. Event's group name cannot be nil");
    return std::nullopt;
  }
  if (array.empty()) return std::nullopt;
  const platform::Array elements = array;
  const platform::Value formattedName(TLMFormattedEventName(TLMObject(mainEventName)));
  const platform::Value formattedKey(TLMFormattedEventName(TLMObject(key)));
  if (elements.size() > kTLMMeasurementMaxExtraParamEventsCountPerParam) {
    tlm_monitor()->logWithLevel(
        1, 18008,
        "Event has too many extra param events. Dropping all of extra param events. Event name",
        formattedName);
    TLMAddErrorParameters(errorParameters, 17, TLMObject(key), kErrorNameLimit, TLMObject());
    return std::nullopt;
  }
  auto notMade = [&]() {
    tlm_monitor()->logWithLevel(
        1, 18010, "Couldn't create extra param event. Original event name, param key, param value",
        formattedName, formattedKey, platform::Value(elements));
    TLMAddErrorParameters(errorParameters, 4, TLMObject(key), kErrorNameLimit, TLMObject());
  };
  std::vector<TLMEventPtr> children;
  std::int64_t index = 0;
  for (const platform::Value& element : elements) {
    const platform::Dictionary* dictionary = element.dictionaryPtr();
    if (dictionary == nullptr) {
      tlm_monitor()->logWithLevel(1, 18009,
                                  "Invalid extra param structure. Must be a dictionary. Parameters",
                                  element);
      TLMAddErrorParameters(errorParameters, 4, TLMObject(key), kErrorNameLimit, TLMObject());
      break;
    }
    if (dictionary->empty()) continue;
    std::optional<TLMParameters> normalized =
        TLMEvent::normalizedParametersForParameters(TLMObjectDictionary(*dictionary), isPublic);
    if (!normalized || normalized->empty()) {
      notMade();
      return std::nullopt;
    }
    TLMParameters childParameters = *normalized;
    childParameters.set("_eid", TLMValue(eventID));
    childParameters.set("_gn", TLMValue(key));
    childParameters.set("_en", TLMValue(mainEventName));
    childParameters.set("_i", TLMValue(index));
    TLMEventPtr child = TLMEvent::initWithOrigin(origin, false, "_ep", timestamp, 0,
                                                 TLMObjectDictionary(childParameters));
    if (!child) {
      tlm_monitor()->logWithLevel(2, 18011, "Cannot create a child event. Original name, group name",
                                  formattedName, formattedKey);
      notMade();
      return std::nullopt;
    }
    children.push_back(std::move(child));
    ++index;
  }
  return children;
}

TLMEventPtr TLMValidatedMainEvent(const TLMEventPtr& event, std::int64_t eventID,
                                  const std::map<std::string, std::int64_t>& childCounts,
                                  const TLMParameters& errorParameters) {
  if (!event) return nullptr;
  TLMParameters parameters = event->parameters();
  if (!parameters.empty()) {
    std::int64_t sum = 0;
    for (const auto& [key, count] : childCounts) sum += count;
    if (sum > 0) {
      parameters.set("_epc", TLMValue(sum));
      parameters.set("_eid", TLMValue(eventID));
    }
  }
  for (const auto& [key, value] : errorParameters) parameters.set(key, value);
  return event->copyWithParameters(TLMObjectDictionary(parameters));
}

std::optional<std::vector<TLMEventPtr>> TLMDecomposeEvent(std::int64_t eventID,
                                                          const std::string& name,
                                                          const std::string& origin,
                                                          const TLMObjectDictionary& parameters,
                                                          bool isPublic, double timestamp) {
  TLMParameters errorParameters;
  const std::vector<std::string> keys =
      TLMSortedParamKeysFromEvent(parameters, isPublic, errorParameters)
          .value_or(std::vector<std::string>{});
  TLMEventPtr placeholder =
      TLMEvent::initWithOrigin("auto", false, "dummy_event", timestamp, 0, TLMObjectDictionary());
  if (!placeholder) {
    tlm_monitor()->logWithLevel(2, 18012, "Cannot create dummy main event!");
    return std::nullopt;
  }
  std::vector<TLMEventPtr> result{placeholder};
  TLMObjectDictionary mainParameters;
  std::map<std::string, std::int64_t> childCounts;
  for (const std::string& key : keys) {
    const TLMObject& value = *parameters.find(key);
    if (isScalar(value)) {
      mainParameters.set(key, value);
    } else if (const platform::Array* array = value.isArray() ? value.object()->arrayPtr() : nullptr) {
      std::optional<std::vector<TLMEventPtr>> children = TLMExtractChildEventsFromParamValue(
          *array, origin, isPublic, name, key, eventID, timestamp, errorParameters);
      if (!children || children->empty()) continue;
      const auto count = static_cast<std::int64_t>(children->size());
      for (const TLMEventPtr& child : *children) {
        TLMParameters childParameters = child->parameters();
        childParameters.set("_ll", TLMValue(count));
        if (TLMEventPtr linked = child->copyWithParameters(TLMObjectDictionary(childParameters))) {
          result.push_back(std::move(linked));
        }
      }
      mainParameters.set(key, TLMObject(count));
      childCounts[key] = count;
    }
  }
  TLMEventPtr main = TLMValidatedMainEvent(
      TLMEvent::initWithOrigin(origin, isPublic, name, timestamp, 0, mainParameters), eventID,
      childCounts, errorParameters);
  if (!main) {
    tlm_monitor()->logWithLevel(1, 18013, "Main event is nil. Origin, name, params",
                                platform::Value(origin),
                                platform::Value(TLMFormattedEventName(TLMObject(name))),
                                platform::Value(mainParameters.toDictionary()));
    return std::nullopt;
  }
  result[0] = std::move(main);
  return result;
}
