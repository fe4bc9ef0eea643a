// What a pre-forking server's worker pays for its first CDVApp::configure(): a parent that links
// the SDK (and, in the second half, has written one log line, whose set-up reads the data folder)
// forks workers one after another, and each configures and logs one event. Timed per worker: the
// configure's time, and the processor time of the worker and of the processes it started and
// waited for meanwhile (getent's), which the time of a busy machine disturbs less.
//
//   fork_child_bench [--quick] [--workers N] [--case private-home|group-home] [--parent linked|logged]
//
// Each case runs in a process of its own, in a mount namespace of its own whose nsswitch.conf says
// "files systemd" for users and groups (the users are then listed by getent) and whose root user
// has a home of the bench's own:
//   private-home: no HOME, so the home folder comes from the user's entry; closed to the group.
//   group-home:   HOME set, to a folder the user's private group may write to, so that the users
//                 must be listed to tell whether the group is the user's alone.
// Prints one line per case: "<case> <parent> <median ms> <mean cpu ms>", the parent "linked" or
// "logged". bench/compare_fork_child.sh runs this program built from the tree and from an earlier
// commit, in turns, and prints the ratios. Needs root and mount namespaces (else says so and ends
// with status 0); --quick runs two workers a case, to check that it still builds and runs.
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Core/Public/CDVApp.h"
#include "Core/Public/CDVLogger.h"
#include "FreshProcess.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/engine/TLMMeasurementEngine.h"

namespace {

double cpuMilliseconds(int who) {
  struct rusage usage {};
  ::getrusage(who, &usage);
  const auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + t.tv_usec / 1e3; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

bool writeFile(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::trunc);
  file << text;
  return static_cast<bool>(file);
}

// In the case's own process: a mount namespace where getent lists the users, the root user's home
// `home` (made with `mode`); then `workers` workers forked one after another, each timing its
// configure. Writes "<ms> <cpu ms>" a worker to `out`; the exit status says what failed.
int runCase(const std::string& base, bool groupHome, bool logged, int workers, int out) {
  const std::string home = base + "/home";
  std::ifstream users("/etc/passwd");
  std::string passwd = "root:x:0:0:root:" + home + ":/bin/bash\n";
  for (std::string line; std::getline(users, line);) {
    if (line.rfind("root:", 0) != 0) passwd += line + "\n";
  }
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      !writeFile(base + "/passwd", passwd) ||
      !writeFile(base + "/nsswitch", "passwd: files systemd\ngroup: files systemd\n") ||
      ::mount((base + "/passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0 ||
      ::mount((base + "/nsswitch").c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr) != 0 ||
      ::mkdir(home.c_str(), 0700) != 0 || ::chown(home.c_str(), 0, 0) != 0 ||
      ::chmod(home.c_str(), groupHome ? 0775 : 0700) != 0) {
    return 10;
  }
  if (groupHome) {
    ::setenv("HOME", home.c_str(), 1);
  } else {
    ::unsetenv("HOME");
  }
  for (const char* name : {"XDG_DATA_HOME", "VESMORA_SANDBOX_ROOT", "VESMORA_DEVICE_ROOT"}) ::unsetenv(name);
  ::setenv("VESMORA_MAIN_BUNDLE", VESMORA_EXAMPLE_BUNDLE, 1);
  if (logged) CDVLogWarning(kCDVLoggerCore, "I-COR000999", "The parent's line.");
  for (int worker = 0; worker < workers; ++worker) {
    const pid_t child = ::fork();
    if (child == 0) {
      TLMMeasurementEngine::setCollectionServerURL("http://127.0.0.1:9");
      const double cpu = cpuMilliseconds(RUSAGE_SELF) + cpuMilliseconds(RUSAGE_CHILDREN);
      const auto start = std::chrono::steady_clock::now();
      CDVApp::configure();
      const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
      const double used = cpuMilliseconds(RUSAGE_SELF) + cpuMilliseconds(RUSAGE_CHILDREN) - cpu;
      CDVAnalytics::logEventWithName("worker", TLMObjectDictionary());
      char line[64];
      const int length = std::snprintf(line, sizeof line, "%.3f %.3f\n", ms, used);
      ::_exit(CDVApp::isDefaultAppConfigured() && ::write(out, line, length) == length ? 0 : 12);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      return 11;
    }
  }
  return 0;
}

// The workers' figures of one case, or none when it failed.
std::vector<std::pair<double, double>> timeCase(bool groupHome, bool logged, int workers) {
  const std::optional<std::string> text =
      runInFreshProcess("fork-child-bench", [&](const std::string& base, int out) {
        return runCase(base, groupHome, logged, workers, out);
      });
  std::vector<std::pair<double, double>> figures;
  if (!text) return figures;
  double ms = 0;
  double cpu = 0;
  for (const char* at = text->c_str(); std::sscanf(at, "%lf %lf", &ms, &cpu) == 2; at = std::strchr(at, '\n') + 1) {
    figures.emplace_back(ms, cpu);
  }
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  int workers = 40;
  std::string onlyCase;
  std::string onlyParent;
  for (int at = 1; at < argc; ++at) {
    if (std::strcmp(argv[at], "--quick") == 0) workers = 2;
    if (std::strcmp(argv[at], "--workers") == 0 && at + 1 < argc) workers = std::atoi(argv[++at]);
    if (std::strcmp(argv[at], "--case") == 0 && at + 1 < argc) onlyCase = argv[++at];
    if (std::strcmp(argv[at], "--parent") == 0 && at + 1 < argc) onlyParent = argv[++at];
  }
  if (::geteuid() != 0 || timeCase(false, false, 1).empty()) {
    std::printf("fork_child_bench: needs root and a mount namespace of its own; nothing measured\n");
    return 0;
  }
  for (const bool logged : {false, true}) {
    for (const bool groupHome : {false, true}) {
      if ((!onlyCase.empty() && onlyCase != (groupHome ? "group-home" : "private-home")) ||
          (!onlyParent.empty() && onlyParent != (logged ? "logged" : "linked"))) {
        continue;
      }
      std::vector<std::pair<double, double>> figures = timeCase(groupHome, logged, workers);
      if (figures.size() != static_cast<std::size_t>(workers)) return 1;
      std::vector<double> times;
      double cpu = 0;
      for (const auto& [ms, used] : figures) {
        times.push_back(ms);
        cpu += used;
      }
      std::sort(times.begin(), times.end());
      std::printf("%s %s %.3f %.3f\n", groupHome ? "group-home" : "private-home", logged ? "logged" : "linked",
                  times[times.size() / 2], cpu / static_cast<double>(figures.size()));
    }
  }
  return 0;
}
