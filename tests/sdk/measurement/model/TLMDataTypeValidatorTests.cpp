#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>

#include "Texts.h"
#include "measurement/model/TLMDataTypeValidator.h"
#include "measurement/model/TLMRecordingMonitor.h"

namespace {

using V = TLMDataTypeValidator;
using Check = std::function<bool(const TLMObject&, TLMValidationFailure*)>;

using testsupport::repeat;

struct Case {
  const char* label;
  Check check;
  TLMObject candidate;
  bool valid;
  TLMValidationFailure failure;
  std::int64_t logCode;  // 0: nothing logged
  int level;
};

const std::string kOutsideBMP = "\xF0\x9F\x98\x80";  // one code point, two UTF-16 units
const std::string kLetterOutsideBMP = "\xF0\x90\x90\x80";  // a capital letter, two UTF-16 units

// A case prints as its label, which also names its ctest entry; the default would print its
// bytes, pointers included, and the test names would change with every build.
void PrintTo(const Case& c, std::ostream* os) { *os << c.label; }

class ValidatorTableTest : public ::testing::TestWithParam<Case> {};

TEST_P(ValidatorTableTest, AnswersFailureCodeAndLog) {
  const Case& c = GetParam();
  TLMScopedRecordingMonitor monitor;
  TLMValidationFailure failure = TLMValidationFailureInvalidCurrency;
  EXPECT_EQ(c.check(c.candidate, &failure), c.valid) << c.label;
  EXPECT_EQ(failure, c.failure) << c.label;
  auto entries = monitor->entries();
  if (c.logCode == 0) {
    EXPECT_TRUE(entries.empty()) << c.label;
  } else {
    ASSERT_EQ(entries.size(), 1u) << c.label;
    EXPECT_EQ(entries[0].code, c.logCode) << c.label;
    EXPECT_EQ(entries[0].level, c.level) << c.label;
  }
  // Without a failure pointer the answer and the log are the same.
  monitor->clear();
  EXPECT_EQ(c.check(c.candidate, nullptr), c.valid) << c.label;
  EXPECT_EQ(monitor->entries().size(), entries.size()) << c.label;
}

Check publicEventName = [](const TLMObject& o, TLMValidationFailure* f) { return V::isValidPublicEventName(o, f); };
Check internalEventName = [](const TLMObject& o, TLMValidationFailure* f) { return V::isValidInternalEventName(o, f); };
Check publicParamName = [](const TLMObject& o, TLMValidationFailure* f) { return V::isValidPublicEventParameterName(o, f); };
Check publicParamValue = [](const TLMObject& o, TLMValidationFailure* f) { return V::isValidPublicEventParameterValue(o, f); };
Check internalParamValue = [](const TLMObject& o, TLMValidationFailure* f) { return V::isValidInternalEventParameterValue(o, f); };
Check forwardedOrigin = [](const TLMObject& o, TLMValidationFailure* f) { return V::isValidForwardedEventOrigin(o, f); };
Check internalOrigin = [](const TLMObject& o, TLMValidationFailure* f) { return V::isValidInternalEventOrigin(o, f); };
Check publicUserName = [](const TLMObject& o, TLMValidationFailure* f) { return V::isValidPublicUserAttributeName(o, f); };
Check publicUserValue = [](const TLMObject& o, TLMValidationFailure* f) { return V::isValidPublicUserAttributeValue(o, f); };
Check userIdValue = [](const TLMObject& o, TLMValidationFailure* f) { return V::isValidInternalUserAttributeValue(o, "_id", f); };
Check otherUserValue = [](const TLMObject& o, TLMValidationFailure* f) { return V::isValidInternalUserAttributeValue(o, "_fot", f); };
Check screenValue = [](const TLMObject& o, TLMValidationFailure* f) { return V::isValidScreenParameterValue(o, f); };
Check conditionalValue = [](const TLMObject& o, TLMValidationFailure* f) { return V::isValidConditionalUserPropertyValue(o, f); };
Check conditionalName = [](const TLMObject& o, TLMValidationFailure* f) { return V::isValidConditionalUserPropertyName(o, f); };
Check numeric = [](const TLMObject& o, TLMValidationFailure* f) { return V::isValidNumericValue(o, f); };
Check currency = [](const TLMObject& o, TLMValidationFailure* f) { return V::isValidCurrencyCode(o, f); };

using F = TLMValidationFailure;
constexpr F kNone = TLMValidationFailureNone;

INSTANTIATE_TEST_SUITE_P(
    Validator, ValidatorTableTest,
    ::testing::Values(
        Case{"40 letters", publicEventName, repeat("a", 40), true, kNone, 0, 0},
        Case{"41 letters", publicEventName, repeat("a", 41), false, F::TLMValidationFailureTooLong, 13000, 1},
        Case{"emoji in a name", publicEventName, "a" + kOutsideBMP, false, F::TLMValidationFailureInvalidCharacters, 13002, 1},
        Case{"40 letters outside the BMP", publicEventName, repeat(kLetterOutsideBMP, 40), true, kNone, 0, 0},
        Case{"41 letters outside the BMP", publicEventName, repeat(kLetterOutsideBMP, 41), false, F::TLMValidationFailureTooLong, 13000, 1},
        Case{"40 letters of another script", publicEventName, repeat("\xD0\x96", 40), true, kNone, 0, 0},
        Case{"41 letters of another script", publicEventName, repeat("\xCE\xB1", 41), false, F::TLMValidationFailureTooLong, 13000, 1},
        Case{"nil", publicEventName, TLMObject(), false, F::TLMValidationFailureMissing, 13001, 1},
        Case{"empty", publicEventName, "", false, F::TLMValidationFailureMissing, 13001, 1},
        Case{"not a string", publicEventName, 12, false, F::TLMValidationFailureWrongType, 13000, 1},
        Case{"hyphen", publicEventName, "my-event", false, F::TLMValidationFailureInvalidCharacters, 13002, 1},
        Case{"space", publicEventName, "my event", false, F::TLMValidationFailureInvalidCharacters, 13002, 1},
        Case{"leading digit", publicEventName, "1event", false, F::TLMValidationFailureInvalidCharacters, 13003, 1},
        Case{"leading digit internal", internalEventName, "1event", true, kNone, 0, 0},
        Case{"internal code as public", publicEventName, "_s", false, F::TLMValidationFailureInvalidCharacters, 13003, 1},
        Case{"internal code", internalEventName, "_s", true, kNone, 0, 0},
        Case{"reserved name", publicEventName, "screen_view", false, F::TLMValidationFailureReserved, 13006, 1},
        Case{"reserved name capitalised", publicEventName, "Screen_view", true, kNone, 0, 0},
        Case{"reserved name with prefix", publicEventName, "cindervale_campaign", false, F::TLMValidationFailureReserved, 13006, 1},
        Case{"reserved prefix", publicEventName, "ombrix_thing", false, F::TLMValidationFailureReserved, 13007, 1},
        Case{"accented name", publicEventName, "caf\xC3\xA9_ol\xC3\xA9", true, kNone, 0, 0},
        Case{"param reserved prefix", publicParamName, "jq_x", false, F::TLMValidationFailureReserved, 13008, 1},
        Case{"param ok", publicParamName, "screen_view", true, kNone, 0, 0},
        Case{"public value 100", publicParamValue, TLMValue(repeat(kOutsideBMP, 100)), true, kNone, 0, 0},
        Case{"public value 101", publicParamValue, TLMValue(repeat("x", 101)), false, F::TLMValidationFailureTooLong, 13000, 4},
        Case{"public value empty", publicParamValue, TLMValue(""), true, kNone, 0, 0},
        Case{"public value number", publicParamValue, TLMValue(1.5), true, kNone, 0, 0},
        Case{"public value nil", publicParamValue, TLMObject(), false, F::TLMValidationFailureMissing, 13004, 3},
        Case{"public value plain string", publicParamValue, "text", false, F::TLMValidationFailureWrongType, 13005, 3},
        Case{"internal value 256", internalParamValue, TLMValue(repeat("x", 256)), true, kNone, 0, 0},
        Case{"internal value 257", internalParamValue, TLMValue(repeat("x", 257)), false, F::TLMValidationFailureTooLong, 13000, 4},
        Case{"forwarded origin", forwardedOrigin, "app+zep", true, kNone, 0, 0},
        Case{"forwarded suffix only", forwardedOrigin, "+zep", false, F::TLMValidationFailureMissing, 13001, 1},
        Case{"forwarded without suffix", forwardedOrigin, "app", false, F::TLMValidationFailureNotForwarded, 0, 0},
        Case{"forwarded empty", forwardedOrigin, "", false, F::TLMValidationFailureMissing, 0, 0},
        Case{"forwarded base too long", forwardedOrigin, repeat("o", 33) + "+zep", false, F::TLMValidationFailureTooLong, 13000, 1},
        Case{"origin 32", internalOrigin, repeat("o", 32), true, kNone, 0, 0},
        Case{"origin 33", internalOrigin, repeat("o", 33), false, F::TLMValidationFailureTooLong, 13000, 1},
        Case{"user name reserved", publicUserName, "user_id", false, F::TLMValidationFailureReserved, 13009, 1},
        Case{"user name prefix", publicUserName, "jq_flag", false, F::TLMValidationFailureReserved, 13010, 1},
        Case{"user name 25", publicUserName, repeat("u", 25), false, F::TLMValidationFailureTooLong, 13000, 1},
        Case{"user value empty", publicUserValue, TLMValue(""), false, F::TLMValidationFailureMissing, 0, 0},
        Case{"user value 37", publicUserValue, TLMValue(repeat("v", 37)), false, F::TLMValidationFailureTooLong, 13000, 4},
        Case{"user id 200", userIdValue, TLMValue(repeat("i", 200)), true, kNone, 0, 0},
        Case{"user id 257", userIdValue, TLMValue(repeat("i", 257)), false, F::TLMValidationFailureTooLong, 13000, 4},
        Case{"other user value 37", otherUserValue, TLMValue(repeat("v", 37)), false, F::TLMValidationFailureTooLong, 13000, 4},
        Case{"screen value", screenValue, "Home", true, kNone, 0, 0},
        Case{"screen value as TLMValue", screenValue, TLMValue("Home"), false, F::TLMValidationFailureWrongType, 13000, 1},
        Case{"screen value 101", screenValue, repeat("s", 101), false, F::TLMValidationFailureTooLong, 13000, 1},
        Case{"conditional value empty", conditionalValue, TLMValue(""), false, F::TLMValidationFailureMissing, 13001, 1},
        Case{"conditional name 25", conditionalName, repeat("c", 25), false, F::TLMValidationFailureTooLong, 13000, 1},
        Case{"numeric int", numeric, TLMValue(3), true, kNone, 0, 0},
        Case{"numeric string", numeric, TLMValue("3"), false, F::TLMValidationFailureNotNumeric, 13011, 3},
        Case{"currency upper", currency, TLMValue("USD"), true, kNone, 0, 0},
        Case{"currency lower", currency, TLMValue("eur"), true, kNone, 0, 0},
        Case{"currency digit", currency, TLMValue("US1"), false, F::TLMValidationFailureInvalidCurrency, 13012, 3},
        Case{"currency four", currency, TLMValue("USDX"), false, F::TLMValidationFailureInvalidCurrency, 13012, 3},
        Case{"currency number", currency, TLMValue(840), false, F::TLMValidationFailureInvalidCurrency, 13012, 3},
        Case{"currency outside BMP", currency, TLMValue("A" + kOutsideBMP), false, F::TLMValidationFailureInvalidCurrency, 13012, 3}));

TEST(ValidatorMessages, ComposeDisplayNameAndLimit) {
  TLMScopedRecordingMonitor monitor;
  V::isValidPublicEventName(repeat("a", 41));
  EXPECT_EQ(monitor->first(13000).message, "Event name is too long. The maximum supported length is 40");
  V::isValidForwardedEventOrigin("+zep");
  EXPECT_EQ(monitor->first(13001).message, "Event origin is required and can't be empty");
  V::isValidCurrencyCode(TLMValue("ab"));
  EXPECT_EQ(monitor->first(13012).message,
            "Event parameter value must contain a 3-letter ISO_4217 currency code. value");
  EXPECT_EQ(TLMPrependStringTypeName(static_cast<TLMDataTypeItem>(42), ""), "Object");
}

TEST(ValidatorTables, HoldTheLibraryNames) {
  EXPECT_EQ(TLMInternalEventNames().size(), 30u);
  EXPECT_EQ(TLMInternalParameterNames().size(), 51u);
  EXPECT_EQ(TLMInternalUserPropertyNames().size(), 9u);
  EXPECT_EQ(*TLMInternalEventNames().find("screen_view"), "_vs");
  EXPECT_EQ(*TLMInternalUserPropertyNames().find("user_id"), "_id");
  EXPECT_TRUE(V::hasReservedPrefixes("cindervale_x"));
  EXPECT_FALSE(V::hasReservedPrefixes("Jq_x"));
}

}  // namespace
