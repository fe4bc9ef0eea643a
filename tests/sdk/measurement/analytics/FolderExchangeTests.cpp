// First launches of an app whose `Library/Application Support` the host left open to all (0777,
// no sticky bit), while another user who may therefore write there puts his symbolic link to a
// folder of the host's (0755, standing for a system folder) where the SDK's folder belongs: once
// before the launch, or by exchanging it with the SDK's fresh folder again and again while the
// app starts. The folder of the host's keeps its mode and nothing is made in it, nothing is made
// on the refused way, and the launch answers as it does when nothing can be stored. Each launch
// runs the log_then_end host (LogThenEndHost.cpp) in a process of its own.
// With Documents open to all as well, the instance identity, refused its folder, keeps nothing
// in Documents either (no_folder_host, NoFolderHost.cpp).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "HostCommand.h"
#include "OtherUserFolder.h"

namespace {

constexpr uid_t kOtherUser = 65534;

unsigned modeOf(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0xFFFFu;
}

// What one launch left.
struct Launch {
  const char* notRun = nullptr;  // why the app was not launched
  int status = -1;
  std::string output;
  bool victimChanged = false;  // the host's folder's mode is no longer 0755
  bool madeInVictim = false;   // something is in the host's folder
  bool madeOnTheWay = false;   // the SDK made something in the open folder
};

// Another user, in `support`: with `exchange`, he keeps exchanging "Ombrix" (once the SDK made
// it) with his link "his" to `victim`; else his link is at "Ombrix" before the launch. The
// process id of his loop (0 when he only placed the link); -1 when he could not start.
pid_t startOtherUser(const std::string& support, const std::string& victim, bool exchange) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t other = ::fork();
  if (other == 0) {
    ::close(ready[0]);
    const std::string link = support + (exchange ? "/his" : "/Ombrix");
    if (::setgid(kOtherUser) != 0 || ::setuid(kOtherUser) != 0 || ::symlink(victim.c_str(), link.c_str()) != 0) {
      ::_exit(1);
    }
    const bool placed = ::write(ready[1], "1", 1) == 1;
    ::close(ready[1]);
    if (!exchange || !placed) ::_exit(placed ? 0 : 1);
    const std::string mine = support + "/Ombrix";
    for (;;) ::renameat2(AT_FDCWD, mine.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
  }
  ::close(ready[1]);
  char placed = 0;
  const bool started = other > 0 && ::read(ready[0], &placed, 1) == 1;
  ::close(ready[0]);
  if (!started) {
    if (other > 0) ::waitpid(other, nullptr, 0);
    return -1;
  }
  if (!exchange) {
    ::waitpid(other, nullptr, 0);
    return 0;
  }
  return other;
}

// One first launch in a fresh app folder under `parent` whose Application Support has
// `supportMode`.
Launch launch(const std::string& parent, bool exchange, mode_t supportMode) {
  Launch run;
  std::string base = parent + "/vesmora-exchange-XXXXXX";
  if (::mkdtemp(base.data()) == nullptr) {
    run.notRun = "no folder could be made for the app";
    return run;
  }
  const std::string app = base + "/app";
  const std::string support = app + "/Library/Application Support";
  const std::string victim = base + "/victim";
  // The way there is the host's: searchable by the other user, open to him only at the end.
  bool made = ::chmod(base.c_str(), 0711) == 0;
  for (const auto& [folder, mode] : {std::pair{app, mode_t{0711}}, std::pair{app + "/Library", mode_t{0711}},
                                     std::pair{support, supportMode}, std::pair{victim, mode_t{0755}}}) {
    made = made && ::mkdir(folder.c_str(), 0700) == 0 && ::chmod(folder.c_str(), mode) == 0;
  }
  const pid_t other = made ? startOtherUser(support, victim, exchange) : -1;
  if (!made) run.notRun = "the app's folders could not be made";
  if (made && other < 0) run.notRun = "the other user could not place his link";
  if (other >= 0) {
    const std::string command = "VESMORA_MAIN_BUNDLE='" EXAMPLE_BUNDLE "' VESMORA_SANDBOX_ROOT='" + app +
                                "' VESMORA_DEVICE_ROOT='" + base + "/device' '" LOG_THEN_END_HOST "' log 3 2>&1";
    run.status = hosttest::runCommand(command, &run.output);
  }
  if (other > 0) {
    ::kill(other, SIGKILL);
    ::waitpid(other, nullptr, 0);
  }
  run.victimChanged = modeOf(victim) != 0755u;
  std::error_code ec;
  run.madeInVictim = !std::filesystem::is_empty(victim, ec) || ec;
  for (const auto& entry : std::filesystem::directory_iterator(support, ec)) {
    struct stat info {};
    if (::lstat(entry.path().c_str(), &info) == 0 && info.st_uid != kOtherUser) run.madeOnTheWay = true;
  }
  std::filesystem::remove_all(base, ec);
  return run;
}

}  // namespace

