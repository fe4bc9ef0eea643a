#include <gtest/gtest.h>

#include "InstanceID/CDVInstanceIDError.h"
#include "InstanceID/CDVInstanceIDLogger.h"
#include "InstanceID/CDVInstanceIDStringEncoding.h"
#include "InstanceID/CDVInstanceIDUtilities.h"
#include "InstanceIDTestSupport.h"
#include "obx/OBXAppEnvironmentUtil.h"
#include "obx/OBXUserDefaults.h"

using iidtest::bytes;
using platform::Bytes;

namespace {

std::shared_ptr<CDVInstanceIDStringEncoding> websafe(bool pad) {
  auto encoding = CDVInstanceIDStringEncoding::rfc4648Base64WebsafeStringEncoding();
  encoding->setDoPad(pad);
  return encoding;
}

class FakeMessaging : public CDVMessagingClassObject {
 public:
  std::optional<std::string> CDVMessagingSDKVersion() const override { return "9.9.0"; }
  std::optional<std::string> CDVMessagingSDKCurrentLocale() const override { return "de-AT"; }
};

class UtilitiesTest : public iidtest::InstanceIDTest {};

}  // namespace

TEST(StringEncoding, Base64UrlEncodesAndDecodesWithAndWithoutPadding) {
  EXPECT_EQ(websafe(true)->encode(bytes("abc")), "YWJj");
  EXPECT_EQ(websafe(false)->encode(bytes("abc")), "YWJj");
  EXPECT_EQ(websafe(true)->encode(Bytes{0xFB}), "-w==");
  EXPECT_EQ(websafe(false)->encode(Bytes{0xFB}), "-w");
  EXPECT_EQ(websafe(true)->encode(Bytes{0xFB, 0xFF}), "-_8=");
  EXPECT_EQ(websafe(true)->encode(Bytes{}), "");

  EXPECT_EQ(websafe(true)->decode("-w"), Bytes{0xFB});
  EXPECT_EQ(websafe(true)->decode("-w=="), Bytes{0xFB});
  EXPECT_EQ(websafe(false)->decode("-w=="), Bytes{0xFB});
  EXPECT_EQ(websafe(true)->decode(""), Bytes{});
  EXPECT_FALSE(websafe(true)->decode("-x").has_value());    // leftover bits not zero
  EXPECT_FALSE(websafe(true)->decode("-w=A").has_value());  // alphabet character after padding
  EXPECT_FALSE(websafe(true)->decode("+w==").has_value());  // standard base64, not the URL alphabet
  EXPECT_FALSE(websafe(true)->decode("-w\xc3\xa9").has_value());
}

TEST(StringEncoding, EveryAlphabetSizeRoundTripsEveryLength) {
  // Hex, base32 and base64 alphabets over lengths that end on each bit boundary.
  for (const std::string alphabet : {"0123456789abcdef", "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567", "01",
                                     "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"}) {
    auto encoding = CDVInstanceIDStringEncoding::stringEncodingWithString(alphabet);
    ASSERT_TRUE(encoding) << alphabet;
    for (bool pad : {false, true}) {
      encoding->setDoPad(pad);
      encoding->setPaddingChar('=');
      for (std::size_t length = 0; length <= 17; ++length) {
        Bytes data;
        for (std::size_t i = 0; i < length; ++i) data.push_back(static_cast<std::uint8_t>(0xFF - i * 37));
        std::optional<std::string> text = encoding->encode(data);
        ASSERT_TRUE(text) << alphabet << " " << length;
        EXPECT_EQ(encoding->decode(*text), data) << alphabet << " " << length << " " << *text;
      }
    }
  }
  EXPECT_EQ(CDVInstanceIDStringEncoding::stringEncodingWithString("0123456789abcdef")->encode(Bytes{0x0A, 0xFF}), "0aff");
}

TEST(StringEncoding, RefusesAlphabetsThatAreNotDistinctPowersOfTwo) {
  EXPECT_FALSE(CDVInstanceIDStringEncoding::stringEncodingWithString("abc"));
  EXPECT_FALSE(CDVInstanceIDStringEncoding::stringEncodingWithString("abca"));
  EXPECT_FALSE(CDVInstanceIDStringEncoding::stringEncodingWithString("a"));
  EXPECT_FALSE(CDVInstanceIDStringEncoding::stringEncodingWithString("\xc3\xa9\xc3\xa8"));  // not ASCII
  EXPECT_EQ(CDVInstanceIDStringEncoding::stringEncodingWithString("01")->description(), "<Base2 StringEncoder: 01>");
}

TEST_F(UtilitiesTest, LoggerCodesAndErrors) {
  CDVInstanceIDLoggerError(9002, "Unable to create a valid asymmetric crypto key");
  CDVInstanceIDLoggerDebug(9002, "value %d", 5);
  std::vector<OBXLogLine> lines = linesWithCode(9002);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].messageCode, "I-IID009002");
  EXPECT_EQ(lines[0].level, CDVLoggerLevelError);
  EXPECT_EQ(lines[1].level, CDVLoggerLevelDebug);
  EXPECT_EQ(lines[1].message, "value 5");
  EXPECT_EQ(lines[0].service, "[Cindervale/InstanceID]");
  EXPECT_EQ(lines[1].service, lines[0].service);
  EXPECT_EQ(CDVInstanceIDLogger::formatMessageCode(123456), "I-IID123456");

  platform::Error missing = CDVInstanceIDErrorMissingCheckin();
  EXPECT_EQ(missing.domain, "com.cindervale.iid");
  EXPECT_EQ(instanceIDErrorCode(missing), 501);
  EXPECT_EQ(missing.userInfo["msg"], platform::Value("Missing device credentials. Retry later."));
}

