// Static helpers shared by the test classes and page objects: test-data loading, the relaunch
// rule of data-driven tests, system permission prompts, money rounding and currency text, and
// date text.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Extensions/Date.h"
#include "foundation/Decimal.h"

class TestDataList;
class TestDataRow;
class XCTestCase;
class XCUIApplication;

class CommonFunctions {
 public:
  using JSONObject = nlohmann::json::object_t;

  // The resource name of a data file: base name, "_" and the test environment ("LoginTestData_sim").
  static std::string dataFileName(const std::string& filename);

  // The rows of the data file `filename`_<test_env>.json, in file order. When the file is missing,
  // unreadable, not JSON or has no array at top level, the error is printed, a failure naming the
  // file is recorded on the running test, and the result is empty. An empty array is no error.
  static std::vector<nlohmann::json> loadDataSourceArray(const std::string& filename);
  // The top-level object of the data file; an empty object (and a recorded failure) otherwise.
  static JSONObject loadDataSourceObject(const std::string& filename);

  // False for the first iteration (1), true for every other: data-driven tests relaunch the app
  // before every row whose "id" is not 1.
  static bool determineSetUp(int iteration) { return iteration != 1; }

  // Runs `body` on each row of the data file `filename`, in file order. Before every row whose
  // "id" is not 1 the app is relaunched through `test.setUp()` (determineSetUp).
  static void forEachDataRow(XCTestCase& test, const std::string& filename,
                             const std::function<void(const TestDataRow&)>& body);

  // The setUp of the suite's plain test classes: the first failure ends the test method, and the
  // app is launched anew.
  static void launchAppStoppingAtFirstFailure(XCTestCase& test);
  // Taps "OK" on the springboard's first alert when there is one; no wait.
  static void acceptPermissionsPromptIfRequired();

  // The float, widened to double, as the shortest decimal that reads back as it, rounded to at
  // most two fraction digits, ties to even: 1.005f gives 1, 2.675f gives 2.67, 1.5f gives 1.5.
  // NaN and the infinities record a failure on the running test and give zero.
  static platform::Decimal roundUpFloat(float value);
  // The Decimal written in `text` with all its digits. Text that is not a plain decimal number
  // (optional sign, digits with an optional "." and fraction digits: no blanks, grouping or
  // exponent) or has more than 38 significant digits records a failure on the running test and
  // gives zero.
  static platform::Decimal roundUp(const std::string& text);
  // en_US currency text with grouping and two fraction digits, rounded ties to even:
  // "$1,234.50", "-$0.05". An amount that rounds to zero has no minus sign.
  static std::string currencyFormatFromDecimal(const platform::Decimal& value);

  // The date in `format` (the platform's date patterns) in the device's time zone.
  static std::string getDateFormatter(const Date& date, const std::string& format);
};

// Reads the keys of one test-data row. A row that is not an object, a missing key or a value of
// another kind records a failure naming the file, the row and the key, and ends the test method.
class TestDataRow {
 public:
  // `file` is the base name of the data file; `index` the row's zero-based position.
  TestDataRow(const nlohmann::json& row, std::string file, std::size_t index);
  // The object stored under `key` of a data file's top-level object (RSATestData's "CHALLENGE").
  static TestDataRow member(const CommonFunctions::JSONObject& object, const std::string& key,
                            const std::string& file);

  std::string string(const std::string& key) const;
  long long integer(const std::string& key) const;
  // A number of either kind ("value" of a balance).
  double number(const std::string& key) const;
  // The object stored under `key`, read with the same rules.
  TestDataRow object(const std::string& key) const;
  // The entries of the array stored under `key`, read one by one in order: an entry that is not
  // an object fails when the walk reaches it, after the entries before it have been used.
  TestDataList list(const std::string& key) const;
  // The first entry of the array stored under `key`; an empty array fails like a missing key.
  TestDataRow first(const std::string& key) const;
  bool contains(const std::string& key) const { return row_.contains(key); }
  const nlohmann::json& json() const { return row_; }

 private:
  friend class TestDataList;
  TestDataRow(const nlohmann::json& row, std::string file, std::string where);
  [[noreturn]] void fail(const std::string& key, const std::string& problem) const;
  const nlohmann::json& value(const std::string& key) const;

  nlohmann::json row_;
  std::string file_;
  std::string where_;
};

// The entries of an array in a test-data row. Each entry becomes a TestDataRow only when it is
// reached, so the checks of the entries before a malformed one still run, in file order.
class TestDataList {
 public:
  class iterator {
   public:
    iterator(const TestDataList* list, std::size_t index) : list_(list), index_(index) {}
    TestDataRow operator*() const { return (*list_)[index_]; }
    iterator& operator++() {
      ++index_;
      return *this;
    }
    bool operator!=(const iterator& other) const { return index_ != other.index_; }

   private:
    const TestDataList* list_;
    std::size_t index_;
  };

  TestDataList(nlohmann::json entries, std::string file, std::string where)
      : entries_(std::move(entries)), file_(std::move(file)), where_(std::move(where)) {}

  std::size_t size() const { return entries_.size(); }
  // The entry at `index` (zero-based); one that is not an object records a failure naming the
  // file, the row, the key and the entry, and ends the test method.
  TestDataRow operator[](std::size_t index) const;
  iterator begin() const { return iterator(this, 0); }
  iterator end() const { return iterator(this, entries_.size()); }

 private:
  nlohmann::json entries_;
  std::string file_;
  std::string where_;
};
