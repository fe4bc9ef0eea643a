#include "measurement/model/TLMFormatting.h"

#include <algorithm>
#include <vector>

#include "foundation/Format.h"
#include "foundation/Text.h"
#include "measurement/model/TLMEventUtil.h"
#include "measurement/model/TLMMonitor.h"

namespace {

bool isDebugMode() { return TLMMeasurement::monitor()->isDebugModeEnabled(); }

std::string combined(const std::string& publicName, const std::string& internalName) {
  return platform::format("%@ (%@)", publicName, internalName);
}

}  // namespace

std::string TLMFormattedName(const TLMObject& name, const TLMNameTable& table) {
  const std::string* text = name.stringPtr();
  if (text == nullptr) return name.description();
  if (text->empty() || table.empty()) return *text;
  if ((*text)[0] != '_') return *text;  // a public name
  if (!isDebugMode() || !TLMMeasurement::isAnalyticsFacadePresent()) return *text;
  for (const auto& [publicName, internalName] : table) {
    if (internalName == *text) return publicName.empty() ? *text : combined(publicName, *text);
  }
  return *text;
}

std::string TLMFormattedEventName(const TLMObject& name) {
  return TLMFormattedName(name, TLMInternalEventNames());
}

std::string TLMFormattedParameterName(const TLMObject& name) {
  return TLMFormattedName(name, TLMInternalParameterNames());
}

std::string TLMFormattedUserPropertyName(const std::string& name) {
  if (name.starts_with("_exp_")) return combined("experiment_id", name);
  return TLMFormattedName(TLMObject(name), TLMInternalUserPropertyNames());
}

std::string TLMFormattedParametersDescription(const TLMObjectDictionary& parameters) {
  if (!isDebugMode()) return platform::Value(parameters.toDictionary()).description();
  std::vector<std::string> lines;
  for (const auto& [key, value] : parameters) {
    std::string valueText = value.description();
    if (key == "_err") {
      if (const TLMValue* code = value.tlmValue(); code != nullptr && code->isInt64()) {
        const auto& names = TLMErrorEventCodeNames();
        auto it = names.find(code->int64Value());
        valueText = it != names.end() && !it->second.empty()
                        ? combined(it->second, code->description())
                        : code->description();
      }
    }
    lines.push_back(
        platform::format("    %@ = %@;\n", TLMFormattedParameterName(TLMObject(key)), valueText));
  }
  std::stable_sort(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
    return platform::text::caseInsensitiveCompare(a, b) == platform::text::Ordering::Ascending;
  });
  std::string out = "{\n";
  for (const std::string& line : lines) out += line;
  return out + "}";
}

std::string TLMFormattedParametersDescription(const TLMParameters& parameters) {
  return TLMFormattedParametersDescription(TLMObjectDictionary(parameters));
}
