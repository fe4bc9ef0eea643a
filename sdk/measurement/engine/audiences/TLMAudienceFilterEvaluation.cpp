#include "measurement/engine/audiences/TLMAudienceFilterEvaluation.h"

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

// Case-insensitive tests compare the case-folded texts; an empty expression matches nothing.
bool foldedEquals(const std::string& value, const std::string& expression) {
  if (expression.empty()) return false;
  return platform::text::utf16Length(value) == platform::text::utf16Length(expression) &&
         platform::text::foldCase(value) == platform::text::foldCase(expression);
}

bool exactMatch(const std::string& value, const std::string& expression, bool caseSensitive) {
  return caseSensitive ? value == expression : foldedEquals(value, expression);
}

}  // namespace

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
  if (eventName.empty()) {
    logError(7005, "Event name is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  const auto filterName = NANOGetString(*filter, TLMPBEventFilterSlot::event_name);
  if (!filterName || *filterName != eventName) {
    logError(7006,
             "Event filter name does not match event name. Audience filter will not be evaluated",
             Value(filterName.value_or("")), Value(eventName));
    return std::nullopt;
  }
  const bool hasCountFilter = NANOHasField(*filter, TLMPBEventFilterSlot::event_count_filter);
  const auto parameterFilters = NANOGetArray<TLMPBFilter>(*filter, TLMPBEventFilterSlot::filters)
                                    .value_or(std::vector<std::shared_ptr<TLMPBFilter>>{});
  if (!hasCountFilter && parameterFilters.empty()) return true;

  if (hasCountFilter) {
    if (aggregates == nullptr || aggregates->name() != eventName) {
      logError(
          7007,
          "Event aggregates name does not match event name. Audience filter will not be evaluated",
          Value(aggregates ? aggregates->name() : std::string()), Value(eventName));
      return std::nullopt;
    }
    const bool sessionScoped = NANOHasField(*filter, TLMPBEventFilterSlot::session_scoped) &&
                               sessionScopedEventAggregatesEnabled &&
                               NANOGetBool(*filter, TLMPBEventFilterSlot::session_scoped);
    const std::int64_t count =
        sessionScoped ? aggregates->currentSessionCount() : aggregates->lifetimeCount();
    auto countFilter =
        NANOGetMessage<TLMPBNumberFilter>(*filter, TLMPBEventFilterSlot::event_count_filter);
    std::optional<bool> outcome;
    if (countFilter) outcome = TLMAudienceEvaluateNumberFilterWithInt64(*countFilter, count);
    if (outcome != true) return outcome;
  }

  for (const auto& parameterFilter : parameterFilters) {
    const auto name = NANOGetString(*parameterFilter, TLMPBFilterSlot::param_name);
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
    if (value->isString() && !NANOHasField(*parameterFilter, TLMPBFilterSlot::string_filter)) {
      TLMMeasurement::monitor()->logWithLevel(
          1, 7010,
          "Event param is a string and the filter does not have a string filter. Audience filter "
          "will not be evaluated. Event name, event params, filter",
          Value(eventName), Value(*name), describe(*parameterFilter));
      return std::nullopt;
    }
    auto outcome = TLMAudienceEvaluateFilterWithValue(*parameterFilter, *value);
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
  if (property == nullptr) {
    logError(7012, "User property is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  const auto name = NANOGetString(*filter, TLMPBPropertyFilterSlot::property_name);
  if (!name || *name != property->name()) {
    logError(
        7013,
        "User property name does not match property filter name. Audience filter will not be evaluated",
        Value(name.value_or("")), Value(property->name()));
    return std::nullopt;
  }
  auto valueFilter = NANOHasField(*filter, TLMPBPropertyFilterSlot::filter)
                         ? NANOGetMessage<TLMPBFilter>(*filter, TLMPBPropertyFilterSlot::filter)
                         : nullptr;
  if (!valueFilter) {
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
  return TLMAudienceEvaluateFilterWithValue(*valueFilter, value);
}

std::optional<bool> TLMAudienceEvaluateFilterWithValue(const TLMPBFilter& filter,
                                                       const TLMValue& value) {
  const bool hasNumber = NANOHasField(filter, TLMPBFilterSlot::number_filter);
  const bool hasString = NANOHasField(filter, TLMPBFilterSlot::string_filter);
  if (!hasNumber && !hasString) {
    logError(
        7000,
        "Filter has neither a number nor string filter. Audience filter will not be evaluated");
    return std::nullopt;
  }
  std::optional<bool> outcome;
  if (hasNumber) {
    auto numberFilter = NANOGetMessage<TLMPBNumberFilter>(filter, TLMPBFilterSlot::number_filter);
    if (!numberFilter) return std::nullopt;
    if (const std::string* text = value.stringPtr()) {
      if (!TLMIsValidNumericString(*text)) {
        logError(
            7001,
            "String value is not a numeric value. Audience filter will not be evaluated. Value, filter",
            Value(*text), describe(filter));
        return std::nullopt;
      }
      auto decimal = TLMParseNumericValueFromString(*text);
      if (!decimal) return std::nullopt;
      outcome = TLMAudienceEvaluateNumberFilterWithDecimalNumber(*numberFilter, *decimal);
    } else if (value.isDouble()) {
      const double number = value.doubleValue();
      if (!std::isfinite(number)) {
        logError(7002, "Value is not within double range. Audience filter will not be evaluated");
        return std::nullopt;
      }
      outcome = TLMAudienceEvaluateNumberFilterWithDouble(*numberFilter, number);
    } else if (value.isInt64()) {
      outcome = TLMAudienceEvaluateNumberFilterWithInt64(*numberFilter, value.int64Value());
    } else {
      return std::nullopt;
    }
  } else {
    const std::string* text = value.stringPtr();
    if (text == nullptr) {
      logError(7003, "Value is not a string. Audience filter will not be evaluated");
      return std::nullopt;
    }
    auto stringFilter = NANOGetMessage<TLMPBStringFilter>(filter, TLMPBFilterSlot::string_filter);
    if (!stringFilter) return std::nullopt;
    outcome = TLMAudienceEvaluateStringFilterWithString(*stringFilter, text);
  }
  if (outcome && NANOHasField(filter, TLMPBFilterSlot::complement) &&
      NANOGetBool(filter, TLMPBFilterSlot::complement)) {
    outcome = !*outcome;
  }
  return outcome;
}

// MARK: - Numbers

bool TLMAudienceIsValidNumberFilter(const TLMPBNumberFilter& filter) {
  if (!NANOHasField(filter, TLMPBNumberFilterSlot::comparison_type)) {
    logError(8006, "Number filter has no comparison type");
    return false;
  }
  const auto type = comparisonType(filter);
  if (type == TLMAudienceComparisonUnknown) {
    logError(8007, "Number filter has unknown comparison type");
    return false;
  }
  if (type <= TLMAudienceComparisonEqual) {
    if (!isNumericField(filter, TLMPBNumberFilterSlot::comparison_value)) {
      logError(8008, "Numeric filter does not have a valid comparison value. Filter",
               describe(filter));
      return false;
    }
    return true;
  }
  if (type == TLMAudienceComparisonBetween) {
    bool valid = true;
    if (!isNumericField(filter, TLMPBNumberFilterSlot::min_comparison_value)) {
      logError(8009, "Numeric filter does not have a valid min comparison value. Filter",
               describe(filter));
      valid = false;
    }
    if (!isNumericField(filter, TLMPBNumberFilterSlot::max_comparison_value)) {
      logError(8010, "Numeric filter does not have a valid max comparison value. Filter",
               describe(filter));
      valid = false;
    }
    return valid;
  }
  logError(8011, "Number filter has a real unknown comparison type");
  return false;
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
  switch (comparisonType(filter)) {
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
  if (type == TLMAudienceComparisonBetween) {
    auto minimum = readDouble(filter, TLMPBNumberFilterSlot::min_comparison_value);
    auto maximum = readDouble(filter, TLMPBNumberFilterSlot::max_comparison_value);
    if (!minimum || !maximum) return invalid();
    return *minimum <= value && value <= *maximum;
  }
  if (type < TLMAudienceComparisonLessThan || type > TLMAudienceComparisonEqual) {
    logError(
        8013,
        "Validated double number filter has unknown comparison type. Audience filter will not be evaluated");
    return std::nullopt;
  }
  auto comparison = readDouble(filter, TLMPBNumberFilterSlot::comparison_value);
  if (!comparison) return invalid();
  switch (type) {
    case TLMAudienceComparisonLessThan:
      return value < *comparison;
    case TLMAudienceComparisonGreaterThan:
      return value > *comparison;
    default: {
      // Equal within two units in the last place, both ends open.
      constexpr double inf = std::numeric_limits<double>::infinity();
      const double lower = std::nextafter(std::nextafter(*comparison, -inf), -inf);
      const double upper = std::nextafter(std::nextafter(*comparison, inf), inf);
      return lower < value && value < upper;
    }
  }
}

// MARK: - Strings

bool TLMAudienceInternalIsValidStringFilter(
    const TLMPBStringFilter& filter,
    std::shared_ptr<const platform::RegularExpression>* regularExpression) {
  if (!NANOHasField(filter, TLMPBStringFilterSlot::match_type)) {
    logError(9000, "String filter has no match type");
    return false;
  }
  const auto type = matchType(filter);
  if (type == TLMAudienceStringMatchUnknown) {
    logError(9001, "String filter has unknown match type");
    return false;
  }
  if (type == TLMAudienceStringMatchInList) {
    auto list = NANOGetArray(filter, TLMPBStringFilterSlot::expression_list);
    if (!list || list->empty()) {
      logError(9003, "String filter has no expression list");
      return false;
    }
    return true;
  }
  auto expression = NANOHasField(filter, TLMPBStringFilterSlot::expression)
                        ? NANOGetString(filter, TLMPBStringFilterSlot::expression)
                        : std::nullopt;
  if (!expression) {
    logError(9002, "String filter has no expression");
    return false;
  }
  if (type == TLMAudienceStringMatchRegularExpression) {
    const bool caseSensitive = NANOHasField(filter, TLMPBStringFilterSlot::case_sensitive) &&
                               NANOGetBool(filter, TLMPBStringFilterSlot::case_sensitive);
    platform::Error error;
    auto compiled = platform::RegularExpression::make(
        *expression,
        caseSensitive ? platform::RegularExpression::None
                      : platform::RegularExpression::CaseInsensitive,
        &error);
    if (!compiled) {
      logError(9004, "Unable to parse regular expression", describe(filter),
               Value(error.description));
      return false;
    }
    if (regularExpression != nullptr) *regularExpression = std::move(compiled);
  }
  return true;
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
  const bool caseSensitive = NANOHasField(filter, TLMPBStringFilterSlot::case_sensitive) &&
                             NANOGetBool(filter, TLMPBStringFilterSlot::case_sensitive);
  const std::string expression =
      NANOGetString(filter, TLMPBStringFilterSlot::expression).value_or("");
  switch (matchType(filter)) {
    case TLMAudienceStringMatchRegularExpression: {
      if (!compiled) {
        logError(9008, "Parsed regex is nil. Audience filter will not be evaluated");
        return std::nullopt;
      }
      const std::size_t key = ExhaustedExpressions::key(expression, caseSensitive);
      platform::Error error;
      std::optional<bool> found;
      if (exhaustedExpressions().contains(key)) {
        error.description = "The expression ran out of its limits before.";
      } else {
        found = compiled->search(*value, kServerExpressionLimits, &error);
        if (!found) exhaustedExpressions().insert(key);
      }
      if (!found) {
        logError(9009, "Regular expression exceeded its limits. Audience filter will not be evaluated",
                 describe(filter), Value(error.description));
      }
      return found;
    }
    case TLMAudienceStringMatchBeginsWith:
      if (expression.empty()) return false;
      return caseSensitive ? platform::text::hasPrefix(*value, expression)
                           : platform::text::hasPrefix(platform::text::foldCase(*value),
                                                       platform::text::foldCase(expression));
    case TLMAudienceStringMatchEndsWith:
      if (expression.empty()) return false;
      return caseSensitive ? platform::text::hasSuffix(*value, expression)
                           : platform::text::hasSuffix(platform::text::foldCase(*value),
                                                       platform::text::foldCase(expression));
    case TLMAudienceStringMatchContains:
      if (expression.empty()) return false;
      return caseSensitive
                 ? value->find(expression) != std::string::npos
                 : platform::text::foldCase(*value).find(platform::text::foldCase(expression)) !=
                       std::string::npos;
    case TLMAudienceStringMatchExact:
      return exactMatch(*value, expression, caseSensitive);
    case TLMAudienceStringMatchInList: {
      const auto list =
          NANOGetArray(filter, TLMPBStringFilterSlot::expression_list).value_or(platform::Array{});
      for (const Value& entry : list) {
        const std::string* text = entry.stringPtr();
        if (text != nullptr && exactMatch(*value, *text, caseSensitive)) return true;
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
