// A host that sets OpenSSL up itself while the program loads, so that OpenSSL frees its state
// from an exit handler of its own, in every child too. While its threads make TLS transfers
// (each one sets up a TLS session and sends its greeting to a loopback server that hangs up)
// and RSA keys, it forks children that exit at once. A child that inherits one of OpenSSL's
// locks held by a parent's thread would wait for it for ever in that cleanup.
//
//   fork_exit_openssl_host <forks>
//
// Prints one summary line; exit status 0 when every child ended in time with status 0.
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "Bounds.h"
#include "ForkedChild.h"
#include "SilentPort.h"
#include "obx/OBXNetwork.h"
#include "security/SecItem.h"
#include "security/SecKey.h"

// Under AddressSanitizer a child forked while another thread records an allocation's stack finds
// the sanitizer's own lock of its stack store taken, and its first allocation waits for ever (the
// runtime does not take that lock across fork). This host forks again and again while its threads
// allocate without pause, so it meets that: it records no allocation stacks. That also turns the
// leak checker off here (a leak without a stack is not reported), which is why only the
// fork-stress programs do it; every other test program is checked for leaks.
extern "C" __attribute__((weak)) const char* __asan_default_options() { return "malloc_context_size=0"; }

namespace {

__attribute__((constructor(101))) void setUpOpenSSLFirst() {
  if (OPENSSL_init_ssl(0, nullptr) != 1) std::exit(3);
}

// Takes each connection, reads what the client sends first (its TLS greeting) and hangs up.
void hangUpAfterGreeting(int listener, const std::atomic<bool>& stop) {
  while (!stop) {
    pollfd waiting{listener, POLLIN, 0};
    if (poll(&waiting, 1, 100) != 1) continue;
    const int connection = accept(listener, nullptr, nullptr);
    if (connection < 0) continue;
    pollfd readable{connection, POLLIN, 0};
    char greeting[4096];
    if (poll(&readable, 1, 1000) == 1) (void)read(connection, greeting, sizeof greeting);
    close(connection);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int forks = argc > 1 ? std::atoi(argv[1]) : 100;
  int port = 0;
  const int listener = testsupport::listenWithoutAccepting(port);
  if (listener < 0) return 2;

  std::atomic<bool> stop{false};
  std::atomic<int> transfers{0};
  std::atomic<int> keys{0};
  std::vector<std::thread> threads;
  threads.emplace_back([&] { hangUpAfterGreeting(listener, stop); });
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      OBXNetworkRequest request;
      request.method = "GET";
      request.url = "https://127.0.0.1:" + std::to_string(port) + "/";
      request.timeoutInterval = 2;
      while (!stop) {
        auto done = std::make_shared<std::promise<void>>();
        OBXCurlNetworkTransport()->perform(request, [done](OBXNetworkResult) { done->set_value(); });
        done->get_future().wait();
        ++transfers;
      }
    });
  }
  threads.emplace_back([&] {
    const platform::Dictionary transient{{kSecAttrIsPermanent, false}};
    const platform::Dictionary parameters{{kSecAttrKeyType, kSecAttrKeyTypeRSA},
                                          {kSecAttrKeySizeInBits, 2048},
                                          {kSecPrivateKeyAttrs, transient},
                                          {kSecPublicKeyAttrs, transient}};
    while (!stop) {
      SecKeyRef publicKey;
      SecKeyRef privateKey;
      if (SecKeyGeneratePair(parameters, &publicKey, &privateKey) == errSecSuccess) ++keys;
    }
  });

  // The forks begin once each kind of work has been done once, so that they meet it under way
  // however slowly the threads start.
  const auto deadline = std::chrono::steady_clock::now() + testsupport::kEventWait;
  while ((transfers == 0 || keys == 0) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  const bool working = transfers > 0 && keys > 0;
  const testsupport::ForkTally tally =
      working ? testsupport::forkRepeatedly(forks, [](int) { std::exit(0); }, testsupport::kChildLife)
              : testsupport::ForkTally{};
  stop = true;
  for (auto& thread : threads) thread.join();
  close(listener);
  std::printf("forks %d, hung %d, failed %d; meanwhile %d transfers and %d key pairs\n", forks, tally.hung,
              tally.failed, transfers.load(), keys.load());
  return working && tally.hung == 0 && tally.failed == 0 ? 0 : 1;
}
