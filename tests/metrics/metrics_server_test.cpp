// The monitoring endpoint's HTTP: what it answers, and its bounds.

#include "metrics/metrics_server.h"

#include <gtest/gtest.h>

#include <asio.hpp>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "metrics/prometheus_text.h"
#include "platform/exception.h"
#include "test_support.h"

namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;

// Sends Request and reads until the server closes; "<closed>" when it closed
// before answering, "<timeout>" when nothing ended within Limit.
class TClient {
public:
  explicit TClient(uint16_t Port) : FSocket(FIo) {
    FSocket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), Port));
  }
  void Send(const std::string& Text) { asio::write(FSocket, asio::buffer(Text)); }
  std::string ReadAll(std::chrono::milliseconds Limit = 5000ms) {
    std::string Out;
    FSocket.non_blocking(true);
    char Buf[4096];
    const bool Ended = TestSupport::WaitUntil(
        [&] {
          asio::error_code Ec;
          for (size_t N = FSocket.read_some(asio::buffer(Buf), Ec); !Ec; N = FSocket.read_some(asio::buffer(Buf), Ec))
            Out.append(Buf, N);
          return Ec != asio::error::would_block;
        },
        static_cast<int>(Limit.count()));
    if (!Ended) return "<timeout>";
    return Out.empty() ? "<closed>" : Out;
  }

private:
  asio::io_context FIo;
  tcp::socket FSocket;
};

std::string Get(uint16_t Port, const std::string& Request) {
  TClient C(Port);
  C.Send(Request);
  return C.ReadAll();
}

std::string StatusLine(const std::string& Response) { return Response.substr(0, Response.find("\r\n")); }

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

TEST_F(MetricsServer, ConnectionsAreBoundedInNumberAndTime) {
  // Idle connections up to the limit; one more is closed at once, unanswered.
  std::vector<std::unique_ptr<TClient>> Idle;
  // The server takes connections in the order they came: the one after them
  // is the one too many, however soon it comes.
  for (size_t I = 0; I < TMetricsServer::MaxConnections; ++I) Idle.push_back(std::make_unique<TClient>(Server->Port()));
  TClient Extra(Server->Port());
  EXPECT_EQ(Extra.ReadAll(1000ms), "<closed>");
  // The idle ones are closed once their time is up; then requests go through.
  for (auto& C : Idle) EXPECT_EQ(C->ReadAll(std::chrono::milliseconds(TMetricsServer::MaxRequestMs + 2000)), "<closed>");
  EXPECT_EQ(StatusLine(Get(Server->Port(), "GET /metrics HTTP/1.1\r\n\r\n")), "HTTP/1.1 200 OK");
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
