#include "measurement/model/TLMDataTypeValidator.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "foundation/Format.h"
#include "foundation/Text.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMUtil.h"

namespace {

constexpr const char* kForwardedOriginSuffix = "+zep";

void log(int level, std::int64_t code, const std::string& message) {
  TLMMeasurement::monitor()->logWithLevel(level, code, message);
}

void log(int level, std::int64_t code, const std::string& message, const platform::Value& context) {
  TLMMeasurement::monitor()->logWithLevel(level, code, message, context);
}

void setFailure(TLMValidationFailure* out, TLMValidationFailure code) {
  if (out != nullptr) *out = code;
}

bool isValueKind(TLMDataTypeItem type) {
  return type == TLMDataTypeItemEventParameterValue || type == TLMDataTypeItemUserPropertyValue;
}

// Decodes `s` into code points; an invalid byte gives a negative code point.
template <typename F>
bool allCodePoints(const std::string& s, F predicate) {
  std::int32_t i = 0;
  const auto length = static_cast<std::int32_t>(s.size());
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(s.data());
  while (i < length) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c < 0 || !predicate(static_cast<char32_t>(c))) return false;
  }
  return true;
}

std::optional<char32_t> firstCodePoint(const std::string& s) {
  if (s.empty()) return std::nullopt;
  std::int32_t i = 0;
  UChar32 c;
  U8_NEXT(reinterpret_cast<const std::uint8_t*>(s.data()), i, static_cast<std::int32_t>(s.size()), c);
  if (c < 0) return std::nullopt;
  return static_cast<char32_t>(c);
}

bool isValidPublicNameWithTable(const TLMObject& name, std::int32_t maxLength,
                                TLMDataTypeItem type, const TLMNameTable* reservedNames,
                                std::int64_t reservedCode, const char* reservedMessage,
                                std::int64_t prefixCode, const char* prefixMessage,
                                TLMValidationFailure* failureCode) {
  if (!TLMDataTypeValidator::isValidPublicName(name, maxLength, type, failureCode)) return false;
  const std::string& text = *name.stringPtr();
  if (reservedNames != nullptr && reservedNames->contains(text)) {
    setFailure(failureCode, TLMValidationFailureReserved);
    log(1, reservedCode, reservedMessage, platform::Value(text));
    return false;
  }
  if (TLMDataTypeValidator::hasReservedPrefixes(text)) {
    setFailure(failureCode, TLMValidationFailureReserved);
    log(1, prefixCode, prefixMessage, platform::Value(text));
    return false;
  }
  return true;
}

}  // namespace

bool TLMIsLetterCodePoint(char32_t c) {
  switch (u_charType(static_cast<UChar32>(c))) {
    case U_UPPERCASE_LETTER:
    case U_LOWERCASE_LETTER:
    case U_TITLECASE_LETTER:
    case U_MODIFIER_LETTER:
    case U_OTHER_LETTER:
      return true;
    default:
      return false;
  }
}

bool TLMIsPublicNameCodePoint(char32_t c) {
  return c == U'_' || TLMIsLetterCodePoint(c) ||
         u_charType(static_cast<UChar32>(c)) == U_DECIMAL_DIGIT_NUMBER;
}

const TLMNameTable& TLMInternalEventNames() {
  static const TLMNameTable& table = *new TLMNameTable{
      {"adunit_exposure", "_xu"},
      {"ad_activeview", "_aa"},
      {"ad_click", "_ac"},
      {"ad_exposure", "_xa"},
      {"ad_impression", "_ai"},
      {"ad_query", "_aq"},
      {"ad_reward", "_ar"},
      {"app_backgrounded", "_ab"},
      {"app_clear_data", "_cd"},
      {"app_exception", "_ae"},
      {"app_remove", "_ui"},
      {"app_store_refund", "_asr"},
      {"app_store_subscription_cancel", "_asse"},
      {"app_store_subscription_convert", "_assc"},
      {"app_store_subscription_renew", "_assr"},
      {"app_update", "_au"},
      {"error", "_err"},
      {"cindervale_campaign", "_cmp"},
      {"first_open", "_f"},
      {"jq_campaign", "_cmp"},
      {"jq_extra_parameter", "_ep"},
      {"in_app_purchase", "_iap"},
      {"notification_dismiss", "_nd"},
      {"notification_foreground", "_nf"},
      {"notification_open", "_no"},
      {"notification_receive", "_nr"},
      {"os_update", "_ou"},
      {"screen_view", "_vs"},
      {"session_start", "_s"},
      {"user_engagement", "_e"},
  };
  return table;
}