TEST(FolderExchangeTest, AnotherUsersLinkInAnOpenHostFolderGetsNothingMadeOrChangedThrough) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can act as another user";
  std::string why;
  const std::string parent = testsupport::temporaryFolderReachableBy(kOtherUser, &why);
  if (parent.empty()) GTEST_SKIP() << why;
  const char* asked = std::getenv("VESMORA_RACE_ROUNDS");
  const int rounds = asked != nullptr && std::atoi(asked) > 0 ? std::atoi(asked) : 10;
  int changed = 0, madeIn = 0, madeOnTheWay = 0, answeredAsRefused = 0;
  for (int round = 0; round < 2 * rounds; ++round) {
    // Even rounds: his link is there before the launch; odd ones: he exchanges while it runs.
    const bool exchange = round % 2 == 1;
    const Launch run = launch(parent, exchange, 0777);
    changed += run.victimChanged;
    madeIn += run.madeInVictim;
    madeOnTheWay += run.madeOnTheWay;
    // Nothing can be stored on the refused way: the app's end says so (exit status 3).
    const bool refused = run.status == 3;
    answeredAsRefused += refused;
    EXPECT_TRUE(refused && !run.victimChanged && !run.madeInVictim && !run.madeOnTheWay)
        << (exchange ? "exchanging" : "link placed before") << ", launch " << round << ": "
        << (run.notRun != nullptr ? run.notRun : "exit status " + std::to_string(run.status)) << (run.victimChanged ? ", victim's mode changed" : "")
        << (run.madeInVictim ? ", things made in the victim" : "")
        << (run.madeOnTheWay ? ", things made on the refused way" : "") << "\n"
        << run.output;
  }
  std::printf("%d launches: victim's mode changed %d, things made in it %d, made on the refused way %d, "
              "launches answering that nothing was stored %d\n",
              2 * rounds, changed, madeIn, madeOnTheWay, answeredAsRefused);

  // With the sticky bit the other user can neither exchange nor remove the SDK's folder there:
  // the launch stores its events.
  const Launch sticky = launch(parent, true, 01777);
  EXPECT_EQ(sticky.status, 0) << (sticky.notRun != nullptr ? sticky.notRun : "") << sticky.output;
  EXPECT_FALSE(sticky.victimChanged || sticky.madeInVictim);
}

// The identity's folder is refused on the open way, and the identity keeps nothing elsewhere (its
// key pair's property list least of all in the open Documents, where another user could move it
// aside and have the identity made anew): it answers that it did not start, and why.
TEST(OpenHostFolderTest, TheIdentityRefusedItsFolderKeepsNothingElsewhereAndSaysWhy) {
  std::string base = std::filesystem::temp_directory_path().string() + "/vesmora-open-XXXXXX";
  ASSERT_NE(::mkdtemp(base.data()), nullptr);
  const std::unique_ptr<const std::string, void (*)(const std::string*)> removed(&base, [](const std::string* folder) {
    std::error_code ignored;
    std::filesystem::remove_all(*folder, ignored);  // also when an assertion ends the test early
  });
  const std::string app = base + "/app";
  const std::string support = app + "/Library/Application Support";
  const std::string documents = app + "/Documents";
  for (const auto& [folder, mode] : {std::pair{app, mode_t{0700}}, std::pair{app + "/Library", mode_t{0700}},
                                     std::pair{support, mode_t{0777}}, std::pair{documents, mode_t{0777}}}) {
    ASSERT_TRUE(::mkdir(folder.c_str(), 0700) == 0 && ::chmod(folder.c_str(), mode) == 0) << folder;
  }
  std::string output;
  const int status = hosttest::runCommand("env -u VESMORA_MAIN_BUNDLE VESMORA_SANDBOX_ROOT='" + app +
                                              "' VESMORA_DEVICE_ROOT='" + base + "/device' XDG_DATA_HOME='" + base +
                                              "/data' '" NO_FOLDER_HOST "' identifier 2>&1",
                                          &output);
  std::vector<std::string> made;
  std::error_code ec;
  for (const std::string& folder : {documents, support}) {
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) made.push_back(entry.path());
  }

  SCOPED_TRACE(output);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(made, std::vector<std::string>{});
  const std::string why = "\"" + support + "\", which other users may write to";
  for (const char* entry : {"[I-IID001003]", "CDVInstanceID::appInstanceID: none, "}) {
    const std::size_t at = output.find(entry);
    ASSERT_NE(at, std::string::npos) << entry;
    const std::string line = output.substr(at, output.find('\n', at) - at);
    EXPECT_NE(line.find(why), std::string::npos) << line;
  }
  EXPECT_NE(output.find("CDVInstanceID::appInstanceID: none, Error Domain=com.cindervale.iid Code=1005"),
            std::string::npos);
}
