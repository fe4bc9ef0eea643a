#include <gtest/gtest.h>

#include "foundation/Json.h"
#include "foundation/PropertyList.h"
#include "foundation/Sandbox.h"

using platform::Bytes;
using platform::Value;
namespace plist = platform::plist;
namespace json = platform::json;

namespace {

Value sample() {
  return Value::dictionary({
      {"OMBRIX_APP_ID", "1:123:ios:abc"},
      {"Grüße", "Ünïcödé ✓ 😀 日本語"},
      {"count", 42},
      {"negative", -7},
      {"ratio", 0.25},
      {"enabled", true},
      {"disabled", false},
      {"list", Value::array({"a", 1, Value::dictionary({{"inner", "x"}})})},
      {"empty", Value::dictionary({})},
  });
}

// `width` bytes of `value`, big-endian.
std::string bigEndian(uint64_t value, int width) {
  std::string out;
  for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) out += static_cast<char>(value >> shift);
  return out;
}

// A binary property list of `objects`, object 0 on top; offsets and references (which the
// objects hold themselves) are `width` bytes wide.
std::string binaryPlist(const std::vector<std::string>& objects, int width = 1) {
  std::string out = "bplist00";
  std::vector<size_t> offsets;
  for (const std::string& object : objects) {
    offsets.push_back(out.size());
    out += object;
  }
  const size_t table = out.size();
  for (size_t offset : offsets) out += bigEndian(offset, width);
  out += std::string(6, '\0') + static_cast<char>(width) + static_cast<char>(width);
  return out + bigEndian(objects.size(), 8) + bigEndian(0, 8) + bigEndian(table, 8);
}

// Arrays nested `levels` deep, each in a binary object of its own.
std::string nestedBinaryArrays(int levels) {
  std::vector<std::string> objects;
  for (int i = 0; i + 1 < levels; ++i) objects.push_back("\xA1" + bigEndian(i + 1, 4));
  objects.push_back("\xA0");
  return binaryPlist(objects, 4);
}

std::string nestedXmlArrays(int levels) {
  std::string out = R"(<?xml version="1.0"?><plist version="1.0">)";
  for (int i = 0; i < levels; ++i) out += "<array>";
  for (int i = 0; i < levels; ++i) out += "</array>";
  return out + "</plist>";
}

std::string utf16(std::u16string_view text) {
  std::string out;
  if (text.size() < 15) {
    out += static_cast<char>(0x60 | text.size());
  } else {
    out += "\x6F\x10";
    out += static_cast<char>(text.size());
  }
  for (char16_t c : text) out += {static_cast<char>(c >> 8), static_cast<char>(c & 0xFF)};
  return out;
}

std::string ascii(std::string_view text) { return static_cast<char>(0x50 | text.size()) + std::string(text); }

}  // namespace

TEST(PropertyListTest, StringsHoldingNulOrNotUtf8AreRefusedNotAbortedOrCut) {
  using namespace std::string_literals;
  const std::string dictOfOneAndTwo = "\xD1\x01\x02";
  // The same shapes without the U+0000 read normally.
  EXPECT_EQ(plist::read(binaryPlist({dictOfOneAndTwo, utf16(u"k"), ascii("v")})),
            Value::dictionary({{"k", "v"}}));
  EXPECT_EQ(plist::read(binaryPlist({utf16(u"sixteen chars ok")})), Value("sixteen chars ok"));

  const std::pair<const char*, std::string> cases[] = {
      {"value", binaryPlist({utf16(u"\0"s)})},
      {"key", binaryPlist({dictOfOneAndTwo, utf16(u"k\0"s), ascii("v")})},
      {"value in a dictionary", binaryPlist({dictOfOneAndTwo, ascii("k"), utf16(u"v\0"s)})},
      {"nested in an array", binaryPlist({dictOfOneAndTwo, ascii("k"), "\xA1\x03", utf16(u"a\0b"s)})},
      {"long form", binaryPlist({utf16(u"fifteen chars \0"s)})},
      {"ascii string", binaryPlist({ascii("a\0b"s)})},
      {"ascii string not UTF-8", binaryPlist({ascii("a\xD4n")})},
      {"xml string not UTF-8", R"(<?xml version="1.0"?><plist version="1.0"><string>a)"
                               "\xD4n</string></plist>"},
      {"xml string holding a NUL byte", R"(<?xml version="1.0"?><plist version="1.0"><string>a)"
                                        "\0b</string></plist>"s},
      {"date after 2069", R"(<?xml version="1.0"?><plist version="1.0"><date>2100-01-01T00:00:00Z</date></plist>)"},
      {"date not a number", binaryPlist({"\x33\x7F\xF8\0\0\0\0\0\0"s})},
      {"xml key not UTF-8", R"(<?xml version="1.0"?><plist version="1.0"><dict><key>a)"
                            "\xD4n</key><true/></dict></plist>"},
  };
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    platform::Error error;
    EXPECT_FALSE(plist::read(bytes, &error).has_value());
    EXPECT_EQ(error.code, 3840);
  }
  // A truncated object table is refused as well.
  std::string truncated = binaryPlist({utf16(u"k")});
  truncated[truncated.size() - 1] = static_cast<char>(200);
  EXPECT_FALSE(plist::read(truncated).has_value());

  // Writing such a string would cut it short; it is refused instead.
  for (const Value& value : {Value("a\0b"s), Value::dictionary({{"k\0"s, 1}}), Value("a\xD4n"),
                             Value::dictionary({{"\xFF", 1}})}) {
    platform::Error error;
    EXPECT_FALSE(plist::write(value, plist::Format::Binary, &error).has_value());
    EXPECT_EQ(error.code, 3851);
  }
}

