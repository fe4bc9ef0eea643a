// The app's data is the user's alone: where it lives by default, the folders it is refused, and
// the mode of the files written there.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <linux/securebits.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "Bounds.h"
#include "FailingOpens.h"
#include "ForkedChild.h"
#include "foundation/Bundle.h"
#include "foundation/Exception.h"
#include "foundation/Files.h"
#include "foundation/PropertyList.h"
#include "foundation/Sandbox.h"
#include "foundation/UserDefaults.h"
#include "OtherUserFolder.h"
#include "ScopedVariable.h"
#include "Texts.h"

namespace files = platform::files;
namespace sandbox = platform::sandbox;

namespace {

unsigned modeOf(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0xFFFF;
}

// The three calls that make a folder and the folders missing on its way.
using FolderMaker = bool (*)(const std::string&, platform::Error*);
const std::vector<FolderMaker> kFolderMakers = {
    files::createMissingDirectories, files::createDirectories,
    [](const std::string& path, platform::Error* error) { return files::createPrivateDirectory(path, error); }};

using testsupport::ScopedVariable;
using testsupport::mentions;

void installMainBundle(const std::string& identifier) {
  platform::Bundle::setMain(std::make_shared<platform::Bundle>(
      "", platform::Value::dictionary({{"CFBundleIdentifier", platform::Value(identifier)}})));
}

// The reason of the exception `call` throws; empty when it throws none.
template <typename Call>
std::string refusal(Call call) {
  try {
    call();
  } catch (const platform::Exception& exception) {
    return exception.reason().empty() ? "(no reason)" : exception.reason();
  }
  return {};
}

// Folders under `root` (each named from it) with the given modes, made in order.
using Folders = std::vector<std::pair<std::string, mode_t>>;
bool makeFolders(const std::string& root, const Folders& folders) {
  for (const auto& [folder, mode] : folders) {
    if (::mkdir((root + folder).c_str(), 0700) != 0 || ::chmod((root + folder).c_str(), mode) != 0) return false;
  }
  return true;
}

// Gives `folder` an access ACL that lets the user `reader` (besides its owner) read, write and
// search it, as "setfacl -m u:<reader>:rwx" does. False where the file system has no ACLs.
bool letUserWrite(const std::string& folder, uid_t reader) {
  std::string acl;
  const auto put = [&acl](std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) acl.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  };
  put(2, 4);  // the version
  const std::uint32_t none = 0xFFFFFFFF;
  for (const auto& [tag, permissions, id] : std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>>{
           {0x01, 7, none}, {0x02, 7, reader}, {0x04, 5, none}, {0x10, 7, none}, {0x20, 5, none}}) {
    put(tag, 2);
    put(permissions, 2);
    put(id, 4);
  }
  return ::setxattr(folder.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
}

// Goes back to the working folder it was made in.
struct WorkingFolderBack {
  std::filesystem::path to = std::filesystem::current_path();
  ~WorkingFolderBack() {
    std::error_code ec;
    std::filesystem::current_path(to, ec);
  }
};

}  // namespace

TEST(PrivateDataTest, DefaultDataFolderIsTheUsersOwn) {
  {
    ScopedVariable xdg("XDG_DATA_HOME", "/data/home");
    EXPECT_EQ(sandbox::defaultDataDirectory(), "/data/home/vesmora");
  }
  ScopedVariable home("HOME", "/home/someone");
  for (const char* xdg : {static_cast<const char*>(nullptr), "", "relative/data"}) {
    ScopedVariable variable("XDG_DATA_HOME", xdg);
    EXPECT_EQ(sandbox::defaultDataDirectory(), "/home/someone/.local/share/vesmora");
  }
}

TEST(PrivateDataTest, PrivateFoldersAreMadeForTheUserAloneAndSharedOnesRefused) {
  sandbox::ScopedTemporarySandbox scoped;
  const std::string top = scoped.root() + "/made";
  ASSERT_TRUE(files::createPrivateDirectory(top + "/inner/leaf"));
  for (const std::string& path : {top, top + "/inner", top + "/inner/leaf"}) EXPECT_EQ(modeOf(path), 0700u) << path;

  for (unsigned mode : {0777u, 0770u, 01777u}) {
    const std::string shared = scoped.root() + "/shared-" + std::to_string(mode);
    ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(shared.c_str(), mode), 0);
    // The group's write bit counts when the group is not the user's own private group.
    if (mode == 0770u) {
      if (::geteuid() != 0) continue;  // only root can hand the folder to another group
      ASSERT_EQ(::chown(shared.c_str(), 0, 65534), 0);
    }
    platform::Error error;
    EXPECT_FALSE(files::createPrivateDirectory(shared, &error)) << mode;
    EXPECT_EQ(error.code, 513);
    EXPECT_NE(error.description.find(shared), std::string::npos) << error.description;
    EXPECT_NE(error.description.find("other users"), std::string::npos) << error.description;
  }

  if (::geteuid() == 0) {  // only root can give a folder away
    const std::string foreign = scoped.root() + "/foreign";
    ASSERT_EQ(::mkdir(foreign.c_str(), 0700), 0);
    ASSERT_EQ(::chown(foreign.c_str(), 54321, 54321), 0);
    platform::Error error;
    EXPECT_FALSE(files::createPrivateDirectory(foreign, &error));
    EXPECT_NE(error.description.find("belongs to another user"), std::string::npos) << error.description;
  }
}

TEST(PrivateDataTest, ARootOthersMayWriteIsRefusedWithAClearErrorAndTheOldOneKept) {
  sandbox::ScopedTemporarySandbox scoped;
  const std::string shared = scoped.root() + "/shared";
  ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
  try {
    sandbox::setRoot(shared);
    ADD_FAILURE() << "a folder everyone may write was taken as the root";
  } catch (const platform::Exception& exception) {
    EXPECT_NE(exception.reason().find(shared), std::string::npos) << exception.reason();
    EXPECT_NE(exception.reason().find("VESMORA_SANDBOX_ROOT"), std::string::npos) << exception.reason();
  }
  EXPECT_THROW(sandbox::setDeviceRoot(shared), platform::Exception);
  // A temporary sandbox refused as it is set up (in a temporary folder everyone may write) leaves
  // nothing behind.
  {
    ScopedVariable temporary("TMPDIR", shared.c_str());
    EXPECT_THROW(sandbox::ScopedTemporarySandbox refused, platform::Exception);
  }
  EXPECT_TRUE(std::filesystem::is_empty(shared));
  EXPECT_EQ(sandbox::root(), scoped.root());
  EXPECT_EQ(sandbox::deviceRoot(), scoped.deviceRoot());
}

TEST(PrivateDataTest, FilesAreWrittenForTheOwnerAloneWhateverTheUmask) {
  sandbox::ScopedTemporarySandbox scoped;
  const std::string path = sandbox::documentsDirectory() + "/secret.plist";
  const mode_t previous = ::umask(0);
  const bool fresh = files::writeFileAtomically(path, std::string("one"));
  // A file left readable by an earlier version is private once written again.
  const std::string old = sandbox::documentsDirectory() + "/old.plist";
  std::FILE* earlier = std::fopen(old.c_str(), "w");
  const bool opened = earlier != nullptr && std::fclose(earlier) == 0;
  const bool rewritten = files::writeFileAtomically(old, std::string("two"));
  ::umask(previous);
  ASSERT_TRUE(fresh);
  ASSERT_TRUE(opened);
  ASSERT_TRUE(rewritten);
  EXPECT_EQ(modeOf(path), 0600u);
  EXPECT_EQ(modeOf(old), 0600u);
  EXPECT_EQ(files::readFile(old), platform::Bytes({'t', 'w', 'o'}));
}

TEST(PrivateDataTest, ARelativeRootIsRefusedAndNothingIsMadeInTheWorkingFolder) {
  sandbox::ScopedTemporarySandbox scoped;
  const std::string relative = "vesmora-relative-" + std::to_string(::getpid());
  const std::string app = refusal([&] { sandbox::setRoot(relative + "/app"); });
  EXPECT_TRUE(mentions(app, {"\"" + relative + "/app\"", "not an absolute path", "VESMORA_SANDBOX_ROOT"})) << app;
  const std::string device = refusal([&] { sandbox::setDeviceRoot(relative); });
  EXPECT_TRUE(mentions(device, {"\"" + relative + "\"", "not an absolute path", "VESMORA_DEVICE_ROOT"})) << device;
  EXPECT_FALSE(files::exists(relative));
  std::filesystem::remove_all(relative);

  // One that exists, from a working folder too deep for the app's files: refused as relative alone.
  std::string working = scoped.root() + "/working";
  while (working.size() < 440) working += "/" + std::string(100, 'w');
  ASSERT_TRUE(files::createMissingDirectories(working + "/rel"));
  const WorkingFolderBack back;
  ASSERT_EQ(::chdir(working.c_str()), 0);
  const std::string existing = refusal([] { sandbox::setRoot("rel"); });
  EXPECT_TRUE(mentions(existing, {"\"rel\" is not an absolute path", "VESMORA_SANDBOX_ROOT"})) << existing;
  EXPECT_FALSE(mentions(existing, {"leaves too little room"})) << existing;
  EXPECT_TRUE(files::directoryContents("rel").empty());
  EXPECT_EQ(sandbox::root(), scoped.root());
  EXPECT_EQ(sandbox::deviceRoot(), scoped.deviceRoot());
}

