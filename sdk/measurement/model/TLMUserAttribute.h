// One user property: origin, name, value and when it was last set.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "measurement/model/TLMValue.h"

class TLMPBUserAttribute;

class TLMUserAttribute {
 public:
  // Empty when the name fails the internal name rules or the value the internal value rules for
  // that name (the validator logs why). The origin is not checked and may be empty.
  static std::optional<TLMUserAttribute> initWithOrigin(const std::string& origin,
                                                        const std::string& name,
                                                        const TLMValue& value,
                                                        double lastSetTimestamp);

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  const TLMValue& value() const { return value_; }
  double lastSetTimestamp() const { return lastSetTimestamp_; }
  // The name is non-empty and does not start with "_".
  bool isPublic() const;
  // The "UserAttribute" message: set time in milliseconds, name and value (the origin is not
  // written); nullptr when the message cannot be made.
  std::shared_ptr<TLMPBUserAttribute> protoUserAttribute() const;

 private:
  TLMUserAttribute(std::string origin, std::string name, TLMValue value, double lastSetTimestamp)
      : origin_(std::move(origin)),
        name_(std::move(name)),
        value_(std::move(value)),
        lastSetTimestamp_(lastSetTimestamp) {}

  std::string origin_;
  std::string name_;
  TLMValue value_;
  double lastSetTimestamp_;
};
