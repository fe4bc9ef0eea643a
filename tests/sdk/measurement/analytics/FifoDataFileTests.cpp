// A FIFO where the SDK keeps one of its data files (a preferences file, the install identifier)
// is not waited on: configuring the app still returns. Each case runs the host (no_folder_host,
// NoFolderHost.cpp) in a process of its own with the app's folders chosen, the FIFO made
// beforehand, and a time limit that a host waiting on the FIFO runs into.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "HostCommand.h"

namespace {

struct HostRun {
  int status = -1;  // the exit status; 124 when the time limit ended the host
  std::string output;
};

// Runs the host's `part` with a FIFO at `file` (relative to the app's folders).
HostRun runHostWithAFifoAt(const std::string& part, const std::string& file) {
  HostRun run;
  std::string base = std::filesystem::temp_directory_path().string() + "/vesmora-fifo-XXXXXX";
  if (::mkdtemp(base.data()) == nullptr) return run;
  const std::filesystem::path fifo = base + "/" + file;
  std::error_code ec;
  std::filesystem::create_directories(fifo.parent_path(), ec);
  if (ec || ::mkfifo(fifo.c_str(), 0600) != 0) return run;
  // A run takes about a second; the bound (beyond the host's own wait for its answers) only tells
  // a host that waits on the FIFO from a busy machine.
  const std::string command = "timeout 90 env -u VESMORA_MAIN_BUNDLE VESMORA_SANDBOX_ROOT='" + base +
                              "/app' VESMORA_DEVICE_ROOT='" + base + "/device' XDG_DATA_HOME='" + base +
                              "/data' '" NO_FOLDER_HOST "' " + part + " 2>&1";
  run.status = hosttest::runCommand(command, &run.output);
  std::filesystem::remove_all(base, ec);
  return run;
}

TEST(FifoDataFileTest, ConfiguringReturnsWithAFifoInPlaceOfAnyDataFile) {
  for (const char* file : {"app/Library/Preferences/com.ombrix.qpx.measurement.plist",
                           "app/Library/Preferences/com.ombrix.qpx.measurement.monitor.plist",
                           "app/Library/Application Support/Ombrix/CDVApp/CINDERVALE_UNIQUE_INSTALL"}) {
    const HostRun run = runHostWithAFifoAt("core", file);
    EXPECT_EQ(run.status, 0) << file << "\n" << run.output;
    EXPECT_NE(run.output.find("CDVApp::configureWithOptions: configured"), std::string::npos)
        << file << "\n" << run.output;
    for (const char* escaped : {"THREW", "AddressSanitizer", "runtime error"}) {
      EXPECT_EQ(run.output.find(escaped), std::string::npos) << file << ": " << escaped;
    }
  }
}

}  // namespace
