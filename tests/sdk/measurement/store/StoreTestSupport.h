// Shared helpers of the store tests: a fresh temporary directory per test and raw SQLite access
// to inspect or prepare files behind the store's back.
#pragma once

#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FreeSpace.h"
#include "SQLiteErrors.h"
#include "measurement/store/TLMSqliteStore.h"

class TempDirectory {
 public:
  TempDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tlmstore-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    char* made = ::mkdtemp(buffer.data());
    path_ = made != nullptr ? made : "";
  }
  ~TempDirectory() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A plain connection for preparing and inspecting files.
class RawDatabase {
 public:
  explicit RawDatabase(const std::string& path) {
    EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK) << path << ": " << sqlite3_errmsg(db_);
  }
  ~RawDatabase() { sqlite3_close(db_); }
  void exec(const std::string& sql) {
    char* message = nullptr;
    int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
    EXPECT_EQ(rc, SQLITE_OK) << sql << ": " << (message ? message : "");
    sqlite3_free(message);
  }
  // First column of every row as text ("NULL" for null).
  std::vector<std::string> column(const std::string& sql) {
    std::vector<std::string> out;
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr), SQLITE_OK)
        << sql << ": " << sqlite3_errmsg(db_);
    while (statement && sqlite3_step(statement) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(statement, 0);
      out.emplace_back(text ? reinterpret_cast<const char*>(text) : "NULL");
    }
    sqlite3_finalize(statement);
    return out;
  }
  std::string scalar(const std::string& sql) {
    auto values = column(sql);
    return values.empty() ? std::string() : values.front();
  }
  sqlite3* handle() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

// What `monitor` recorded at warning level or worse, one line each with its context (a failure's
// own message, SQLite's among them): a test that fails on a store it could not use says why.
inline std::string reported(const TLMStoreRecordingMonitor& monitor) {
  std::string text;
  for (const auto& line : monitor.lines()) {
    if (line.level > 4) continue;
    text += "\n  " + line.message;
    for (const platform::Value& context : line.context) {
      const auto error = context.objectAs<platform::Error>();
      text += " " + (error ? error->description : context.description());
    }
  }
  return text;
}

// A fixture on stores in a temporary folder of its own: a failed test says what the store and
// SQLite reported (a full disk, say) and the free space left there.
class StoreFixture : public ::testing::Test {
 protected:
  void TearDown() override {
    if (HasFailure()) ADD_FAILURE() << "what the store reported:" << whatWasReported();
  }
  // The monitor's lines, SQLite's own messages since the fixture was made, the free space left.
  std::string whatWasReported() const {
    return reported(monitor) + sqliteErrors.since() + testsupport::freeSpace(dir.path());
  }

  testsupport::SQLiteErrors sqliteErrors;  // made before any store opens
  TempDirectory dir;
  TLMStoreRecordingMonitor monitor;
};

// A setting of all the store's connections, `set` to a value for the test's lifetime.
template <typename T, T (*get)(), void (*set)(T)>
class ScopedStoreSetting {
 public:
  explicit ScopedStoreSetting(T value) : previous_(get()) { set(value); }
  ~ScopedStoreSetting() { set(previous_); }
  ScopedStoreSetting(const ScopedStoreSetting&) = delete;
  ScopedStoreSetting& operator=(const ScopedStoreSetting&) = delete;

 private:
  T previous_;
};

// Lock waits of the store's connections (milliseconds): tests that hold a lock on purpose let the
// store fail at once instead of waiting for real.
using ScopedBusyTimeout = ScopedStoreSetting<int, &TLMSqliteStore::busyTimeoutMilliseconds,
                                             &TLMSqliteStore::setBusyTimeoutMilliseconds>;
// The pause a committing connection gives a waiter (microseconds).
using ScopedTurnGiven =
    ScopedStoreSetting<long, &TLMSqliteStore::turnGivenMicroseconds, &TLMSqliteStore::setTurnGivenMicroseconds>;
