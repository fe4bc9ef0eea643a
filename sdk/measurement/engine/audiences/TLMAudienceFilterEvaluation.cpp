#include "measurement/engine/audiences/TLMAudienceFilterEvaluation.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <mutex>
#include <unordered_set>

#include "foundation/Text.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMUtil.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

namespace {

using platform::Value;

void logError(std::int64_t code, const std::string& message) {
  TLMMeasurement::monitor()->logWithLevel(1, code, message);
}
void logError(std::int64_t code, const std::string& message, const Value& context) {
  TLMMeasurement::monitor()->logWithLevel(1, code, message, context);
}
void logError(std::int64_t code, const std::string& message, const Value& c1, const Value& c2) {
  TLMMeasurement::monitor()->logWithLevel(1, code, message, c1, c2);
}

// The expressions come from the collection server: a match that backtracks without end (such as
// "(a+)+$" on a long value) gives up after 20 of ICU's time steps (under 10 ms) or 1 MB of
// backtracking memory, and leaves its filter unevaluated.
constexpr platform::RegularExpression::Limits kServerExpressionLimits{20, 1 << 20};

// Expressions that once ran out are not run again by this process, so a configuration full of
// them costs each one its limit once, not once per event. Kept as hashes of the expression and
// its case option, at most 100,000 (a few megabytes); made once and never destroyed, as the
// worker queue may still evaluate while the process exits.
class ExhaustedExpressions {
 public:
  static std::size_t key(const std::string& expression, bool caseSensitive) {
    return std::hash<std::string>{}((caseSensitive ? "1" : "0") + expression);
  }
  bool contains(std::size_t key) {
    std::lock_guard<std::mutex> lock(mutex_);
    return keys_.contains(key);
  }
  void insert(std::size_t key) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (keys_.size() < 100000) keys_.insert(key);
  }

 private:
  std::mutex mutex_;
  std::unordered_set<std::size_t> keys_;
};

ExhaustedExpressions& exhaustedExpressions() {
  static auto* expressions = new ExhaustedExpressions;
  return *expressions;
}

// A message as a monitor context: its encoding.
Value describe(const NANOMessageBase& message) {
  auto bytes = message.protoBuffer();
  return bytes ? Value::data(bytes->data(), bytes->size()) : Value();
}

std::uint32_t comparisonType(const TLMPBNumberFilter& filter) {
  return static_cast<std::uint32_t>(NANOGetInt32(filter, TLMPBNumberFilterSlot::comparison_type));
}

std::uint32_t matchType(const TLMPBStringFilter& filter) {
  return static_cast<std::uint32_t>(NANOGetInt32(filter, TLMPBStringFilterSlot::match_type));
}

// A bool field that is present and true.

bool isNumericField(const TLMPBNumberFilter& filter, std::int32_t slot) {
  if (!NANOHasField(filter, slot)) return false;
  auto text = NANOGetString(filter, slot);
  return text && TLMIsValidNumericString(*text);
}

// The comparison texts read as the server writes them: plain decimal text with an optional sign.
std::optional<double> readDouble(const TLMPBNumberFilter& filter, std::int32_t slot) {
  if (!NANOHasField(filter, slot)) return std::nullopt;
  auto text = NANOGetString(filter, slot);
  if (!text || text->empty()) return std::nullopt;
  return platform::text::parseDouble(*text);
}

// The comparison values of a filter of a known comparison type as doubles; nothing when one is
// missing or unreadable.
std::optional<TLMAudienceDoubleComparisonValues> doubleComparisonValues(const TLMPBNumberFilter& filter,
                                                                        std::uint32_t type) {
  TLMAudienceDoubleComparisonValues values;
  if (type == TLMAudienceComparisonBetween) {
    auto minimum = readDouble(filter, TLMPBNumberFilterSlot::min_comparison_value);
    auto maximum = readDouble(filter, TLMPBNumberFilterSlot::max_comparison_value);
    if (!minimum || !maximum) return std::nullopt;
    values.minComparisonValue = *minimum;
    values.maxComparisonValue = *maximum;
  } else {
    auto comparison = readDouble(filter, TLMPBNumberFilterSlot::comparison_value);
    if (!comparison) return std::nullopt;
    values.comparisonValue = *comparison;
  }
  return values;
}