TEST(PrivateDataTest, ASymbolicLinkAnotherUserOwnsIsRefusedWhereverItPoints) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a link away";
  sandbox::ScopedTemporarySandbox scoped;
  const std::string target = scoped.root() + "/target";
  const std::string own = scoped.root() + "/own-link";
  const std::string foreign = scoped.root() + "/foreign-link";
  ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
  ASSERT_EQ(::symlink(target.c_str(), own.c_str()), 0);
  ASSERT_EQ(::symlink(target.c_str(), foreign.c_str()), 0);
  ASSERT_EQ(::lchown(foreign.c_str(), 54321, 54321), 0);
  EXPECT_TRUE(files::createPrivateDirectory(own));  // the user's own link to the user's own folder
  platform::Error error;
  EXPECT_FALSE(files::createPrivateDirectory(foreign, &error));
  EXPECT_TRUE(mentions(error.description, {foreign, "symbolic link", "another user (uid 54321)"})) << error.description;
  const std::string reason = refusal([&] { sandbox::setDeviceRoot(foreign); });
  EXPECT_TRUE(mentions(reason, {foreign, "VESMORA_DEVICE_ROOT"})) << reason;
  EXPECT_EQ(sandbox::deviceRoot(), scoped.deviceRoot());
}

namespace {

// Sets `root` as the app's root and makes a store's folder inside it, both under umask 0.
bool setRootAndMakeAStoreFolder(const std::string& root) {
  const mode_t previous = ::umask(0);
  sandbox::setRoot(root);
  const bool made = files::createDirectories(root + "/Library/Application Support/Ombrix/Measurement");
  ::umask(previous);
  return made;
}

}  // namespace

TEST(PrivateDataTest, FoldersInsideTheRootsAreTheOwnersAloneWhateverTheUmask) {
  sandbox::ScopedTemporarySandbox scoped;
  const std::string root = scoped.root() + "/fresh";
  ASSERT_TRUE(setRootAndMakeAStoreFolder(root));
  for (const char* folder : {"", "/Documents", "/Library", "/Library/Caches", "/Library/Preferences", "/tmp",
                             "/Library/Application Support", "/Library/Application Support/Ombrix",
                             "/Library/Application Support/Ombrix/Measurement"}) {
    EXPECT_EQ(modeOf(root + folder), 0700u) << folder;
  }
}

TEST(PrivateDataTest, FoldersTheHostMadeKeepTheirModesAndTheAppsOwnAreMadePrivate) {
  sandbox::ScopedTemporarySandbox scoped;
  const std::string root = scoped.root() + "/host";
  const Folders hosts = {{"", 0700},
                         {"/Documents", 0755},
                         {"/Library", 0755},
                         {"/Library/Caches", 0755},
                         {"/Library/Application Support", 0755},
                         {"/tmp", 01777}};
  ASSERT_TRUE(makeFolders(root, hosts));
  ASSERT_TRUE(setRootAndMakeAStoreFolder(root));
  for (const auto& [folder, mode] : hosts) EXPECT_EQ(modeOf(root + folder), mode) << folder;
  for (const char* own : {"/Library/Preferences", "/Library/Application Support/Ombrix",
                          "/Library/Application Support/Ombrix/Measurement"}) {
    EXPECT_EQ(modeOf(root + own), 0700u) << own;
  }
}

TEST(PrivateDataTest, FoldersAnEarlierVersionLeftOpenAreClosed) {
  sandbox::ScopedTemporarySandbox scoped;
  const std::string root = scoped.root() + "/earlier";
  const Folders earlier = {
      {"", 0700},
      {"/Library", 0700},
      {"/Library/Preferences", 0705},
      {"/Library/Application Support", 0700},
      {"/Library/Application Support/Ombrix", 0755}};
  ASSERT_TRUE(makeFolders(root, earlier));
  sandbox::setRoot(root);  // the preferences folder
  ASSERT_TRUE(files::createDirectories(root + "/Library/Application Support/Ombrix"));  // one asked for again
  for (const auto& [folder, mode] : earlier) EXPECT_EQ(modeOf(root + folder), 0700u) << folder;
}

TEST(PrivateDataTest, ARootAnotherUserCouldReplaceFromHigherUpIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a link or a folder away";
  sandbox::ScopedTemporarySandbox scoped;
  const std::string dir = scoped.root();
  const std::string target = dir + "/target";
  ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
  const auto makeLink = [](const std::string& to, const std::string& link, uid_t owner) {
    return ::symlink(to.c_str(), link.c_str()) == 0 && ::lchown(link.c_str(), owner, owner) == 0;
  };
  const auto makeFolder = [](const std::string& path, mode_t mode, uid_t owner) {
    return ::mkdir(path.c_str(), 0700) == 0 && ::chmod(path.c_str(), mode) == 0 &&
           ::chown(path.c_str(), owner, owner) == 0;
  };
  constexpr uid_t kNobody = 65534;
  ASSERT_TRUE(makeLink(target, dir + "/otherparent", kNobody));
  ASSERT_TRUE(makeLink(target, dir + "/ownparent", ::geteuid()));
  ASSERT_TRUE(makeLink("../" + files::join(std::filesystem::path(dir).filename().string(), "target"),
                       dir + "/relative", ::geteuid()));
  ASSERT_TRUE(makeFolder(dir + "/nobodys", 0755, kNobody));
  ASSERT_TRUE(makeLink(dir + "/nobodys", dir + "/intonobodys", ::geteuid()));
  ASSERT_TRUE(makeFolder(dir + "/open", 0777, ::geteuid()));
  // Writable by a group of other users (the user's own private group: see UserListingTests).
  ASSERT_TRUE(makeFolder(dir + "/group", 0775, ::geteuid()) && ::chown((dir + "/group").c_str(), 0, kNobody) == 0);
  ASSERT_TRUE(makeFolder(dir + "/sticky", 01777, ::geteuid()));
  ASSERT_TRUE(makeFolder(dir + "/nobodysticky", 01777, kNobody));
  ASSERT_TRUE(makeFolder(dir + "/sticky/nobodys", 0755, kNobody));
  ASSERT_TRUE(makeFolder(dir + "/sticky/own", 0700, ::geteuid()));
  // Write access another user has by an ACL (the mode then shows 0770, the group the user's own).
  ASSERT_TRUE(makeFolder(dir + "/acl", 0700, ::geteuid()) && makeFolder(dir + "/ownacl", 0700, ::geteuid()));
  const bool acls = letUserWrite(dir + "/acl", kNobody) && letUserWrite(dir + "/ownacl", ::geteuid());

  // What another user may change on the way, named; nothing is made behind it.
  std::vector<std::pair<std::string, std::vector<std::string>>> refused = {
      {dir + "/otherparent/app", {"\"" + dir + "/otherparent\"", "symbolic link", "another user (uid 65534)"}},
      {dir + "/nobodys/app", {"\"" + dir + "/nobodys\"", "belongs to another user (uid 65534)"}},
      {dir + "/intonobodys/app", {"\"" + dir + "/nobodys\"", "belongs to another user (uid 65534)"}},
      {dir + "/open/app", {"\"" + dir + "/open\"", "other users may write"}},
      {dir + "/group/app", {"\"" + dir + "/group\"", "other users may write"}},
      {dir + "/nobodysticky/app", {"\"" + dir + "/nobodysticky\"", "another user (uid 65534)"}},
      // Left by "..": its owner may put a link in its place, and ".." then leads elsewhere.
      {dir + "/sticky/nobodys/../app", {"passes through \"" + dir + "/sticky/nobodys\"", "another user (uid 65534)"}}};
  if (acls) {
    refused.push_back({dir + "/acl/app", {"\"" + dir + "/acl\"", "other users may write"}});
    refused.push_back({dir + "/acl", {"\"" + dir + "/acl\"", "may be written by other users"}});
  } else {
    std::printf("no ACLs on this file system: write access by ACL not tried\n");
  }
  for (const auto& [path, words] : refused) {
    platform::Error error;
    EXPECT_FALSE(files::createPrivateDirectory(path, &error)) << path;
    EXPECT_EQ(error.code, 513) << path;
    EXPECT_TRUE(mentions(error.description, words)) << error.description;
  }
  EXPECT_TRUE(files::directoryContents(target).empty());
  EXPECT_FALSE(files::exists(dir + "/nobodys/app"));
  EXPECT_FALSE(files::exists(dir + "/sticky/app"));
  const std::string reason = refusal([&] { sandbox::setRoot(dir + "/otherparent/app"); });
  EXPECT_TRUE(mentions(reason, {dir + "/otherparent\"", "VESMORA_SANDBOX_ROOT"})) << reason;
  EXPECT_EQ(sandbox::root(), scoped.root());

  // The user's own links, folders whose sticky bit keeps others from replacing what is not theirs
  // (as /tmp, on the way to every temporary sandbox) and an ACL letting in the user alone are fine.
  for (const std::string& path : {dir + "/ownparent/app", dir + "/relative/again", dir + "/sticky/app",
                                  dir + "/ownacl/app"}) {
    platform::Error error;
    EXPECT_TRUE(files::createPrivateDirectory(path, &error)) << error.description;
    EXPECT_EQ(modeOf(path), 0700u) << path;
  }
  EXPECT_TRUE(files::isDirectory(target + "/app"));

  // A root named with ".." through the user's own folder is kept as the folder checked, not by a
  // way that leads elsewhere once a folder on it is another.
  sandbox::setRoot(dir + "/sticky/own/../approot");
  EXPECT_EQ(sandbox::root(), dir + "/sticky/approot");
  EXPECT_EQ(sandbox::preferencesDirectory(), dir + "/sticky/approot/Library/Preferences");
}

