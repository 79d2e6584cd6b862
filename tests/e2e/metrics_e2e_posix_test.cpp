// The bridge's monitoring endpoint against a real Prometheus server on
// loopback: a scripted peer sends a known mix of good and bad datagrams, and
// the counters that Prometheus scraped must say exactly that; promtool checks
// the page's format.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "e2e_support_posix.h"

namespace {

using namespace std::chrono_literals;
using namespace E2E;

// WaitUntil for a condition that asks a server over HTTP: asked at most every
// 50 ms.
template <typename TDone>
bool WaitAsking(TDone Done, int TimeoutMs = 5000) {
  auto Next = std::chrono::steady_clock::now();
  return TestSupport::WaitUntil(
      [&] {
        if (std::chrono::steady_clock::now() < Next) return false;
        Next = std::chrono::steady_clock::now() + 50ms;
        return Done();
      },
      TimeoutMs);
}

// What promtool (Prometheus's own checker) finds wrong with a page: "" when
// nothing.
std::string Promtool(const Bytes& Page) {
  const TestSupport::TTempDir Dir;
  TestSupport::WriteFile(Dir.Path() / "page.txt", Page);
  const std::string Out = (Dir.Path() / "promtool.out").string();
  const std::string Check = "/usr/bin/promtool check metrics < '" + (Dir.Path() / "page.txt").string() + "' > '" +
                            Out + "' 2>&1";
  const int Status = std::system(Check.c_str());
  return (Status == 0 ? "" : "exit " + std::to_string(Status) + ": ") + TestSupport::ReadFile(Out);
}

// The value of a query's single result in Prometheus's answer; "" when it
// has none yet.
std::string QueryValue(uint16_t PrometheusPort, const std::string& Query) {
  const Bytes Json = Body(HttpGet(PrometheusPort, "/api/v1/query?query=" + Query));
  const size_t At = Json.find("\"value\":[");
  if (At == Bytes::npos) return "";
  const size_t Open = Json.find('"', Json.find(',', At));
  const size_t Close = Json.find('"', Open + 1);
  return Open == Bytes::npos || Close == Bytes::npos ? "" : Json.substr(Open + 1, Close - Open - 1);
}

TEST(Metrics, PrometheusScrapesWhatThePeerSent) {
  const uint16_t Port = FreePort(SOCK_DGRAM), Tcp = FreePort(SOCK_STREAM);
  const uint16_t MetricsPort = FreePort(SOCK_STREAM), PrometheusPort = FreePort(SOCK_STREAM);
  std::string Settings = Ini(Port, 9, Tcp, "DisconnectTimeOut=20000\r\n",
                             "Capture1=Test Mic|tone=440\r\nPlayback1=Test Ear|file=ear.raw\r\n");
  Settings += "[Metrics]\r\nListen=127.0.0.1:" + std::to_string(MetricsPort) + "\r\n";
  TBridge B(Settings);
  B.Start();
  ASSERT_TRUE(B.WaitForLog("Metrics endpoint -> listening on 127.0.0.1:" + std::to_string(MetricsPort), 5s));
  ASSERT_TRUE(B.WaitForLog("RTP session processor -> started", 5s));

  // 40 good packets, 3 of them repeated, 6 too short, 4 of another RTP version,
  // 2 RTCP reports and 5 of another payload type.
  TSocket Peer(SOCK_DGRAM);
  const Bytes Payload(160, '\x55');
  for (uint16_t Seq = 0; Seq < 40; ++Seq) {
    const Bytes Packet = RtpPacket(Seq, 160u * Seq, 0x3131, Payload);
    Peer.SendTo(Port, Packet);
    if (Seq >= 5 && Seq < 8) Peer.SendTo(Port, Packet);
    if (Seq < 6) Peer.SendTo(Port, RtpPacket(static_cast<uint16_t>(3000 + Seq), 0, 0x3131, Bytes(20, '\x55')));
    if (Seq < 4) {
      Bytes Old = RtpPacket(static_cast<uint16_t>(1000 + Seq), 0, 0x3131, Payload);
      Old[0] = '\x40';
      Peer.SendTo(Port, Old);
    }
    if (Seq < 2) Peer.SendTo(Port, Bytes("\x80\xC8\x00\x06", 4) + Bytes(24, '\x01'));  // a sender report
    if (Seq < 5) {
      Bytes Other = RtpPacket(static_cast<uint16_t>(2000 + Seq), 0, 0x3131, Payload);
      Other[1] = 0;  // mu-law
      Peer.SendTo(Port, Other);
    }
    std::this_thread::sleep_for(20ms);  // pacing
  }

  const TestSupport::TTempDir Store;
  TestSupport::WriteFile(Store.Path() / "prometheus.yml",
                         "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: brenvic\n    static_configs:\n"
                         "      - targets: ['127.0.0.1:" + std::to_string(MetricsPort) + "']\n");
  TProcess Prometheus({"/usr/bin/prometheus", "--config.file=" + (Store.Path() / "prometheus.yml").string(),
                       "--storage.tsdb.path=" + (Store.Path() / "data").string(),
                       "--web.listen-address=127.0.0.1:" + std::to_string(PrometheusPort)},
                      (Store.Path() / "prometheus.out").string());
  ASSERT_TRUE(Prometheus.Started());
  const std::vector<std::pair<std::string, std::string>> Expected = {
      {"brenvic_rtp_datagrams_received_total", "60"},
      {"brenvic_rtp_packets_rejected_total{reason=\"rtcp\"}", "2"},
      {"brenvic_rtp_packets_rejected_total{reason=\"payload_type\"}", "5"},
      {"brenvic_rtp_packets_accepted_total", "40"},
      {"brenvic_rtp_packets_rejected_total{reason=\"repeat\"}", "3"},
      {"brenvic_rtp_packets_rejected_total{reason=\"too_short\"}", "6"},
      {"brenvic_rtp_packets_rejected_total{reason=\"version\"}", "4"},
      {"brenvic_rtp_packets_rejected_total{reason=\"sequence_jump\"}", "0"},
      {"brenvic_peers", "1"},
      {"brenvic_peer_connections_total", "1"},
      {"brenvic_session_active", "1"},
      {"brenvic_capture_device_state{state=\"open\"}", "1"},
  };
  EXPECT_TRUE(WaitAsking([&] { return QueryValue(PrometheusPort, "brenvic_rtp_datagrams_received_total") == "60"; },
                         30000));
  for (const auto& [Query, Value] : Expected) EXPECT_EQ(QueryValue(PrometheusPort, Query), Value) << Query;
  EXPECT_NE(QueryValue(PrometheusPort, "brenvic_rtp_packets_sent_total"), "0");

  // The page as promtool sees it, and the health answer.
  EXPECT_EQ(Promtool(Body(HttpGet(MetricsPort, "/metrics"))), "");
  const Bytes Health = HttpGet(MetricsPort, "/health");
  EXPECT_EQ(Health.substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_EQ(Body(Health), "ok\n");

  B.Signal(SIGINT);
  EXPECT_GE(B.Wait(5s), 0);
}

// The sample's value as text ("" when the page has no such line).
std::string SampleText(const Bytes& Page, const std::string& Name) {
  const size_t At = Page.find("\n" + Name + " ");
  if (At == Bytes::npos) return "";
  const size_t From = At + Name.size() + 2;
  return Page.substr(From, Page.find('\n', From) - From);
}

TEST(Metrics, TheStatusPageShowsTheCallThatTheGaugesMeasure) {
  const uint16_t Port = FreePort(SOCK_DGRAM), Tcp = FreePort(SOCK_STREAM), MetricsPort = FreePort(SOCK_STREAM);
  TBridge B(Ini(Port, 9, Tcp, "DisconnectTimeOut=20000\r\n",
                "Capture1=Test Mic|tone=440\r\nPlayback1=Test Ear|file=ear.raw\r\n") +
            "[Metrics]\r\nListen=127.0.0.1:" + std::to_string(MetricsPort) + "\r\n");
  B.Start();
  ASSERT_TRUE(B.WaitForLog("RTP session processor -> started", 5s));
  EXPECT_EQ(SampleText("\n" + Body(HttpGet(MetricsPort, "/metrics")), "brenvic_current_call_mos"), "") << "no call yet";

  // 12 s of talk, so that a 10 s window closes; numbers 100 to 104 never come.
  TSocket Peer(SOCK_DGRAM);
  const auto T0 = std::chrono::steady_clock::now();
  for (uint16_t Seq = 0; Seq < 600; ++Seq) {
    std::this_thread::sleep_until(T0 + Seq * 20ms);
    if (Seq < 100 || Seq >= 105) Peer.SendTo(Port, RtpPacket(Seq, 160u * Seq, 0x5151, Bytes(160, '\x55')));
  }
  Bytes Page, Metrics;
  ASSERT_TRUE(WaitAsking([&] {
    Metrics = "\n" + Body(HttpGet(MetricsPort, "/metrics"));
    Page = HttpGet(MetricsPort, "/");
    return !SampleText(Metrics, "brenvic_current_call_mos").empty() && Page.find("id=\"mos\">") != Bytes::npos;
  })) << Page << Metrics;
  EXPECT_EQ(Page.substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_NE(Page.find("Content-Type: text/html; charset=utf-8\r\n"), Bytes::npos);
  EXPECT_NE(Page.find("<td>127.0.0.1:" + std::to_string(Peer.Port()) + "</td><td>0x00005151</td>"), Bytes::npos) << Page;
  EXPECT_NE(Page.find("id=\"session\" class=\"ok\">running<"), Bytes::npos) << Page;

  // The page shows the gauges' figures in the record's formats: MOS with two
  // decimals, the audio made up (none in the fixed mode) and the buffer's
  // delay (ms, one decimal); the window's loss is 5 of 499 (the first packet
  // serves its probation).
  const auto Shown = [&](const char* Id, const char* Gauge, double Per, const char* Format) {
    char Text[32];
    std::snprintf(Text, sizeof(Text), Format, std::stod(SampleText(Metrics, Gauge)) * Per);
    EXPECT_NE(Page.find(std::string("id=\"") + Id + "\">" + Text + "<"), Bytes::npos) << Id << " " << Text << "\n" << Page;
  };
  Shown("mos", "brenvic_current_call_mos", 1, "%.2f");
  Shown("concealed", "brenvic_current_call_concealed_ratio", 100, "%.2f");
  Shown("delay", "brenvic_current_call_buffer_delay_seconds", 1000, "%.1f");
  EXPECT_EQ(SampleText(Metrics, "brenvic_current_call_concealed_ratio"), "0");
  EXPECT_NEAR(std::stod(SampleText(Metrics, "brenvic_current_call_loss_ratio")), 5.0 / 499, 0.0001) << Metrics;
  EXPECT_NE(SampleText(Metrics, "brenvic_current_call_jitter_seconds"), "") << Metrics;
  EXPECT_EQ(SampleText(Metrics, "brenvic_current_call_rtt_seconds"), "") << "not measured";
  // With the current call's gauges and the (empty) histograms of finished calls.
  EXPECT_EQ(Promtool(Metrics.substr(1)), "");

  // The same page in a real browser, over the network as a person opens it.
  if (std::system("command -v chromium > /dev/null 2>&1") != 0) {
    std::printf("chromium is not installed: the browser's view is not checked\n");
  } else {
    const TestSupport::TTempDir Dir;
    const std::string Dom = (Dir.Path() / "dom.html").string(), Err = (Dir.Path() / "err.txt").string();
    const std::string Command = "chromium --headless --no-sandbox --disable-gpu --disable-dev-shm-usage --user-data-dir='" +
                                (Dir.Path() / "profile").string() + "' --dump-dom http://127.0.0.1:" +
                                std::to_string(MetricsPort) + "/ > '" + Dom + "' 2> '" + Err + "'";
    ASSERT_EQ(std::system(Command.c_str()), 0) << TestSupport::ReadFile(Err);
    const std::string Parsed = TestSupport::ReadFile(Dom);
    for (const char* Id : {"id=\"mos\"", "id=\"rx_loss\"", "id=\"rx_jitter\"", "id=\"session\"", "id=\"capture\"",
                           "id=\"playback\"", "<svg"})
      EXPECT_NE(Parsed.find(Id), std::string::npos) << Id << "\n" << Parsed;
  }
  B.Signal(SIGINT);
  EXPECT_GE(B.Wait(5s), 0);
}

TEST(Metrics, HealthTellsAMissingHeadset) {
  const uint16_t Port = FreePort(SOCK_DGRAM), Tcp = FreePort(SOCK_STREAM), MetricsPort = FreePort(SOCK_STREAM);
  std::string Settings = Ini(Port, 9, Tcp, "", "Playback1=Test Ear|file=ear.raw\r\n");
  Settings += "[Metrics]\r\nListen=127.0.0.1:" + std::to_string(MetricsPort) + "\r\n";
  TBridge B(Settings);
  B.Start();
  ASSERT_TRUE(B.WaitForLog("RTP session processor -> started", 5s));
  // Until the watchdog has tried again, and its repeated lines were counted.
  EXPECT_TRUE(WaitAsking([&] {
    const Bytes Page = Body(HttpGet(MetricsPort, "/metrics"));
    const auto NotZero = [&](const std::string& Name) {
      return Page.find(Name + " ") != Bytes::npos && Page.find(Name + " 0\n") == Bytes::npos;
    };
    return NotZero("brenvic_device_reopens_total") && NotZero("brenvic_log_lines_suppressed_total");
  }));
  const Bytes Health = HttpGet(MetricsPort, "/health");
  EXPECT_EQ(Health.substr(0, 32), "HTTP/1.1 503 Service Unavailable");
  EXPECT_EQ(Body(Health), "capture device missing\n");
  const Bytes Page = Body(HttpGet(MetricsPort, "/metrics"));
  EXPECT_NE(Page.find("brenvic_capture_device_state{state=\"missing\"} 1\n"), Bytes::npos);
  EXPECT_EQ(Page.find("brenvic_device_reopens_total 0\n"), Bytes::npos) << "the watchdog tried again";
  EXPECT_EQ(Page.find("brenvic_log_lines_suppressed_total 0\n"), Bytes::npos) << "its repeated lines were counted";
  B.Signal(SIGINT);
  EXPECT_GE(B.Wait(5s), 0);
}

TEST(Metrics, AMistypedAllowStartsNoEndpointAndTheBridgeRunsOn) {
  // Fail closed: a typo never opens the endpoint to anyone.
  const uint16_t Port = FreePort(SOCK_DGRAM), Tcp = FreePort(SOCK_STREAM), MetricsPort = FreePort(SOCK_STREAM);
  TBridge B(Ini(Port, 9, Tcp, "", "Capture1=Test Mic|tone=440\r\nPlayback1=Test Ear|file=ear.raw\r\n") +
            "[Metrics]\r\nListen=127.0.0.1:" + std::to_string(MetricsPort) + "\r\nAllow=127.0.0.1,127.0.0.256\r\n");
  B.Start();
  ASSERT_TRUE(B.WaitForLog("RTP session processor -> started", 5s));
  EXPECT_TRUE(HasLine(B.LogLines(),
                      "Metrics endpoint not started: [Metrics] Allow: \"127.0.0.256\" is neither an address nor a network"));
  EXPECT_FALSE(TSocket(SOCK_STREAM).Connect(MetricsPort)) << "nothing listens";
  B.Signal(SIGINT);
  EXPECT_GE(B.Wait(5s), 0);
}

}  // namespace
