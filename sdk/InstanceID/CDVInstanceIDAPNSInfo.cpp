#include "InstanceID/CDVInstanceIDAPNSInfo.h"

#include "foundation/PropertyList.h"

std::shared_ptr<CDVInstanceIDAPNSInfo> CDVInstanceIDAPNSInfo::initWithTokenOptionsDictionary(
    const platform::Dictionary& options) {
  const platform::Value& token = options.get(kCDVInstanceIDTokenOptionsAPNSKey);
  const platform::Value& sandbox = options.get(kCDVInstanceIDTokenOptionsAPNSIsSandboxKey);
  if (!token.isData() || !sandbox.isNumber()) return nullptr;
  return std::make_shared<CDVInstanceIDAPNSInfo>(*token.dataPtr(), sandbox.boolValue().value_or(false));
}

platform::Dictionary CDVInstanceIDAPNSInfo::encode() const {
  return platform::Dictionary{{"device_token", platform::Value(deviceToken_)}, {"sandbox", sandbox_}};
}

std::shared_ptr<CDVInstanceIDAPNSInfo> CDVInstanceIDAPNSInfo::decode(const platform::Value& coded) {
  const platform::Value& token = coded["device_token"];
  if (!token.isData()) return nullptr;
  return std::make_shared<CDVInstanceIDAPNSInfo>(*token.dataPtr(), coded["sandbox"].boolValue().value_or(false));
}

platform::Bytes CDVInstanceIDAPNSInfo::archive() const {
  return platform::plist::write(platform::Value(encode()), platform::plist::Format::Binary).value_or(platform::Bytes());
}

std::shared_ptr<CDVInstanceIDAPNSInfo> CDVInstanceIDAPNSInfo::unarchive(const platform::Bytes& bytes) {
  std::optional<platform::Value> coded = platform::plist::read(bytes);
  if (!coded || !coded->isDictionary()) return nullptr;
  return decode(*coded);
}

bool CDVInstanceIDAPNSInfo::isEqualToAPNSInfo(const CDVInstanceIDAPNSInfo* other) const {
  if (other == nullptr) return false;
  if (other == this) return true;
  return deviceToken_ == other->deviceToken_ && sandbox_ == other->sandbox_;
}
