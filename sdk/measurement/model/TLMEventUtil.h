// Functions over events' parameter dictionaries: recording a problem as error parameters
// ("_err", "_ev", "_el") or as an internal "_err" event, telling public names from internal ones,
// screen parameters, the conversion check, and the decomposition of events whose parameters hold
// arrays into a main event and child events.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "measurement/model/TLMEvent.h"
#include "measurement/model/TLMObject.h"

// The parameter of an event that holds the value in error ("_ev").
inline constexpr const char* kTLMErrorValueParameterKey = "_ev";
// At most this many child events per array parameter.
inline constexpr std::size_t kTLMMeasurementMaxExtraParamEventsCountPerParam = 1000;

// Error code -> name for log lines ("NoError", "InvalidQPXAppID", ...).
const std::map<std::int64_t, std::string>& TLMErrorEventCodeNames();

// Logs the internal event "_err" (origin "auto") with "_err" = code; code 0 does nothing.
void TLMLogErrorEventWithCode(std::int64_t code);
// The same with the error value (trimmed to `limit` code points) and, when `lengthSource` is a
// string longer than `limit` or the code is 4 or 7, the error length.
void TLMLogErrorEventWithParameters(std::int64_t code, const TLMObject& value, std::uint32_t limit,
                                    const TLMObject& lengthSource);

// Sets "_ev" (the value's text cut to `limit` code points plus "...") and, when a length source is
// given, "_el" (its length in code points); nothing when "_ev" or "_el" is already present.
void TLMAddErrorValueAndLengthParameters(TLMParameters& parameters, const TLMObject& value,
                                         std::uint32_t limit, const TLMObject& lengthSource);
// Sets "_err" unless present.
void TLMAddErrorParameter(TLMParameters& parameters, std::int64_t code);
// Sets "_err", "_ev" and maybe "_el" when none of them is present: the first problem wins.
void TLMAddErrorParameters(TLMParameters& parameters, std::int64_t code, const TLMObject& value,
                           std::uint32_t limit, const TLMObject& lengthSource);

// True for a non-empty string whose first character is not "_"; logs and answers false for an
// empty string or a non-string.
bool TLMEventUtilIsPublicName(const TLMObject& name);

// Any of "_sn", "_sc", "_si" present.
bool TLMHasScreenParameters(const TLMObjectDictionary& parameters);
bool TLMHasScreenParameters(const TLMParameters& parameters);
// A new dictionary with those of "_sn", "_sc", "_si" that are present.
TLMObjectDictionary TLMExtractScreenParameters(const TLMObjectDictionary& parameters);
TLMParameters TLMExtractScreenParameters(const TLMParameters& parameters);

// Checks "value" (numeric) and "currency" (3 letters) of a conversion; on failure removes "value",
// records the error (18 or 19) and answers false. No "value" passes.
bool TLMValidateConversionEventParameters(TLMParameters& parameters);

// --- Decomposition ------------------------------------------------------------------------------

// The event's name is "_err".
bool TLMEventUtilIsErrorEvent(const TLMEvent& event);
// Some parameter value is an array.
bool TLMHasArrayParameters(const TLMObjectDictionary& parameters);
// The accepted string keys in "en_US" order; records key problems into `errorParameters`.
std::optional<std::vector<std::string>> TLMSortedParamKeysFromEvent(
    const TLMObjectDictionary& parameters, bool isPublic, TLMParameters& errorParameters);
// One child event ("_ep") per non-empty dictionary of `array`.
std::optional<std::vector<TLMEventPtr>> TLMExtractChildEventsFromParamValue(
    const platform::Array& array, const std::string& origin, bool isPublic,
    const std::string& mainEventName, const std::string& key, std::int64_t eventID,
    double timestamp, TLMParameters& errorParameters);
// The main event with "_epc"/"_eid" (when it has children) and the error parameters added.
TLMEventPtr TLMValidatedMainEvent(const TLMEventPtr& event, std::int64_t eventID,
                                  const std::map<std::string, std::int64_t>& childCounts,
                                  const TLMParameters& errorParameters);
// The main event first, then the child events grouped by key in sorted key order; empty when the
// main event cannot be made.
std::optional<std::vector<TLMEventPtr>> TLMDecomposeEvent(std::int64_t eventID,
                                                          const std::string& name,
                                                          const std::string& origin,
                                                          const TLMObjectDictionary& parameters,
                                                          bool isPublic, double timestamp);