// In a user namespace that has no id for the process's user, every user it has none for, the
// process's own included, shows as the overflow uid: nothing counts as the user's own there, and
// the refusal says why (here at "/", whose owner has no id either); nothing is made in another
// user's folder.
TEST(PrivateDataTest, WhereTheUserNamespaceHasNoIdForTheUserNothingCountsAsItsOwn) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a folder away";
  sandbox::ScopedTemporarySandbox scoped;
  const std::string hers = scoped.root() + "/alicedir";
  ASSERT_TRUE(::mkdir(hers.c_str(), 0755) == 0 && ::chown(hers.c_str(), 54321, 54321) == 0);
  const testsupport::ChildEnd end = testsupport::runInChild([&] {
    if (::unshare(CLONE_NEWUSER) != 0) _exit(77);
    platform::Error error;
    const bool made = files::createPrivateDirectory(hers + "/app", &error);
    if (!made && mentions(error.description, {"no id for", "overflow uid", "nor has it one for this process's own"})) {
      _exit(0);
    }
    std::fprintf(stderr, "%s: %s\n", made ? "made" : "refused", error.description.c_str());
    _exit(1);
  }, testsupport::kChildLife);
  if (end.exitedWith(77)) GTEST_SKIP() << "no user namespace to be had here";
  EXPECT_TRUE(end.exitedWith(0)) << "status " << end.status;
  EXPECT_FALSE(files::exists(hers + "/app"));
}

// A loop of links on the way is followed no further than the kernel would follow links, and
// refused (in a child with an alarm: a walk without that bound would go on for ever).
TEST(PrivateDataTest, ALoopOfLinksOnTheWayIsRefused) {
  sandbox::ScopedTemporarySandbox scoped;
  const std::string dir = scoped.root();
  ASSERT_EQ(::symlink((dir + "/b").c_str(), (dir + "/a").c_str()), 0);
  ASSERT_EQ(::symlink((dir + "/a").c_str(), (dir + "/b").c_str()), 0);
  const testsupport::ChildEnd end = testsupport::runInChild([&] {
    ::alarm(static_cast<unsigned>(testsupport::kEventWait.count()));
    platform::Error error;
    const bool made = files::createPrivateDirectory(dir + "/a/app", &error);
    _exit(!made && mentions(error.description, {"Too many symbolic links on the way to", dir + "/a/app"}) ? 0 : 1);
  }, testsupport::kChildLife);
  EXPECT_TRUE(end.exitedWith(0)) << "status " << end.status << ", in time " << end.inTime;
}

namespace {

// Runs `body` with a fresh, empty data home and none of the app's variables set, then ends the
// process with the code it returns (0 when all held). The roots are resolved once per process,
// so each case runs in a process of its own.
template <typename Body>
[[noreturn]] void exitAfterRunningInAFreshDataHome(Body body) {
  std::string base = std::filesystem::temp_directory_path().string() + "/vesmora-data-XXXXXX";
  if (::mkdtemp(base.data()) == nullptr) std::exit(10);
  ::setenv("XDG_DATA_HOME", (base + "/data").c_str(), 1);
  for (const char* name : {"VESMORA_SANDBOX_ROOT", "VESMORA_DEVICE_ROOT", "VESMORA_MAIN_BUNDLE"}) ::unsetenv(name);
  const int code = body(base);
  std::filesystem::remove_all(base);
  std::exit(code);
}

}  // namespace

TEST(PrivateDataDeathTest, DefaultRootsAreMadePrivateAndUnsafeOnesRefused) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(exitAfterRunningInAFreshDataHome([](const std::string& base) {
    const std::string shared = base + "/shared";
    ::mkdir(shared.c_str(), 0700);
    ::chmod(shared.c_str(), 0777);
    ::setenv("VESMORA_DEVICE_ROOT", shared.c_str(), 1);
    installMainBundle("com.vesmora.one");
    const std::string app = base + "/data/vesmora/apps/com.vesmora.one";
    int code = 0;
    // The device root given is checked before the app root is made: both refused, nothing made.
    for (const auto which : {&sandbox::deviceRoot, &sandbox::root}) {
      if (!mentions(refusal(which), {"\"" + shared + "\"", "may be written by other users", "VESMORA_DEVICE_ROOT"})) {
        code = 13;
      }
    }
    if (files::exists(base + "/data")) code = 11;
    ::unsetenv("VESMORA_DEVICE_ROOT");  // refused roots are not kept: the next look tries again
    if (sandbox::root() != app + "/sandbox") code = 11;
    for (const std::string& folder : {base + "/data", base + "/data/vesmora", base + "/data/vesmora/apps", app,
                                      sandbox::root(), sandbox::preferencesDirectory()}) {
      if (modeOf(folder) != 0700u) code = 12;
    }
    if (sandbox::deviceRoot() != app + "/device" || modeOf(sandbox::deviceRoot()) != 0700u) code = 14;
    return code;
  }), ::testing::ExitedWithCode(0), "");
}

// The way to a root is walked once as its folders are made: each level of the default root from
// the one before it, each folder of its container from the root, not from "/" again each time.
TEST(PrivateDataDeathTest, TheWayToARootIsWalkedOnceAsItsFoldersAreMade) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(exitAfterRunningInAFreshDataHome([](const std::string&) {
    installMainBundle("com.vesmora.one");
    const std::uint64_t before = files::folderSteps();
    const std::string root = sandbox::root();
    const std::uint64_t steps = files::folderSteps() - before;
    // "/" and each folder of the root (more where the temporary folder's path has links), then
    // Documents, Library, Library/Caches, tmp and Library/Preferences from the root: 7 steps.
    const std::size_t depth = files::components(root).size();
    return steps >= depth + 1 + 7 && steps <= 2 * (depth + 1) + 7 ? 0 : 11;
  }), ::testing::ExitedWithCode(0), "");
}

TEST(PrivateDataDeathTest, DefaultRootsAreEachAppsOwnAndFollowItsBundleIdentifier) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(exitAfterRunningInAFreshDataHome([](const std::string& base) {
    const std::string apps = base + "/data/vesmora/apps/";
    int code = 0;
    // Without an app to keep them apart, no default is made (not a folder every app would share).
    if (!mentions(refusal([] { sandbox::root(); }),
                  {"no main bundle is set", "VESMORA_MAIN_BUNDLE", "Bundle::setMain", "VESMORA_SANDBOX_ROOT"})) {
      code = 11;
    }
    if (!mentions(refusal([] { sandbox::deviceRoot(); }), {"no main bundle is set", "VESMORA_DEVICE_ROOT"})) code = 12;
    for (const std::string& unusable : {std::string(), std::string(".."), std::string("../escape"),
                                        std::string("com/vesmora"), std::string(".hidden"),
                                        std::string("com.vesmora app"), std::string("com.v\xc3\xa9smora"),
                                        std::string(256, 'a')}) {
      installMainBundle(unusable);
      if (!mentions(refusal([] { sandbox::root(); }), {"\"" + unusable + "\" cannot name", "CFBundleIdentifier"})) {
        code = 13;
      }
    }
    if (files::exists(base + "/data/vesmora/sandbox") || !files::directoryContents(apps).empty()) code = 14;

    installMainBundle(std::string(255, 'a'));  // the longest a folder name may be
    if (sandbox::root() != apps + std::string(255, 'a') + "/sandbox") code = 15;
    installMainBundle("com.vesmora.one");
    const std::uint64_t generation = sandbox::generation();
    if (sandbox::root() != apps + "com.vesmora.one/sandbox" ||
        sandbox::deviceRoot() != apps + "com.vesmora.one/device") {
      code = 16;
    }
    if (sandbox::generation() == generation) code = 17;  // caches keyed by the old paths notice
    const std::string kept = sandbox::documentsDirectory() + "/one.txt";
    if (!files::writeFileAtomically(kept, std::string("one"))) code = 18;
    // A second app of the user: its own folders, the first app's left as they are.
    installMainBundle("com.vesmora.two");
    if (sandbox::root() != apps + "com.vesmora.two/sandbox" ||
        sandbox::deviceRoot() != apps + "com.vesmora.two/device" ||
        files::exists(sandbox::documentsDirectory() + "/one.txt")) {
      code = 19;
    }
    if (!files::exists(kept)) code = 20;
    return code;
  }), ::testing::ExitedWithCode(0), "");
}

