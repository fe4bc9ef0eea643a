#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <future>
#include <string>
#include <vector>
#include <thread>

#include "Bounds.h"
#include "foundation/Bundle.h"
#include "foundation/Exception.h"
#include "foundation/Files.h"
#include "foundation/NotificationCenter.h"
#include "foundation/Preferences.h"
#include "foundation/ProcessInfo.h"
#include "foundation/PropertyList.h"
#include "foundation/Text.h"
#include "foundation/Sandbox.h"
#include "foundation/UserDefaults.h"

using platform::Bundle;
using platform::UserDefaults;
using platform::Value;
namespace files = platform::files;
namespace sandbox = platform::sandbox;

namespace {

// The default roots are kept per app: a process that uses them needs a main bundle with an identifier.
void installAppBundle() {
  Bundle::setMain(std::make_shared<Bundle>("", Value::dictionary({{"CFBundleIdentifier", Value("com.vesmora.tests")}})));
}

}  // namespace

TEST(SandboxTest, DirectoriesLiveUnderTheChosenRoots) {
  installAppBundle();
  std::string outerRoot = sandbox::root();
  std::string base;
  {
    sandbox::ScopedTemporarySandbox scoped;
    base = scoped.root();
    EXPECT_EQ(sandbox::root(), scoped.root());
    EXPECT_EQ(sandbox::deviceRoot(), scoped.deviceRoot());
    EXPECT_NE(scoped.root(), scoped.deviceRoot());
    EXPECT_EQ(sandbox::documentsDirectory(), scoped.root() + "/Documents");
    EXPECT_EQ(sandbox::cachesDirectory(), scoped.root() + "/Library/Caches");
    EXPECT_EQ(sandbox::preferencesDirectory(), scoped.root() + "/Library/Preferences");
    EXPECT_EQ(sandbox::applicationSupportDirectory(), scoped.root() + "/Library/Application Support");
    EXPECT_TRUE(files::isDirectory(sandbox::documentsDirectory()));
    EXPECT_TRUE(files::isDirectory(sandbox::cachesDirectory()));

    std::string kept = sandbox::deviceRoot() + "/keychain.plist";
    std::string lost = sandbox::documentsDirectory() + "/file.txt";
    ASSERT_TRUE(files::writeFileAtomically(kept, std::string("k")));
    ASSERT_TRUE(files::writeFileAtomically(lost, std::string("l")));
    scoped.wipeApp();
    EXPECT_FALSE(files::exists(lost));
    EXPECT_TRUE(files::exists(kept));
    EXPECT_TRUE(files::isDirectory(sandbox::documentsDirectory()));
  }
  EXPECT_FALSE(files::exists(base));
  EXPECT_EQ(sandbox::root(), outerRoot);
}

TEST(FilesTest, AtomicWritesAndBackupExclusion) {
  sandbox::ScopedTemporarySandbox scoped;
  std::string path = sandbox::documentsDirectory() + "/a.bin";
  platform::Error error;
  EXPECT_FALSE(files::setExcludedFromBackup(path, true, &error));
  EXPECT_EQ(error.code, 4);
  ASSERT_TRUE(files::writeFileAtomically(path, platform::Bytes{1, 2, 3}));
  ASSERT_TRUE(files::writeFileAtomically(path, platform::Bytes{4}));
  EXPECT_EQ(*files::readFile(path), platform::Bytes{4});
  EXPECT_EQ(files::directoryContents(sandbox::documentsDirectory()), std::vector<std::string>{"a.bin"});
  EXPECT_FALSE(files::isExcludedFromBackup(path));
  EXPECT_TRUE(files::setExcludedFromBackup(path, true));
  EXPECT_TRUE(files::isExcludedFromBackup(path));
  EXPECT_TRUE(files::setExcludedFromBackup(path, false));
  EXPECT_FALSE(files::isExcludedFromBackup(path));
  EXPECT_FALSE(files::writeFileAtomically(sandbox::root() + "/missing/dir/x", std::string("x"), &error));
  // Names as long as a name may be, whose temporary companion must still fit.
  for (const std::size_t length : {243u, 244u, 255u}) {
    const std::string longName = sandbox::documentsDirectory() + "/" + std::string(length, 'n');
    EXPECT_TRUE(files::writeFileAtomically(longName, std::string("long"), &error)) << length << error.description;
    EXPECT_EQ(files::readFile(longName), platform::Bytes({'l', 'o', 'n', 'g'})) << length;
  }
  EXPECT_EQ(files::directoryContents(sandbox::documentsDirectory()).size(), 4u);
}