std::optional<platform::Decimal> readDecimal(const TLMPBNumberFilter& filter, std::int32_t slot) {
  auto text = NANOGetString(filter, slot);
  if (!text) return std::nullopt;
  return TLMParseNumericValueFromString(*text);
}

TLMAudienceComparisonValues comparisonValues(const TLMPBNumberFilter& filter) {
  TLMAudienceComparisonValues values;
  const auto type = comparisonType(filter);
  if (type >= TLMAudienceComparisonLessThan && type <= TLMAudienceComparisonEqual) {
    if (!NANOHasField(filter, TLMPBNumberFilterSlot::comparison_value)) {
      logError(8001, "Number filter has no comparison value");
      return values;
    }
    values.comparisonValue = readDecimal(filter, TLMPBNumberFilterSlot::comparison_value);
    if (!values.comparisonValue) {
      logError(8002, "Number filter comparison value is not a number");
      return values;
    }
  } else if (type == TLMAudienceComparisonBetween) {
    if (!NANOHasField(filter, TLMPBNumberFilterSlot::min_comparison_value) ||
        !NANOHasField(filter, TLMPBNumberFilterSlot::max_comparison_value)) {
      logError(8003, "Number filter does not have both min and max comparison values");
      return values;
    }
    values.minComparisonValue = readDecimal(filter, TLMPBNumberFilterSlot::min_comparison_value);
    if (!values.minComparisonValue) {
      logError(8004, "Number filter min comparison value is not a number");
      return values;
    }
    values.maxComparisonValue = readDecimal(filter, TLMPBNumberFilterSlot::max_comparison_value);
    if (!values.maxComparisonValue) {
      logError(8005, "Number filter max comparison value is not a number");
      return values;
    }
  } else {
    logError(8000, "Number filter has unknown comparison type");
    return values;
  }
  values.valid = true;
  return values;
}

// A shared pointer to a message the caller keeps alive for the call; it owns nothing.
template <class T>
std::shared_ptr<const T> borrowed(const T& message) {
  return std::shared_ptr<const T>(std::shared_ptr<const T>(), &message);
}

}  // namespace

// MARK: - Numbers

