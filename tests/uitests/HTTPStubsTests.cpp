#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "SupportTestHelpers.h"
#include "Utility/HTTPStubs.h"

using ::testing::HasSubstr;

namespace {

// A client of the stub server, which answers at once: its bounds only tell a dead server from a
// busy machine.
httplib::Client stubClient() {
  httplib::Client client(HTTPStubs::kHost, HTTPStubs::kPort);
  client.set_connection_timeout(10);
  client.set_read_timeout(60);
  return client;
}

httplib::Result get(const std::string& path) { return stubClient().Get(path.c_str()); }

class StubServer : public ::testing::Test {
 protected:
  StubServer() : bundle("sim") {
    bundle.write("depositSummary_sim.json", R"({"accounts": [{"id": "d1", "balance": 10.5}]})");
    bundle.write("loanSummary_sim.json", R"([1, 2, 3])");
    bundle.write("broken_sim.json", R"({"accounts": )");
  }
  ScratchBundle bundle;
  FailureRecorder failures;
};

}  // namespace

TEST_F(StubServer, AnswersRegisteredRoutesPerMethod) {
  HTTPStubs stubs;
  stubs.setUp();
  ASSERT_TRUE(stubs.isRunning());
  stubs.setupStub("/deposits", "depositSummary");
  stubs.setupStub("/loans", "loanSummary", HTTPMethod::POST);

  auto deposits = get("/deposits");
  ASSERT_TRUE(deposits);
  EXPECT_EQ(deposits->status, 200);
  EXPECT_EQ(nlohmann::json::parse(deposits->body)["accounts"][0]["balance"], 10.5);
  EXPECT_EQ(deposits->get_header_value("Content-Type"), "application/json");

  EXPECT_EQ(get("/loans")->status, 404) << "a POST stub does not answer GET";
  auto loans = stubClient().Post("/loans", "{}", "application/json");
  ASSERT_TRUE(loans);
  EXPECT_EQ(loans->status, 200);
  EXPECT_EQ(nlohmann::json::parse(loans->body), nlohmann::json({1, 2, 3}));
  EXPECT_EQ(get("/unknown")->status, 404);
  EXPECT_TRUE(failures.messages.empty());
  stubs.tearDown();
  EXPECT_FALSE(stubs.isRunning());
  EXPECT_FALSE(get("/deposits")) << "nothing listens after tearDown";
}

TEST_F(StubServer, RestartsOnTheSamePortWithoutItsOldRoutes) {
  HTTPStubs first;
  first.setUp();
  first.setupStub("/deposits", "depositSummary");
  ASSERT_EQ(get("/deposits")->status, 200);
  first.tearDown();

  HTTPStubs second;
  second.setUp();
  ASSERT_TRUE(second.isRunning());
  EXPECT_EQ(get("/deposits")->status, 404);
  second.setupStub("/deposits", "depositSummary");
  EXPECT_EQ(get("/deposits")->status, 200);
  second.tearDown();
  // The same instance can start again too.
  second.setUp();
  EXPECT_TRUE(second.isRunning());
  EXPECT_TRUE(failures.messages.empty());
}

TEST_F(StubServer, ABusyPortIsReportedAndEndsTheTest) {
  HTTPStubs holder;
  holder.setUp();
  ASSERT_TRUE(holder.isRunning());
  HTTPStubs other;
  EXPECT_THROW(other.setUp(), FailureRecorder::Stop) << "a test without its server must not go on";
  EXPECT_FALSE(other.isRunning());
  ASSERT_EQ(failures.messages.size(), 1u);
  EXPECT_THAT(failures.messages[0], HasSubstr("could not listen on 127.0.0.1:8080"));
  other.tearDown();  // harmless when not running
  EXPECT_TRUE(holder.isRunning());
}

TEST_F(StubServer, MissingOrInvalidStubFilesAreReported) {
  HTTPStubs stubs;
  stubs.setUp();
  stubs.setupStub("/x", "absent");
  stubs.setupStub("/y", "broken");
  ASSERT_EQ(failures.messages.size(), 2u);
  EXPECT_THAT(failures.messages[0], HasSubstr("\"absent_sim.json\" for /x was not found"));
  EXPECT_THAT(failures.messages[1], HasSubstr("\"broken_sim.json\" for /y is not JSON"));
  EXPECT_EQ(get("/y")->status, 404);
  EXPECT_FALSE(HTTPStubs::dataToJSON("nope").has_value());
  EXPECT_EQ(*HTTPStubs::dataToJSON("[true]"), nlohmann::json::parse("[true]"));
}

TEST_F(StubServer, RoutesAddedWhileServingAreSafe) {
  HTTPStubs stubs;
  stubs.setUp();
  std::thread reader([] {
    for (int i = 0; i < 20; ++i) get("/deposits");
  });
  for (int i = 0; i < 20; ++i) stubs.setupStub("/deposits", "depositSummary");
  reader.join();
  EXPECT_EQ(get("/deposits")->status, 200);
}
