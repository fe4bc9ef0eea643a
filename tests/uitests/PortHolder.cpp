// Holds 127.0.0.1:8080 the way a stray program may: it accepts connections and never answers.
// `port_holder <program> [arguments...]` runs the program while it holds the port, then prints
// "port holder: accepted N connections; the program exited with status S" (or "was killed by
// signal K"). A connection ends the program at once: it would only wait for an answer.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <program> [arguments...]\n", argv[0]);
    return 2;
  }
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int yes = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(8080);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 64) != 0) {
    std::fprintf(stderr, "port holder: cannot hold 127.0.0.1:8080: %s\n", std::strerror(errno));
    return 2;
  }
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    std::perror("port holder: fork");
    return 2;
  }
  if (child == 0) {
    execvp(argv[1], argv + 1);
    std::perror("port holder: exec");
    _exit(127);
  }
  const int ended = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
  if (ended < 0) {
    std::perror("port holder: pidfd_open");
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return 2;
  }
  std::vector<int> accepted;  // kept open, never read nor answered
  for (;;) {
    pollfd watched[2] = {{listener, POLLIN, 0}, {ended, POLLIN, 0}};
    if (poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      std::perror("port holder: poll");
      kill(child, SIGKILL);
      break;
    }
    if (watched[0].revents & POLLIN) {
      const int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection >= 0) {
        accepted.push_back(connection);
        kill(child, SIGKILL);
      }
    }
    if (watched[1].revents & POLLIN) break;
  }
  int status = 0;
  waitpid(child, &status, 0);
  std::printf("port holder: accepted %zu connections; the program ", accepted.size());
  if (WIFEXITED(status)) {
    std::printf("exited with status %d\n", WEXITSTATUS(status));
  } else {
    std::printf("was killed by signal %d\n", WTERMSIG(status));
  }
  for (int connection : accepted) close(connection);
  close(ended);
  close(listener);
  return 0;
}