const TLMNameTable& TLMInternalParameterNames() {
  static const TLMNameTable& table = *new TLMNameTable{
      {"ad_event_id", "_aeid"},
      {"ad_unit_id", "_ai"},
      {"app_in_background", "_aib"},
      {"deferred_analytics_collection", "_dac"},
      {"engagement_time_msec", "_et"},
      {"exposure_time", "_xt"},
      {"cindervale_conversion", "_c"},
      {"cindervale_debug", "_dbg"},
      {"cindervale_error", "_err"},
      {"cindervale_error_length", "_el"},
      {"cindervale_error_value", "_ev"},
      {"cindervale_event_origin", "_o"},
      {"cindervale_previous_class", "_pc"},
      {"cindervale_previous_id", "_pi"},
      {"cindervale_previous_screen", "_pn"},
      {"cindervale_realtime", "_r"},
      {"cindervale_screen", "_sn"},
      {"cindervale_screen_class", "_sc"},
      {"cindervale_screen_id", "_si"},
      {"jq_conversion", "_c"},
      {"jq_debug", "_dbg"},
      {"jq_error", "_err"},
      {"jq_error_length", "_el"},
      {"jq_error_value", "_ev"},
      {"jq_screen_id", "_si"},
      {"jq_event_id", "_eid"},
      {"jq_event_name", "_en"},
      {"jq_event_origin", "_o"},
      {"jq_extra_params_ct", "_epc"},
      {"jq_group_name", "_gn"},
      {"jq_index", "_i"},
      {"jq_list_length", "_ll"},
      {"jq_previous_class", "_pc"},
      {"jq_previous_id", "_pi"},
      {"jq_previous_screen", "_pn"},
      {"jq_realtime", "_r"},
      {"jq_screen", "_sn"},
      {"jq_screen_class", "_sc"},
      {"message_id", "_nmid"},
      {"message_name", "_nmn"},
      {"message_time", "_nmt"},
      {"message_type", "_nmc"},
      {"message_device_time", "_ndt"},
      {"previous_app_version", "_pv"},
      {"previous_first_open_count", "_pfo"},
      {"previous_qpx_app_id", "_pqpx"},
      {"previous_os_version", "_po"},
      {"session_id", "_sid"},
      {"session_number", "_sno"},
      {"topic", "_nt"},
      {"update_with_analytics", "_uwa"},
  };
  return table;
}

const TLMNameTable& TLMInternalUserPropertyNames() {
  static const TLMNameTable& table = *new TLMNameTable{
      {"cindervale_last_notification", "_ln"},
      {"first_open_after_install", "_fi"},
      {"first_open_time", "_fot"},
      {"jq_session_id", "_sid"},
      {"jq_session_number", "_sno"},
      {"last_deep_link_referrer", "_ldl"},
      {"lifetime_user_engagement", "_lte"},
      {"session_user_engagement", "_se"},
      {"user_id", "_id"},
  };
  return table;
}

std::string TLMPrependStringTypeName(TLMDataTypeItem type, const std::string& text) {
  const char* name = "Object";
  switch (type) {
    case TLMDataTypeItemEventName: name = "Event name"; break;
    case TLMDataTypeItemEventOrigin: name = "Event origin"; break;
    case TLMDataTypeItemEventParameterName: name = "Event parameter name"; break;
    case TLMDataTypeItemEventParameterValue: name = "Event parameter value"; break;
    case TLMDataTypeItemUserPropertyName: name = "User property name"; break;
    case TLMDataTypeItemUserPropertyValue: name = "User property value"; break;
    case TLMDataTypeItemScreenParameterValue: name = "Screen parameter value"; break;
    case TLMDataTypeItemConditionalUserPropertyOrigin: name = "Conditional user property origin"; break;
    case TLMDataTypeItemConditionalUserPropertyName: name = "Conditional user property name"; break;
    case TLMDataTypeItemConditionalUserPropertyValue: name = "Conditional user property value"; break;
  }
  return std::string(name) + text;
}