namespace {

// The checks of a valid number filter, each failure logged when `report`.
bool validNumberFilter(const TLMPBNumberFilter& filter, bool report) {
  if (!NANOHasField(filter, TLMPBNumberFilterSlot::comparison_type)) {
    if (report) logError(8006, "Number filter has no comparison type");
    return false;
  }
  const auto type = comparisonType(filter);
  if (type == TLMAudienceComparisonUnknown) {
    if (report) logError(8007, "Number filter has unknown comparison type");
    return false;
  }
  if (type <= TLMAudienceComparisonEqual) {
    if (!isNumericField(filter, TLMPBNumberFilterSlot::comparison_value)) {
      if (report) {
        logError(8008, "Numeric filter does not have a valid comparison value. Filter",
                 describe(filter));
      }
      return false;
    }
    return true;
  }
  if (type == TLMAudienceComparisonBetween) {
    bool valid = true;
    if (!isNumericField(filter, TLMPBNumberFilterSlot::min_comparison_value)) {
      if (!report) return false;
      logError(8009, "Numeric filter does not have a valid min comparison value. Filter",
               describe(filter));
      valid = false;
    }
    if (!isNumericField(filter, TLMPBNumberFilterSlot::max_comparison_value)) {
      if (!report) return false;
      logError(8010, "Numeric filter does not have a valid max comparison value. Filter",
               describe(filter));
      valid = false;
    }
    return valid;
  }
  if (report) logError(8011, "Number filter has a real unknown comparison type");
  return false;
}

std::optional<bool> compareDecimal(std::uint32_t type, const TLMAudienceComparisonValues& values,
                                   const platform::Decimal& value) {
  switch (type) {
    case TLMAudienceComparisonLessThan:
      return value < *values.comparisonValue;
    case TLMAudienceComparisonGreaterThan:
      return value > *values.comparisonValue;
    case TLMAudienceComparisonEqual:
      return value == *values.comparisonValue;
    case TLMAudienceComparisonBetween:
      return *values.minComparisonValue <= value && value <= *values.maxComparisonValue;
    default:
      logError(
          8016,
          "Validated decimal number for number filter has unknown comparison type. Audience filter will not be evaluated");
      return std::nullopt;
  }
}

// `type` is one of less, greater, equal and between.
bool compareDouble(std::uint32_t type, const TLMAudienceDoubleComparisonValues& values,
                   double value) {
  switch (type) {
    case TLMAudienceComparisonLessThan:
      return value < values.comparisonValue;
    case TLMAudienceComparisonGreaterThan:
      return value > values.comparisonValue;
    case TLMAudienceComparisonBetween:
      return values.minComparisonValue <= value && value <= values.maxComparisonValue;
    default: {
      // Equal within two units in the last place, both ends open.
      constexpr double inf = std::numeric_limits<double>::infinity();
      const double lower =
          std::nextafter(std::nextafter(values.comparisonValue, -inf), -inf);
      const double upper = std::nextafter(std::nextafter(values.comparisonValue, inf), inf);
      return lower < value && value < upper;
    }
  }
}

// `type` is one of less, greater, equal and between.
bool compareInteger(std::uint32_t type, const TLMAudienceIntegerComparisonValues& values,
                    std::int64_t value) {
  switch (type) {
    case TLMAudienceComparisonLessThan:
      return value < values.comparisonValue;
    case TLMAudienceComparisonGreaterThan:
      return value > values.comparisonValue;
    case TLMAudienceComparisonEqual:
      return value == values.comparisonValue;
    default:
      return values.minComparisonValue <= value && value <= values.maxComparisonValue;
  }
}

// A decimal that is a whole number within the 64-bit range, as that number.
std::optional<std::int64_t> exactInteger(const std::optional<platform::Decimal>& decimal) {
  if (!decimal) return std::nullopt;
  auto integer = decimal->toInt64();
  if (!integer || platform::Decimal(*integer) != *decimal) return std::nullopt;
  return integer;
}

std::optional<platform::Decimal> quietDecimal(const TLMPBNumberFilter& filter, std::int32_t slot) {
  auto text = NANOGetString(filter, slot);
  if (!text) return std::nullopt;
  return TLMNumericValueFromString(*text);
}

TLMAudiencePreparedNumberFilter prepareNumberFilter(std::shared_ptr<const TLMPBNumberFilter> filter) {
  TLMAudiencePreparedNumberFilter prepared;
  prepared.message = std::move(filter);
  const TLMPBNumberFilter& message = *prepared.message;
  prepared.comparisonType = comparisonType(message);
  if (!validNumberFilter(message, false)) return prepared;
  TLMAudienceComparisonValues decimals;
  if (prepared.comparisonType == TLMAudienceComparisonBetween) {
    decimals.minComparisonValue = quietDecimal(message, TLMPBNumberFilterSlot::min_comparison_value);
    decimals.maxComparisonValue = quietDecimal(message, TLMPBNumberFilterSlot::max_comparison_value);
    decimals.valid = decimals.minComparisonValue && decimals.maxComparisonValue;
  } else {
    decimals.comparisonValue = quietDecimal(message, TLMPBNumberFilterSlot::comparison_value);
    decimals.valid = decimals.comparisonValue.has_value();
  }
  if (decimals.valid) {
    TLMAudienceIntegerComparisonValues integers;
    bool whole = false;
    if (prepared.comparisonType == TLMAudienceComparisonBetween) {
      auto minimum = exactInteger(decimals.minComparisonValue);
      auto maximum = exactInteger(decimals.maxComparisonValue);
      if (minimum && maximum) {
        integers.minComparisonValue = *minimum;
        integers.maxComparisonValue = *maximum;
        whole = true;
      }
    } else if (auto comparison = exactInteger(decimals.comparisonValue)) {
      integers.comparisonValue = *comparison;
      whole = true;
    }
    if (whole) prepared.integers = integers;
    prepared.decimals = std::move(decimals);
  }
  prepared.doubles = doubleComparisonValues(message, prepared.comparisonType);
  return prepared;
}

std::optional<bool> evaluatePreparedNumber(const TLMAudiencePreparedNumberFilter& filter,
                                           const platform::Decimal& value) {
  if (!filter.decimals) return TLMAudienceEvaluateNumberFilterWithDecimalNumber(*filter.message, value);
  return compareDecimal(filter.comparisonType, *filter.decimals, value);
}

std::optional<bool> evaluatePreparedNumber(const TLMAudiencePreparedNumberFilter& filter,
                                           std::int64_t value) {
  if (!filter.integers) return evaluatePreparedNumber(filter, platform::Decimal(value));
  return compareInteger(filter.comparisonType, *filter.integers, value);
}

std::optional<bool> evaluatePreparedNumber(const TLMAudiencePreparedNumberFilter& filter,
                                           double value) {
  if (!filter.doubles) return TLMAudienceEvaluateNumberFilterWithDouble(*filter.message, value);
  return compareDouble(filter.comparisonType, *filter.doubles, value);
}

}  // namespace

