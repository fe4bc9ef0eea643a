// The wait for the users that `getent passwd` lists: one poll for every block read, its end told
// by the same poll that finds the block.
//
// This program defines poll() and read() itself, counting each call on the calling thread (read:
// of a pipe); the C library's are then not used by anything linked here. The listing runs on the
// thread that checks the folder.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "ForkedChild.h"
#include "UserDatabase.h"
#include "foundation/Files.h"

namespace {
thread_local long tPolls = 0;
thread_local long tPipeReads = 0;
}  // namespace

extern "C" int poll(struct pollfd* fds, nfds_t count, int timeout) {
  ++tPolls;
  struct timespec wait {timeout / 1000, (timeout % 1000) * 1000000L};
  return static_cast<int>(::syscall(SYS_ppoll, fds, count, timeout < 0 ? nullptr : &wait, nullptr, 0));
}

extern "C" ssize_t read(int fd, void* buffer, size_t size) {
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISFIFO(info.st_mode)) ++tPipeReads;
  return ::syscall(SYS_read, fd, buffer, size);
}

TEST(UserListingWait, OnePollForEveryBlockOfTheListing) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give the user database users of its own";
  if (!testsupport::mountNamespaceAvailable()) GTEST_SKIP() << "no mount namespace to be had here";
  tPolls = 0;
  ASSERT_EQ(::poll(nullptr, 0, 0), 0);
  ASSERT_EQ(tPolls, 1) << "poll() is not counted: the count below would prove nothing";

  // Enough users for the listing to come in many blocks, listed by a getent of the test's own.
  std::string users = testsupport::userLine("root", ::geteuid(), ::getegid());
  for (unsigned user = 1; user < 20000; ++user) {
    users += testsupport::userLine("user" + std::to_string(user), 100000 + user, 100000 + user);
  }
  const int code = testsupport::withUserDatabase(
      users, "files systemd",
      [](const std::string& folder) {
        tPolls = 0;
        tPipeReads = 0;
        platform::Error error;
        if (!platform::files::createPrivateDirectory(folder + "/app", &error)) {
          std::fprintf(stderr, "not accepted: %s\n", error.description.c_str());
          return 1;
        }
        // The reads of the getent's output and the last one that finds its end; one more poll
        // waits for the getent's end once the listing is read.
        std::fprintf(stderr, "%ld polls, %ld reads of the listing\n", tPolls, tPipeReads);
        return platform::files::userListings() == 1 && tPipeReads >= 2 && tPolls <= tPipeReads + 1 ? 0 : 2;
      },
      "#!/bin/sh\nexec cat /etc/passwd\n");
  EXPECT_EQ(code, 0);
}
