// Whether one audience filter holds for one event or one user property. Every evaluation has
// three outcomes: true, false, or no result (the filter cannot be evaluated; always logged to the
// monitor), which leaves the filter's stored bits unchanged.
//
// Numbers are compared exactly as decimals (64-bit integers and numeric strings) or as doubles
// (double values, equality within two units in the last place). Strings are matched with the
// platform's Unicode case folding and ICU regular expressions (the server's expressions run under
// a time and memory limit; one that runs out leaves its filter unevaluated, and is not run again
// by this process).
//
// Any thread; the only state is the process-wide set of expressions that ran out.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "foundation/Decimal.h"
#include "foundation/RegularExpression.h"
#include "measurement/model/TLMEventAggregates.h"
#include "measurement/model/TLMObject.h"
#include "measurement/model/TLMUserAttribute.h"
#include "measurement/model/TLMValue.h"

class TLMPBEventFilter;
class TLMPBFilter;
class TLMPBNumberFilter;
class TLMPBPropertyFilter;
class TLMPBStringFilter;

// Match types of a string filter.
enum TLMAudienceStringMatchType : std::uint32_t {
  TLMAudienceStringMatchUnknown = 0,
  TLMAudienceStringMatchRegularExpression = 1,
  TLMAudienceStringMatchBeginsWith = 2,
  TLMAudienceStringMatchEndsWith = 3,
  TLMAudienceStringMatchContains = 4,
  TLMAudienceStringMatchExact = 5,
  TLMAudienceStringMatchInList = 6,
};

// Comparison types of a number filter.
enum TLMAudienceComparisonType : std::uint32_t {
  TLMAudienceComparisonUnknown = 0,
  TLMAudienceComparisonLessThan = 1,
  TLMAudienceComparisonGreaterThan = 2,
  TLMAudienceComparisonEqual = 3,
  TLMAudienceComparisonBetween = 4,
};

// The parsed comparison values of one number filter.
struct TLMAudienceComparisonValues {
  std::optional<platform::Decimal> comparisonValue;
  std::optional<platform::Decimal> minComparisonValue;
  std::optional<platform::Decimal> maxComparisonValue;
  bool valid = false;
};

// An event filter on an event: its name, parameters and aggregates. The count filter compares
// the current session's count when `sessionScopedEventAggregatesEnabled` and the filter is
// session scoped, else the lifetime count.
std::optional<bool> TLMAudienceEvaluateEventFilter(const TLMPBEventFilter* filter,
                                                   const std::string& eventName,
                                                   const TLMParameters& parameters,
                                                   const TLMEventAggregates* aggregates,
                                                   bool sessionScopedEventAggregatesEnabled);
// A property filter on a user property (a numeric string property may meet a number filter).
std::optional<bool> TLMAudienceEvaluatePropertyFilter(const TLMPBPropertyFilter* filter,
                                                      const TLMUserAttribute* property);
// One "Filter" on one value, complement applied.
std::optional<bool> TLMAudienceEvaluateFilterWithValue(const TLMPBFilter& filter,
                                                       const TLMValue& value);
std::optional<bool> TLMAudienceEvaluateNumberFilterWithDecimalNumber(
    const TLMPBNumberFilter& filter, const platform::Decimal& value);
std::optional<bool> TLMAudienceEvaluateNumberFilterWithInt64(const TLMPBNumberFilter& filter,
                                                             std::int64_t value);
std::optional<bool> TLMAudienceEvaluateNumberFilterWithDouble(const TLMPBNumberFilter& filter,
                                                              double value);
// Null `value` stands for a missing string.
std::optional<bool> TLMAudienceEvaluateStringFilterWithString(const TLMPBStringFilter& filter,
                                                              const std::string* value);

bool TLMAudienceIsValidNumberFilter(const TLMPBNumberFilter& filter);
bool TLMAudienceIsValidStringFilter(const TLMPBStringFilter& filter);
// For a regular-expression filter also hands out the compiled expression.
bool TLMAudienceInternalIsValidStringFilter(
    const TLMPBStringFilter& filter,
    std::shared_ptr<const platform::RegularExpression>* regularExpression);