bool TLMIsNonNilTLMValue(const TLMObject& object, TLMDataTypeItem type,
                         TLMValidationFailure* failureCode) {
  setFailure(failureCode, TLMValidationFailureNone);
  if (object.isNil()) {
    setFailure(failureCode, TLMValidationFailureMissing);
    log(3, 13004, TLMPrependStringTypeName(type, " cannot be nil"));
    return false;
  }
  if (!object.isTLMValue()) {
    setFailure(failureCode, TLMValidationFailureWrongType);
    log(3, 13005, TLMPrependStringTypeName(type, " must be a TLMValue instance. value"),
        platform::Value(object.className()));
    return false;
  }
  return true;
}

bool TLMDataTypeValidator::isValidString(const TLMObject& candidate, std::int32_t minLength,
                                         std::int32_t maxLength, TLMDataTypeItem type,
                                         Failure* failureCode) {
  setFailure(failureCode, TLMValidationFailureNone);
  const int level = isValueKind(type) ? 4 : 1;
  if (candidate.isNil()) {
    setFailure(failureCode, TLMValidationFailureMissing);
    log(level, 13001, TLMPrependStringTypeName(type, " is required and can't be nil"));
    return false;
  }
  const std::string* s = candidate.stringPtr();
  if (s == nullptr) {
    setFailure(failureCode, TLMValidationFailureWrongType);
    log(level, 13000, TLMPrependStringTypeName(type, " must be of type NSString"),
        candidate.contextValue());
    return false;
  }
  if (minLength > 0 && s->empty()) {
    setFailure(failureCode, TLMValidationFailureMissing);
    if (!isValueKind(type)) {
      log(level, 13001, TLMPrependStringTypeName(type, " is required and can't be empty"));
    }
    return false;
  }
  const std::size_t length = tlm_UTF32Length(*s);
  if (maxLength >= 0 && length > static_cast<std::size_t>(maxLength)) {
    setFailure(failureCode, TLMValidationFailureTooLong);
    log(level, 13000,
        platform::format(TLMPrependStringTypeName(
                             type, " is too long. The maximum supported length is %d"),
                         maxLength),
        platform::Value(*s));
    return false;
  }
  if (minLength > 0 && length < static_cast<std::size_t>(minLength)) {
    setFailure(failureCode, TLMValidationFailureTooShort);
    log(level, 13000,
        platform::format(TLMPrependStringTypeName(
                             type, " is too short. The minimum supported length is %d"),
                         minLength),
        platform::Value(*s));
    return false;
  }
  return true;
}

bool TLMDataTypeValidator::isValidInternalName(const TLMObject& name, std::int32_t maxLength,
                                               TLMDataTypeItem type, Failure* failureCode) {
  if (!isValidString(name, 1, maxLength, type, failureCode)) return false;
  const std::string& text = *name.stringPtr();
  if (!allCodePoints(text, TLMIsPublicNameCodePoint)) {
    setFailure(failureCode, TLMValidationFailureInvalidCharacters);
    log(1, 13002,
        TLMPrependStringTypeName(type, " must contain only letters, numbers, or underscores"),
        platform::Value(text));
    return false;
  }
  return true;
}

bool TLMDataTypeValidator::isValidPublicName(const TLMObject& name, std::int32_t maxLength,
                                             TLMDataTypeItem type, Failure* failureCode) {
  if (!isValidInternalName(name, maxLength, type, failureCode)) return false;
  const std::string& text = *name.stringPtr();
  std::optional<char32_t> first = firstCodePoint(text);
  if (!first || !TLMIsLetterCodePoint(*first)) {
    setFailure(failureCode, TLMValidationFailureInvalidCharacters);
    log(1, 13003, TLMPrependStringTypeName(type, " must start with a letter"),
        platform::Value(text));
    return false;
  }
  return true;
}

