// The app's data is the user's alone: where it lives by default, the folders it is refused, and
// the mode of the files written there.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "foundation/Exception.h"
#include "foundation/Files.h"
#include "foundation/Sandbox.h"

namespace files = platform::files;
namespace sandbox = platform::sandbox;

namespace {

unsigned modeOf(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0xFFFF;
}

// Sets (or unsets) an environment variable for the life of the object.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedVariable() {
    if (previous_) {
      ::setenv(name_, previous_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> previous_;
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

// The roots are resolved once per process, so each case runs in a process of its own.
TEST(PrivateDataDeathTest, DefaultRootsAreMadePrivateAndUnsafeOnesRefused) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::string base = std::filesystem::temp_directory_path().string() + "/vesmora-default-XXXXXX";
        if (::mkdtemp(base.data()) == nullptr) std::exit(10);
        ::setenv("XDG_DATA_HOME", (base + "/data").c_str(), 1);
        ::unsetenv("VESMORA_SANDBOX_ROOT");
        const std::string shared = base + "/shared";
        ::mkdir(shared.c_str(), 0700);
        ::chmod(shared.c_str(), 0777);
        ::setenv("VESMORA_DEVICE_ROOT", shared.c_str(), 1);
        int code = 0;
        if (sandbox::root() != base + "/data/vesmora/sandbox") code = 11;
        if (modeOf(base + "/data") != 0700u || modeOf(base + "/data/vesmora") != 0700u ||
            modeOf(sandbox::root()) != 0700u || !files::isDirectory(sandbox::preferencesDirectory())) {
          code = 12;
        }
        try {
          sandbox::deviceRoot();
          code = 13;
        } catch (const platform::Exception&) {
        }
        ::unsetenv("VESMORA_DEVICE_ROOT");  // refused roots are not kept: the next look tries again
        if (sandbox::deviceRoot() != base + "/data/vesmora/device" || modeOf(sandbox::deviceRoot()) != 0700u) code = 14;
        std::filesystem::remove_all(base);
        std::exit(code);
      },
      ::testing::ExitedWithCode(0), "");
}
