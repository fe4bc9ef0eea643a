// A host app that uses OpenSSL and libcurl itself and sets both up before it configures the SDK,
// so that OpenSSL's own exit-time cleanup is registered before anything of the SDK runs. Besides
// logging from several threads it asks for the instance identity and a token, then returns from
// main at once. The process must end cleanly and in time: exit status 0, no sanitizer report.
//
// The launch number (EXIT_HOST_LAUNCH, set by exit_while_busy.sh) picks one of four variants:
// - where the host sets OpenSSL and libcurl up: in main, or while the program loads (as a host
//   that links a library doing so at load time), before any static object of the SDK is made;
// - when it returns: at once, while the identity's key pair is likely still being made, or once a
//   transfer is in its TLS handshake with a server that never answers.
//
// No outside network: the host's transport answers the identity's check-in itself and sends every
// other request (the token's registration, the measurement configuration and uploads) over TLS
// to a loopback port that accepts connections but never answers.
#include <curl/curl.h>
#include <openssl/ssl.h>
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Bounds.h"
#include "Core/Public/CDVApp.h"
#include "ExitHostSupport.h"
#include "InstanceID/CDVInstanceID.h"
#include "SilentPort.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "obx/OBXNetwork.h"

namespace {

int launchNumber() {
  const char* text = std::getenv("EXIT_HOST_LAUNCH");
  return text != nullptr ? std::atoi(text) : 0;
}

bool setsUpAtLoad() { return launchNumber() % 2 == 1; }
bool waitsForHandshake() { return launchNumber() / 2 % 2 == 1; }

void setUpOpenSSLAndCurl() {
  if (OPENSSL_init_ssl(0, nullptr) != 1 || curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    std::fputs("host: could not set up OpenSSL and libcurl\n", stderr);
    std::exit(3);
  }
}

// Runs before the program's static initialisers, those of the SDK (linked into it) included.
__attribute__((constructor(101))) void setUpAtLoad() {
  if (setsUpAtLoad()) setUpOpenSSLAndCurl();
}

class HostTransport : public OBXNetworkTransport {
 public:
  explicit HostTransport(std::string silentBase) : silentBase_(std::move(silentBase)) {}

  void perform(const OBXNetworkRequest& request, std::function<void(OBXNetworkResult)> done) override {
    const std::size_t scheme = request.url.find("://");
    const std::size_t slash = request.url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    const std::string path = slash == std::string::npos ? "/" : request.url.substr(slash);
    if (path == "/checkin") {
      const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::system_clock::now().time_since_epoch());
      const std::string body = R"({"android_id":9223372036854775809,"security_token":77,"time_msec":)" +
                               std::to_string(now.count()) + R"(,"digest":"d","version_info":"vi-3"})";
      auto response = std::make_shared<OBXHTTPResponse>();
      response->url = request.url;
      response->statusCode = kOBXNetworkHTTPStatusOK;
      response->headers = {{"Content-Type", "application/json"}};
      OBXNetworkResult result;
      result.response = std::move(response);
      result.data.assign(body.begin(), body.end());
      done(std::move(result));
      return;
    }
    OBXNetworkRequest remote = request;
    remote.url = silentBase_ + path;
    OBXCurlNetworkTransport()->perform(remote, std::move(done));
  }

 private:
  std::string silentBase_;
};

}  // namespace

int main() {
  if (!setsUpAtLoad()) setUpOpenSSLAndCurl();
  int port = 0;
  const int silent = testsupport::listenWithoutAccepting(port);
  if (silent < 0) {
    std::perror("host: loopback listener");
    return 3;
  }
  const std::string silentBase = "https://127.0.0.1:" + std::to_string(port);
  OBXNetwork::setDefaultTransport(std::make_shared<HostTransport>(silentBase));

  CDVInstanceIDRegisterLibrary();
  TLMMeasurementEngine::setCollectionServerURL(silentBase);
  CDVApp::configure();
  std::shared_ptr<CDVInstanceID> identity = CDVInstanceID::instanceID();
  if (!identity) {
    std::fputs("host: no instance identity\n", stderr);
    return 3;
  }
  identity->instanceIDWithHandler([](auto, auto) {});

  if (waitsForHandshake()) {
    // A connection waiting in the backlog: a transfer has sent its TLS client hello.
    pollfd pending{silent, POLLIN, 0};
    if (poll(&pending, 1, static_cast<int>(std::chrono::milliseconds(testsupport::kEventWait).count())) != 1) {
      std::fputs("host: no transfer reached the loopback port\n", stderr);
      return 3;
    }
  }
  exithost::logFromSeveralThreads();
  return 0;
}
