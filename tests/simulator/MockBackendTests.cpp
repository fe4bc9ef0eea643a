#include <gtest/gtest.h>

#include <httplib.h>

#include <sys/socket.h>

#include <thread>

#include "LoopbackServer.h"
#include "model/MockBackend.h"

using namespace vesmora;

TEST(MockBackend, KnowsItsBuiltInUsers) {
  MockBackend mock;
  EXPECT_EQ(mock.signIn("userid", "480917").kind, SignInResult::Kind::success);
  EXPECT_EQ(mock.signIn("userid", "735062").kind, SignInResult::Kind::invalidCredentials);
  EXPECT_EQ(mock.signIn("lockedUserId", "480917").kind, SignInResult::Kind::locked);
  // The customers of the mock overview tests.
  EXPECT_EQ(mock.signIn("2038556", "480917").kind, SignInResult::Kind::success);
  EXPECT_EQ(mock.signIn("2048887", "480917").kind, SignInResult::Kind::success);
  EXPECT_EQ(mock.signIn("2048887", "Pine#2048").kind, SignInResult::Kind::invalidCredentials);
  EXPECT_EQ(mock.signIn("testuser1", "480917").kind, SignInResult::Kind::invalidCredentials);
}

TEST(MockBackend, FetchesAccountDataFromTheStubServer) {
  MockBackend mock;
  EXPECT_FALSE(mock.accountSummary("userid", "/deposits")) << "nothing listens yet";

  httplib::Server server;
  // Address reuse, as the suite's stub server uses: the library's default (port reuse only) would
  // leave connections in TIME_WAIT that keep the stub server from binding for a minute.
  server.set_socket_options([](int sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  });
  server.Get("/deposits", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"accounts": [{"id": "a"}]})", "application/json");
  });
  server.Get("/loans", [](const httplib::Request&, httplib::Response& res) { res.set_content("not json", "text/plain"); });
  ASSERT_TRUE(server.bind_to_port("127.0.0.1", 8080));
  std::thread thread;
  ASSERT_TRUE(testsupport::startListening(server, thread));

  auto deposits = mock.accountSummary("userid", "/deposits");
  ASSERT_TRUE(deposits);
  EXPECT_EQ((*deposits)["accounts"][0]["id"], "a");
  EXPECT_FALSE(mock.accountSummary("userid", "/loans"));
  EXPECT_FALSE(mock.accountSummary("userid", "/investments")) << "404";
  server.stop();
  thread.join();
}
