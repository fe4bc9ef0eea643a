// What the check of a folder open to the user's own group costs `CDVApp::configure()`: the app's
// root lies in a folder of the user's that its private group may write to (as a umask of 002
// leaves it), so the SDK must read the user database to tell whether another user has that group
// as primary group. With 24, 10,000 and 100,000 users, each in a child process of its own whose
// /etc/passwd (and nsswitch.conf, "passwd: files") is bind-mounted in a mount namespace of its
// own: the time of configure() and how often the users were read, against the same configure()
// with the folder closed to the group (nothing to read), in rounds that take turns, printed as
// min / median / max over the rounds. Then the same where nsswitch.conf says "passwd: files
// systemd", so that the users are listed by `getent passwd` in a process of its own.
//
// Usage: user_listing_bench [--quick]   (needs root and mount namespaces; says so and ends with
// status 0 where there are none). --quick runs once at tiny sizes; its figures mean nothing.
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Core/Public/CDVApp.h"
#include "foundation/Files.h"
#include "measurement/engine/TLMMeasurementEngine.h"

namespace {

struct Figure {
  double milliseconds = -1;
  long listings = -1;
};

// configure() in a child with `users` users, the root inside a folder of mode `mode`, the name
// services taking users from `sources`.
Figure configureWithUsers(int users, mode_t mode, const std::string& sources = "files") {
  int out[2];
  std::fflush(stdout);
  std::string base = std::filesystem::temp_directory_path().string() + "/vesmora-users-XXXXXX";
  if (::pipe(out) != 0 || ::mkdtemp(base.data()) == nullptr) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(out[0]);
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      ::_exit(10);
    }
    std::string passwd = "root:x:0:0:root:/root:/bin/bash\n";
    for (int i = 1; i < users; ++i) {
      const std::string id = std::to_string(100000 + i);
      passwd += "user" + id + ":x:" + id + ":" + id + "::/home/user" + id + ":/bin/sh\n";
    }
    const std::string home = base + "/home";
    if (!platform::files::writeFileAtomically(base + "/passwd", passwd) ||
        !platform::files::writeFileAtomically(base + "/nsswitch", std::string("passwd: " + sources + "\n")) ||
        ::mount((base + "/passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0 ||
        ::mount((base + "/nsswitch").c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr) != 0 ||
        ::mkdir(home.c_str(), 0700) != 0 || ::chmod(home.c_str(), mode) != 0) {
      ::_exit(11);
    }
    ::setenv("VESMORA_MAIN_BUNDLE", VESMORA_EXAMPLE_BUNDLE, 1);
    ::setenv("VESMORA_SANDBOX_ROOT", (home + "/app").c_str(), 1);
    ::setenv("VESMORA_DEVICE_ROOT", (home + "/device").c_str(), 1);
    TLMMeasurementEngine::setCollectionServerURL("http://127.0.0.1:9");
    const auto start = std::chrono::steady_clock::now();
    CDVApp::configure();
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const std::string line = std::to_string(ms) + " " + std::to_string(platform::files::userListings()) + "\n";
    const bool written = ::write(out[1], line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::_exit(written ? 0 : 12);  // the SDK's threads may still write: the folder goes once they are gone
  }
  ::close(out[1]);
  char text[128] = {};
  ssize_t got = 0;
  for (ssize_t n; got < static_cast<ssize_t>(sizeof text) - 1 && (n = ::read(out[0], text + got, sizeof text - 1 - got)) > 0;) {
    got += n;
  }
  ::close(out[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  std::error_code ignored;
  std::filesystem::remove_all(base, ignored);
  Figure figure;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    std::sscanf(text, "%lf %ld", &figure.milliseconds, &figure.listings);
  } else {
    std::printf("child with %d users: %s %d\n", users, WIFEXITED(status) ? "exit status" : "signal",
                WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
  }
  return figure;
}

std::string spread(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  char text[96];
  std::snprintf(text, sizeof text, "%.2f / %.2f / %.2f", values.front(), values[values.size() / 2], values.back());
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
  if (::geteuid() != 0 || configureWithUsers(2, 0700).milliseconds < 0) {
    std::printf("user_listing_bench: needs root and a mount namespace of its own; nothing measured\n");
    return 0;
  }
  const int rounds = quick ? 1 : 7;
  const std::vector<int> sizes = quick ? std::vector<int>{24} : std::vector<int>{24, 10000, 100000};
  for (const std::string sources : {"files", "files systemd"}) {
    std::printf("passwd: %s. configure() with the root inside a folder its user's private group may write to\n"
                "(0775), against the same folder closed to the group (0755); ms min / median / max over %d rounds\n",
                sources.c_str(), rounds);
    for (const int users : sizes) {
      std::vector<double> open, closed, ratios;
      long listings = -1;
      for (int round = 0; round < rounds; ++round) {
        const Figure withGroup = configureWithUsers(users, 0775, sources);
        const Figure without = configureWithUsers(users, 0755, sources);
        if (withGroup.milliseconds < 0 || without.milliseconds < 0) {
          std::printf("%d users: a child failed\n", users);
          return 1;
        }
        open.push_back(withGroup.milliseconds);
        closed.push_back(without.milliseconds);
        ratios.push_back(withGroup.milliseconds / without.milliseconds);
        listings = std::max(listings, withGroup.listings);
      }
      std::printf("%7d users: configure %s ms (group may write), %s ms (closed), ratio %s; user list read %ld time(s)\n",
                  users, spread(open).c_str(), spread(closed).c_str(), spread(ratios).c_str(), listings);
    }
  }
  return 0;
}
