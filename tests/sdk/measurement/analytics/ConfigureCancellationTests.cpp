// A host thread cancelled (pthread_cancel) while it configures the real app, inside its first
// settings write (a slow disk): the configure unwinds, nothing it was making stays half made, and
// another thread then configures, logs, reads the instance id and ends the app.
//
// This program defines openat() itself: the configuring thread's first temporary file of a
// settings write is held there by a read of a pipe, a cancellation point, so the cancellation acts
// inside that write whatever the machine's speed. Every other open goes straight to the system.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "Bounds.h"
#include "Core/Public/CDVApp.h"
#include "TemporaryContainer.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "uikit/UIKit.h"

namespace {

thread_local bool tHoldFirstSettingsWrite = false;
int gArrived[2] = {-1, -1};
int gRelease[2] = {-1, -1};

}  // namespace

extern "C" int openat(int dir, const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
    va_list arguments;
    va_start(arguments, flags);
    mode = static_cast<mode_t>(va_arg(arguments, unsigned));
    va_end(arguments);
  }
  const char* name = std::strrchr(path, '/');
  name = name != nullptr ? name + 1 : path;
  if (tHoldFirstSettingsWrite && (flags & O_CREAT) != 0 && std::strncmp(name, ".tmp-", 5) == 0) {
    tHoldFirstSettingsWrite = false;
    char byte = 1;
    if (::write(gArrived[1], &byte, 1) == 1) (void)::read(gRelease[0], &byte, 1);  // never let go
  }
  return static_cast<int>(::syscall(SYS_openat, dir, path, flags, mode));
}

namespace {

void* configureHeld(void*) {
  tHoldFirstSettingsWrite = true;
  CDVApp::configure();
  return nullptr;
}

bool arrived() {
  pollfd ready{gArrived[0], POLLIN, 0};
  char byte = 0;
  return ::poll(&ready, 1, static_cast<int>(testsupport::kEventWait.count() * 1000)) == 1 &&
         ::read(gArrived[0], &byte, 1) == 1;
}

// A file a write left behind, named as its temporary files are.
bool temporaryFileUnder(const std::string& folder) {
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename().string().rfind(".tmp-", 0) == 0) return true;
  }
  return false;
}

// Fails with the first check that did not hold; 0 when all did.
int cancelConfigureInItsFirstSettingsWrite() {
  const TemporaryContainer container("configure-cancelled");
  if (container.path().empty()) return 10;
  if (::pipe(gArrived) != 0 || ::pipe(gRelease) != 0) return 11;
  TLMMeasurementEngine::setCollectionServerURL("http://127.0.0.1:9");  // nothing listens there

  pthread_t thread;
  if (::pthread_create(&thread, nullptr, &configureHeld, nullptr) != 0) return 12;
  if (!arrived()) return 13;
  if (::pthread_cancel(thread) != 0) return 14;
  void* result = nullptr;
  if (::pthread_join(thread, &result) != 0 || result != PTHREAD_CANCELED) return 15;
  if (CDVApp::isDefaultAppConfigured()) return 20;
  if (temporaryFileUnder(container.path())) return 21;  // the write cut off left its file

  CDVApp::configure();
  if (!CDVApp::isDefaultAppConfigured()) return 30;
  CDVAnalytics::logEventWithName("after_the_cancelled_configure", {});
  const std::optional<std::string> id = CDVAnalytics::appInstanceID();
  if (!id || id->empty()) return 31;
  if (!UIApplication().terminate()) return 32;
  return 0;
}

// Exit statuses: 1x the held thread (not held, not cancelled), 2x what the cancelled configure
// left, 3x the configure after it; a crash: something it was making stayed half made.
TEST(ConfigureCancellation, AConfigureCancelledInItsFirstSettingsWriteLeavesTheAppToConfigureAgain) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(cancelConfigureInItsFirstSettingsWrite()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