TEST(PropertyListTest, DeepNestingCyclesAndRunawaySharingAreRefusedWithoutCrashing) {
  // 513 levels (the top and 512 below it) are read; one more is refused, in both forms.
  EXPECT_TRUE(plist::read(nestedBinaryArrays(513)).has_value());
  EXPECT_TRUE(plist::read(nestedXmlArrays(513)).has_value());
  platform::Error error;
  for (const std::string& bytes : {nestedBinaryArrays(514), nestedXmlArrays(514), nestedBinaryArrays(300000),
                                   nestedXmlArrays(300000)}) {
    EXPECT_FALSE(plist::read(bytes, &error).has_value());
    EXPECT_EQ(error.code, 3840);
  }
  // An array that holds itself.
  EXPECT_FALSE(plist::read(binaryPlist({"\xA1\x00"})).has_value());
  // Forty arrays, each holding the next one twice: a trillion copies of the last.
  std::vector<std::string> doubling;
  for (int i = 0; i < 39; ++i) doubling.push_back("\xA2" + std::string(2, static_cast<char>(i + 1)));
  doubling.push_back(ascii("x"));
  EXPECT_FALSE(plist::read(binaryPlist(doubling)).has_value());
  // Sharing a string a thousand times, as writers do, is fine.
  std::string thousand = "\xAF\x11" + bigEndian(1000, 2);
  for (int i = 0; i < 1000; ++i) thousand += bigEndian(1, 4);
  auto shared = plist::read(binaryPlist({thousand, ascii("same")}, 4));
  ASSERT_TRUE(shared.has_value());
  EXPECT_EQ(shared->arrayPtr()->size(), 1000u);
}

TEST(PropertyListTest, XmlAndBinaryRoundTripsKeepKindsOrderAndText) {
  Value original = sample();
  original.set("blob", Bytes{0, 1, 2, 255});
  original.set("when", Value::date(1700000000));
  for (auto format : {plist::Format::XML, plist::Format::Binary}) {
    SCOPED_TRACE(format == plist::Format::XML ? "xml" : "binary");
    platform::Error error;
    auto bytes = plist::write(original, format, &error);
    ASSERT_TRUE(bytes.has_value()) << error.description;
    auto back = plist::read(*bytes, &error);
    ASSERT_TRUE(back.has_value()) << error.description;
    EXPECT_EQ(*back, original);
    EXPECT_EQ(back->dictionaryPtr()->keys(), original.dictionaryPtr()->keys());
    EXPECT_EQ(*(*back)["Grüße"].stringValue(), "Ünïcödé ✓ 😀 日本語");
    EXPECT_TRUE((*back)["enabled"].isBool());
    EXPECT_TRUE((*back)["count"].isInteger());
    EXPECT_TRUE((*back)["ratio"].isFloatingPoint());
    EXPECT_EQ(*(*back)["when"].dateValue(), 1700000000);
  }
  // The binary form keeps fractions of a second.
  auto binary = plist::write(Value::date(1700000000.25), plist::Format::Binary);
  EXPECT_EQ(*plist::read(*binary)->dateValue(), 1700000000.25);
  // Before 2001 as well, where the time since 2001 is negative.
  binary = plist::write(Value::date(978307174.5), plist::Format::Binary);
  EXPECT_EQ(*plist::read(*binary)->dateValue(), 978307174.5);
  auto early = plist::read(binaryPlist({std::string("\x33\xC0\x39\x80\0\0\0\0\0", 9)}));
  ASSERT_TRUE(early.has_value());
  EXPECT_EQ(*early->dateValue(), 978307200 - 25.5);
}

