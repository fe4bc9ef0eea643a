#include "Utility/HTTPStubs.h"

#include <httplib.h>
#include <sys/socket.h>

#include <atomic>
#include <fstream>
#include <iostream>
#include <sstream>

#include "Utility/CommonFunctions.h"
#include "Utility/TestBundle.h"
#include "Utility/TestFailure.h"

// Route tables, one per method, shared with the server's handler threads.
struct HTTPStubs::Routes {
  std::mutex mutex;
  std::map<std::string, std::string> get;   // path -> serialized JSON body
  std::map<std::string, std::string> post;

  std::map<std::string, std::string>& table(HTTPMethod method) { return method == HTTPMethod::GET ? get : post; }

  void answer(HTTPMethod method, const httplib::Request& request, httplib::Response& response) {
    std::lock_guard<std::mutex> lock(mutex);
    auto& routes = table(method);
    auto it = routes.find(request.path);
    if (it == routes.end()) {
      response.status = 404;
      return;
    }
    response.status = 200;
    response.set_content(it->second, "application/json");
  }
};

HTTPStubs::HTTPStubs() : routes_(std::make_shared<Routes>()) {}

HTTPStubs::~HTTPStubs() { tearDown(); }

void HTTPStubs::setUp() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (server_) return;
  auto server = std::make_unique<httplib::Server>();
  // The library's default also sets SO_REUSEPORT, which would let two servers share the port
  // and split the requests between them. Address reuse alone still allows a quick restart.
  server->set_socket_options([](int sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  });
  auto routes = routes_;
  server->Get(".*", [routes](const httplib::Request& req, httplib::Response& res) {
    routes->answer(HTTPMethod::GET, req, res);
  });
  server->Post(".*", [routes](const httplib::Request& req, httplib::Response& res) {
    routes->answer(HTTPMethod::POST, req, res);
  });
  // Without the server the app's requests would go to whoever holds the port, and wait for its
  // answers: the test ends here, before it launches the app.
  if (!server->bind_to_port(kHost, kPort)) {
    TestFailure::recordAndStop("The stub server could not listen on " + std::string(kHost) + ":" +
                        std::to_string(kPort) + ": the port is in use or not available");
    return;
  }
  httplib::Server* raw = server.get();
  auto finished = std::make_shared<std::atomic<bool>>(false);
  thread_ = std::thread([raw, finished] {
    raw->listen_after_bind();
    finished->store(true);
  });
  // stop() only reaches a server whose accept loop has started, so wait for it here.
  while (!raw->is_running() && !finished->load()) std::this_thread::yield();
  server_ = std::move(server);
}

void HTTPStubs::tearDown() {
  std::unique_ptr<httplib::Server> server;
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    server = std::move(server_);
    thread = std::move(thread_);
  }
  if (server) server->stop();
  if (thread.joinable()) thread.join();
  std::lock_guard<std::mutex> lock(routes_->mutex);
  routes_->get.clear();
  routes_->post.clear();
}

bool HTTPStubs::isRunning() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return server_ != nullptr;
}

void HTTPStubs::setupStub(const std::string& url, const std::string& filename, HTTPMethod method) {
  const std::string name = CommonFunctions::dataFileName(filename);
  auto path = TestBundle::path(name, "json");
  if (!path) {
    TestFailure::record("Stub file \"" + name + ".json\" for " + url + " was not found in " +
                        TestBundle::resourceDirectory());
    return;
  }
  std::ifstream in(*path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  auto json = dataToJSON(buffer.str());
  if (!json) {
    TestFailure::record("Stub file \"" + name + ".json\" for " + url + " is not JSON");
    return;
  }
  std::lock_guard<std::mutex> lock(routes_->mutex);
  routes_->table(method)[url] = json->dump();
}

std::optional<nlohmann::json> HTTPStubs::dataToJSON(const std::string& data) {
  try {
    return nlohmann::json::parse(data);
  } catch (const nlohmann::json::parse_error& e) {
    std::cout << e.what() << std::endl;
    return std::nullopt;
  }
}
