// Stored audience filters and results: the encoded filter or result messages with the ids that
// identify them. Inputs are taken as they are (copied) and never fail.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "foundation/Value.h"

class TLMEventFilter {
 public:
  TLMEventFilter(std::int32_t audienceID, std::int32_t filterID, std::string eventName,
                 platform::Bytes data, bool sessionScoped)
      : audienceID_(audienceID),
        filterID_(filterID),
        eventName_(std::move(eventName)),
        data_(std::move(data)),
        sessionScoped_(sessionScoped) {}

  std::int32_t audienceID() const { return audienceID_; }
  std::int32_t filterID() const { return filterID_; }
  const std::string& eventName() const { return eventName_; }
  // The encoded "EventFilter" message.
  const platform::Bytes& data() const { return data_; }
  bool isSessionScoped() const { return sessionScoped_; }

 private:
  std::int32_t audienceID_;
  std::int32_t filterID_;
  std::string eventName_;
  platform::Bytes data_;
  bool sessionScoped_;
};

class TLMPropertyFilter {
 public:
  TLMPropertyFilter(std::int32_t audienceID, std::int32_t filterID, std::string propertyName,
                    platform::Bytes data, bool sessionScoped)
      : audienceID_(audienceID),
        filterID_(filterID),
        propertyName_(std::move(propertyName)),
        data_(std::move(data)),
        sessionScoped_(sessionScoped) {}

  std::int32_t audienceID() const { return audienceID_; }
  std::int32_t filterID() const { return filterID_; }
  const std::string& propertyName() const { return propertyName_; }
  // The encoded "PropertyFilter" message.
  const platform::Bytes& data() const { return data_; }
  bool isSessionScoped() const { return sessionScoped_; }

 private:
  std::int32_t audienceID_;
  std::int32_t filterID_;
  std::string propertyName_;
  platform::Bytes data_;
  bool sessionScoped_;
};

class TLMFilterResult {
 public:
  // Each result is an encoded "ResultData" message, or empty.
  TLMFilterResult(std::int32_t audienceID, std::optional<platform::Bytes> currentResults,
                  std::optional<platform::Bytes> previousResults)
      : audienceID_(audienceID),
        currentResults_(std::move(currentResults)),
        previousResults_(std::move(previousResults)) {}

  std::int32_t audienceID() const { return audienceID_; }
  const std::optional<platform::Bytes>& currentResults() const { return currentResults_; }
  const std::optional<platform::Bytes>& previousResults() const { return previousResults_; }

 private:
  std::int32_t audienceID_;
  std::optional<platform::Bytes> currentResults_;
  std::optional<platform::Bytes> previousResults_;
};
