#include <gtest/gtest.h>

#include <string>

#include "dispatch/Random.h"
#include "obx/OBXGzip.h"

using platform::Bytes;

namespace {

Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// `printf 'hello, gzip' | gzip -n` and `printf 'second' | gzip -n`.
const Bytes kHelloMember = {0x1f, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0xcb,
                            0x48, 0xcd, 0xc9, 0xc9, 0xd7, 0x51, 0x48, 0xaf, 0xca, 0x2c, 0x00,
                            0x00, 0x4a, 0x9b, 0xb1, 0x5c, 0x0b, 0x00, 0x00, 0x00};
const Bytes kSecondMember = {0x1f, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x2b, 0x4e, 0x4d,
                             0xce, 0xcf, 0x4b, 0x01, 0x00, 0x69, 0x11, 0x1f, 0xb6, 0x06, 0x00, 0x00, 0x00};

}  // namespace

TEST(Gzip, RoundTripsEmptyTextAndLargeBinaryData) {
  Bytes large(3 * 1024 * 1024 + 17);
  platform::Random::system()->fillBytes(large.data(), large.size());
  for (const Bytes& input : {Bytes{}, bytes("Grüße, 世界"), large}) {
    platform::Error error;
    Bytes compressed = obx_dataByGzippingData(input, &error);
    ASSERT_GE(compressed.size(), 18u);
    EXPECT_EQ(compressed[0], 0x1f);  // gzip magic and deflate method
    EXPECT_EQ(compressed[1], 0x8b);
    EXPECT_EQ(compressed[2], 0x08);
    Bytes restored = obx_dataByInflatingGzippedData(compressed, &error);
    EXPECT_EQ(restored, input);
    EXPECT_EQ(error.code, 0);
  }
}

TEST(Gzip, InflatesWhatTheGzipToolWritesIncludingConcatenatedMembers) {
  EXPECT_EQ(obx_dataByInflatingGzippedData(kHelloMember), bytes("hello, gzip"));
  Bytes both = kHelloMember;
  both.insert(both.end(), kSecondMember.begin(), kSecondMember.end());
  EXPECT_EQ(obx_dataByInflatingGzippedData(both), bytes("hello, gzipsecond"));
}

TEST(Gzip, CorruptTruncatedOrEmptyInputGivesEmptyDataAndAnError) {
  Bytes corruptCRC = kHelloMember;
  corruptCRC[kHelloMember.size() - 6] ^= 0xff;
  Bytes truncated(kHelloMember.begin(), kHelloMember.end() - 3);
  Bytes trailing = kHelloMember;
  trailing.push_back(0x42);
  Bytes zlibNotGzip = {0x78, 0x9c, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01};
  for (const Bytes& input : {corruptCRC, truncated, trailing, zlibNotGzip, bytes("plain text"), Bytes{}}) {
    platform::Error error;
    EXPECT_TRUE(obx_dataByInflatingGzippedData(input, &error).empty());
    EXPECT_EQ(error.domain, kOBXZlibErrorDomain);
    EXPECT_NE(error.code, 0);
    EXPECT_FALSE(error.description.empty());
  }
  EXPECT_TRUE(obx_dataByInflatingGzippedData(truncated, nullptr).empty());  // no out-parameter: no crash
}