bool TLMAudienceIsValidNumberFilter(const TLMPBNumberFilter& filter) {
  return validNumberFilter(filter, true);
}

std::optional<bool> TLMAudienceEvaluateNumberFilterWithDecimalNumber(
    const TLMPBNumberFilter& filter, const platform::Decimal& value) {
  if (!TLMAudienceIsValidNumberFilter(filter)) return std::nullopt;
  const TLMAudienceComparisonValues values = comparisonValues(filter);
  if (!values.valid) {
    logError(
        8015,
        "Parsed decimal number comparison values are not valid. Audience filter will not be evaluated. Filter",
        describe(filter));
    return std::nullopt;
  }
  return compareDecimal(comparisonType(filter), values, value);
}

std::optional<bool> TLMAudienceEvaluateNumberFilterWithInt64(const TLMPBNumberFilter& filter,
                                                             std::int64_t value) {
  return TLMAudienceEvaluateNumberFilterWithDecimalNumber(filter, platform::Decimal(value));
}

std::optional<bool> TLMAudienceEvaluateNumberFilterWithDouble(const TLMPBNumberFilter& filter,
                                                              double value) {
  if (!TLMAudienceIsValidNumberFilter(filter)) return std::nullopt;
  const auto type = comparisonType(filter);
  auto invalid = [] {
    logError(
        8012,
        "Number filter is invalid, the comparison filter is not valid. Audience filter will not be evaluated");
    return std::nullopt;
  };
  if (type != TLMAudienceComparisonBetween &&
      (type < TLMAudienceComparisonLessThan || type > TLMAudienceComparisonEqual)) {
    logError(
        8013,
        "Validated double number filter has unknown comparison type. Audience filter will not be evaluated");
    return std::nullopt;
  }
  const auto values = doubleComparisonValues(filter, type);
  if (!values) return invalid();
  return compareDouble(type, *values, value);
}

// MARK: - Strings