TEST_F(UtilitiesTest, ClockAppAndTokenTexts) {
  clock_->setNow(1700000123.999);
  EXPECT_EQ(CDVInstanceIDCurrentTimestampInSeconds(), 1700000123);
  EXPECT_EQ(CDVInstanceIDCurrentTimestampInMilliseconds(), 1700000123000);  // whole seconds only

  EXPECT_EQ(CDVInstanceIDCurrentAppVersion(), "7.1");
  installBundle(platform::Dictionary{{"CFBundleIdentifier", iidtest::kBundleID}});
  EXPECT_EQ(CDVInstanceIDCurrentAppVersion(), "");
  EXPECT_EQ(CDVInstanceIDAppIdentifier(), iidtest::kBundleID);
  installBundle(platform::Dictionary{});
  EXPECT_EQ(CDVInstanceIDAppIdentifier(), "");
  EXPECT_EQ(linesWithCode(18000).size(), 1u);

  EXPECT_EQ(CDVInstanceIDAPNSTupleStringForTokenAndServerType(Bytes{0x0A, 0xFF}, true), "s_0aff");
  EXPECT_EQ(CDVInstanceIDAPNSTupleStringForTokenAndServerType(Bytes{0x0A, 0xFF}, false), "p_0aff");
  EXPECT_FALSE(CDVInstanceIDAPNSTupleStringForTokenAndServerType(std::nullopt, true).has_value());
  EXPECT_TRUE(CDVInstanceIDIsValidWRQScope("JXQ"));
  EXPECT_TRUE(CDVInstanceIDIsValidWRQScope("jxq"));
  EXPECT_FALSE(CDVInstanceIDIsValidWRQScope("jxq "));
  EXPECT_EQ(CDVInstanceIDRegisterServer().rfind("https://", 0), 0u);
  EXPECT_TRUE(CDVInstanceIDRegisterServer().ends_with("/register"));
}

TEST_F(UtilitiesTest, LocaleComesFromMessagingThenPreferredLanguagesThenTheLocale) {
  EXPECT_EQ(CDVInstanceIDCurrentLocale(), "en-CA");  // messaging absent: first preferred language
  EXPECT_FALSE(CDVInstanceIDCurrentWRQVersion().has_value());

  platform::ClassRegistry::registerClass(std::make_shared<FakeMessaging>());
  EXPECT_EQ(CDVInstanceIDCurrentLocale(), "de-AT");
  EXPECT_EQ(CDVInstanceIDCurrentWRQVersion(), "9.9.0");
  platform::ClassRegistry::resetForTesting();

  platform::locale::setPreferredLanguages(std::vector<std::string>{});
  EXPECT_EQ(CDVInstanceIDCurrentLocale(), "en");  // language code of "en_CA"
  {
    OBXAppEnvironmentUtil::Environment old;
    old.systemVersion = "9.3";
    OBXScopedAppEnvironment environment(old);
    EXPECT_FALSE(CDVInstanceIDCurrentLocale().has_value());
  }

  platform::locale::setPreferredLanguages(std::vector<std::string>{"en-CA"});
  EXPECT_TRUE(CDVInstanceIDHasLocaleChanged());  // nothing stored yet
  OBXUserDefaults::standardUserDefaults().setObject("en-CA", kCDVInstanceIDUserDefaultsKeyLocale);
  EXPECT_FALSE(CDVInstanceIDHasLocaleChanged());
  platform::locale::setPreferredLanguages(std::vector<std::string>{"fr-CA"});
  EXPECT_TRUE(CDVInstanceIDHasLocaleChanged());
}

TEST(LibraryVersion, ParsesThreePartsWithAnOptionalBeta) {
  EXPECT_EQ(CDVInstanceIDCurrentLibraryVersion(), "4.2.1");
  EXPECT_EQ(CDVInstanceIDCurrentLibraryVersionMajor(), 4);
  EXPECT_EQ(CDVInstanceIDCurrentLibraryVersionMinor(), 2);
  EXPECT_EQ(CDVInstanceIDCurrentLibraryVersionPatch(), 1);
  EXPECT_FALSE(CDVInstanceIDCurrentLibraryVersionIsBeta());

  CDVInstanceIDLibraryVersion beta = CDVInstanceIDParseLibraryVersion("10.0.3-beta2");
  EXPECT_EQ(beta.major, 10);
  EXPECT_EQ(beta.patch, 3);
  EXPECT_EQ(beta.beta, 2);
  CDVInstanceIDLibraryVersion twoParts = CDVInstanceIDParseLibraryVersion("4.2");
  EXPECT_EQ(twoParts.major, 0);
  EXPECT_EQ(twoParts.version, "4.2");
  EXPECT_EQ(CDVInstanceIDParseLibraryVersion("1.2.3.4").minor, 0);
}
