// Decides whether a name, an origin or a value may enter the measurement pipeline. Each check
// answers true or false, writes a failure code when asked for one (0 whenever it answers true),
// and logs the first rule that failed to the monitor. Lengths count Unicode code points.
//
// Public names (given by the host app) must start with a letter; internal names (the library's
// own, usually starting with "_") may start with "_" or a digit. Both may hold only letters of any
// script, decimal digits and "_".
#pragma once

#include <cstdint>
#include <string>

#include "measurement/model/TLMObject.h"

inline constexpr std::int32_t kTLMDataTypeEventMaxNameLength = 40;
inline constexpr std::int32_t kTLMDataTypeEventMaxOriginLength = 32;
inline constexpr std::int32_t kTLMDataTypeEventParameterMaxNameLength = 40;
inline constexpr std::int32_t kTLMDataTypeEventParameterMaxCount = 25;
inline constexpr std::int32_t kTLMDataTypePublicEventParameterMaxValueLength = 100;
inline constexpr std::int32_t kTLMDataTypeInternalEventParameterMaxValueLength = 256;
inline constexpr std::int32_t kTLMDataTypeUserAttributeMaxNameLength = 24;
inline constexpr std::int32_t kTLMDataTypeUserAttributeMaxValueLength = 36;
inline constexpr std::int32_t kTLMDataTypeUserIDMaxValueLength = 256;
inline constexpr std::int64_t kTLMDataTypeMicrosMultiplier = 1000000;

// User property names of lifetime values start with this prefix.
inline constexpr const char* kTLMMeasurementUserAttributeNamePrefixLifetimeValue = "_ltv_";

enum TLMValidationFailure : std::int64_t {
  TLMValidationFailureNone = 0,
  TLMValidationFailureMissing = 1,
  TLMValidationFailureTooLong = 2,
  TLMValidationFailureInvalidCharacters = 3,
  TLMValidationFailureReserved = 4,
  TLMValidationFailureWrongType = 5,
  TLMValidationFailureNotForwarded = 6,
  TLMValidationFailureTooShort = 7,
  TLMValidationFailureNotNumeric = 8,
  TLMValidationFailureInvalidCurrency = 9,
};

enum TLMDataTypeItem : std::int64_t {
  TLMDataTypeItemEventName = 0,
  TLMDataTypeItemEventOrigin = 1,
  TLMDataTypeItemEventParameterName = 2,
  TLMDataTypeItemEventParameterValue = 3,
  TLMDataTypeItemUserPropertyName = 4,
  TLMDataTypeItemUserPropertyValue = 5,
  TLMDataTypeItemScreenParameterValue = 6,
  TLMDataTypeItemConditionalUserPropertyOrigin = 7,
  TLMDataTypeItemConditionalUserPropertyName = 8,
  TLMDataTypeItemConditionalUserPropertyValue = 9,
};

// Public name -> internal name of the library's own events, parameters and user properties, in a
// fixed enumeration order. Built once, then shared.
using TLMNameTable = TLMOrderedMap<std::string>;
const TLMNameTable& TLMInternalEventNames();
const TLMNameTable& TLMInternalParameterNames();
const TLMNameTable& TLMInternalUserPropertyNames();

// True when `object` is a TLMValue; otherwise logs (nil: 13004, other: 13005) and writes code 1
// or 5.
bool TLMIsNonNilTLMValue(const TLMObject& object, TLMDataTypeItem type,
                         TLMValidationFailure* failureCode);
// The kind's display name ("Event name", ...; "Object" for an unknown kind) followed by `text`.
std::string TLMPrependStringTypeName(TLMDataTypeItem type, const std::string& text);

class TLMDataTypeValidator {
 public:
  using Failure = TLMValidationFailure;

  // Building blocks.
  static bool isValidString(const TLMObject& candidate, std::int32_t minLength,
                            std::int32_t maxLength, TLMDataTypeItem type,
                            Failure* failureCode = nullptr);
  static bool isValidInternalName(const TLMObject& name, std::int32_t maxLength,
                                  TLMDataTypeItem type, Failure* failureCode = nullptr);
  static bool isValidPublicName(const TLMObject& name, std::int32_t maxLength,
                                TLMDataTypeItem type, Failure* failureCode = nullptr);
  static bool isValidValue(const TLMObject& value, std::int32_t minLength, std::int32_t maxLength,
                           TLMDataTypeItem type, Failure* failureCode = nullptr);
  static bool hasReservedPrefixes(const std::string& name);

  // Checks per item.
  static bool isValidPublicEventName(const TLMObject& name, Failure* failureCode = nullptr);
  static bool isValidPublicEventParameterName(const TLMObject& name, Failure* failureCode = nullptr);
  static bool isValidPublicEventParameterValue(const TLMObject& value, Failure* failureCode = nullptr);
  static bool isValidInternalEventOrigin(const TLMObject& origin, Failure* failureCode = nullptr);
  // An origin ending in "+zep" whose part before the suffix is a valid internal origin. The
  // origin itself is not changed: a caller that accepts it stores it whole.
  static bool isValidForwardedEventOrigin(const TLMObject& origin, Failure* failureCode = nullptr);
  static bool isValidInternalEventName(const TLMObject& name, Failure* failureCode = nullptr);
  static bool isValidInternalEventParameterName(const TLMObject& name,
                                                Failure* failureCode = nullptr);
  static bool isValidInternalEventParameterValue(const TLMObject& value,
                                                 Failure* failureCode = nullptr);
  static bool isValidPublicUserAttributeName(const TLMObject& name, Failure* failureCode = nullptr);
  static bool isValidPublicUserAttributeValue(const TLMObject& value,
                                              Failure* failureCode = nullptr);
  static bool isValidInternalUserAttributeName(const TLMObject& name,
                                               Failure* failureCode = nullptr);
  // Up to 256 code points for the user id property "_id", 36 for any other.
  static bool isValidInternalUserAttributeValue(const TLMObject& value, const std::string& name,
                                                Failure* failureCode = nullptr);
  // A plain string (not a TLMValue) of 1 to 100 code points.
  static bool isValidScreenParameterValue(const TLMObject& value, Failure* failureCode = nullptr);
  static bool isValidConditionalUserPropertyOrigin(const TLMObject& origin,
                                                   Failure* failureCode = nullptr);
  static bool isValidConditionalUserPropertyName(const TLMObject& name,
                                                 Failure* failureCode = nullptr);
  static bool isValidConditionalUserPropertyValue(const TLMObject& value,
                                                  Failure* failureCode = nullptr);
  // A TLMValue of kind int64 or double.
  static bool isValidNumericValue(const TLMObject& value, Failure* failureCode = nullptr);
  // A string TLMValue of exactly 3 UTF-16 units, all letters (any case, any script).
  static bool isValidCurrencyCode(const TLMObject& value, Failure* failureCode = nullptr);
};

// Character classes shared with the rest of the library.
// True when every code point of `s` is a letter (Unicode categories Lu, Ll, Lt, Lm, Lo).
bool TLMIsLetterCodePoint(char32_t c);
// Letters, decimal digits (Nd) and "_".
bool TLMIsPublicNameCodePoint(char32_t c);