namespace {

// The checks of a valid string filter, each failure logged when `report`; for a regular
// expression also hands out the compiled expression.
bool validStringFilter(const TLMPBStringFilter& filter,
                       std::shared_ptr<const platform::RegularExpression>* regularExpression,
                       bool report) {
  if (!NANOHasField(filter, TLMPBStringFilterSlot::match_type)) {
    if (report) logError(9000, "String filter has no match type");
    return false;
  }
  const auto type = matchType(filter);
  if (type == TLMAudienceStringMatchUnknown) {
    if (report) logError(9001, "String filter has unknown match type");
    return false;
  }
  if (type == TLMAudienceStringMatchInList) {
    auto list = NANOGetArray(filter, TLMPBStringFilterSlot::expression_list);
    if (!list || list->empty()) {
      if (report) logError(9003, "String filter has no expression list");
      return false;
    }
    return true;
  }
  auto expression = NANOHasField(filter, TLMPBStringFilterSlot::expression)
                        ? NANOGetString(filter, TLMPBStringFilterSlot::expression)
                        : std::nullopt;
  if (!expression) {
    if (report) logError(9002, "String filter has no expression");
    return false;
  }
  if (type == TLMAudienceStringMatchRegularExpression) {
    const bool caseSensitive = NANOIsTrue(filter, TLMPBStringFilterSlot::case_sensitive);
    platform::Error error;
    auto compiled = platform::RegularExpression::make(
        *expression,
        caseSensitive ? platform::RegularExpression::None
                      : platform::RegularExpression::CaseInsensitive,
        &error);
    if (!compiled) {
      if (report) {
        logError(9004, "Unable to parse regular expression", describe(filter),
                 Value(error.description));
      }
      return false;
    }
    if (regularExpression != nullptr) *regularExpression = std::move(compiled);
  }
  return true;
}

// The matching texts of a filter that passed the checks, with the compiled expression.
TLMAudiencePreparedStringFilter readValidStringFilter(
    std::shared_ptr<const TLMPBStringFilter> filter,
    std::shared_ptr<const platform::RegularExpression> compiled) {
  TLMAudiencePreparedStringFilter prepared;
  prepared.message = std::move(filter);
  const TLMPBStringFilter& message = *prepared.message;
  prepared.valid = true;
  prepared.matchType = matchType(message);
  prepared.caseSensitive = NANOIsTrue(message, TLMPBStringFilterSlot::case_sensitive);
  prepared.expression = NANOGetString(message, TLMPBStringFilterSlot::expression).value_or("");
  if (!prepared.caseSensitive) {
    prepared.foldedExpression = platform::text::foldCase(prepared.expression);
    prepared.expressionUTF16Length = platform::text::utf16Length(prepared.expression);
  }
  if (prepared.matchType == TLMAudienceStringMatchInList) {
    for (const Value& entry : NANOGetArray(message, TLMPBStringFilterSlot::expression_list)
                                  .value_or(platform::Array{})) {
      const std::string* text = entry.stringPtr();
      if (text == nullptr) continue;
      prepared.list.push_back(*text);
      if (!prepared.caseSensitive) {
        prepared.foldedList.push_back(platform::text::foldCase(*text));
        prepared.listUTF16Lengths.push_back(platform::text::utf16Length(*text));
      }
    }
  }
  if (prepared.matchType == TLMAudienceStringMatchRegularExpression) {
    prepared.regularExpression = std::move(compiled);
    prepared.exhaustionKey = ExhaustedExpressions::key(prepared.expression, prepared.caseSensitive);
  }
  return prepared;
}

TLMAudiencePreparedStringFilter prepareStringFilter(std::shared_ptr<const TLMPBStringFilter> filter) {
  std::shared_ptr<const platform::RegularExpression> compiled;
  if (!validStringFilter(*filter, &compiled, false)) {
    TLMAudiencePreparedStringFilter prepared;
    prepared.message = std::move(filter);
    return prepared;
  }
  return readValidStringFilter(std::move(filter), std::move(compiled));
}

// Case-insensitive equality compares the case-folded texts; an empty expression matches nothing.
bool foldedEquals(const std::string& foldedValue, std::size_t valueLength,
                  const std::string& expression, const std::string& foldedExpression,
                  std::size_t expressionLength) {
  return !expression.empty() && valueLength == expressionLength && foldedValue == foldedExpression;
}

std::optional<bool> matchValidStringFilter(const TLMAudiencePreparedStringFilter& filter,
                                           const std::string& value) {
  const bool caseSensitive = filter.caseSensitive;
  const std::string& expression = filter.expression;
  switch (filter.matchType) {
    case TLMAudienceStringMatchRegularExpression: {
      if (!filter.regularExpression) {
        logError(9008, "Parsed regex is nil. Audience filter will not be evaluated");
        return std::nullopt;
      }
      platform::Error error;
      std::optional<bool> found;
      if (exhaustedExpressions().contains(filter.exhaustionKey)) {
        error.description = "The expression ran out of its limits before.";
      } else {
        found = filter.regularExpression->search(value, kServerExpressionLimits, &error);
        if (!found) exhaustedExpressions().insert(filter.exhaustionKey);
      }
      if (!found) {
        logError(9009, "Regular expression exceeded its limits. Audience filter will not be evaluated",
                 describe(*filter.message), Value(error.description));
      }
      return found;
    }
    case TLMAudienceStringMatchBeginsWith:
      if (expression.empty()) return false;
      return caseSensitive ? platform::text::hasPrefix(value, expression)
                           : platform::text::hasPrefix(platform::text::foldCase(value),
                                                       filter.foldedExpression);
    case TLMAudienceStringMatchEndsWith:
      if (expression.empty()) return false;
      return caseSensitive ? platform::text::hasSuffix(value, expression)
                           : platform::text::hasSuffix(platform::text::foldCase(value),
                                                       filter.foldedExpression);
    case TLMAudienceStringMatchContains:
      if (expression.empty()) return false;
      return caseSensitive ? value.find(expression) != std::string::npos
                           : platform::text::foldCase(value).find(filter.foldedExpression) !=
                                 std::string::npos;
    case TLMAudienceStringMatchExact:
      if (caseSensitive) return value == expression;
      if (expression.empty() ||
          platform::text::utf16Length(value) != filter.expressionUTF16Length) {
        return false;
      }
      return platform::text::foldCase(value) == filter.foldedExpression;
    case TLMAudienceStringMatchInList: {
      if (caseSensitive) {
        return std::find(filter.list.begin(), filter.list.end(), value) != filter.list.end();
      }
      const std::string folded = platform::text::foldCase(value);
      const std::size_t length = platform::text::utf16Length(value);
      for (std::size_t i = 0; i < filter.list.size(); ++i) {
        if (foldedEquals(folded, length, filter.list[i], filter.foldedList[i],
                         filter.listUTF16Lengths[i])) {
          return true;
        }
      }
      return false;
    }
    case TLMAudienceStringMatchUnknown:
      logError(
          9007,
          "Validated string filter has unknown comparison type. Audience filter will not be evaluated");
      return std::nullopt;
    default:
      return false;
  }
}

std::optional<bool> evaluatePreparedString(const TLMAudiencePreparedStringFilter& filter,
                                           const std::string* value) {
  if (!filter.valid) return TLMAudienceEvaluateStringFilterWithString(*filter.message, value);
  if (value == nullptr) {
    logError(9005, "Evaluation string is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  return matchValidStringFilter(filter, *value);
}

}  // namespace

bool TLMAudienceInternalIsValidStringFilter(
    const TLMPBStringFilter& filter,
    std::shared_ptr<const platform::RegularExpression>* regularExpression) {
  return validStringFilter(filter, regularExpression, true);
}

bool TLMAudienceIsValidStringFilter(const TLMPBStringFilter& filter) {
  return TLMAudienceInternalIsValidStringFilter(filter, nullptr);
}

std::optional<bool> TLMAudienceEvaluateStringFilterWithString(const TLMPBStringFilter& filter,
                                                              const std::string* value) {
  if (value == nullptr) {
    logError(9005, "Evaluation string is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  std::shared_ptr<const platform::RegularExpression> compiled;
  if (!TLMAudienceInternalIsValidStringFilter(filter, &compiled)) {
    logError(9006, "String filter is invalid. Audience filter will not be evaluated");
    return std::nullopt;
  }
  return matchValidStringFilter(readValidStringFilter(borrowed(filter), std::move(compiled)),
                                *value);
}

// MARK: - Preparing

TLMAudiencePreparedFilter TLMAudiencePrepareFilter(std::shared_ptr<const TLMPBFilter> filter) {
  TLMAudiencePreparedFilter prepared;
  prepared.message = std::move(filter);
  const TLMPBFilter& message = *prepared.message;
  prepared.parameterName = NANOGetString(message, TLMPBFilterSlot::param_name);
  prepared.hasNumberFilter = NANOHasField(message, TLMPBFilterSlot::number_filter);
  prepared.hasStringFilter = NANOHasField(message, TLMPBFilterSlot::string_filter);
  prepared.complement = NANOIsTrue(message, TLMPBFilterSlot::complement);
  if (prepared.hasNumberFilter) {
    if (auto number = NANOGetMessage<TLMPBNumberFilter>(message, TLMPBFilterSlot::number_filter)) {
      prepared.numberFilter = prepareNumberFilter(std::move(number));
    }
  } else if (prepared.hasStringFilter) {
    if (auto string = NANOGetMessage<TLMPBStringFilter>(message, TLMPBFilterSlot::string_filter)) {
      prepared.stringFilter = prepareStringFilter(std::move(string));
    }
  }
  return prepared;
}

TLMAudiencePreparedEventFilter TLMAudiencePrepareEventFilter(
    std::shared_ptr<const TLMPBEventFilter> filter) {
  TLMAudiencePreparedEventFilter prepared;
  prepared.message = std::move(filter);
  const TLMPBEventFilter& message = *prepared.message;
  prepared.eventName = NANOGetString(message, TLMPBEventFilterSlot::event_name);
  prepared.hasCountFilter = NANOHasField(message, TLMPBEventFilterSlot::event_count_filter);
  prepared.sessionScoped = NANOIsTrue(message, TLMPBEventFilterSlot::session_scoped);
  prepared.dynamic = NANOIsTrue(message, TLMPBEventFilterSlot::dynamic);
  prepared.sequence = NANOIsTrue(message, TLMPBEventFilterSlot::sequence);
  if (prepared.hasCountFilter) {
    if (auto count =
            NANOGetMessage<TLMPBNumberFilter>(message, TLMPBEventFilterSlot::event_count_filter)) {
      prepared.countFilter = prepareNumberFilter(std::move(count));
    }
  }
  for (auto& parameterFilter : NANOGetArray<TLMPBFilter>(message, TLMPBEventFilterSlot::filters)
                                   .value_or(std::vector<std::shared_ptr<TLMPBFilter>>{})) {
    prepared.parameterFilters.push_back(TLMAudiencePrepareFilter(std::move(parameterFilter)));
  }
  return prepared;
}

TLMAudiencePreparedPropertyFilter TLMAudiencePreparePropertyFilter(
    std::shared_ptr<const TLMPBPropertyFilter> filter) {
  TLMAudiencePreparedPropertyFilter prepared;
  prepared.message = std::move(filter);
  const TLMPBPropertyFilter& message = *prepared.message;
  prepared.propertyName = NANOGetString(message, TLMPBPropertyFilterSlot::property_name);
  prepared.dynamic = NANOIsTrue(message, TLMPBPropertyFilterSlot::dynamic);
  prepared.sequence = NANOIsTrue(message, TLMPBPropertyFilterSlot::sequence);
  if (NANOHasField(message, TLMPBPropertyFilterSlot::filter)) {
    if (auto valueFilter = NANOGetMessage<TLMPBFilter>(message, TLMPBPropertyFilterSlot::filter)) {
      prepared.filter = TLMAudiencePrepareFilter(std::move(valueFilter));
    }
  }
  return prepared;
}

// MARK: - Events and properties

std::optional<bool> TLMAudienceEvaluateEventFilter(const TLMPBEventFilter* filter,
                                                   const std::string& eventName,
                                                   const TLMParameters& parameters,
                                                   const TLMEventAggregates* aggregates,
                                                   bool sessionScopedEventAggregatesEnabled) {
  if (filter == nullptr) {
    logError(7004, "Event filter is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  return TLMAudienceEvaluatePreparedEventFilter(TLMAudiencePrepareEventFilter(borrowed(*filter)),
                                                eventName, parameters, aggregates,
                                                sessionScopedEventAggregatesEnabled);
}

std::optional<bool> TLMAudienceEvaluatePreparedEventFilter(
    const TLMAudiencePreparedEventFilter& filter, const std::string& eventName,
    const TLMParameters& parameters, const TLMEventAggregates* aggregates,
    bool sessionScopedEventAggregatesEnabled) {
  if (eventName.empty()) {
    logError(7005, "Event name is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  if (!filter.eventName || *filter.eventName != eventName) {
    logError(7006,
             "Event filter name does not match event name. Audience filter will not be evaluated",
             Value(filter.eventName.value_or("")), Value(eventName));
    return std::nullopt;
  }
  if (!filter.hasCountFilter && filter.parameterFilters.empty()) return true;

  if (filter.hasCountFilter) {
    if (aggregates == nullptr || aggregates->name() != eventName) {
      logError(
          7007,
          "Event aggregates name does not match event name. Audience filter will not be evaluated",
          Value(aggregates ? aggregates->name() : std::string()), Value(eventName));
      return std::nullopt;
    }
    const bool sessionScoped = filter.sessionScoped && sessionScopedEventAggregatesEnabled;
    const std::int64_t count =
        sessionScoped ? aggregates->currentSessionCount() : aggregates->lifetimeCount();
    std::optional<bool> outcome;
    if (filter.countFilter) {
      outcome = evaluatePreparedNumber(*filter.countFilter, count);
    }
    if (outcome != true) return outcome;
  }

  for (const TLMAudiencePreparedFilter& parameterFilter : filter.parameterFilters) {
    const auto& name = parameterFilter.parameterName;
    if (!name || name->empty()) {
      logError(7008,
               "Event filter does not have parameter name. Audience filter will not be evaluated");
      return std::nullopt;
    }
    const TLMValue* value = parameters.find(*name);
    if (value == nullptr) {
      TLMMeasurement::monitor()->logWithLevel(
          7, 7009,
          "Event does not have parameter required by filter. Audience filter will not be evaluated",
          Value(*name));
      return std::nullopt;
    }
    if (value->isString() && !parameterFilter.hasStringFilter) {
      TLMMeasurement::monitor()->logWithLevel(
          1, 7010,
          "Event param is a string and the filter does not have a string filter. Audience filter "
          "will not be evaluated. Event name, event params, filter",
          Value(eventName), Value(*name), describe(*parameterFilter.message));
      return std::nullopt;
    }
    auto outcome = TLMAudienceEvaluatePreparedFilterWithValue(parameterFilter, *value);
    if (outcome != true) return outcome;
  }
  return true;
}

std::optional<bool> TLMAudienceEvaluatePropertyFilter(const TLMPBPropertyFilter* filter,
                                                      const TLMUserAttribute* property) {
  if (filter == nullptr) {
    logError(7011, "Property filter is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  return TLMAudienceEvaluatePreparedPropertyFilter(
      TLMAudiencePreparePropertyFilter(borrowed(*filter)), property);
}

std::optional<bool> TLMAudienceEvaluatePreparedPropertyFilter(
    const TLMAudiencePreparedPropertyFilter& filter, const TLMUserAttribute* property) {
  if (property == nullptr) {
    logError(7012, "User property is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  if (!filter.propertyName || *filter.propertyName != property->name()) {
    logError(
        7013,
        "User property name does not match property filter name. Audience filter will not be evaluated",
        Value(filter.propertyName.value_or("")), Value(property->name()));
    return std::nullopt;
  }
  if (!filter.filter) {
    logError(7014, "Property filter does not have filter. Audience filter will not be evaluated");
    return std::nullopt;
  }
  const TLMValue& value = property->value();
  if (!value.isString() && !value.isInt64() && !value.isDouble()) {
    logError(7015,
             "Unknown user property type. Audience filter will not be evaluated. Property Name",
             Value(property->name()));
    return std::nullopt;
  }
  return TLMAudienceEvaluatePreparedFilterWithValue(*filter.filter, value);
}

std::optional<bool> TLMAudienceEvaluateFilterWithValue(const TLMPBFilter& filter,
                                                       const TLMValue& value) {
  return TLMAudienceEvaluatePreparedFilterWithValue(TLMAudiencePrepareFilter(borrowed(filter)),
                                                    value);
}

std::optional<bool> TLMAudienceEvaluatePreparedFilterWithValue(
    const TLMAudiencePreparedFilter& filter, const TLMValue& value) {
  if (!filter.hasNumberFilter && !filter.hasStringFilter) {
    logError(
        7000,
        "Filter has neither a number nor string filter. Audience filter will not be evaluated");
    return std::nullopt;
  }
  std::optional<bool> outcome;
  if (filter.hasNumberFilter) {
    if (!filter.numberFilter) return std::nullopt;
    if (const std::string* text = value.stringPtr()) {
      if (!TLMIsValidNumericString(*text)) {
        logError(
            7001,
            "String value is not a numeric value. Audience filter will not be evaluated. Value, filter",
            Value(*text), describe(*filter.message));
        return std::nullopt;
      }
      auto decimal = TLMParseNumericValueFromString(*text);
      if (!decimal) return std::nullopt;
      outcome = evaluatePreparedNumber(*filter.numberFilter, *decimal);
    } else if (value.isDouble()) {
      const double number = value.doubleValue();
      if (!std::isfinite(number)) {
        logError(7002, "Value is not within double range. Audience filter will not be evaluated");
        return std::nullopt;
      }
      outcome = evaluatePreparedNumber(*filter.numberFilter, number);
    } else if (value.isInt64()) {
      outcome = evaluatePreparedNumber(*filter.numberFilter, value.int64Value());
    } else {
      return std::nullopt;
    }
  } else {
    const std::string* text = value.stringPtr();
    if (text == nullptr) {
      logError(7003, "Value is not a string. Audience filter will not be evaluated");
      return std::nullopt;
    }
    if (!filter.stringFilter) return std::nullopt;
    outcome = evaluatePreparedString(*filter.stringFilter, text);
  }
  if (outcome && filter.complement) outcome = !*outcome;
  return outcome;
}