// A process killed between making its temporary file and renaming it leaves the file behind; a
// later process with the same identifier (a container's program at each start) meets it. Every
// write still succeeds, and the leftovers met are removed: a link without what it names; a
// folder in the way is passed and kept.
TEST(FilesTest, LeftoverTemporaryFilesOfThisProcessIdentifierNeitherFailWritesNorStay) {
  sandbox::ScopedTemporarySandbox scoped;
  const std::string folder = sandbox::documentsDirectory();
  const std::string prefix = ".tmp-" + std::to_string(::getpid()) + "-";
  const std::string elsewhere = sandbox::cachesDirectory() + "/named";
  ASSERT_TRUE(files::writeFileAtomically(elsewhere, std::string("kept")));
  // The temporary name of a first write shows where this process's counter stands.
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, folder.c_str(), IN_CREATE), 0);
  ASSERT_TRUE(files::writeFileAtomically(folder + "/probe", std::string("p")));
  alignas(inotify_event) char buffer[4096];
  const ssize_t got = ::read(watch, buffer, sizeof buffer);
  ::close(watch);
  unsigned next = 0;
  bool seen = false;
  for (ssize_t at = 0; at < got;) {
    const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
    const std::string name = event->len > 0 ? event->name : "";
    if (name.rfind(prefix, 0) == 0) {
      next = static_cast<unsigned>(std::stoul(name.substr(prefix.size()))) + 1;
      seen = true;
    }
    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
  }
  ASSERT_TRUE(seen) << "no temporary file seen";

  for (unsigned n = next; n < next + 4; ++n) std::ofstream(folder + "/" + prefix + std::to_string(n)) << "left";
  ASSERT_EQ(::symlink(elsewhere.c_str(), (folder + "/" + prefix + std::to_string(next + 4)).c_str()), 0);
  const std::string inTheWay = prefix + std::to_string(next + 5);
  ASSERT_EQ(::mkdir((folder + "/" + inTheWay).c_str(), 0700), 0);

  int written = 0;
  for (int i = 0; i < 6; ++i) {
    platform::Error error;
    if (files::writeFileAtomically(folder + "/data", "write " + std::to_string(i), &error)) {
      ++written;
    } else {
      ADD_FAILURE() << "write " << i << ": " << error.description;
    }
  }
  EXPECT_EQ(written, 6);
  EXPECT_EQ(files::readFile(folder + "/data"), platform::Bytes({'w', 'r', 'i', 't', 'e', ' ', '5'}));
  EXPECT_EQ(files::directoryContents(folder), (std::vector<std::string>{inTheWay, "data", "probe"}));
  EXPECT_EQ(files::readFile(elsewhere), platform::Bytes({'k', 'e', 'p', 't'}));

  // The bound: the first 5 names met were removed and taken again by nothing, the folder passed,
  // and each of the 6 writes took one name. A write passes 63 names in use in a row and gives up,
  // saying so, on the 64th.
  next += 12;
  const auto folders = [&](unsigned count) {
    for (unsigned n = next; n < next + count; ++n) {
      ASSERT_EQ(::mkdir((folder + "/" + prefix + std::to_string(n)).c_str(), 0700), 0);
    }
  };
  folders(63);
  EXPECT_TRUE(files::writeFileAtomically(folder + "/data", std::string("after 63")));
  next += 64;
  folders(64);
  platform::Error error;
  EXPECT_FALSE(files::writeFileAtomically(folder + "/data", std::string("after 64"), &error));
  EXPECT_NE(error.description.find("the 64 temporary names tried in its folder (\"" + prefix + "<n>\") were all in use"),
            std::string::npos)
      << error.description;
  EXPECT_EQ(files::readFile(folder + "/data"), platform::Bytes({'a', 'f', 't', 'e', 'r', ' ', '6', '3'}));
}

class UserDefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Bundle::setMain(std::make_shared<Bundle>("", Value::dictionary({{"CFBundleIdentifier", "com.example.host"}})));
  }
  void TearDown() override {
    UserDefaults::resetForTesting();
    Bundle::resetForTesting();
  }
  sandbox::ScopedTemporarySandbox scoped_;
};

