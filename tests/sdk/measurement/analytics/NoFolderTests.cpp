// Every public entry point of the SDK, called by a host that has no folder for the app's data
// (no main bundle, so no identifier to name the per-app folders, and no chosen roots), answers
// through its own error path (a result, an error handed to its handler, a log line) with the one
// reason the sandbox gives, and nothing escapes: no exception out of a call or a queued block,
// no abort, every handler answered once. Each part of the SDK runs in a host process of its own
// (no_folder_host, NoFolderHost.cpp), as the sandbox resolves its roots once per process.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "HostCommand.h"

namespace {

constexpr const char* kReason =
    "No bundle identifier to keep the app's data apart from other apps' data: no main bundle is set. Give the "
    "app a main bundle whose Info.plist has a usable CFBundleIdentifier (VESMORA_MAIN_BUNDLE or "
    "Bundle::setMain), or choose the app's folders with VESMORA_SANDBOX_ROOT and VESMORA_DEVICE_ROOT.";

struct HostRun {
  int status = -1;     // the exit status, -1 when the host did not exit by itself
  std::string output;  // standard output and standard error
  bool madeData = false;  // something appeared in the user's data folder
};

HostRun runHost(const std::string& part) {
  HostRun run;
  std::string base = std::filesystem::temp_directory_path().string() + "/vesmora-nofolder-XXXXXX";
  if (::mkdtemp(base.data()) == nullptr) return run;
  const std::string command = "env -u VESMORA_SANDBOX_ROOT -u VESMORA_DEVICE_ROOT -u VESMORA_MAIN_BUNDLE XDG_DATA_HOME='" +
                              base + "/data' '" NO_FOLDER_HOST "' " + part + " 2>&1";
  run.status = hosttest::runCommand(command, &run.output);
  run.madeData = std::filesystem::exists(base + "/data");
  std::filesystem::remove_all(base);
  return run;
}

// The lines of `output` that contain `marker` (a host report "<entry>: " or a log code "[CODE]").
std::vector<std::string> linesWith(const std::string& output, const std::string& marker) {
  std::vector<std::string> found;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(marker) != std::string::npos) found.push_back(line);
  }
  return found;
}

struct Expectation {
  std::string marker;  // the line of the entry point's answer
  std::string answer;  // what that line says besides the reason
  bool withReason = true;
  std::size_t times = 0;  // how many such lines there must be (0: at least one)
};

struct Library {
  const char* name;
  std::vector<Expectation> expectations;
};

void PrintTo(const Library& part, std::ostream* os) { *os << part.name; }

class NoFolderTest : public ::testing::TestWithParam<Library> {};

TEST_P(NoFolderTest, EveryEntryPointSaysWhyAndNothingEscapes) {
  const Library& part = GetParam();
  const HostRun run = runHost(part.name);
  SCOPED_TRACE(run.output);
  EXPECT_EQ(run.status, 0);
  for (const char* escaped : {"Uncaught exception", "THREW", "terminate called", "AddressSanitizer", "runtime error"}) {
    EXPECT_TRUE(linesWith(run.output, escaped).empty()) << escaped;
  }
  EXPECT_FALSE(run.madeData) << "no folder is made for an app without an identifier";
  // Every line of the SDK's, written before any start, has the form of all its lines: the time,
  // the SDK's version, its tag (which a filter on the SDK's lines looks for), the code and level.
  static const std::regex sdkLine(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \d+\.\d+\.\d+ - \[Cindervale/[A-Za-z]+\]\[I-[A-Z]{3}\d{6}\] )"
      R"((ERROR|WARNING|NOTICE|INFO|DEBUG) .*)");
  for (const std::string& line : linesWith(run.output, "[I-")) {
    EXPECT_TRUE(std::regex_match(line, sdkLine)) << line;
  }
  for (const Expectation& expected : part.expectations) {
    const std::vector<std::string> lines = linesWith(run.output, expected.marker);
    ASSERT_FALSE(lines.empty()) << expected.marker;
    if (expected.times > 0) {
      EXPECT_EQ(lines.size(), expected.times) << expected.marker;
    }
    for (const std::string& line : lines) {
      EXPECT_NE(line.find(expected.answer), std::string::npos) << line;
      if (expected.withReason) {
        EXPECT_NE(line.find(kReason), std::string::npos) << line;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, NoFolderTest,
    ::testing::Values(
        Library{"core",
             {{"CDVApp::configureWithOptions: ", "refused (com.cindervale.core): "},
              {"CDVApp::isDefaultAppConfigured: ", "no", false}}},
        Library{"diagnostics",
             {{"[I-COR000031]", "Diagnostics logs are not kept: "},
              {"[I-COR100001]", "Unable to create internal state storage: "},
              {"CDVLumtraceLogger::sharedInstance: ", "a client", false},
              {"CDVLumtraceLogger::flush: ", "completed", false},
              {"CDVDiagnostics::installString: ", "none", false},
              {"CDVDiagnostics::heartbeatDateStorage: ", "none", false}}},
        Library{"measurement",
             {{"[I-ACS019001]", ""},
              {"[I-ACS019000]", ""},
              {"TLMFilePathForDatabaseName: ", "\"\"", false},
              {"TLMFilePathForPreferencesName: ", "\"\"", false},
              {"[I-ACS025037]", "", true, 1},  // started twice, refused twice, logged once
              {"[I-ACS023149]", ""},
              {"TLMAnalytics::appInstanceID: ", "none", false},
              // The event, the property and the wipe were dropped.
              {"UIApplication::terminate: ", "not all stored", false},
              {"[I-ACS025036]", ": 0, 0, 3, 0", false, 2},
              {"TLMMeasurementEngine::initializeSharedInstanceWithAppID: ", "no engine", false},
              {"[I-ACS041004]", "Cannot synchronize user defaults to disk: "}}},
        Library{"identity",
             {{"[I-IID001003]", "Cindervale Instance ID cannot start: "},
              {"CDVInstanceID::appInstanceID: ", "none, Error Domain=com.cindervale.iid Code=1005"},
              {"CDVInstanceID::token: ", "none", false},
              {"CDVInstanceID::getIDWithHandler: ", "Error Domain=com.cindervale.iid Code=1005"},
              {"CDVInstanceID::instanceIDWithHandler: ", "Error Domain=com.cindervale.iid Code=1005"},
              {"CDVInstanceID::tokenWithAuthorizedEntity: ", "Error Domain=com.cindervale.iid Code=1005"},
              {"CDVInstanceID::deleteTokenWithAuthorizedEntity: ", "Error Domain=com.cindervale.iid Code=1005"},
              {"CDVInstanceID::deleteIDWithHandler: ", "Error Domain=com.cindervale.iid Code=1005"},
              {"CDVInstanceID::fetchCheckinInfoWithHandler: ", "Error Domain=com.cindervale.iid Code=1005"}}},
        Library{"keychain",
             {{"SecItemCopyMatching: ", "-25294, "},
              {"SecItemAdd: ", "-25294, "},
              {"SecItemUpdate: ", "-25294, "},
              {"SecItemDelete: ", "-25294, "}}},
        Library{"preferences",
             {{"UserDefaults::objectForKey: ", "x", false},  // kept in memory meanwhile
              {"UserDefaults::synchronize: ", "not written, "},
              {"UserDefaults::persistentDomainForName: ", "k = 1", false},
              {"preferences::appSynchronize: ", "not written, "}}}),
    [](const ::testing::TestParamInfo<Library>& info) { return std::string(info.param.name); });

}  // namespace
