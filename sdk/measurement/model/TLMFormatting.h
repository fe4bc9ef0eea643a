// Display texts of names and parameter dictionaries for log lines. With the library's debug mode
// on (and the analytics facade present), internal codes show next to the public names they stand
// for, as in "screen_view (_vs)"; otherwise texts pass unchanged. Used only as monitor contexts.
#pragma once

#include <string>

#include "foundation/Value.h"
#include "measurement/model/TLMDataTypeValidator.h"
#include "measurement/model/TLMEvent.h"
#include "measurement/model/TLMObject.h"

std::string TLMFormattedName(const TLMObject& name, const TLMNameTable& table);
std::string TLMFormattedEventName(const TLMObject& name);
std::string TLMFormattedParameterName(const TLMObject& name);
// Names starting with "_exp_" always show as "experiment_id (<name>)".
std::string TLMFormattedUserPropertyName(const std::string& name);
// In debug mode: "{\n", one line "    <formatted name> = <value>;\n" per parameter (sorted
// case-insensitively; "_err" codes shown by name), then "}". Otherwise the plain description.
std::string TLMFormattedParametersDescription(const TLMObjectDictionary& parameters);
std::string TLMFormattedParametersDescription(const TLMParameters& parameters);

// An event's formatted name, and its formatted parameters, as monitor contexts.
inline platform::Value tlm_nameContext(const TLMEvent& event) {
  return platform::Value(TLMFormattedEventName(event.name()));
}
inline platform::Value tlm_parametersContext(const TLMEvent& event) {
  return platform::Value(TLMFormattedParametersDescription(event.parameters()));
}