TEST(PrivateDataDeathTest, RootsChosenByTheEnvironmentAreUsedAsGivenAndARelativeOneRefused) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(exitAfterRunningInAFreshDataHome([](const std::string& base) {
    int code = 0;
    const std::string relative = "vesmora-relative-" + std::to_string(::getpid());
    ::setenv("VESMORA_SANDBOX_ROOT", (relative + "/app").c_str(), 1);
    if (!mentions(refusal([] { sandbox::root(); }), {"not an absolute path", "VESMORA_SANDBOX_ROOT"})) code = 11;
    if (files::exists(relative)) code = 12;
    std::filesystem::remove_all(relative);
    // Chosen folders need no bundle and stay whatever bundle comes later.
    ::setenv("VESMORA_SANDBOX_ROOT", (base + "/app").c_str(), 1);
    ::setenv("VESMORA_DEVICE_ROOT", (base + "/device").c_str(), 1);
    if (sandbox::root() != base + "/app" || sandbox::deviceRoot() != base + "/device") code = 13;
    installMainBundle("com.vesmora.one");
    if (sandbox::root() != base + "/app" || sandbox::deviceRoot() != base + "/device") code = 14;
    if (files::exists(base + "/data")) code = 15;
    return code;
  }), ::testing::ExitedWithCode(0), "");
}

namespace {

uid_t ownerOf(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_uid : static_cast<uid_t>(-1);
}

// Whether sandbox::available() refuses, with a reason that mentions each of `words`.
bool unavailable(const std::vector<std::string>& words) {
  platform::Error error;
  const bool refused = !sandbox::available(&error) && mentions(error.description, words);
  if (!refused) std::fprintf(stderr, "not refused as expected: %s\n", error.description.c_str());
  return refused;
}

}  // namespace

// A root kept for one effective user serves no other: as the app configures in a process that now
// runs as another user (turned into another, or taking root back by its saved uid), a root chosen
// by its path is checked again and a default one resolved again, for that user; one it cannot
// use is refused, naming the change, never answered as available.
TEST(PrivateDataDeathTest, ARootKeptForOneUserServesNoOther) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can change the process's user";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(exitAfterRunningInAFreshDataHome([](const std::string& base) {
    constexpr uid_t kOther = 54321;
    installMainBundle("com.vesmora.one");
    platform::Error error;
    if (!sandbox::available(&error)) return 10;
    const std::string rootsDevice = sandbox::deviceRoot();
    // Capabilities kept as the effective user changes: the folders on the way (TMPDIR's too) need
    // not be open to the other user; whose a folder is decides.
    if (::prctl(PR_SET_SECUREBITS, SECBIT_NO_SETUID_FIXUP) != 0 || ::setresuid(kOther, kOther, 0) != 0) return 11;
    int code = 0;
    // Each root checked before either is made: the device root's refusal comes first.
    if (!unavailable({"now runs as uid 54321, not as uid 0", "\"" + rootsDevice + "\"", "another user (uid 0)"})) {
      code = 12;
    }
    // Where the other user has a data folder of its own, its default roots are made there, its own.
    const std::string own = base + "/other";
    ::setenv("XDG_DATA_HOME", own.c_str(), 1);
    if (!sandbox::available(&error) || sandbox::root() != own + "/vesmora/apps/com.vesmora.one/sandbox" ||
        ownerOf(sandbox::root()) != kOther || ownerOf(sandbox::deviceRoot()) != kOther) {
      std::fprintf(stderr, "not resolved again: %s\n", error.description.c_str());
      code = 13;
    }
    // Back to root by the saved uid: the other user's folders are not root's.
    if (::setresuid(static_cast<uid_t>(-1), 0, static_cast<uid_t>(-1)) != 0) return 14;
    if (!unavailable({"now runs as uid 0, not as uid 54321", "another user (uid 54321)"})) code = 15;
    // Roots the host chose by their paths, checked again for the other user.
    sandbox::setRoot(base + "/app");
    sandbox::setDeviceRoot(base + "/device");
    if (::setresuid(static_cast<uid_t>(-1), kOther, static_cast<uid_t>(-1)) != 0) return 16;
    if (!unavailable({"now runs as uid 54321, not as uid 0", "\"" + base + "/device\"", "another user (uid 0)"})) {
      code = 17;
    }
    return code;
  }), ::testing::ExitedWithCode(0), "");
}

// Every root is checked before any is made: a device root through /proc's link to a working folder
// since removed is refused with nothing of the app root made.
TEST(PrivateDataDeathTest, NothingIsMadeBeforeEveryRootIsChecked) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(exitAfterRunningInAFreshDataHome([](const std::string& base) {
    const std::string gone = base + "/gone";
    if (::mkdir(gone.c_str(), 0700) != 0 || ::chdir(gone.c_str()) != 0 || ::rmdir(gone.c_str()) != 0) return 10;
    ::setenv("VESMORA_SANDBOX_ROOT", (base + "/app").c_str(), 1);
    ::setenv("VESMORA_DEVICE_ROOT", "/proc/self/cwd/device", 1);
    int code = unavailable({"\"/proc/self/cwd/device\"", "removed folder", "VESMORA_DEVICE_ROOT"}) ? 0 : 11;
    if (files::exists(base + "/app")) code = 12;
    return code;
  }), ::testing::ExitedWithCode(0), "");
}

// A root named through /proc's link to the working or the root folder of a process in another
// mount namespace is refused before anything is made: nothing is made in this namespace's
// folder of the name the link's text gives, nor in the other namespace's.
TEST(PrivateDataDeathTest, ARootThroughAnotherMountNamespacesFolderIsRefusedBeforeAnythingIsMade) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can make a mount namespace";
  if (!testsupport::mountNamespaceAvailable()) GTEST_SKIP() << "no mount namespace to be had here";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(exitAfterRunningInAFreshDataHome([](const std::string& base) {
    // The other process: a folder of this namespace's covered by a mount of its own, its working
    // folder; ready once it writes, ended when this process closes the pipe.
    const std::string elsewhere = base + "/elsewhere";
    int ready[2];
    int hold[2];
    if (::mkdir(elsewhere.c_str(), 0700) != 0 || ::pipe(ready) != 0 || ::pipe(hold) != 0) return 10;
    const pid_t other = ::fork();
    if (other == 0) {
      char byte = 0;
      const bool set = ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                       ::mount("none", elsewhere.c_str(), "tmpfs", 0, "mode=0700") == 0 && ::chdir(elsewhere.c_str()) == 0;
      if (set) (void)::write(ready[1], "r", 1);
      ::close(hold[1]);
      (void)::read(hold[0], &byte, 1);
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(hold[0]);
    char byte = 0;
    int code = other > 0 && ::read(ready[0], &byte, 1) == 1 ? 0 : 11;
    const std::string proc = "/proc/" + std::to_string(other);
    ::setenv("VESMORA_DEVICE_ROOT", (base + "/device").c_str(), 1);
    for (const std::string& root : {proc + "/cwd/app", proc + "/root" + elsewhere + "/app"}) {
      if (code != 0) break;
      ::setenv("VESMORA_SANDBOX_ROOT", root.c_str(), 1);
      if (!unavailable({"\"" + root + "\"", "leads elsewhere", "VESMORA_SANDBOX_ROOT"})) code = 12;
      if (files::exists(elsewhere + "/app") || files::exists(proc + "/cwd/app") || files::exists(base + "/device")) {
        code = 13;
      }
    }
    ::close(hold[1]);
    ::close(ready[0]);
    ::waitpid(other, nullptr, 0);
    return code;
  }), ::testing::ExitedWithCode(0), "");
}

// A root this user may not make is refused for want of permission, saying what to do; a way
// other users may change is still refused as an unsafe place. Root may write anywhere, so as
// root the child acts as user nobody in a folder of nobody's.
TEST(PrivateDataDeathTest, ARootThisUserMayNotMakeIsRefusedForWantOfPermissionNotAsUnsafe) {
  constexpr uid_t kNobody = 65534;
  const bool root = ::geteuid() == 0;
  std::string why;
  const std::string parent = root ? testsupport::temporaryFolderReachableBy(kNobody, &why)
                                  : std::filesystem::temp_directory_path().string();
  if (parent.empty()) GTEST_SKIP() << why;
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::string base = parent + "/vesmora-closed-XXXXXX";
        if (::mkdtemp(base.data()) == nullptr) std::exit(10);
        if (::mkdir((base + "/closed").c_str(), 0700) != 0 || ::chmod((base + "/closed").c_str(), 0555) != 0 ||
            (root && (::chown(base.c_str(), kNobody, kNobody) != 0 || ::setegid(kNobody) != 0 ||
                      ::seteuid(kNobody) != 0))) {
          std::filesystem::remove_all(base);
          std::exit(11);
        }
        int code = 0;
        const std::string closed = refusal([&] { sandbox::setRoot(base + "/closed/app"); });
        if (!mentions(closed, {"No permission to keep the app's data there", "\"" + base + "/closed/app\"",
                               std::strerror(EACCES), "a folder this user may write to", "VESMORA_SANDBOX_ROOT"}) ||
            mentions(closed, {"unsafe"})) {
          std::fprintf(stderr, "%s\n", closed.c_str());
          code = 12;
        }
        const std::string open = base + "/open";
        if (::mkdir(open.c_str(), 0700) != 0 || ::chmod(open.c_str(), 0777) != 0) code = 13;
        const std::string unsafe = refusal([&] { sandbox::setRoot(open + "/app"); });
        if (!mentions(unsafe, {"Refusing to keep the app's data in an unsafe place", "other users may write to"})) {
          std::fprintf(stderr, "%s\n", unsafe.c_str());
          code = 14;
        }
        if (root && ::seteuid(0) != 0) code = 15;
        std::filesystem::remove_all(base);
        std::exit(code);
      },
      ::testing::ExitedWithCode(0), "");
}