TEST_F(UserDefaultsTest, ValuesPersistAcrossReopen) {
  UserDefaults& defaults = UserDefaults::standard();
  EXPECT_EQ(defaults.domainName(), "com.example.host");
  defaults.setBool(true, "/ombrix/cindervale/debug_mode");
  defaults.setInteger(2, "/ombrix/measurement/measurement_enabled_state");
  defaults.setObject(Value("naïve ☕"), "text");
  defaults.setObject(Value::array({1, "two"}), "list");
  EXPECT_TRUE(defaults.synchronize());

  UserDefaults::resetForTesting();  // the app relaunches: nothing is left in memory
  EXPECT_TRUE(files::exists(sandbox::preferencesDirectory() + "/com.example.host.plist"));
  UserDefaults reopened;
  EXPECT_TRUE(reopened.boolForKey("/ombrix/cindervale/debug_mode"));
  Value state = reopened.objectForKey("/ombrix/measurement/measurement_enabled_state");
  EXPECT_TRUE(state.isInteger());
  EXPECT_EQ(*state.int64Value(), 2);
  EXPECT_EQ(reopened.stringForKey("text"), "naïve ☕");
  EXPECT_EQ(reopened.arrayForKey("list"), Value::array({1, "two"}));
  EXPECT_TRUE(reopened.dictionaryForKey("list").isNull());

  reopened.removeObjectForKey("text");
  UserDefaults::resetForTesting();
  EXPECT_TRUE(UserDefaults::standard().objectForKey("text").isNull());
}

TEST_F(UserDefaultsTest, TypedGettersConvertLikeThePlatform) {
  UserDefaults defaults("group.suite");
  defaults.setObject(Value("12.5"), "s");
  defaults.setObject(Value("YES"), "yes");
  EXPECT_EQ(defaults.integerForKey("s"), 12);
  EXPECT_DOUBLE_EQ(defaults.doubleForKey("s"), 12.5);
  EXPECT_TRUE(defaults.boolForKey("yes"));
  EXPECT_FALSE(defaults.boolForKey("missing"));
  EXPECT_EQ(defaults.integerForKey("missing"), 0);
  defaults.setDouble(3.75, "d");
  EXPECT_EQ(defaults.stringForKey("d"), "3.75");
  EXPECT_EQ(defaults.integerForKey("d"), 3);
  EXPECT_FALSE(defaults.stringForKey("missing").has_value());
  // Non-property-list values are refused without storing anything.
  EXPECT_THROW(defaults.setObject(Value::array({Value()}), "bad"), platform::Exception);
  EXPECT_THROW(defaults.setObject(Value::object(std::make_shared<int>(1)), "bad"), platform::Exception);
  EXPECT_TRUE(defaults.objectForKey("bad").isNull());
}

TEST_F(UserDefaultsTest, SuitesAreSeparateAndSharedByName) {
  UserDefaults a("suite.one");
  UserDefaults b("suite.one");
  UserDefaults other("suite.two");
  a.setObject(Value(5), "k");
  EXPECT_EQ(b.objectForKey("k"), Value(5));
  EXPECT_TRUE(other.objectForKey("k").isNull());
  EXPECT_TRUE(UserDefaults::standard().objectForKey("k").isNull());
  EXPECT_TRUE(files::exists(sandbox::preferencesDirectory() + "/suite.one.plist"));

  UserDefaults::removePersistentDomainForName("suite.one");
  EXPECT_TRUE(b.objectForKey("k").isNull());
  EXPECT_FALSE(UserDefaults::persistentDomainForName("suite.one").has_value());

  namespace prefs = platform::preferences;
  prefs::setAppValue("p", Value(true));
  EXPECT_EQ(UserDefaults::standard().objectForKey("p"), Value(true));
  EXPECT_EQ(prefs::copyKeyList(), std::vector<std::string>{"p"});
  EXPECT_TRUE(prefs::appSynchronize());
}

TEST_F(UserDefaultsTest, ConcurrentWritersLoseNothing) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      UserDefaults defaults("concurrent");
      for (int i = 0; i < 50; ++i) defaults.setInteger(i, "t" + std::to_string(t) + "-" + std::to_string(i));
    });
  }
  for (auto& thread : threads) thread.join();
  UserDefaults::resetForTesting();
  EXPECT_EQ(UserDefaults("concurrent").dictionaryRepresentation().size(), 200u);
}

