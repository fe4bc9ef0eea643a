// SQLite's own messages of the errors it meets, kept so that a test that fails on a store says
// why: a store's call that fails may say only that it failed, and the connection's last message
// is gone once another call succeeds; SQLite's log names the cause ("database or disk is full").
// The log can be set only before SQLite starts, so a test support class installs it when it is
// made, before it opens anything; where SQLite had started already, nothing is kept. A failed
// commit is not logged at all (see FreeSpace.h for what tells a full disk then).
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

namespace testsupport {

class SQLiteErrors {
 public:
  // Installs the log once in the process; every call marks where the messages of `since` begin.
  SQLiteErrors() {
    static const bool installed = sqlite3_config(SQLITE_CONFIG_LOG, &SQLiteErrors::record, nullptr) == SQLITE_OK;
    (void)installed;
    std::lock_guard<std::mutex> lock(state().mutex);
    first_ = state().count;
  }

  // The messages logged since this was made, one a line, each after "\n  SQLite: ".
  std::string since() const {
    std::lock_guard<std::mutex> lock(state().mutex);
    std::string text;
    const std::size_t kept = state().messages.size();
    const std::size_t skip = first_ + kept > state().count ? first_ + kept - state().count : 0;
    for (std::size_t i = skip; i < kept; ++i) text += "\n  SQLite: " + state().messages[i];
    return text;
  }

 private:
  static constexpr std::size_t kKept = 20;  // the latest messages

  struct State {
    std::mutex mutex;
    std::deque<std::string> messages;
    std::size_t count = 0;  // messages logged in all
  };
  static State& state() {
    static State* s = new State;  // never destroyed: SQLite may log while the process ends
    return *s;
  }
  static void record(void*, int code, const char* message) {
    const int primary = code & 0xff;
    if (primary == SQLITE_NOTICE || primary == SQLITE_WARNING) return;
    std::string text = message != nullptr ? message : "";
    if (text.find(sqlite3_errstr(code)) == std::string::npos) text += std::string(" (") + sqlite3_errstr(code) + ")";
    std::lock_guard<std::mutex> lock(state().mutex);
    state().messages.push_back(std::move(text));
    if (state().messages.size() > kKept) state().messages.pop_front();
    ++state().count;
  }

  std::size_t first_ = 0;
};

// "\n  SQLite, last: <message>" for a connection's last message (TLMSqliteStore::lastErrorMessage),
// which is that of its last call that failed unless a call succeeded since; empty without one.
inline std::string lastSQLiteMessage(const std::optional<std::string>& message) {
  if (!message || message->empty() || *message == "not an error") return {};
  return "\n  SQLite, last: " + *message;
}

}  // namespace testsupport
