// The stub HTTP server of the mock backend: answers the app's requests with JSON documents of the
// test bundle. One instance per test-case instance; it listens on port 8080 of the loopback
// interface between setUp() and tearDown(), on threads of its own.
#pragma once

#include <nlohmann/json.hpp>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

// Which route table a stub goes to.
enum class HTTPMethod { POST, GET };

class HTTPStubs {
 public:
  static constexpr int kPort = 8080;
  static constexpr const char* kHost = "127.0.0.1";

  HTTPStubs();
  ~HTTPStubs();
  HTTPStubs(const HTTPStubs&) = delete;
  HTTPStubs& operator=(const HTTPStubs&) = delete;

  // Starts listening on 127.0.0.1:8080. When the port cannot be bound (another program holds it)
  // a failure saying so is recorded and the running test is stopped; the server stays stopped.
  void setUp();
  // Stops listening and forgets every route. Safe to call when not running.
  void tearDown();
  bool isRunning() const;

  // Routes requests for the path `url` with `method` to a handler answering status 200 with the
  // JSON document `filename`_<test_env>.json of the bundle, read and parsed once, now. A stub file
  // that is missing or not JSON records a failure naming it, and no route is added. Routes may be
  // added while the server runs.
  void setupStub(const std::string& url, const std::string& filename, HTTPMethod method = HTTPMethod::GET);

  // Parses data as JSON; prints the error and returns an empty optional when it is not JSON.
  static std::optional<nlohmann::json> dataToJSON(const std::string& data);

 private:
  struct Routes;
  std::shared_ptr<Routes> routes_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  mutable std::mutex mutex_;
};
