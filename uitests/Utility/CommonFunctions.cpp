#include "Utility/CommonFunctions.h"

#include <charconv>
#include <fstream>
#include <iostream>
#include <sstream>

#include "Extensions/TestEnvironment.h"
#include "Utility/TestBundle.h"
#include "Utility/TestFailure.h"

namespace {

// Reads and parses `name`.json from the bundle; on failure prints and records the error naming
// the file it looked for, and returns an empty optional.
std::optional<nlohmann::json> loadDocument(const std::string& name) {
  const std::string fileName = name + ".json";
  auto path = TestBundle::path(name, "json");
  std::string error;
  if (!path) {
    error = "Test data file \"" + fileName + "\" was not found in " + TestBundle::resourceDirectory();
  } else {
    std::ifstream in(*path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    if (!in) {
      error = "Test data file \"" + fileName + "\" could not be read";
    } else {
      try {
        return nlohmann::json::parse(buffer.str());
      } catch (const nlohmann::json::parse_error& e) {
        error = "Test data file \"" + fileName + "\" is not valid JSON: " + e.what();
      }
    }
  }
  std::cout << error << std::endl;
  TestFailure::record(error);
  return std::nullopt;
}

}  // namespace

std::string CommonFunctions::dataFileName(const std::string& filename) {
  return filename + "_" + testEnvironment();
}

std::vector<nlohmann::json> CommonFunctions::loadDataSourceArray(const std::string& filename) {
  const std::string name = dataFileName(filename);
  auto document = loadDocument(name);
  if (!document) return {};
  if (!document->is_array()) {
    std::string error = "Test data file \"" + name + ".json\" does not hold an array at top level";
    std::cout << error << std::endl;
    TestFailure::record(error);
    return {};
  }
  return document->get<std::vector<nlohmann::json>>();
}

CommonFunctions::JSONObject CommonFunctions::loadDataSourceObject(const std::string& filename) {
  const std::string name = dataFileName(filename);
  auto document = loadDocument(name);
  if (!document) return {};
  if (!document->is_object()) {
    std::string error = "Test data file \"" + name + ".json\" does not hold an object at top level";
    std::cout << error << std::endl;
    TestFailure::record(error);
    return {};
  }
  return document->get<JSONObject>();
}

Decimal CommonFunctions::roundUpFloat(float value) {
  // The shortest text that reads back as the same double, as the platform's formatters see a
  // float once it has been widened.
  char buffer[512];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(value),
                              std::chars_format::fixed);
  if (result.ec != std::errc()) {
    TestFailure::record("The amount " + std::to_string(value) + " cannot be rounded");
    return Decimal(0);
  }
  std::string text(buffer, result.ptr);
  // Only the first three fraction digits and whether anything follows them matter for a
  // rounding to two digits; dropping the rest keeps the number within a Decimal.
  auto point = text.find('.');
  if (point != std::string::npos && text.size() - point - 1 > 3) {
    bool sticky = text.find_first_not_of('0', point + 4) != std::string::npos;
    text.resize(point + 4);
    if (sticky) text += '1';
  }
  auto parsed = Decimal::fromString(text);
  if (!parsed) {
    TestFailure::record("The amount " + text + " is too large for a Decimal");
    return Decimal(0);
  }
  return parsed->roundedHalfEven(2).normalized();
}

Decimal CommonFunctions::roundUp(const std::string& text) {
  auto parsed = Decimal::fromString(text);
  if (!parsed) {
    TestFailure::record("\"" + text + "\" is not a decimal number");
    return Decimal(0);
  }
  return *parsed;
}

std::string CommonFunctions::currencyFormatFromDecimal(const Decimal& value) {
  Decimal rounded = value.roundedHalfEven(2);
  std::string plain = rounded.toString();
  bool negative = !plain.empty() && plain[0] == '-';
  if (negative) plain.erase(0, 1);
  std::string whole = plain, fraction;
  auto point = plain.find('.');
  if (point != std::string::npos) {
    whole = plain.substr(0, point);
    fraction = plain.substr(point + 1);
  }
  fraction.resize(2, '0');
  std::string grouped;
  for (std::size_t i = 0; i < whole.size(); ++i) {
    if (i > 0 && (whole.size() - i) % 3 == 0) grouped += ',';
    grouped += whole[i];
  }
  bool zero = rounded.isZero();
  return std::string(negative && !zero ? "-" : "") + "$" + grouped + "." + fraction;
}

std::string CommonFunctions::getDateFormatter(const Date& date, const std::string& format) {
  DateFormatter formatter;
  formatter.dateFormat = format;
  return formatter.string(date);
}

TestDataRow::TestDataRow(const nlohmann::json& row, std::string file, std::size_t index)
    : TestDataRow(row, std::move(file), "row " + std::to_string(index + 1)) {}

TestDataRow::TestDataRow(const nlohmann::json& row, std::string file, std::string where)
    : row_(row), file_(std::move(file)), where_(std::move(where)) {
  if (!row_.is_object()) {
    TestFailure::recordAndStop("Test data file \"" + CommonFunctions::dataFileName(file_) + ".json\", " +
                               where_ + ": not a JSON object");
  }
}

TestDataRow TestDataRow::member(const CommonFunctions::JSONObject& object, const std::string& key,
                                const std::string& file) {
  auto it = object.find(key);
  if (it == object.end()) {
    TestFailure::recordAndStop("Test data file \"" + CommonFunctions::dataFileName(file) +
                               ".json\": missing key \"" + key + "\"");
  }
  return TestDataRow(it->second, file, "key \"" + key + "\"");
}

void TestDataRow::fail(const std::string& key, const std::string& problem) const {
  TestFailure::recordAndStop("Test data file \"" + CommonFunctions::dataFileName(file_) + ".json\", " +
                             where_ + ", key \"" + key + "\": " + problem);
}

const nlohmann::json& TestDataRow::value(const std::string& key) const {
  auto it = row_.find(key);
  if (it == row_.end()) fail(key, "missing");
  return *it;
}

std::string TestDataRow::string(const std::string& key) const {
  const nlohmann::json& v = value(key);
  if (!v.is_string()) fail(key, std::string("expected text, found ") + v.type_name());
  return v.get<std::string>();
}

long long TestDataRow::integer(const std::string& key) const {
  const nlohmann::json& v = value(key);
  if (!v.is_number_integer()) fail(key, std::string("expected an integer, found ") + v.type_name());
  return v.get<long long>();
}

double TestDataRow::number(const std::string& key) const {
  const nlohmann::json& v = value(key);
  if (!v.is_number()) fail(key, std::string("expected a number, found ") + v.type_name());
  return v.get<double>();
}

TestDataRow TestDataRow::object(const std::string& key) const {
  return TestDataRow(value(key), file_, where_ + ", key \"" + key + "\"");
}

std::vector<TestDataRow> TestDataRow::list(const std::string& key) const {
  const nlohmann::json& v = value(key);
  if (!v.is_array()) fail(key, std::string("expected an array, found ") + v.type_name());
  std::vector<TestDataRow> entries;
  for (std::size_t i = 0; i < v.size(); ++i)
    entries.push_back(TestDataRow(v[i], file_, where_ + ", key \"" + key + "\" entry " + std::to_string(i + 1)));
  return entries;
}
