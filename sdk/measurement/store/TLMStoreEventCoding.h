// How the store writes measurement values and events into its columns and reads them back.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "foundation/Error.h"
#include "foundation/Value.h"
#include "measurement/model/TLMEvent.h"
#include "measurement/model/TLMValue.h"

class TLMPBEvent;

// The plain value of a measurement value: its string, double or 64-bit integer.
platform::Value TLMObjectFromValue(const TLMValue& value);

// The event as an "Event" message: parameters (the origin included as "_o"), name, and the
// times in milliseconds.
std::shared_ptr<TLMPBEvent> TLMStoreProtoEvent(const TLMEvent& event);

// The encoded "Event" message of an event; empty when it cannot be encoded.
std::optional<platform::Bytes> TLMNSDataFromEvent(const TLMEvent& event);

// Called for a parameter that holds no string, integer or double; gets the parameter name.
using TLMUnknownParameterHandler = std::function<void(const std::string& parameterName)>;

// Rebuilds an internal event from a decoded message: the origin comes from the string parameter
// "_o", the other parameters become values (string, then integer, then double). `name` and
// `timestamp` replace the message's own when given. Null with a code-2 error when the origin is
// missing or not a string, or the event fails its checks.
TLMEventPtr TLMStoreEventFromProto(const TLMPBEvent& proto, const std::optional<std::string>& name,
                                   const std::optional<double>& timestamp, platform::Error* error,
                                   const TLMUnknownParameterHandler& unknownParameter = {});

// The event stored in a blob column; null with a code-2 error when the value is not bytes, does
// not decode, or gives no event.
TLMEventPtr TLMEventFromNSData(const platform::Value& data, platform::Error* error);
