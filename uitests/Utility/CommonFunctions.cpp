#include "Utility/CommonFunctions.h"

#include <fstream>
#include <iostream>
#include <sstream>

#include "Extensions/TestEnvironment.h"
#include "Utility/TestBundle.h"
#include "Utility/TestFailure.h"

namespace {

// Prints the error of a data file and records it on the running test.
void reportDataError(const std::string& error) {
  std::cout << error << std::endl;
  TestFailure::record(error);
}

// Reads and parses `name`.json from the bundle; on failure reports the error naming the file it
// looked for, and returns an empty optional.
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
  reportDataError(error);
  return std::nullopt;
}

// The document of the data file `filename` when its top level is of the `kind` ("array" or
// "object"); otherwise the error is reported and the result is empty.
std::optional<nlohmann::json> loadDataSource(const std::string& filename, const std::string& kind) {
  const std::string name = CommonFunctions::dataFileName(filename);
  auto document = loadDocument(name);
  if (!document) return std::nullopt;
  if ((kind == "array" && !document->is_array()) || (kind == "object" && !document->is_object())) {
    reportDataError("Test data file \"" + name + ".json\" does not hold an " + kind + " at top level");
    return std::nullopt;
  }
  return document;
}

// An optional sign, then digits with at most one "." and at least one digit.
bool isPlainDecimal(const std::string& text) {
  std::size_t i = text.empty() || (text[0] != '+' && text[0] != '-') ? 0 : 1;
  bool digits = false, point = false;
  for (; i < text.size(); ++i) {
    if (text[i] == '.' && !point) {
      point = true;
    } else if (text[i] >= '0' && text[i] <= '9') {
      digits = true;
    } else {
      return false;
    }
  }
  return digits;
}

// The digits of a plain decimal from its first non-zero digit to its last non-zero one.
std::size_t significantDigits(const std::string& text) {
  std::string digits;
  for (char c : text)
    if (c >= '0' && c <= '9') digits += c;
  std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 0;
  return digits.find_last_not_of('0') - first + 1;
}

}  // namespace

std::string CommonFunctions::dataFileName(const std::string& filename) {
  return filename + "_" + testEnvironment();
}

std::vector<nlohmann::json> CommonFunctions::loadDataSourceArray(const std::string& filename) {
  auto document = loadDataSource(filename, "array");
  if (!document) return {};
  return document->get<std::vector<nlohmann::json>>();
}

CommonFunctions::JSONObject CommonFunctions::loadDataSourceObject(const std::string& filename) {
  auto document = loadDataSource(filename, "object");
  if (!document) return {};
  return document->get<JSONObject>();
}

platform::Decimal CommonFunctions::roundUpFloat(float value) {
  auto exact = platform::Decimal::fromDouble(static_cast<double>(value));
  if (!exact) {
    TestFailure::record("The amount " + std::to_string(value) + " cannot be rounded");
    return platform::Decimal();
  }
  return exact->rounded(2, platform::Decimal::Rounding::Bankers);
}

platform::Decimal CommonFunctions::roundUp(const std::string& text) {
  std::optional<platform::Decimal> parsed;
  if (isPlainDecimal(text)) parsed = platform::Decimal::parse(text);
  if (!parsed) {
    TestFailure::record("\"" + text + "\" is not a decimal number");
    return platform::Decimal();
  }
  if (significantDigits(text) > platform::Decimal::kMaxDigits) {
    TestFailure::record("\"" + text + "\" has more digits than a Decimal keeps");
    return platform::Decimal();
  }
  return *parsed;
}

std::string CommonFunctions::currencyFormatFromDecimal(const platform::Decimal& value) {
  // Rounded here first: a negative amount that rounds to zero becomes plain zero, "$0.00".
  return platform::formatCurrency(value.rounded(2, platform::Decimal::Rounding::Bankers), "en_US");
}

std::string CommonFunctions::getDateFormatter(const Date& date, const std::string& format) {
  return platform::DateFormatter(format).stringFromDate(date.timeIntervalSince1970());
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

TestDataList TestDataRow::list(const std::string& key) const {
  const nlohmann::json& v = value(key);
  if (!v.is_array()) fail(key, std::string("expected an array, found ") + v.type_name());
  return TestDataList(v, file_, where_ + ", key \"" + key + "\"");
}

TestDataRow TestDataRow::first(const std::string& key) const {
  TestDataList entries = list(key);
  if (entries.size() == 0) fail(key, "expected at least one entry, found an empty array");
  return entries[0];
}

TestDataRow TestDataList::operator[](std::size_t index) const {
  return TestDataRow(entries_.at(index), file_, where_ + " entry " + std::to_string(index + 1));
}
