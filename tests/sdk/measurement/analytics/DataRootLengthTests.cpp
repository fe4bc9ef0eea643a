// A data root is measured with the longest path the SDK keeps under it, the measurement store's
// rollback journal, which SQLite opens only when the database's full path and the journal's suffix
// fit its limit: a root whose store fits just so is configured and keeps every event it logs; one
// a byte longer is refused by `configure`, saying why and what to do, before anything is made.
// Each launch runs the log_then_end host (LogThenEndHost.cpp) in a process of its own, as the
// roots named by the environment are read once per process.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "HostCommand.h"
#include "measurement/model/TLMUtil.h"
#include "measurement/store/TLMDatabaseSchema.h"

namespace {

// The longest root whose store SQLite can open, as the SDK names the store under a root.
std::size_t longestRootForTheStore() {
  if (sqlite3_initialize() != SQLITE_OK || sqlite3_vfs_find(nullptr) == nullptr) return 0;
  const std::string journal = std::string("/Library/Application Support/") +
                              kTLMMeasurementApplicationSupportSubdirectory + "/" + kTLMDatabaseFileName + "-journal";
  return static_cast<std::size_t>(sqlite3_vfs_find(nullptr)->mxPathname) - journal.size();
}

// `path` made `size` bytes long by names of at most 200 bytes.
std::string lengthened(std::string path, std::size_t size) {
  while (path.size() + 1 < size) {
    std::size_t name = size - path.size() - 1;
    if (name > 200) name = name == 201 ? 199 : 200;  // room for one more "/" and a name
    path += "/" + std::string(name, 'r');
  }
  return path;
}

struct Launch {
  int status = -1;
  std::string output;
};

Launch launch(const std::string& root, const std::string& device, const std::string& arguments) {
  Launch run;
  run.status = hosttest::runCommand("VESMORA_MAIN_BUNDLE='" EXAMPLE_BUNDLE "' VESMORA_SANDBOX_ROOT='" + root +
                                        "' VESMORA_DEVICE_ROOT='" + device + "' '" LOG_THEN_END_HOST "' " +
                                        arguments + " 2>&1",
                                    &run.output);
  return run;
}

}  // namespace

TEST(DataRootLength, ARootIsMeasuredWithItsStoresJournalAndOneTooLongRefusedAtConfigure) {
  std::string base = std::filesystem::temp_directory_path().string() + "/vesmora-root-length-XXXXXX";
  ASSERT_NE(::mkdtemp(base.data()), nullptr);
  const std::size_t longest = longestRootForTheStore();
  ASSERT_GT(longest, base.size() + 8) << "the temporary folder's path leaves no room to try";
  const std::string device = base + "/device";

  const std::string fits = lengthened(base + "/fits", longest);
  ASSERT_EQ(fits.size(), longest);
  const Launch logged = launch(fits, device, "log 5");
  EXPECT_EQ(logged.status, 0) << logged.output;  // the end answered that every event was stored
  const Launch counted = launch(fits, device, "count");
  EXPECT_EQ(counted.status, 0) << counted.output;
  EXPECT_NE(counted.output.find("5\n"), std::string::npos) << counted.output;

  const std::string over = lengthened(base + "/over", longest + 1);
  ASSERT_EQ(over.size(), longest + 1);
  const Launch refused = launch(over, device, "log 5");
  EXPECT_NE(refused.status, 0) << refused.output;
  for (const std::string& said : {std::string("The path of the app's data folder is too long"), "\"" + over + "\"",
                                  std::string("ombrix-tally-mark.sql-journal"), std::string("File name too long"),
                                  std::string("Choose a folder with a shorter path, with VESMORA_SANDBOX_ROOT")}) {
    EXPECT_NE(refused.output.find(said), std::string::npos) << said << "\n" << refused.output;
  }
  EXPECT_FALSE(std::filesystem::exists(base + "/over"));
  std::filesystem::remove_all(base);
}