namespace {

// Whether `reason` words a refusal by what happened, with the folder and the variable to set, and
// not as an unsafe place.
bool saysWhatHappened(const std::string& reason, const std::vector<std::string>& words) {
  if (mentions(reason, words) && mentions(reason, {"VESMORA_SANDBOX_ROOT"}) && !mentions(reason, {"unsafe"}) &&
      !mentions(reason, {"Choose a private folder"})) {
    return true;
  }
  std::fprintf(stderr, "%s\n", reason.c_str());
  return false;
}

// Roots on a read-only and on a full file system (tmpfs mounts of a mount namespace of its own,
// the full one out of inodes), in a child of its own: its exit code.
int readOnlyAndFullCases() {
  std::string base = std::filesystem::temp_directory_path().string() + "/vesmora-mounts-XXXXXX";
  if (::mkdtemp(base.data()) == nullptr) return 10;
  const std::string readOnly = base + "/read-only";
  const std::string full = base + "/full";
  const pid_t child = ::fork();
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mkdir(readOnly.c_str(), 0700) != 0 || ::mkdir(full.c_str(), 0700) != 0 ||
        ::mount("tmpfs", readOnly.c_str(), "tmpfs", MS_RDONLY, "mode=0700") != 0 ||
        ::mount("tmpfs", full.c_str(), "tmpfs", 0, "mode=0700,size=64k,nr_inodes=8") != 0) {
      ::_exit(11);
    }
    int fill = 0;
    for (int made = 0; made < 16 && fill >= 0; ++made) {
      fill = ::open((full + "/fill-" + std::to_string(made)).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fill >= 0) ::close(fill);
    }
    int code = fill < 0 && errno == ENOSPC ? 0 : 12;
    if (!saysWhatHappened(refusal([&] { sandbox::setRoot(readOnly + "/app"); }),
                          {"read-only file system", std::strerror(EROFS), "\"" + readOnly + "/app\""})) {
      code = 13;
    }
    if (!saysWhatHappened(refusal([&] { sandbox::setRoot(full + "/app"); }),
                          {"No space left", std::strerror(ENOSPC), "\"" + full + "/app\"", "Free some space"})) {
      code = 14;
    }
    ::umount(full.c_str());
    ::umount(readOnly.c_str());
    ::_exit(code);
  }
  int status = 0;
  const bool waited = child > 0 && ::waitpid(child, &status, 0) == child;
  std::filesystem::remove_all(base);
  return waited && WIFEXITED(status) ? WEXITSTATUS(status) : 15;
}

}  // namespace

// A root is refused for what happened, saying what to do: "an unsafe place" only where other users
// could change the way (ARootThisUserMayNotMakeIsRefusedForWantOfPermissionNotAsUnsafe).
TEST(PrivateDataDeathTest, ARootIsRefusedForWhatHappenedAndAsUnsafeOnlyWhereOthersCouldChangeTheWay) {
  {
    sandbox::ScopedTemporarySandbox scoped;
    const std::string file = scoped.root() + "/file";
    ASSERT_TRUE(files::writeFileAtomically(file, std::string("in the way")));
    EXPECT_TRUE(saysWhatHappened(refusal([&] { sandbox::setRoot(file + "/app"); }),
                                 {"A file stands where", std::strerror(ENOTDIR), "\"" + file + "\""}));
    std::string deep = scoped.root();
    while (deep.size() < PATH_MAX) deep += "/d";
    EXPECT_TRUE(saysWhatHappened(refusal([&] { sandbox::setRoot(deep); }),
                                 {"too long", std::strerror(ENAMETOOLONG), "shorter path"}));
    EXPECT_TRUE(saysWhatHappened(refusal([] { sandbox::setRoot("vesmora-relative/app"); }),
                                 {"absolute path", "\"vesmora-relative/app\""}));
    EXPECT_EQ(sandbox::root(), scoped.root());
  }
  if (::geteuid() != 0) GTEST_SKIP() << "only root can mount a read-only or a full file system to try them";
  if (!testsupport::mountNamespaceAvailable()) GTEST_SKIP() << "no mount namespace to be had here: a read-only and a full file system not tried";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(readOnlyAndFullCases()), ::testing::ExitedWithCode(0), "");
}

// A root is measured with the longest path kept under it, as the folder it leads to: one whose
// files could not be opened is refused as too long before anything is made in it. Under the
// device root that is the keychain's file, opened by its name (shorter than PATH_MAX); under the
// app root the measurement store's journal, whose database SQLite opens only by a full path of
// at most 512 bytes (DataRootLengthTests tries the store itself).
TEST(PrivateDataTest, ARootWhoseFilesCouldNotBeOpenedIsRefusedAsTooLong) {
  sandbox::ScopedTemporarySandbox scoped;
  const auto lengthened = [](std::string path, std::size_t size) {
    while (path.size() + 1 < size) {
      std::size_t name = std::min<std::size_t>(size - path.size() - 1, NAME_MAX + 2);
      if (name > NAME_MAX) name = NAME_MAX - 1;  // room for one more "/" and a name
      path += "/" + std::string(name, 'd');
    }
    return path;
  };
  const std::string keychain = "/Keychains/keychain.plist";
  const std::string fits = lengthened(scoped.root() + "/device", PATH_MAX - 1 - keychain.size());
  const std::string over = lengthened(scoped.root() + "/over", fits.size() + 1);
  ASSERT_EQ(over.size(), fits.size() + 1);
  const std::string reason = refusal([&] { sandbox::setDeviceRoot(over); });
  EXPECT_TRUE(mentions(reason, {"too long", "\"" + over + "\"", "Keychains/keychain.plist", std::strerror(ENAMETOOLONG),
                                "shorter path", "VESMORA_DEVICE_ROOT"}))
      << reason;
  EXPECT_FALSE(files::exists(scoped.root() + "/over"));
  EXPECT_EQ(sandbox::deviceRoot(), scoped.deviceRoot());
  sandbox::setDeviceRoot(fits);
  ASSERT_TRUE(files::createMissingDirectories(fits + "/Keychains"));
  platform::Error error;
  EXPECT_TRUE(files::writeFileAtomically(fits + keychain, std::string("items"), &error)) << error.description;

  // Through a short link of the user's own to a folder whose store could not be opened.
  const std::string deep = lengthened(scoped.root() + "/app", 500);
  ASSERT_TRUE(files::createMissingDirectories(deep));
  ASSERT_EQ(::symlink(deep.c_str(), (scoped.root() + "/short").c_str()), 0);
  EXPECT_TRUE(mentions(refusal([&] { sandbox::setRoot(scoped.root() + "/short"); }),
                       {"too long", "ombrix-tally-mark.sql-journal", "512", "VESMORA_SANDBOX_ROOT"}));
  EXPECT_TRUE(mentions(refusal([&] { sandbox::setRoot(deep); }), {"too long", "\"" + deep + "\""}));
  // A folder still to be made behind the link is measured where it would be made, and is not made.
  EXPECT_TRUE(mentions(refusal([&] { sandbox::setRoot(scoped.root() + "/short/new"); }),
                       {"too long", "\"" + deep + "/new\"", "VESMORA_SANDBOX_ROOT"}));
  EXPECT_TRUE(files::directoryContents(deep).empty());
  // So is the end of a link that does not exist yet (here a relative one, from the link's folder),
  // one byte too far, with its missing parents: the refusal names the link and where it leads.
  const std::string far = lengthened("far", 435 - scoped.root().size());
  ASSERT_EQ(::symlink(far.c_str(), (scoped.root() + "/dangling").c_str()), 0);
  const std::string dangling = refusal([&] { sandbox::setRoot(scoped.root() + "/dangling"); });
  EXPECT_TRUE(mentions(dangling, {"too long", "\"" + scoped.root() + "/dangling\" (which leads to \"" +
                                                  scoped.root() + "/" + far + "\")", "a path of 513 bytes"}))
      << dangling;
  EXPECT_FALSE(files::exists(scoped.root() + "/far"));
  EXPECT_EQ(sandbox::root(), scoped.root());
}

using testsupport::failOpensWith;

// Out of descriptors, a root cannot be looked at: the refusal names the cause and what helps,
// not another folder, which would fail alike.
TEST(PrivateDataDeathTest, ARootRefusedForWantOfDescriptorsSaysWhatHelps) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The sandbox goes before the child ends: std::exit leaves what is on the stack.
  EXPECT_EXIT(std::exit([] {
        sandbox::ScopedTemporarySandbox scoped;
        int code = 0;
        for (const auto& [err, words] : {std::pair{EMFILE, std::vector<std::string>{"ulimit -n"}},
                                         std::pair{ENFILE, std::vector<std::string>{"fs.file-max"}}}) {
          const pid_t child = ::fork();
          if (child == 0) {
            if (!failOpensWith(err)) ::_exit(20);
            const std::string reason = refusal([&] { sandbox::setRoot(scoped.root() + "/more/app"); });
            if (!mentions(reason, {std::strerror(err), "as many files open as it may", "try again"}) ||
                !mentions(reason, words) || mentions(reason, {"another folder"}) ||
                mentions(reason, {"VESMORA_SANDBOX_ROOT"})) {
              std::fprintf(stderr, "%s\n", reason.c_str());
              ::_exit(21);
            }
            ::_exit(0);
          }
          int status = 0;
          if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            code = 10 + err;
          }
        }
        return code;
      }()),
      ::testing::ExitedWithCode(0), "");
}

