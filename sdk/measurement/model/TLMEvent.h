// One logged measurement event: origin, name, time, time of the previous occurrence, and its
// normalised parameters. The constructor is the gate every event passes: it validates origin and
// name, normalises the parameters (public and internal rules, error parameters, at most 25 public
// parameters) and records the origin as the parameter "_o".
//
// Events are shared objects (TLMEventPtr). The flag and screen operations change an event's
// parameters in place, so one event is changed by one queue at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "measurement/model/TLMObject.h"

class TLMEvent;
class TLMPBEvent;
using TLMEventPtr = std::shared_ptr<TLMEvent>;

// The fields of an "Event" message as an event is made from them: times in seconds, the origin
// from the string parameter "_o" (empty when there is none) and the other parameters as values.
struct TLMEventProtoFields {
  std::string name;
  double timestamp = 0;
  double previousTimestamp = 0;
  std::optional<std::string> origin;
  TLMObjectDictionary parameters;
};

// Called for each parameter of an "Event" message that is left out: with no name when the
// parameter has none, else with its name (it holds no string, integer or double).
using TLMSkippedEventParameter = std::function<void(const std::optional<std::string>& name)>;

class TLMEvent {
 public:
  // Designated constructor; nullptr when the origin or the name fails its checks. Rejected
  // parameters are dropped (the first problem is recorded in "_err"/"_ev"/"_el") and the event is
  // still made.
  static TLMEventPtr initWithOrigin(const std::string& origin, bool isPublic,
                                    const std::string& name, double timestamp,
                                    double previousTimestamp,
                                    const TLMObjectDictionary& parameters);

  // The event stored in an "Event" message; nullptr when it has no string "_o" parameter (the
  // origin) or fails the constructor's checks. Times come back at millisecond precision.
  static TLMEventPtr initWithEventProto(const TLMPBEvent& proto);
  // The fields initWithEventProto reads: the name, the times (milliseconds / 1000; an absent
  // previous time reads as 0) and the parameters, a string value before an integer before a
  // double. Empty when "_o" holds no string.
  static std::optional<TLMEventProtoFields> fieldsFromEventProto(
      const TLMPBEvent& proto, const TLMSkippedEventParameter& skipped = {});
  // The "Event" message: name, time and previous time (absent when not above 0) in milliseconds
  // truncated toward zero, and one "EventParam" per parameter ("_o" included); nullptr when the
  // message cannot be made.
  std::shared_ptr<TLMPBEvent> protoEvent() const;

  // Copies go through the designated constructor as internal events, so they are validated and
  // normalised again and may be nullptr.
  // `checked`: a previous timestamp later than the timestamp is said (16002); a caller whose
  // previous time may come from another process's event (whose order is not this one's) leaves
  // that check to where the events of one process meet.
  TLMEventPtr copyWithPreviousTimestamp(double previousTimestamp, bool checked = true) const;
  TLMEventPtr copyWithParameters(const TLMObjectDictionary& parameters) const;
  TLMEventPtr copy() const;

  // The conversion flag "_c". Setting it needs valid conversion parameters ("value" and
  // "currency"); clearing it records "_err" = 10 unless an error is already recorded.
  bool isConversion() const;
  void setConversion(bool conversion);
  bool isRealtime() const;
  void setRealtime(bool realtime);
  bool isDebug() const;
  void setDebug(bool debug);

  // Adds "_sc", "_si" and optionally "_sn" from `screenParameters`; true when they were added.
  bool addScreenParameters(const TLMObjectDictionary& screenParameters);

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  double timestamp() const { return timestamp_; }
  double previousTimestamp() const { return previousTimestamp_; }
  const TLMParameters& parameters() const { return parameters_; }

  // The normalised form of `parameters` under the public or internal rules; empty for empty
  // input.
  static std::optional<TLMParameters> normalizedParametersForParameters(
      const TLMObjectDictionary& parameters, bool isPublicEvent);
  // Whether `key` may name a parameter; on the first failure records "_err" (3 or 14), "_ev" and
  // possibly "_el" into `errorParameters`.
  static bool isValidParameterKey(const TLMObject& key, bool isPublicEvent,
                                  TLMParameters& errorParameters);

 private:
  TLMEvent() = default;

  std::string origin_;
  std::string name_;
  double timestamp_ = 0;
  double previousTimestamp_ = 0;
  TLMParameters parameters_;
};

// The number of public parameter names (non-empty, not starting with "_").
std::int32_t TLMEventPublicParameterCount(const TLMParameters& parameters);

// An event read back from the local store, with its row id and the fingerprint of the metadata it
// was stored with.
class TLMRawEventData {
 public:
  // Empty (after a log) for a null event or a negative row id.
  static std::optional<TLMRawEventData> initWithRawEvent(TLMEventPtr rawEvent, std::int64_t rowID,
                                                         std::int64_t metadataFingerprint);

  const TLMEventPtr& rawEvent() const { return rawEvent_; }
  std::int64_t rowID() const { return rowID_; }
  std::int64_t metadataFingerprint() const { return metadataFingerprint_; }

 private:
  TLMRawEventData(TLMEventPtr rawEvent, std::int64_t rowID, std::int64_t metadataFingerprint)
      : rawEvent_(std::move(rawEvent)), rowID_(rowID), metadataFingerprint_(metadataFingerprint) {}

  TLMEventPtr rawEvent_;
  std::int64_t rowID_;
  std::int64_t metadataFingerprint_;
};
