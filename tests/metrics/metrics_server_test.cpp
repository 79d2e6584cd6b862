// The monitoring endpoint's HTTP: what it answers, and its bounds.

#include "metrics/metrics_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "http_client.h"
#include "metrics/prometheus_text.h"
#include "platform/exception.h"
#include "test_support.h"

namespace {

using namespace MetricsTest;

class MetricsServer : public ::testing::Test {
protected:
  void SetUp() override {
    Server = std::make_unique<TMetricsServer>("127.0.0.1:0", [this](const std::string& Path) {
      ++Calls;
      if (Path == "/boom") throw std::runtime_error("boom");
      return THttpResponse{Path == "/metrics" ? 200 : 404, "text/plain", "path " + Path + "\n"};
    });
  }
  std::atomic<int> Calls{0};
  std::unique_ptr<TMetricsServer> Server;
};

TEST_F(MetricsServer, AnswersWellFormedGetsAndRefusesEverythingElse) {
  struct TCase {
    std::string Request, Status, Body;
  };
  const std::string Huge = "GET /metrics HTTP/1.1\r\nX-Pad: " + std::string(TMetricsServer::MaxRequestBytes, 'a') + "\r\n\r\n";
  const std::vector<TCase> Cases = {
      {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK", "path /metrics\n"},
      {"GET /metrics?x=1 HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK", "path /metrics\n"},
      {"GET /other HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "path /other\n"},
      {"GET /boom HTTP/1.1\r\n\r\n", "HTTP/1.1 500 Internal Server Error", "internal error\n"},
      {"POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", "only GET\n"},
      {"hello\r\n\r\n", "HTTP/1.1 400 Bad Request", "bad request\n"},
      {"GET metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", "bad request\n"},
      {"GET /metrics HTTP/2\r\n\r\n", "HTTP/1.1 400 Bad Request", "bad request\n"},
      {"GET  /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", "bad request\n"},
      {Huge, "HTTP/1.1 400 Bad Request", "bad request\n"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Request.substr(0, 40));
    const std::string R = Get(Server->Port(), C.Request);
    EXPECT_EQ(StatusLine(R), C.Status);
    EXPECT_NE(R.find("\r\nContent-Length: " + std::to_string(C.Body.size()) + "\r\n"), std::string::npos) << R;
    EXPECT_EQ(R.substr(R.find("\r\n\r\n") + 4), C.Body);
  }
  EXPECT_EQ(Calls, 4) << "the handler sees only well-formed GETs";
}

TEST_F(MetricsServer, ConnectionsAreBoundedPerSourceAndInTime) {
  // IPv4 and IPv6 alike; loopback is a source like any other.
  TMetricsServer V6("[::1]:0", [this](const std::string&) {
    ++Calls;
    return THttpResponse{};
  });
  const std::pair<TMetricsServer*, const char*> Sides[] = {{Server.get(), "127.0.0.1"}, {&V6, "::1"}};
  const auto Start = std::chrono::steady_clock::now();
  std::vector<std::unique_ptr<TClient>> Held;
  for (const auto& [S, From] : Sides) {
    // A source's share, one idle and one whose head never ends; one more is
    // closed at once, unanswered.
    Held.push_back(std::make_unique<TClient>(S->Port(), From));
    Held.push_back(std::make_unique<TClient>(S->Port(), From));
    Held.back()->Send("GET /metrics HTTP/1.1\r\nHost: x\r\n");
    EXPECT_EQ(TClient(S->Port(), From).ReadAll(1000ms), "<closed>") << From;
    EXPECT_EQ(S->Refusals().PerSourceLimit, 1u) << From;
  }
  // The held ones are closed unanswered when the head's time is up, not
  // before; then their sources are served again.
  for (auto& C : Held) EXPECT_EQ(C->ReadAll(std::chrono::milliseconds(TMetricsServer::MaxRequestMs + 2000)), "<closed>");
  EXPECT_GE(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(TMetricsServer::MaxRequestMs));
  for (const auto& [S, From] : Sides)
    EXPECT_EQ(StatusLine(Get(S->Port(), "GET /metrics HTTP/1.1\r\n\r\n", From)), "HTTP/1.1 200 OK") << From;
  EXPECT_EQ(Calls, 2);
}

// Sources other than 127.0.0.1 for the cases that need several: all of 127/8 is
// loopback on Linux; a system that does not route them skips those cases.
#define REQUIRE_SOURCE(Address) \
  if (!CanBindSource(Address)) GTEST_SKIP() << Address << " cannot be a source address on this system"

TEST_F(MetricsServer, OneSourceHoldingConnectionsDoesNotShutOutAnother) {
  REQUIRE_SOURCE("127.0.0.2");
  std::vector<std::unique_ptr<TClient>> Idle;
  for (size_t I = 0; I < TMetricsServer::MaxConnections; ++I)
    Idle.push_back(std::make_unique<TClient>(Server->Port(), "127.0.0.2"));
  int Served = 0;
  for (int I = 0; I < 20; ++I) Served += StatusLine(Get(Server->Port(), "GET /metrics HTTP/1.1\r\n\r\n")) == "HTTP/1.1 200 OK";
  EXPECT_EQ(Served, 20);
  EXPECT_TRUE(TestSupport::WaitUntil(
      [&] { return Server->Refusals().PerSourceLimit == TMetricsServer::MaxConnections - TMetricsServer::MaxPerSource; }));
  EXPECT_EQ(Server->Refusals().Busy, 0u);
}

TEST_F(MetricsServer, WhenEverySlotIsTakenAFreshSourceIsRefusedAsBusy) {
  const char* Sources[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};
  for (const char* From : Sources) REQUIRE_SOURCE(From);
  std::vector<std::unique_ptr<TClient>> Idle;
  for (const char* From : Sources)
    for (size_t I = 0; I < TMetricsServer::MaxPerSource; ++I) Idle.push_back(std::make_unique<TClient>(Server->Port(), From));
  TClient Fresh(Server->Port());
  EXPECT_EQ(Fresh.ReadAll(1000ms), "<closed>");
  EXPECT_EQ(Server->Refusals().Busy, 1u);
  EXPECT_EQ(Server->Refusals().PerSourceLimit, 0u);
}

TEST(MetricsServerAdmission, ASourceNotAdmittedIsClosedAtOnceAndTakesNoSlot) {
  std::atomic<int> Calls{0};
  TMetricsServer Server(
      "127.0.0.1:0",
      [&](const std::string&) {
        ++Calls;
        return THttpResponse{};
      },
      [](const std::string& Address) { return Address == "127.0.0.2"; });
  // Refused before the slots are counted: not one of these counts as a source
  // over its share, nor waits for the head's time.
  std::vector<std::unique_ptr<TClient>> Refused;
  for (int I = 0; I < 10; ++I) Refused.push_back(std::make_unique<TClient>(Server.Port()));
  for (auto& C : Refused) EXPECT_EQ(C->ReadAll(1000ms), "<closed>");
  EXPECT_EQ(Server.Refusals().NotAllowed, 10u);
  EXPECT_EQ(Server.Refusals().PerSourceLimit + Server.Refusals().Busy, 0u);
  EXPECT_EQ(Calls, 0);
  REQUIRE_SOURCE("127.0.0.2");
  EXPECT_EQ(StatusLine(Get(Server.Port(), "GET /metrics HTTP/1.1\r\n\r\n", "127.0.0.2")), "HTTP/1.1 200 OK");
  EXPECT_EQ(Calls, 1);
}

TEST(MetricsServerListen, TheListenTextIsCheckedAndATakenPortFails) {
  for (const char* Bad : {"9464", "127.0.0.1", "localhost:9464", "127.0.0.1:65536", "127.0.0.1:x", ":9464", "[::1]"}) {
    SCOPED_TRACE(Bad);
    EXPECT_THROW(TMetricsServer(Bad, [](const std::string&) { return THttpResponse{}; }), Exception);
  }
  TMetricsServer First("127.0.0.1:0", [](const std::string&) { return THttpResponse{}; });
  try {
    TMetricsServer Second("127.0.0.1:" + std::to_string(First.Port()), [](const std::string&) { return THttpResponse{}; });
    FAIL() << "two endpoints on one port";
  } catch (const Exception& E) {
    EXPECT_EQ(E.Message().rfind("cannot listen on 127.0.0.1:" + std::to_string(First.Port()) + ": ", 0), 0u) << E.Message();
  }
  TMetricsServer V6("[::1]:0", [](const std::string&) { return THttpResponse{200, "text/plain", "six"}; });
  EXPECT_NE(V6.Port(), 0);
}

TEST(PrometheusText, FamiliesSamplesAndEscapedLabels) {
  TPrometheusText T;
  T.Family("x_total", "counter", "Help with \\ and\nnewline");
  T.Sample("x_total", uint64_t{3}, {{"a", "q\"b\\c\nd"}, {"b", "2"}});
  T.Gauge("y", "A gauge", 1.5);
  EXPECT_EQ(T.Text(),
            "# HELP x_total Help with \\\\ and\\nnewline\n# TYPE x_total counter\n"
            "x_total{a=\"q\\\"b\\\\c\\nd\",b=\"2\"} 3\n"
            "# HELP y A gauge\n# TYPE y gauge\ny 1.5\n");
}

}  // namespace