TEST(PrivateDataDeathTest, RootsLinksAndStickyFoldersOnTheWayAreTrustedByOtherUsers) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can act as another user";
  constexpr uid_t kNobody = 65534;
  std::string why;
  const std::string parent = testsupport::temporaryFolderReachableBy(kNobody, &why);
  if (parent.empty()) GTEST_SKIP() << why;
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::string base = parent + "/vesmora-nobody-XXXXXX";
        if (::mkdtemp(base.data()) == nullptr) std::exit(10);
        const std::string target = base + "/target";
        const std::string rootLink = base + "/rootlink";
        const std::string otherLink = base + "/otherlink";
        if (::chown(base.c_str(), kNobody, kNobody) != 0 || ::mkdir(target.c_str(), 0700) != 0 ||
            ::chown(target.c_str(), kNobody, kNobody) != 0 || ::symlink(target.c_str(), rootLink.c_str()) != 0 ||
            ::symlink(target.c_str(), otherLink.c_str()) != 0 || ::lchown(otherLink.c_str(), 54321, 54321) != 0 ||
            ::setegid(kNobody) != 0 || ::seteuid(kNobody) != 0) {
          std::filesystem::remove_all(base);
          std::exit(11);
        }
        int code = 0;
        // Root's folders (/tmp: sticky) and a link of root's on the way; the folder itself is this
        // user's.
        if (!files::createPrivateDirectory(rootLink + "/app") || modeOf(target + "/app") != 0700u) code = 12;
        platform::Error error;
        if (files::createPrivateDirectory(otherLink + "/app", &error) ||
            !mentions(error.description, {otherLink + "\"", "another user (uid 54321)"})) {
          code = 13;
        }
        // A link of root's naming the folder itself, as a service's state folder may be reached.
        std::string checked;
        if (!files::createPrivateDirectory(rootLink, &error, &checked) || checked != target) code = 14;
        if (!refusal([&] { sandbox::setRoot(rootLink); }).empty() ||
            !files::isDirectory(target + "/Library/Preferences")) {
          code = 16;
        }
        if (::seteuid(0) != 0) code = 15;
        std::filesystem::remove_all(base);
        std::exit(code);
      },
      ::testing::ExitedWithCode(0), "");
}

namespace {

constexpr uid_t kOtherUser = 65534;

// A folder (0777) or a property-list file holding `content` (0666) at `path`, in a folder of
// this user's, that another user made.
bool makeOthers(const std::string& path, mode_t kind, const std::string& content = {}) {
  const bool made = kind == S_IFDIR ? ::mkdir(path.c_str(), 0700) == 0
                                    : platform::plist::writeFile(path, platform::Value(content));
  return made && ::chown(path.c_str(), kOtherUser, kOtherUser) == 0 &&
         ::chmod(path.c_str(), kind == S_IFDIR ? 0777 : 0666) == 0;
}

}  // namespace

TEST(PrivateDataDeathTest, WhatIsNotARegularFileIsNotReadAndAFifoIsNeverWaitedOn) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The sandbox goes before the child ends: std::exit leaves what is on the stack.
  EXPECT_EXIT(std::exit([] {
        // A read that waits for a writer of the FIFO ends the child here.
        ::alarm(static_cast<unsigned>(testsupport::kEventWait.count()));
        sandbox::ScopedTemporarySandbox scoped;
        const std::string fifo = scoped.root() + "/data.plist";
        const std::string folder = scoped.root() + "/Documents";
        if (::mkfifo(fifo.c_str(), 0600) != 0) return 10;
        int code = 0;
        for (const auto& [path, kind] : {std::pair{fifo, "a FIFO"}, std::pair{folder, "a folder"}}) {
          platform::Error error;
          if (files::readFile(path, &error) || error.code != 257 || !mentions(error.description, {path, kind})) {
            code = 11;
          }
          if (platform::plist::readFile(path) || files::readResource(path) || platform::plist::readResource(path)) {
            code = 12;
          }
        }
        // Writing replaces the FIFO with a regular file.
        if (!files::writeFileAtomically(fifo, std::string("new")) ||
            files::readFile(fifo) != platform::Bytes{'n', 'e', 'w'}) {
          code = 13;
        }
        return code;
      }()),
      ::testing::ExitedWithCode(0), "");
}

TEST(PrivateDataTest, RootsRemovedWhileTheHostRunsAreCheckedAgainBeforeAnythingIsMadeInThem) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can make a folder for another user";
  sandbox::ScopedTemporarySandbox scoped;
  const std::string shared = scoped.root() + "/shared";  // shared by all users, as /tmp is
  ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  const std::string app = shared + "/app";
  const std::string device = shared + "/device";
  sandbox::setRoot(app);
  sandbox::setDeviceRoot(device);
  platform::UserDefaults defaults("com.vesmora.kept");
  defaults.setInteger(1, "count");
  ASSERT_TRUE(defaults.synchronize());

  // Opened to others since it was checked: refused until closed again.
  ASSERT_EQ(::chmod(device.c_str(), 0777), 0);
  platform::Error opened;
  EXPECT_FALSE(files::createDirectories(device + "/Keychains", &opened));
  EXPECT_TRUE(mentions(opened.description, {"\"" + device + "\"", "may be written by other users"}))
      << opened.description;
  ASSERT_EQ(::chmod(device.c_str(), 0700), 0);

  // Removed (a cleaner of old folders, say) and asked for again: made again, the user's alone.
  std::filesystem::remove_all(app);
  std::filesystem::remove_all(device);
  defaults.setInteger(2, "count");
  EXPECT_TRUE(defaults.synchronize());
  EXPECT_TRUE(files::createDirectories(device + "/Keychains"));
  EXPECT_EQ(modeOf(app), 0700u);
  EXPECT_EQ(modeOf(device), 0700u);

  // Removed, and made again by another user meanwhile (the folders the host would use too):
  // nothing is made or written in them.
  std::filesystem::remove_all(app);
  std::filesystem::remove_all(device);
  for (const std::string& folder : {app, app + "/Library", app + "/Library/Preferences", device}) {
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
  }
  defaults.setInteger(3, "count");
  platform::Error error;
  EXPECT_FALSE(defaults.synchronize(&error));
  EXPECT_TRUE(mentions(error.description, {"\"" + app + "\"", "another user (uid 65534)"})) << error.description;
  EXPECT_FALSE(files::createDirectories(device + "/Keychains", &error));
  EXPECT_TRUE(mentions(error.description, {"\"" + device + "\"", "another user (uid 65534)"})) << error.description;
  EXPECT_TRUE(files::directoryContents(app + "/Library/Preferences").empty());
  EXPECT_TRUE(files::directoryContents(device).empty());
}

