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
// A filter that runs on many events or properties is prepared once: its message is read, its
// comparison texts parsed, its expression compiled and case-folded. Evaluating the prepared form
// gives the same outcome and the same monitor messages as evaluating the message; a filter that
// cannot be used is evaluated through its message again every time, so each evaluation still
// reports why.
//
// Any thread; the only state is the process-wide set of expressions that ran out. A prepared
// filter does not change once made.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

// The comparison values of one valid number filter as doubles.
struct TLMAudienceDoubleComparisonValues {
  double comparisonValue = 0;
  double minComparisonValue = 0;
  double maxComparisonValue = 0;
};

// The same, when every one of them is a whole number within the 64-bit range.
struct TLMAudienceIntegerComparisonValues {
  std::int64_t comparisonValue = 0;
  std::int64_t minComparisonValue = 0;
  std::int64_t maxComparisonValue = 0;
};

struct TLMAudiencePreparedNumberFilter {
  std::shared_ptr<const TLMPBNumberFilter> message;
  std::uint32_t comparisonType = TLMAudienceComparisonUnknown;
  // Set only when the filter is valid and its texts read without complaint.
  std::optional<TLMAudienceComparisonValues> decimals;
  std::optional<TLMAudienceDoubleComparisonValues> doubles;
  std::optional<TLMAudienceIntegerComparisonValues> integers;  // integer values need no decimal
};

struct TLMAudiencePreparedStringFilter {
  std::shared_ptr<const TLMPBStringFilter> message;
  bool valid = false;  // the rest is set only for a valid filter
  std::uint32_t matchType = TLMAudienceStringMatchUnknown;
  bool caseSensitive = false;
  std::string expression;
  std::string foldedExpression;
  std::size_t expressionUTF16Length = 0;
  std::vector<std::string> list;
  std::vector<std::string> foldedList;
  std::vector<std::size_t> listUTF16Lengths;
  std::shared_ptr<const platform::RegularExpression> regularExpression;
  std::size_t exhaustionKey = 0;
};

// One "Filter": a number or a string filter on one value.
struct TLMAudiencePreparedFilter {
  std::shared_ptr<const TLMPBFilter> message;
  std::optional<std::string> parameterName;
  bool hasNumberFilter = false;
  bool hasStringFilter = false;
  bool complement = false;
  std::optional<TLMAudiencePreparedNumberFilter> numberFilter;  // when present and readable
  std::optional<TLMAudiencePreparedStringFilter> stringFilter;
};

struct TLMAudiencePreparedEventFilter {
  std::shared_ptr<const TLMPBEventFilter> message;
  std::optional<std::string> eventName;
  bool hasCountFilter = false;
  bool sessionScoped = false;
  bool dynamic = false;
  bool sequence = false;
  std::optional<TLMAudiencePreparedNumberFilter> countFilter;  // when present and readable
  std::vector<TLMAudiencePreparedFilter> parameterFilters;
};

struct TLMAudiencePreparedPropertyFilter {
  std::shared_ptr<const TLMPBPropertyFilter> message;
  std::optional<std::string> propertyName;
  bool dynamic = false;
  bool sequence = false;
  std::optional<TLMAudiencePreparedFilter> filter;  // when present and readable
};

// Preparing never logs; the message is kept (not copied) by the prepared form.
TLMAudiencePreparedEventFilter TLMAudiencePrepareEventFilter(
    std::shared_ptr<const TLMPBEventFilter> filter);
TLMAudiencePreparedPropertyFilter TLMAudiencePreparePropertyFilter(
    std::shared_ptr<const TLMPBPropertyFilter> filter);
TLMAudiencePreparedFilter TLMAudiencePrepareFilter(std::shared_ptr<const TLMPBFilter> filter);

std::optional<bool> TLMAudienceEvaluatePreparedEventFilter(
    const TLMAudiencePreparedEventFilter& filter, const std::string& eventName,
    const TLMParameters& parameters, const TLMEventAggregates* aggregates,
    bool sessionScopedEventAggregatesEnabled);
std::optional<bool> TLMAudienceEvaluatePreparedPropertyFilter(
    const TLMAudiencePreparedPropertyFilter& filter, const TLMUserAttribute* property);
std::optional<bool> TLMAudienceEvaluatePreparedFilterWithValue(
    const TLMAudiencePreparedFilter& filter, const TLMValue& value);

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