TEST(BundleTest, ReadsInfoPlistAndFindsResources) {
  sandbox::ScopedTemporarySandbox scoped;
  std::string dir = scoped.root() + "/Host.app";
  ASSERT_TRUE(files::createDirectories(dir + "/Data"));
  ASSERT_TRUE(platform::plist::writeFile(dir + "/Info.plist",
                                         Value::dictionary({{"CFBundleIdentifier", "com.example.host"},
                                                            {"UseCFPreferencesLibrary", false}})));
  ASSERT_TRUE(files::writeFileAtomically(dir + "/OmbrixService-Info.plist", std::string("x")));
  ASSERT_TRUE(files::writeFileAtomically(dir + "/Data/rows_qa.json", std::string("[]")));

  auto bundle = Bundle::atPath(dir);
  ASSERT_NE(bundle, nullptr);
  EXPECT_EQ(bundle->bundleIdentifier(), "com.example.host");
  EXPECT_EQ(bundle->objectForInfoDictionaryKey("UseCFPreferencesLibrary"), Value(false));
  EXPECT_EQ(bundle->pathForResource("OmbrixService-Info", "plist"), dir + "/OmbrixService-Info.plist");
  EXPECT_EQ(bundle->pathForResource("rows_qa", "json", "Data"), dir + "/Data/rows_qa.json");
  EXPECT_FALSE(bundle->pathForResource("rows_qa", "json").has_value());
  EXPECT_FALSE(bundle->pathForResource("Data", "").has_value());  // a directory is no resource
  EXPECT_EQ(Bundle::atPath(dir + "/missing"), nullptr);

  Bundle::setMain(bundle);
  auto testBundle = std::make_shared<Bundle>(dir + "/Data", Value());
  Bundle::setBundleForClass("MockTests", testBundle);
  EXPECT_EQ(Bundle::main(), bundle);
  EXPECT_EQ(Bundle::forClass("MockTests"), testBundle);
  EXPECT_EQ(Bundle::forClass("Other"), bundle);
  Bundle::resetForTesting();
  EXPECT_NE(Bundle::main(), bundle);
}

TEST(ProcessInfoTest, ArgumentsAndEnvironmentCanBeSet) {
  EXPECT_FALSE(platform::ProcessInfo::arguments().empty());  // the real ones
  platform::ProcessInfo::setArguments({"/apps/Host", "-CDVDebugEnabled"});
  EXPECT_TRUE(platform::ProcessInfo::hasArgument("-CDVDebugEnabled"));
  EXPECT_FALSE(platform::ProcessInfo::hasArgument("-CDVDebugDisabled"));
  EXPECT_EQ(platform::ProcessInfo::processName(), "Host");
  platform::ProcessInfo::setEnvironmentValue("test_env", "qa");
  EXPECT_EQ(platform::ProcessInfo::environmentValue("test_env"), "qa");
  platform::ProcessInfo::setEnvironmentValue("test_env", std::nullopt);
  EXPECT_FALSE(platform::ProcessInfo::environmentValue("test_env").has_value());
  platform::ProcessInfo::resetForTesting();
  EXPECT_FALSE(platform::ProcessInfo::hasArgument("-CDVDebugEnabled"));
}

TEST(ProcessInfoTest, AForkedChildHasItsOwnIdentifier) {
  EXPECT_EQ(platform::ProcessInfo::processIdentifier(), ::getpid());
  const pid_t child = ::fork();
  if (child == 0) ::_exit(platform::ProcessInfo::processIdentifier() == ::getpid() ? 0 : 1);
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child saw its parent's identifier";
  EXPECT_EQ(platform::ProcessInfo::processIdentifier(), ::getpid());
}

namespace {

// Armed by the test below: set by a fork handler registered after the values' own, so that its
// prepare handler runs before theirs.
std::atomic<bool> gForkArmed{false};
std::atomic<bool> gForkBegun{false};
void noteForkBegun() {
  if (gForkArmed) gForkBegun = true;
}

}  // namespace