TEST(PropertyListTest, ReadsHandWrittenXmlAndRejectsGarbage) {
  const char* xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
  <key>CFBundleIdentifier</key><string>com.example.app</string>
  <key>IS_ANALYTICS_ENABLED</key><true/>
  <key>Level</key><integer>-3</integer>
</dict></plist>)";
  auto value = plist::read(std::string_view(xml));
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ((*value)["CFBundleIdentifier"], Value("com.example.app"));
  EXPECT_EQ((*value)["IS_ANALYTICS_ENABLED"], Value(true));
  EXPECT_EQ(*(*value)["Level"].int64Value(), -3);

  platform::Error error;
  EXPECT_FALSE(plist::read(std::string_view("not a plist at all"), &error).has_value());
  EXPECT_EQ(error.domain, "NSCocoaErrorDomain");
  EXPECT_EQ(error.code, 3840);
  EXPECT_FALSE(plist::read(std::string_view(""), nullptr).has_value());
}

TEST(PropertyListTest, DictionaryKeyWithoutAValueIsRefused) {
  auto wrap = [](const std::string& body) { return R"(<?xml version="1.0"?><plist version="1.0">)" + body + "</plist>"; };
  for (const std::string body : {"<dict><key>a</key></dict>", "<dict><key>a</key><true/><key>b</key></dict>",
                                 "<array><dict><key>a</key>\n <!-- none --></dict></array>",
                                 "<dict><key>a</key><dict><key>b</key></dict></dict>"}) {
    SCOPED_TRACE(body);
    platform::Error error;
    EXPECT_FALSE(plist::read(wrap(body), &error).has_value());
    EXPECT_EQ(error.domain, "NSCocoaErrorDomain");
    EXPECT_EQ(error.code, 3840);
  }
  // Markup inside comments and CDATA sections is text, not keys; empty dictionaries are fine.
  auto value = plist::read(wrap("<dict><!-- <key>x</key> --><key>a</key><string><![CDATA[<key>]]></string>"
                                "<key>b</key><dict/><key>c</key><dict></dict></dict>"));
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ((*value)["a"], Value("<key>"));
  EXPECT_EQ(value->dictionaryPtr()->keys(), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(PropertyListTest, RefusesValuesItCannotHoldAndMissingFiles) {
  platform::Error error;
  EXPECT_FALSE(plist::write(Value::array({1, Value()}), plist::Format::XML, &error).has_value());
  EXPECT_EQ(error.code, 3851);
  auto object = std::make_shared<int>(3);
  EXPECT_FALSE(plist::write(Value::object(object), plist::Format::Binary, nullptr).has_value());

  platform::sandbox::ScopedTemporarySandbox sandbox;
  std::string path = sandbox.root() + "/Documents/x.plist";
  EXPECT_FALSE(plist::readFile(path, &error).has_value());
  EXPECT_EQ(error.code, 260);
  ASSERT_TRUE(plist::writeFile(path, sample(), plist::Format::XML, &error)) << error.description;
  EXPECT_EQ(*plist::readFile(path), sample());
}

TEST(JsonTest, RoundTripKeepsOrderKindsAndNonAsciiText) {
  Value original = sample();
  original.set("nothing", Value());
  original.set("huge", std::numeric_limits<uint64_t>::max());
  auto text = json::serialize(original);
  ASSERT_TRUE(text.has_value());
  EXPECT_NE(text->find("\"Grüße\":\"Ünïcödé ✓ 😀 日本語\""), std::string::npos);
  auto back = json::parse(*text);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, original);
  EXPECT_EQ(back->dictionaryPtr()->keys(), original.dictionaryPtr()->keys());
  EXPECT_TRUE((*back)["nothing"].isNull());
  EXPECT_TRUE((*back)["count"].isInteger());
  EXPECT_TRUE((*back)["ratio"].isFloatingPoint());
  EXPECT_EQ((*back)["huge"].numberKind(), Value::NumberKind::UInt);
  EXPECT_EQ(*json::serialize(Value::array({1, "é"})), "[1,\"é\"]");
  EXPECT_EQ(*json::serialize(Value::dictionary({{"a", 1}}), true), "{\n  \"a\": 1\n}");
}

TEST(JsonTest, ReportsMalformedTextAndUnwritableValues) {
  platform::Error error;
  EXPECT_FALSE(json::parse("{\"a\": }", &error).has_value());
  EXPECT_EQ(error.code, 3840);
  EXPECT_FALSE(json::parse("[1, 2", nullptr).has_value());
  EXPECT_FALSE(json::parse(std::string(2000, '[') + std::string(2000, ']'), &error).has_value());
  EXPECT_FALSE(json::serialize(Value(Bytes{1}), false, &error).has_value());
  EXPECT_EQ(error.code, 3851);
  EXPECT_FALSE(json::serialize(Value::array({Value::date(0)})).has_value());
  EXPECT_FALSE(json::serialize(Value(std::numeric_limits<double>::infinity())).has_value());
  EXPECT_FALSE(json::serialize(Value("\xff\xfe")).has_value());  // not UTF-8
}