// Another user's file (or FIFO) where the app's data needs a folder: the refusal says whose it is
// and advises what this user can do: in a folder of his own (here a sticky one), move it away; in
// one of root's, sticky as /tmp, where he may not, choose another folder or have that user move it.
TEST(PrivateDataTest, AnotherUsersFileInTheWayIsNamedAsHisWithAdviceThatFitsWhoMayMoveIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file away";
  sandbox::ScopedTemporarySandbox scoped;
  const std::string sticky = scoped.root() + "/sticky";
  ASSERT_EQ(::mkdir(sticky.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(sticky.c_str(), 01777), 0);
  ASSERT_TRUE(makeOthers(sticky + "/his", S_IFREG, "his"));
  ASSERT_EQ(::mkfifo((sticky + "/hisfifo").c_str(), 0600), 0);
  ASSERT_EQ(::chown((sticky + "/hisfifo").c_str(), kOtherUser, kOtherUser), 0);
  ASSERT_TRUE(files::writeFileAtomically(sticky + "/mine", std::string("mine")));
  for (const std::string& root : {sticky + "/his/app", sticky + "/his", sticky + "/hisfifo/app"}) {
    const std::string reason = refusal([&] { sandbox::setRoot(root); });
    EXPECT_TRUE(mentions(reason, {"A file stands where", "another user, uid 65534", std::strerror(ENOTDIR),
                                  "Move the file away, or choose another folder with VESMORA_SANDBOX_ROOT"}))
        << reason;
    EXPECT_FALSE(mentions(reason, {"have that user move"})) << reason;
  }
  EXPECT_TRUE(mentions(refusal([&] { sandbox::setRoot(sticky + "/hisfifo/app"); }), {"a FIFO of another user"}));
  const std::string own = refusal([&] { sandbox::setRoot(sticky + "/mine/app"); });
  EXPECT_TRUE(mentions(own, {"A file stands where", "Move the file away"})) << own;
  EXPECT_FALSE(mentions(own, {"another user"})) << own;
  EXPECT_EQ(sandbox::root(), scoped.root());

  // Root's file in a sticky folder of root's, met by user nobody: only root may move it.
  std::string why;
  const std::string parent = testsupport::temporaryFolderReachableBy(kOtherUser, &why);
  if (parent.empty()) GTEST_SKIP() << why;
  std::string base = parent + "/vesmora-sticky-XXXXXX";
  ASSERT_NE(::mkdtemp(base.data()), nullptr);
  const std::string rootsFile = base + "/sticky/roots";
  const bool made = ::chmod(base.c_str(), 0755) == 0 && ::mkdir((base + "/sticky").c_str(), 0700) == 0 &&
                    ::chmod((base + "/sticky").c_str(), 01777) == 0 &&
                    files::writeFileAtomically(rootsFile, std::string("root's"));
  if (!made) {
    std::filesystem::remove_all(base);
    FAIL() << "could not make " << rootsFile;
  }
  const testsupport::ChildEnd end = testsupport::runInChild(
      [&] {
        if (::setegid(kOtherUser) != 0 || ::seteuid(kOtherUser) != 0) ::_exit(10);
        int code = 0;
        for (const std::string& root : {rootsFile + "/app", rootsFile}) {
          const std::string reason = refusal([&] { sandbox::setRoot(root); });
          if (!mentions(reason, {"A file of another user stands where", "another user, uid 0", std::strerror(ENOTDIR),
                                 "Choose another folder with VESMORA_SANDBOX_ROOT, or have that user move the file "
                                 "away"}) ||
              mentions(reason, {"Move the file away"})) {
            std::fprintf(stderr, "%s\n", reason.c_str());
            code = 11;
          }
        }
        ::_exit(code);
      },
      testsupport::kChildLife);
  std::filesystem::remove_all(base);
  EXPECT_TRUE(end.exitedWith(0)) << end.status;
}

TEST(PrivateDataTest, FilesAndFoldersOfAnotherUserAreNotUsed) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file or a folder away";
  sandbox::ScopedTemporarySandbox scoped;
  const std::string his = scoped.root() + "/Ombrix";
  const std::string file = scoped.root() + "/his.plist";
  ASSERT_TRUE(makeOthers(his, S_IFDIR));
  ASSERT_TRUE(makeOthers(file, S_IFREG, "his"));

  // His folder, where a folder of the caller's own belongs: refused, and nothing put in it.
  platform::Error error;
  EXPECT_FALSE(files::createDirectories(his, &error));
  EXPECT_TRUE(mentions(error.description, {his, "another user (uid 65534)"})) << error.description;
  EXPECT_FALSE(files::createOwnDirectories(scoped.root(), "Ombrix/Measurement", &error));
  EXPECT_FALSE(files::writeFileAtomically(his + "/events", std::string("mine"), &error));
  EXPECT_TRUE(mentions(error.description, {his + "/events", "another user (uid 65534)"})) << error.description;
  EXPECT_TRUE(files::directoryContents(his).empty());
  EXPECT_EQ(modeOf(his), 0777u);  // not his to lose either

  // His file in the app's folder is not read as the app's data; as a resource it is.
  EXPECT_FALSE(files::readFile(file, &error));
  EXPECT_EQ(error.code, 257);
  EXPECT_TRUE(mentions(error.description, {file, "another user (uid 65534)"})) << error.description;
  EXPECT_FALSE(platform::plist::readFile(file));
  EXPECT_EQ(platform::plist::readResource(file), platform::Value("his"));
  // Nor is a file reached through a symbolic link at its name.
  const std::string link = scoped.root() + "/link.plist";
  ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
  EXPECT_FALSE(files::readFile(link, &error));
  EXPECT_TRUE(mentions(error.description, {link, "symbolic link"})) << error.description;
}

TEST(PrivateDataTest, EveryFolderACallerNamesIsClosedAndTheBaseKeepsItsMode) {
  sandbox::ScopedTemporarySandbox scoped;
  const std::string base = scoped.root() + "/host";
  ASSERT_TRUE(makeFolders(base, {{"", 0755}, {"/Ombrix", 0777}, {"/Ombrix/CDVApp", 0777}}));
  ASSERT_TRUE(files::createOwnDirectories(base, "Ombrix/CDVApp"));
  ASSERT_TRUE(files::createOwnDirectories(base, "Ombrix/Measurement/"));
  for (const char* own : {"/Ombrix", "/Ombrix/CDVApp", "/Ombrix/Measurement"}) {
    EXPECT_EQ(modeOf(base + own), 0700u) << own;
  }
  EXPECT_EQ(modeOf(base), 0755u);
}

TEST(PrivateDataTest, AWayOthersMayChangeIsRefusedBeforeAnythingIsMadeOrClosedOnIt) {
  sandbox::ScopedTemporarySandbox scoped;
  const std::string open = scoped.root() + "/open";  // the host's, open to all without the sticky bit
  ASSERT_TRUE(makeFolders(scoped.root(), {{"/open", 0777}, {"/open/kept", 0755}}));
  using Make = bool (*)(const std::string&, platform::Error*);
  const std::vector<std::pair<std::string, Make>> makes = {
      {open + "/made/below", [](const std::string& path, platform::Error* error) {
         return files::createMissingDirectories(path, error);
       }},
      {open + "/made/below", [](const std::string& path, platform::Error* error) {
         return files::createDirectories(path, error);
       }},
      {open + "/kept", [](const std::string& path, platform::Error* error) {
         return files::createDirectories(path, error);
       }},
      {open + "/made/below", [](const std::string& path, platform::Error* error) {
         return files::createPrivateDirectory(path, error);
       }},
      {open, [](const std::string& path, platform::Error* error) {
         return files::createOwnDirectories(path, "made/below", error);
       }},
  };
  for (const auto& [path, make] : makes) {
    platform::Error error;
    EXPECT_FALSE(make(path, &error)) << path;
    EXPECT_EQ(error.code, 513);
    EXPECT_TRUE(mentions(error.description, {"lies inside \"" + open + "\"", "other users may write"}))
        << error.description;
  }
  EXPECT_EQ(files::directoryContents(open), std::vector<std::string>{"kept"});
  EXPECT_EQ(modeOf(open + "/kept"), 0755u);
  EXPECT_EQ(modeOf(open), 0777u);
}

TEST(PrivateDataTest, APathNoCallCouldUseIsRefusedBeforeAnythingIsMade) {
  sandbox::ScopedTemporarySandbox scoped;
  const std::string base = scoped.root() + "/long";
  ASSERT_EQ(::mkdir(base.c_str(), 0700), 0);
  std::string deep = base;  // past PATH_MAX
  while (deep.size() < PATH_MAX) deep += "/c";
  const std::string wide = base + "/a/" + std::string(NAME_MAX + 1, 'n');  // a name past NAME_MAX
  for (const FolderMaker make : kFolderMakers) {
    for (const std::string& path : {deep, wide}) {
      platform::Error error;
      EXPECT_FALSE(make(path, &error));
      EXPECT_TRUE(mentions(error.description, {"File name too long"})) << error.description;
      EXPECT_TRUE(files::directoryContents(base).empty());
    }
  }
  // The longest path a call can use is made.
  std::string longest = base;
  while (longest.size() + 1 + NAME_MAX < PATH_MAX - 1) longest += "/" + std::string(NAME_MAX, 'l');
  ASSERT_LT(longest.size(), PATH_MAX - 2u);
  longest += "/" + std::string(PATH_MAX - 2 - longest.size(), 'e');
  ASSERT_EQ(longest.size(), PATH_MAX - 1u);
  EXPECT_TRUE(files::createMissingDirectories(longest));
  EXPECT_TRUE(files::isDirectory(longest));
}

// A relative path is taken by the calls from the working folder, so its own text is measured:
// one whose working folder and text are longer than PATH_MAX together is made; a text no call
// could use is refused before anything is made.
TEST(PrivateDataTest, ARelativePathIsMeasuredAsGivenNotWithItsWorkingFolder) {
  sandbox::ScopedTemporarySandbox scoped;
  const auto lengthened = [](std::string path, std::size_t size) {
    while (path.size() + 1 + NAME_MAX < size) path += "/" + std::string(NAME_MAX, 'n');
    return path + "/" + std::string(size - path.size() - 1, 'e');
  };
  const std::string working = lengthened(scoped.root() + "/working", 3049);
  const std::string relative = lengthened("made", 1208);
  ASSERT_TRUE(files::createMissingDirectories(working));
  const WorkingFolderBack back;
  ASSERT_EQ(::chdir(working.c_str()), 0);
  for (const FolderMaker make : {kFolderMakers[0], kFolderMakers[1]}) {
    for (const std::string& unusable : {lengthened("made", PATH_MAX), "made/" + std::string(NAME_MAX + 1, 'w')}) {
      platform::Error error;
      EXPECT_FALSE(make(unusable, &error));
      EXPECT_TRUE(mentions(error.description, {"File name too long"})) << error.description;
      EXPECT_TRUE(files::directoryContents(working).empty());
    }
    platform::Error error;
    EXPECT_TRUE(make(relative, &error)) << error.description;
    EXPECT_TRUE(files::isDirectory(relative));
    EXPECT_EQ(modeOf(relative), 0700u);
    std::filesystem::remove_all("made");
  }
}