// A thread that reads the process's values at the fork holds their lock: the fork waits until it
// lets go, so that the child, which reads them too, never finds it taken. The holding thread keeps
// the lock a second after the fork began (where a fork did not wait, the child is made meanwhile).
TEST(ProcessInfoTest, AChildForkedWhileAnotherThreadReadsTheValuesFindsThemFree) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer does not support a child of a threaded process";
#endif
  ASSERT_EQ(::pthread_atfork(&noteForkBegun, nullptr, nullptr), 0);
  gForkArmed = true;
  gForkBegun = false;
  std::atomic<bool> holding{false};
  std::thread holder([&holding] {
    platform::ProcessInfo::whileValuesLockedForTesting([&holding] {
      holding = true;
      testsupport::eventually([] { return gForkBegun.load(); });
      std::this_thread::sleep_for(std::chrono::seconds(1));
    });
  });
  ASSERT_TRUE(testsupport::eventually([&holding] { return holding.load(); }));
  const pid_t child = ::fork();
  if (child == 0) ::_exit(platform::ProcessInfo::arguments().empty() ? 1 : 0);
  gForkArmed = false;
  holder.join();
  ASSERT_GT(child, 0);
  const int watch = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
  ASSERT_GE(watch, 0);
  pollfd ended{watch, POLLIN, 0};
  const bool endedInTime =
      ::poll(&ended, 1, static_cast<int>(std::chrono::milliseconds(testsupport::kEventWait).count())) == 1;
  if (!endedInTime) ::kill(child, SIGKILL);
  ::close(watch);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(endedInTime) << "the child waited for the lock its parent's other thread held at the fork";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

namespace {

// The exit code of a child forked to run `body`: 0 when it held.
template <typename Body>
int inChild(Body body) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(body());
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

}  // namespace

// A child counts one fork more than its parent, and may hold a lock of the C library's that
// another thread held only where its parent had another thread at the fork, or descends from such
// a process.
TEST(ProcessInfoTest, AForkedChildCountsItsForkAndKnowsWhetherItsParentHadOtherThreads) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer's own thread makes every process one with other threads";
#endif
  using platform::ProcessInfo;
  EXPECT_EQ(inChild([] {
    ProcessInfo::countAsFirstProcessForTesting();  // this child, alone with its thread, stands for the first
    const std::uint64_t forks = ProcessInfo::forks();
    if (inChild([&] { return ProcessInfo::forks() == forks + 1 && !ProcessInfo::mayHoldOtherThreadsLocks() ? 0 : 1; })) {
      return 1;
    }
    std::promise<void> leave;
    std::thread other([wait = leave.get_future()]() mutable { wait.wait(); });
    const int withThread = inChild([&] {
      if (ProcessInfo::forks() != forks + 1 || !ProcessInfo::mayHoldOtherThreadsLocks()) return 1;
      // Its own child, forked while it is alone, descends from that process all the same.
      return inChild([&] { return ProcessInfo::forks() == forks + 2 && ProcessInfo::mayHoldOtherThreadsLocks() ? 0 : 1; });
    });
    leave.set_value();
    other.join();
    return withThread == 0 && ProcessInfo::forks() == forks && !ProcessInfo::mayHoldOtherThreadsLocks() ? 0 : 2;
  }), 0);
}

TEST_F(UserDefaultsTest, AWipedOrNewSandboxStartsEmpty) {
  UserDefaults::standard().setObject(Value("kept?"), "k");
  scoped_.wipeApp();  // a reinstall: the preferences file is gone, and so must the cached value be
  EXPECT_TRUE(UserDefaults::standard().objectForKey("k").isNull());
  UserDefaults::standard().setObject(Value(1), "k");
  {
    sandbox::ScopedTemporarySandbox inner;
    EXPECT_TRUE(UserDefaults::standard().objectForKey("k").isNull());
  }
  EXPECT_EQ(UserDefaults::standard().objectForKey("k"), Value(1));
}

// Work on background threads may still be running while the process exits: the process-wide
// state it touches (notification center, user defaults, sandbox, bundle, process info, collators) must
// still be there while exit handlers run.
TEST(SharedStateDeathTest, BackgroundThreadsMayUseSharedStateWhileTheProcessExits) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        static std::atomic<int> rounds{0};
        installAppBundle();
        platform::NotificationCenter::defaultCenter().addObserver("Tick", Value(),
                                                                  [](const platform::Notification&) {});
        std::thread([] {
          for (;;) {
            platform::NotificationCenter::defaultCenter().post("Tick");
            UserDefaults::standard().objectForKey("k");
            Bundle::main();
            platform::ProcessInfo::arguments();
            platform::text::localizedCompare("a", "b");
            ++rounds;
          }
        }).detach();
        while (rounds.load() < 100) {
        }
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}