bool TLMDataTypeValidator::isValidValue(const TLMObject& value, std::int32_t minLength,
                                        std::int32_t maxLength, TLMDataTypeItem type,
                                        Failure* failureCode) {
  setFailure(failureCode, TLMValidationFailureNone);
  if (!TLMIsNonNilTLMValue(value, type, failureCode)) return false;
  const TLMValue& v = *value.tlmValue();
  if (!v.isString()) return true;
  // A string value always holds a string; one made unchecked that does not counts as missing.
  return isValidString(TLMObject(v.value()), minLength, maxLength, type, failureCode);
}

bool TLMDataTypeValidator::hasReservedPrefixes(const std::string& name) {
  return platform::text::hasPrefix(name, "cindervale_") ||
         platform::text::hasPrefix(name, "ombrix_") || platform::text::hasPrefix(name, "jq_");
}

bool TLMDataTypeValidator::isValidPublicEventName(const TLMObject& name, Failure* failureCode) {
  return isValidPublicNameWithTable(name, kTLMDataTypeEventMaxNameLength, TLMDataTypeItemEventName,
                                    &TLMInternalEventNames(), 13006,
                                    "Event name is reserved. Ignoring event", 13007,
                                    "Event name uses reserved prefix. Ignoring event", failureCode);
}

bool TLMDataTypeValidator::isValidPublicEventParameterName(const TLMObject& name,
                                                           Failure* failureCode) {
  return isValidPublicNameWithTable(name, kTLMDataTypeEventParameterMaxNameLength,
                                    TLMDataTypeItemEventParameterName, nullptr, 0, "", 13008,
                                    "Parameter name uses reserved prefix. Ignoring parameter",
                                    failureCode);
}

bool TLMDataTypeValidator::isValidPublicEventParameterValue(const TLMObject& value,
                                                            Failure* failureCode) {
  return isValidValue(value, 0, kTLMDataTypePublicEventParameterMaxValueLength,
                      TLMDataTypeItemEventParameterValue, failureCode);
}

bool TLMDataTypeValidator::isValidInternalEventOrigin(const TLMObject& origin,
                                                      Failure* failureCode) {
  return isValidInternalName(origin, kTLMDataTypeEventMaxOriginLength, TLMDataTypeItemEventOrigin,
                             failureCode);
}

bool TLMDataTypeValidator::isValidForwardedEventOrigin(const TLMObject& origin,
                                                       Failure* failureCode) {
  setFailure(failureCode, TLMValidationFailureNone);
  const std::string* text = origin.stringPtr();
  if (origin.isNil() || (text != nullptr && text->empty())) {
    setFailure(failureCode, TLMValidationFailureMissing);
    return false;
  }
  if (text == nullptr) {
    // Not a string at all: let the string rules say so.
    return isValidInternalEventOrigin(origin, failureCode);
  }
  if (!platform::text::hasSuffix(*text, kForwardedOriginSuffix)) {
    setFailure(failureCode, TLMValidationFailureNotForwarded);
    return false;
  }
  std::string base = text->substr(0, text->size() - std::char_traits<char>::length(kForwardedOriginSuffix));
  return isValidInternalEventOrigin(TLMObject(std::move(base)), failureCode);
}

bool TLMDataTypeValidator::isValidInternalEventName(const TLMObject& name, Failure* failureCode) {
  return isValidInternalName(name, kTLMDataTypeEventMaxNameLength, TLMDataTypeItemEventName,
                             failureCode);
}

bool TLMDataTypeValidator::isValidInternalEventParameterName(const TLMObject& name,
                                                             Failure* failureCode) {
  return isValidInternalName(name, kTLMDataTypeEventParameterMaxNameLength,
                             TLMDataTypeItemEventParameterName, failureCode);
}

bool TLMDataTypeValidator::isValidInternalEventParameterValue(const TLMObject& value,
                                                              Failure* failureCode) {
  return isValidValue(value, 0, kTLMDataTypeInternalEventParameterMaxValueLength,
                      TLMDataTypeItemEventParameterValue, failureCode);
}

bool TLMDataTypeValidator::isValidPublicUserAttributeName(const TLMObject& name,
                                                          Failure* failureCode) {
  return isValidPublicNameWithTable(
      name, kTLMDataTypeUserAttributeMaxNameLength, TLMDataTypeItemUserPropertyName,
      &TLMInternalUserPropertyNames(), 13009,
      "User property name is reserved. Ignoring user property", 13010,
      "User property name uses reserved prefix. Ignoring user property", failureCode);
}

