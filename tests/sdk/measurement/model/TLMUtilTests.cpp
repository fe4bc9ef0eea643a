#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include "dispatch/Testing.h"
#include "foundation/Files.h"
#include "foundation/Sandbox.h"
#include "measurement/model/TLMRecordingMonitor.h"
#include "measurement/model/TLMUtil.h"

namespace {

TEST(Decimal, ParsesExactlyAndRefusesLossOfPrecision) {
  TLMScopedRecordingMonitor monitor;
  EXPECT_EQ(TLMParseNumericValueFromString(".5")->toString(), "0.5");
  EXPECT_EQ(TLMParseNumericValueFromString("-2.50")->toString(), "-2.5");
  EXPECT_EQ(TLMParseNumericValueFromString("007")->toString(), "7");
  EXPECT_EQ(TLMParseNumericValueFromString("-.25")->toString(), "-0.25");
  EXPECT_EQ(TLMParseNumericValueFromString("1200")->toString(), "1200");
  const std::string digits38 = "12345678901234567890123456789012345678";
  EXPECT_EQ(TLMParseNumericValueFromString(digits38)->toString(), digits38);
  EXPECT_TRUE(monitor->entries().empty());
  EXPECT_FALSE(TLMParseNumericValueFromString(std::string(50, '7')));
  EXPECT_TRUE(monitor->has(26003));
  EXPECT_FALSE(TLMParseNumericValueFromString("1e5"));
  EXPECT_TRUE(monitor->has(26001));
}

TEST(NumericString, Pattern) {
  for (const char* ok : {"5", "5.", "-0.25", "+.5", "0012", "-5.", "+0", ".0"})
    EXPECT_TRUE(TLMIsValidNumericString(ok)) << ok;
  for (const char* bad : {"", ".", "+", "-", "+.", "-.", "1e5", "1,5", " 1", "1 ", "--1", "+-1", "1-",
                          "0x10", "1.2.3", "1..", "..1", ".5.", "\xd9\xa1"})
    EXPECT_FALSE(TLMIsValidNumericString(bad)) << bad;
  EXPECT_FALSE(TLMIsValidNumericString(std::string_view("1\0", 2)));
}

TEST(NumericString, AcceptsExactlyTheDecimalTextLanguage) {
  // Every text of up to five characters over the interesting alphabet, against the expression
  // the check has always stood for (short inputs only: std::regex recurses per character).
  const std::regex reference("^[+-]?(([0-9]+\\.?)|([0-9]*\\.[0-9]+))$");
  const std::string alphabet = "09+-.e";
  std::vector<std::string> texts{""};
  for (std::size_t length = 0, begin = 0; length < 5; ++length) {
    const std::size_t end = texts.size();
    for (std::size_t i = begin; i < end; ++i) {
      for (char c : alphabet) texts.push_back(texts[i] + c);
    }
    begin = end;
  }
  for (const std::string& text : texts) {
    ASSERT_EQ(TLMIsValidNumericString(text), std::regex_match(text, reference)) << "\"" << text << "\"";
  }
}

TEST(NumericString, LongTextIsCheckedWithoutRecursion) {
  // A 200,000-digit number filter once overflowed the stack of the thread checking it.
  std::string digits(200000, '7');
  EXPECT_TRUE(TLMIsValidNumericString(digits));
  EXPECT_TRUE(TLMIsValidNumericString("-." + digits));
  EXPECT_FALSE(TLMIsValidNumericString(digits + "x"));
  EXPECT_FALSE(TLMIsValidNumericString(digits + "." + digits + "."));
  TLMScopedRecordingMonitor monitor;
  EXPECT_FALSE(TLMParseNumericValueFromString(digits));
  EXPECT_EQ(TLMParseNumericValueFromString(std::string(200000, '0') + "42")->toString(), "42");
}

TEST(RandomInt64, ReadsEightBytesAndReportsFailure) {
  TLMScopedRecordingMonitor monitor;
  auto previous = TLMNumericUtil::setRandomSourceForTesting([](unsigned char* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(i + 1);
    return true;
  });
  EXPECT_EQ(TLMNumericUtil::randomInt64(), 0x0807060504030201);
  TLMNumericUtil::setRandomSourceForTesting([](unsigned char*, std::size_t) { return false; });
  EXPECT_EQ(TLMNumericUtil::randomInt64(), 0);
  EXPECT_TRUE(monitor->has(26004));
  TLMNumericUtil::setRandomSourceForTesting(previous);
  EXPECT_NE(TLMNumericUtil::randomInt64(), TLMNumericUtil::randomInt64());
}

TEST(Text, CodePointsAndUTF32Bytes) {
  const std::string face = "\xF0\x9F\x98\x80";
  EXPECT_EQ(tlm_UTF32Length(face), 1u);
  EXPECT_EQ(tlm_UTF32Length("a" + face + "\xC3\xA9"), 3u);
  unsigned char buffer[8] = {0};
  EXPECT_EQ(tlm_getUTF32Bytes("a" + face, buffer, 7), 4u);  // whole code points only
  EXPECT_EQ(buffer[0], 'a');
  EXPECT_EQ(tlm_getUTF32Bytes("a" + face, buffer, 8), 8u);
  EXPECT_EQ(buffer[4], 0x00);
  EXPECT_EQ(buffer[5], 0xF6);
  EXPECT_EQ(buffer[6], 0x01);
}

TEST(Digests, MD5AndFingerprints) {
  EXPECT_EQ(tlm_64LeastSignificantBits({1, 2}), 258u);
  EXPECT_EQ(tlm_64LeastSignificantBits({}), 0u);
  EXPECT_EQ(*tlm_MD5String("abc"), "900150983cd24fb0d6963f7d28e17f72");
  const platform::Bytes abc{'a', 'b', 'c'};
  EXPECT_EQ(tlm_64LSBMD5(abc), static_cast<std::int64_t>(0xd6963f7d28e17f72ULL));
  EXPECT_FALSE(tlm_MD5String("\xFF"));
}

TEST(Query, EscapesComponentsAndParsesFirstOccurrence) {
  platform::Dictionary d;
  d.set("a b", platform::Value("x&y=z+1#%"));
  d.set("n", platform::Value(5));
  EXPECT_EQ(tlm_queryString(d), "a%20b=x%26y%3Dz%2B1%23%25&n=5");
  platform::Dictionary parsed = tlm_dictionaryWithHttpArgumentsString("a=1&b&a=2&c=x%20y+z&&e=f=g");
  EXPECT_EQ(parsed.get("a"), platform::Value("1"));
  EXPECT_EQ(parsed.get("b"), platform::Value(""));
  EXPECT_EQ(parsed.get("c"), platform::Value("x y z"));
  EXPECT_EQ(parsed.get("e"), platform::Value("f=g"));
  EXPECT_EQ(parsed.size(), 4u);
  // Round trip of an escaped component.
  platform::Dictionary back = tlm_dictionaryWithHttpArgumentsString(tlm_queryString(d));
  EXPECT_EQ(back.get("a b"), platform::Value("x&y=z+1#%"));
  EXPECT_FALSE(tlm_stringByUnescapingFromURLArgument("%zz"));
  EXPECT_FALSE(tlm_stringByUnescapingFromURLArgument("%4"));
}

TEST(Errors, CarryDescriptionAndMonitorContext) {
  platform::Error error;
  TLMSetErrorWithMonitorContext(&error, 3, "bad", "ctx");
  EXPECT_EQ(error.domain, kTLMErrorDomain);
  EXPECT_EQ(error.code, 3);
  EXPECT_EQ(error.userInfo["TLMMonitorContext"], platform::Value("ctx"));
  TLMSetError(nullptr, 1, "ignored");
  EXPECT_FALSE(TLMAssertNotZero(0, &error, 7, "zero"));
  EXPECT_EQ(error.code, 7);
  EXPECT_TRUE(TLMAssertTrue(true, &error, 8, "x"));
  EXPECT_EQ(error.code, 7);
  platform::Error other("OtherDomain", 1, "x", platform::Value::dictionary({{"TLMMonitorContext", "no"}}));
  EXPECT_EQ(TLMMonitorContextString({tlm_errorWithCode(1, "a", "one"), other, tlm_errorWithCode(2, "b"),
                                     tlm_errorWithCode(3, "c", "three")}),
            "one,three");
  EXPECT_EQ(TLMMonitorContextString({tlm_errorWithCode(2, "b")}), "");
}

TEST(Files, PathsAndDeletion) {
  TLMScopedRecordingMonitor monitor;
  platform::sandbox::ScopedTemporarySandbox sandbox;
  EXPECT_EQ(TLMFilePathForDatabaseName(""), "");
  EXPECT_EQ(TLMFilePathForDatabaseName("db.sql"),
            platform::sandbox::applicationSupportDirectory() + "/Ombrix/Measurement/db.sql");
  EXPECT_EQ(TLMFilePathForPreferencesName("suite"),
            platform::sandbox::libraryDirectory() + "/Preferences/suite.plist");
  EXPECT_TRUE(monitor->entries().empty());
  // The folders on the way are the SDK's own: closed when an earlier version left them open.
  const std::string support = platform::sandbox::applicationSupportDirectory();
  ASSERT_TRUE(platform::files::createMissingDirectories(support + "/Ombrix/Measurement"));
  for (const std::string& folder : {support + "/Ombrix", support + "/Ombrix/Measurement"}) {
    ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
  }
  ASSERT_TRUE(TLMMakeDatabaseFolders());
  for (const std::string& folder : {support + "/Ombrix", support + "/Ombrix/Measurement"}) {
    struct stat info {};
    EXPECT_TRUE(::stat(folder.c_str(), &info) == 0 && (info.st_mode & 07777) == 0700) << folder;
  }
  auto previous = TLMSetDirectoryLookupForTesting([](const std::string&) { return std::string(); });
  EXPECT_EQ(TLMFilePathForDatabaseName("db.sql"), "");
  EXPECT_EQ(TLMFilePathForPreferencesName("suite"), "");
  EXPECT_EQ(monitor->codes(), (std::vector<std::int64_t>{19001, 19000}));
  TLMSetDirectoryLookupForTesting(previous);

  const std::string file = platform::files::join(sandbox.root(), "f.bin");
  ASSERT_TRUE(platform::files::writeFileAtomically(file, std::string("x")));
  EXPECT_TRUE(TLMExcludeFilePathFromBackup(file, nullptr));
  platform::Error error;
  EXPECT_TRUE(TLMDeleteFile(file, &error));
  EXPECT_FALSE(TLMDeleteFile(file, &error));
  EXPECT_FALSE(TLMDeleteFile("", &error));
  EXPECT_EQ(error.domain, kTLMErrorDomain);
  EXPECT_EQ(error.description, "Received empty path for deleting file");
}

}  // namespace
