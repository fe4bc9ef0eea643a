// A program the user lookup's tests run under valgrind: a parent with a second thread forks a
// child, which looks its user up (without the C library's name services, as a forked child of a
// threaded parent does). Prints "found <name> <home>" or "failed <why>"; ends with 0 when the
// child answered or refused with a reason and went on.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <future>
#include <thread>

#include "UserListing.h"
#include "foundation/Files.h"

int main() {
  // As long as a busy machine may need to start getent under valgrind.
  platform::files::setUserListingLimitsForTesting(std::chrono::seconds(60), 0);
  std::promise<void> leave;
  std::thread other([wait = leave.get_future()]() mutable { wait.wait(); });
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    const platform::files::UserEntry user = platform::files::lookUpUser(::geteuid());
    if (user.found) {
      std::printf("found %s %s\n", user.name.c_str(), user.home.c_str());
    } else {
      std::printf("failed %s\n", user.failed.empty() ? "(no entry)" : user.failed.c_str());
    }
    std::fflush(stdout);
    ::_exit(user.found || !user.failed.empty() ? 0 : 1);
  }
  leave.set_value();
  other.join();
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) return 2;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
}
