// For the test hosts that tests run: how many events of each name the app's measurement store
// holds, printed on one line, "<name> <count> <name> <count> ...".
#pragma once

#include <cstdint>
#include <initializer_list>
#include <iostream>

#include "measurement/store/TLMDatabase.h"
#include "measurement/store/TLMSqliteStore.h"

namespace testsupport {

// The exit status of a host's "count" mode: 0 when printed, 1 when the store could not be opened.
inline int printStoredEvents(std::initializer_list<const char*> names) {
  auto database = TLMDatabase::initWithDatabaseName(kTLMDatabaseFileName, nullptr, nullptr);
  if (!database) return 1;
  const char* separator = "";
  for (const char* name : names) {
    platform::Array arguments;
    arguments.push_back(platform::Value(name));
    auto stored = database->sqliteStore()->numberForQuery("SELECT count(1) FROM raw_events WHERE name = ?",
                                                          arguments, nullptr);
    std::cout << separator << name << ' ' << (stored ? stored->int64Value().value_or(-1) : std::int64_t{-1});
    separator = " ";
  }
  std::cout << '\n';
  return 0;
}

}  // namespace testsupport