bool TLMDataTypeValidator::isValidPublicUserAttributeValue(const TLMObject& value,
                                                           Failure* failureCode) {
  return isValidValue(value, 1, kTLMDataTypeUserAttributeMaxValueLength,
                      TLMDataTypeItemUserPropertyValue, failureCode);
}

bool TLMDataTypeValidator::isValidInternalUserAttributeName(const TLMObject& name,
                                                            Failure* failureCode) {
  return isValidInternalName(name, kTLMDataTypeUserAttributeMaxNameLength,
                             TLMDataTypeItemUserPropertyName, failureCode);
}

bool TLMDataTypeValidator::isValidInternalUserAttributeValue(const TLMObject& value,
                                                             const std::string& name,
                                                             Failure* failureCode) {
  const std::int32_t maxLength =
      name == "_id" ? kTLMDataTypeUserIDMaxValueLength : kTLMDataTypeUserAttributeMaxValueLength;
  return isValidValue(value, 1, maxLength, TLMDataTypeItemUserPropertyValue, failureCode);
}

bool TLMDataTypeValidator::isValidScreenParameterValue(const TLMObject& value,
                                                       Failure* failureCode) {
  return isValidString(value, 1, kTLMDataTypePublicEventParameterMaxValueLength,
                       TLMDataTypeItemScreenParameterValue, failureCode);
}

bool TLMDataTypeValidator::isValidConditionalUserPropertyOrigin(const TLMObject& origin,
                                                                Failure* failureCode) {
  return isValidInternalName(origin, kTLMDataTypeEventMaxOriginLength,
                             TLMDataTypeItemConditionalUserPropertyOrigin, failureCode);
}

bool TLMDataTypeValidator::isValidConditionalUserPropertyName(const TLMObject& name,
                                                              Failure* failureCode) {
  return isValidInternalName(name, kTLMDataTypeUserAttributeMaxNameLength,
                             TLMDataTypeItemConditionalUserPropertyName, failureCode);
}

bool TLMDataTypeValidator::isValidConditionalUserPropertyValue(const TLMObject& value,
                                                               Failure* failureCode) {
  return isValidValue(value, 1, kTLMDataTypeUserAttributeMaxValueLength,
                      TLMDataTypeItemConditionalUserPropertyValue, failureCode);
}

bool TLMDataTypeValidator::isValidNumericValue(const TLMObject& value, Failure* failureCode) {
  setFailure(failureCode, TLMValidationFailureNone);
  if (!TLMIsNonNilTLMValue(value, TLMDataTypeItemEventParameterValue, nullptr)) {
    setFailure(failureCode, TLMValidationFailureNotNumeric);
    return false;
  }
  const TLMValue& v = *value.tlmValue();
  if (v.isInt64() || v.isDouble()) return true;
  setFailure(failureCode, TLMValidationFailureNotNumeric);
  log(3, 13011,
      TLMPrependStringTypeName(TLMDataTypeItemEventParameterValue,
                               " must be specified with a numeric type. value"),
      platform::Value(v.description()));
  return false;
}

bool TLMDataTypeValidator::isValidCurrencyCode(const TLMObject& value, Failure* failureCode) {
  setFailure(failureCode, TLMValidationFailureNone);
  if (!TLMIsNonNilTLMValue(value, TLMDataTypeItemEventParameterValue, nullptr)) {
    setFailure(failureCode, TLMValidationFailureInvalidCurrency);
    return false;
  }
  const TLMValue& v = *value.tlmValue();
  const std::string* s = v.stringPtr();
  if (s != nullptr && platform::text::utf16Length(*s) == 3 &&
      allCodePoints(*s, TLMIsLetterCodePoint)) {
    return true;
  }
  setFailure(failureCode, TLMValidationFailureInvalidCurrency);
  log(3, 13012,
      platform::format(TLMPrependStringTypeName(
                           TLMDataTypeItemEventParameterValue,
                           " must contain a %d-letter ISO_4217 currency code. value"),
                       3),
      v.value());
  return false;
}