// A file no call could read or remove by its name is not written; a removal that fails for
// another reason than a missing file says why.
TEST(PrivateDataTest, AFileNoCallCouldUseByItsNameIsNotWrittenAndARemovalSaysWhyItFailed) {
  sandbox::ScopedTemporarySandbox scoped;
  std::string folder = scoped.root() + "/long";
  while (folder.size() <= PATH_MAX - 250) folder += "/" + std::string(200, 'f');
  ASSERT_TRUE(files::createMissingDirectories(folder));
  const std::string longest = folder + "/" + std::string(PATH_MAX - 2 - folder.size(), 'l');
  const std::string over = folder + "/" + std::string(PATH_MAX - 1 - folder.size(), 'o');
  ASSERT_EQ(over.size(), std::size_t{PATH_MAX});
  platform::Error error;
  EXPECT_FALSE(files::writeFileAtomically(over, std::string("data"), &error));
  EXPECT_TRUE(mentions(error.description, {"Could not write the file", "File name too long"})) << error.description;
  EXPECT_TRUE(files::directoryContents(folder).empty());
  EXPECT_TRUE(files::writeFileAtomically(longest, std::string("data"), &error)) << error.description;
  EXPECT_EQ(files::readFile(longest), platform::Bytes({'d', 'a', 't', 'a'}));
  EXPECT_TRUE(files::removeFile(longest, &error)) << error.description;

  // One put there through its folder's descriptor, as by another program.
  const int at = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(at, 0);
  const std::string name = over.substr(folder.size() + 1);
  const int made = ::openat(at, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  EXPECT_GE(made, 0);
  if (made >= 0) ::close(made);
  for (const auto remove : {files::removeFile, files::removeItem}) {
    EXPECT_FALSE(remove(over, &error));
    EXPECT_EQ(error.code, 513);
    EXPECT_TRUE(mentions(error.description, {"Could not remove", "File name too long"})) << error.description;
  }
  EXPECT_EQ(::unlinkat(at, name.c_str(), 0), 0);
  ::close(at);
  const std::string plain = scoped.root() + "/plain";
  ASSERT_TRUE(files::writeFileAtomically(plain, std::string("data")));
  for (const auto remove : {files::removeFile, files::removeItem}) {
    for (const std::string& missing : {longest, plain + "/under"}) {  // a file is no folder
      EXPECT_FALSE(remove(missing, &error));
      EXPECT_EQ(error.code, 4) << error.description;  // nothing there
      EXPECT_TRUE(mentions(error.description, {"No such file"})) << error.description;
    }
  }
  EXPECT_EQ(files::readFile(plain), platform::Bytes({'d', 'a', 't', 'a'}));
}

TEST(PrivateDataDeathTest, ARelativePathWhoseWorkingFolderIsGoneIsRefused) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::string gone = std::filesystem::temp_directory_path().string() + "/vesmora-gone-XXXXXX";
        if (::mkdtemp(gone.data()) == nullptr || ::chdir(gone.c_str()) != 0 || ::rmdir(gone.c_str()) != 0) {
          std::exit(10);
        }
        const std::string relative = "vesmora-gone-" + std::to_string(::getpid());
        int code = 0;
        for (const bool own : {false, true}) {
          platform::Error error;
          if ((own ? files::createDirectories(relative + "/x", &error)
                   : files::createMissingDirectories(relative + "/x", &error)) ||
              !mentions(error.description, {"\"" + relative + "/x\"", "working folder", "No such file"})) {
            std::fprintf(stderr, "%s\n", error.description.c_str());
            code = 11;
          }
          // Its cause, as every folder error carries one.
          const auto cause = error.userInfo[files::kUnderlyingErrorKey].objectAs<platform::Error>();
          if (!cause || cause->domain != files::kPOSIXErrorDomain || cause->code != ENOENT) {
            std::fprintf(stderr, "no POSIX cause: %s\n", error.fullDescription().c_str());
            code = 13;
          }
        }
        if (files::exists("/" + relative)) code = 12;  // not made at the root instead
        std::filesystem::remove_all("/" + relative);
        std::exit(code);
      },
      ::testing::ExitedWithCode(0), "");
}

// A root through /proc's link to the working folder, or to an open folder, once that folder is
// removed: the link's text is the old path with " (deleted)", and nothing is made there; the root
// is refused naming the path given, by every call that makes a folder.
TEST(PrivateDataDeathTest, ARootThatLeadsToARemovedFolderIsRefusedBeforeAnythingIsMade) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::string gone = std::filesystem::temp_directory_path().string() + "/vesmora-removed-XXXXXX";
        if (::mkdtemp(gone.data()) == nullptr) std::exit(10);
        const int open = ::open(gone.c_str(), O_RDONLY | O_DIRECTORY);
        if (open < 0 || ::chdir(gone.c_str()) != 0 || ::rmdir(gone.c_str()) != 0) std::exit(10);
        int code = 0;
        for (const std::string& root : {std::string("/proc/self/cwd/app"), "/proc/self/fd/" + std::to_string(open) + "/app"}) {
          const std::string reason = refusal([&] { sandbox::setRoot(root); });
          if (!mentions(reason, {"\"" + root + "\"", "removed folder", "VESMORA_SANDBOX_ROOT"})) {
            std::fprintf(stderr, "%s: %s\n", root.c_str(), reason.c_str());
            code = 11;
          }
          for (const FolderMaker make : kFolderMakers) {
            platform::Error error;
            if (make(root + "/inner", &error) || !mentions(error.description, {"removed folder"})) {
              std::fprintf(stderr, "%s: %s\n", root.c_str(), error.description.c_str());
              code = 12;
            }
          }
        }
        if (files::exists(gone + " (deleted)")) code = 13;
        std::filesystem::remove_all(gone + " (deleted)");
        std::exit(code);
      },
      ::testing::ExitedWithCode(0), "");
}

namespace {

// The cases of the test below, as an ordinary user whom permissions bind (root's are not
// checked), in the child it runs in; its exit code.
int ordinaryUserCases(const std::string& parent) {
  constexpr uid_t kNobody = 65534;
  std::string base = parent + "/vesmora-umask-XXXXXX";
  if (::mkdtemp(base.data()) == nullptr) return 10;
  if (::chown(base.c_str(), kNobody, kNobody) != 0 || ::setegid(kNobody) != 0 || ::seteuid(kNobody) != 0) {
    std::filesystem::remove_all(base);
    return 10;
  }
  int code = 0;
  // A umask that masks the owner's bits: every folder made is 0700 all the same.
  for (const mode_t mask : {0777, 0477}) {
    for (std::size_t at = 0; at < kFolderMakers.size(); ++at) {
      const std::string top = base + "/" + std::to_string(mask) + "-" + std::to_string(at);
      const mode_t previous = ::umask(mask);
      platform::Error error;
      const bool made = kFolderMakers[at](top + "/inner", &error);
      ::umask(previous);
      if (!made || modeOf(top) != 0700u || modeOf(top + "/inner") != 0700u) {
        std::fprintf(stderr, "umask %o, maker %zu: %s\n", mask, at, error.description.c_str());
        code = 11;
      }
    }
  }
  // A folder whose ACL this user cannot read (the folder is not readable to him), its group's
  // write bit set: refused, saying so and why, not claiming that others may write.
  const std::string locked = base + "/locked";
  if (::mkdir(locked.c_str(), 0700) != 0 || ::chmod(locked.c_str(), 0370) != 0) code = 12;
  platform::Error error;
  if (files::createPrivateDirectory(locked + "/app", &error) ||
      !mentions(error.description, {"\"" + locked + "\", which has an access ACL that could not be read",
                                    "Permission denied", "chmod g-w \"" + locked + "\""}) ||
      mentions(error.description, {"other users may write to it as"})) {
    std::fprintf(stderr, "%s\n", error.description.c_str());
    code = 13;
  }
  // A file there that this user may not even look at (its folder not searchable to him) is not
  // "No such file": both removals say why they failed, and leave it.
  const std::string shut = base + "/shut";
  if (::mkdir(shut.c_str(), 0700) != 0 || !files::writeFileAtomically(shut + "/kept", std::string("kept")) ||
      ::chmod(shut.c_str(), 0600) != 0) {
    code = 15;
  }
  for (const auto remove : {files::removeFile, files::removeItem}) {
    platform::Error refused;
    if (remove(shut + "/kept", &refused) || refused.code != 513 ||
        !mentions(refused.description, {"Could not remove", std::strerror(EACCES)})) {
      std::fprintf(stderr, "removal: %s\n", refused.description.c_str());
      code = 16;
    }
  }
  if (::chmod(shut.c_str(), 0700) != 0 || !files::exists(shut + "/kept")) code = 17;
  if (::seteuid(0) != 0) code = 14;
  std::filesystem::remove_all(base);
  return code;
}

}  // namespace

TEST(PrivateDataDeathTest, AnOrdinaryUsersFoldersAreMadeWhateverTheUmaskAndAnAclItCannotReadIsNamed) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can act as another user";
  std::string why;
  const std::string parent = testsupport::temporaryFolderReachableBy(65534, &why);
  if (parent.empty()) GTEST_SKIP() << why;
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(ordinaryUserCases(parent)), ::testing::ExitedWithCode(0), "");
}
