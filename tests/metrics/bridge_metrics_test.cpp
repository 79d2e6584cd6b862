// What the bridge's monitoring page and health answer say of a session's state.

#include "host/bridge_metrics.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "http_client.h"
#include "platform/exception.h"

namespace {

using namespace MetricsTest;

TSessionMetrics Running() {
  TSessionMetrics M;
  M.Active = true;
  M.Capture = M.Playback = TDeviceState::Open;
  return M;
}

TEST(BridgeMetrics, HealthNamesTheFirstReason) {
  struct TCase {
    TSessionMetrics M;
    bool HasSession;
    int Status;
    std::string Body;
  };
  TSessionMetrics NoMic = Running(), Stalled = Running(), Stopped = Running();
  NoMic.Capture = TDeviceState::Missing;
  Stalled.Playback = TDeviceState::Stalled;
  Stopped.Active = false;
  for (const TCase& C : std::vector<TCase>{{Running(), true, 200, "ok\n"},
                                            {Running(), false, 503, "session not running\n"},
                                            {Stopped, true, 503, "session not running\n"},
                                            {NoMic, true, 503, "capture device missing\n"},
                                            {Stalled, true, 503, "playback device stalled\n"}}) {
    const THttpResponse R = TBridgeMetrics::Health(C.M, C.HasSession);
    EXPECT_EQ(R.Status, C.Status);
    EXPECT_EQ(R.Body, C.Body);
  }
}

TEST(BridgeMetrics, ThePageCarriesTheCountsAsTheyAre) {
  TSessionMetrics M = Running();
  M.Peers = 2;
  M.Datagrams = 17;
  M.Verdicts[static_cast<size_t>(TRtpVerdict::Accepted)] = 11;
  M.Verdicts[static_cast<size_t>(TRtpVerdict::Repeat)] = 4;
  M.Verdicts[static_cast<size_t>(TRtpVerdict::TooShort)] = 2;
  M.ReceiveBuffer.Overflows = 1;
  M.ReceiveBuffer.OverflowBytes = 480;
  M.Capture = TDeviceState::Stalled;
  M.Mixer.FramesSent = 99;
  const std::string Page = TBridgeMetrics::RenderMetrics(M, true, "1.2.3.4", 65000, {120, 7}, {3, 2, 1});
  for (const char* Line : {"brenvic_build_info{version=\"1.2.3.4\"} 1\n", "brenvic_uptime_seconds 65\n",
                           "brenvic_session_active 1\n", "brenvic_peers 2\n",
                           "brenvic_rtp_datagrams_received_total 17\n", "brenvic_rtp_packets_accepted_total 11\n",
                           "brenvic_rtp_packets_rejected_total{reason=\"repeat\"} 4\n",
                           "brenvic_rtp_packets_rejected_total{reason=\"too_short\"} 2\n",
                           "brenvic_rtp_packets_rejected_total{reason=\"version\"} 0\n",
                           "brenvic_jitter_buffer_dropped_bytes_total{buffer=\"receive\",kind=\"overflow\"} 480\n",
                           "brenvic_capture_device_state{state=\"stalled\"} 1\n",
                           "brenvic_capture_device_state{state=\"open\"} 0\n",
                           "brenvic_recording_frames_sent_total 99\n", "brenvic_log_lines_written_total 120\n",
                           "brenvic_log_lines_suppressed_total 7\n",
                           "brenvic_metrics_connections_refused_total{reason=\"not_allowed\"} 3\n",
                           "brenvic_metrics_connections_refused_total{reason=\"per_source_limit\"} 2\n",
                           "brenvic_metrics_connections_refused_total{reason=\"busy\"} 1\n"})
    EXPECT_NE(Page.find(Line), std::string::npos) << Line;
}

// An encrypted call counts its refusals among the others and each kind that got
// through; a plain one shows nothing of SRTP, not even zeros.
TEST(BridgeMetrics, SrtpCountsOnlyForAnEncryptedCall) {
  TSessionMetrics M = Running();
  EXPECT_EQ(TBridgeMetrics::RenderMetrics(M, true, "1", 0, {}, {}).find("srtp"), std::string::npos);
  M.Srtp = {true, 500, 7, 3, 2, 1};
  const std::string Page = TBridgeMetrics::RenderMetrics(M, true, "1", 0, {}, {});
  for (const char* Line : {"brenvic_rtp_packets_rejected_total{reason=\"srtp_auth\"} 3\n",
                           "brenvic_rtp_packets_rejected_total{reason=\"srtp_replay\"} 2\n",
                           "brenvic_rtp_packets_rejected_total{reason=\"srtp_malformed\"} 1\n",
                           "# TYPE brenvic_srtp_datagrams_total counter\n",
                           "brenvic_srtp_datagrams_total{kind=\"srtp\"} 500\n",
                           "brenvic_srtp_datagrams_total{kind=\"plain\"} 7\n"})
    EXPECT_NE(Page.find(Line), std::string::npos) << Line;
}

// The value of a sample without labels; none when the page has no such line.
std::optional<double> Sample(const std::string& Page, const std::string& Name) {
  const size_t At = Page.find("\n" + Name + " ");
  if (At == std::string::npos) return std::nullopt;
  return std::stod(Page.substr(At + Name.size() + 2));
}

TSessionMetrics InACall() {
  TSessionMetrics M = Running();
  M.Peers = 1;
  M.Calls.Peers = {{"10.0.0.7", 5004, 0x4242u, std::chrono::system_clock::now()}};
  TCallFigures F;
  F.RxLossPercent = 1.25;
  F.RxJitterMs = 3.5;
  F.R = 88.37;
  F.Mos = 4.2671;
  M.Calls.Live = F;
  M.Calls.History = {{std::chrono::system_clock::now(), F.Mos, F.RxLossPercent, F.RxJitterMs}};
  return M;
}

TEST(BridgeMetrics, TheCurrentCallsFiguresAreGaugesInBaseUnitsOnlyWhenMeasured) {
  TSessionMetrics M = InACall();
  std::string Page = TBridgeMetrics::RenderMetrics(M, true, "1", 0, {}, {});
  EXPECT_DOUBLE_EQ(Sample(Page, "brenvic_call_loss_ratio").value_or(-1), 0.0125);
  EXPECT_DOUBLE_EQ(Sample(Page, "brenvic_call_jitter_seconds").value_or(-1), 0.0035);
  EXPECT_DOUBLE_EQ(Sample(Page, "brenvic_call_mos").value_or(-1), 4.2671);
  EXPECT_NE(Page.find("# TYPE brenvic_call_mos gauge\n"), std::string::npos);
  for (const char* NotMeasured : {"brenvic_call_concealed_ratio", "brenvic_call_buffer_delay_seconds", "brenvic_call_rtt_seconds"})
    EXPECT_EQ(Page.find(NotMeasured), std::string::npos) << NotMeasured;

  M.Calls.Live->RttMs = 12;
  M.Calls.Live->ConcealedPercent = 0.5;
  M.Calls.Live->BufferDelayMs = 41;
  Page = TBridgeMetrics::RenderMetrics(M, true, "1", 0, {}, {});
  EXPECT_DOUBLE_EQ(Sample(Page, "brenvic_call_rtt_seconds").value_or(-1), 0.012);
  EXPECT_DOUBLE_EQ(Sample(Page, "brenvic_call_concealed_ratio").value_or(-1), 0.005);
  EXPECT_DOUBLE_EQ(Sample(Page, "brenvic_call_buffer_delay_seconds").value_or(-1), 0.041);

  M.Calls.Live.reset();
  EXPECT_EQ(TBridgeMetrics::RenderMetrics(M, true, "1", 0, {}, {}).find("brenvic_call_"), std::string::npos)
      << "no call, no gauges";
}

TEST(BridgeMetrics, TheStatusPageIsServedAndShowsTheGaugesFigures) {
  TBridgeMetrics Endpoint({"127.0.0.1:0", ""}, "1.2.3.4");
  Endpoint.Publish(InACall(), true);
  const std::string Page = Get(Endpoint.Port(), "GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(StatusLine(Page), "HTTP/1.1 200 OK");
  EXPECT_NE(Page.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos) << Page;
  for (const char* Id : {"id=\"session\" class=\"ok\">running<", "id=\"capture\"", "id=\"playback\"", "id=\"rx_loss\">1.25<",
                         "id=\"rx_jitter\"", "10.0.0.7", "<svg"})
    EXPECT_NE(Page.find(Id), std::string::npos) << Id;

  const std::string Metrics = Get(Endpoint.Port(), "GET /metrics HTTP/1.1\r\n\r\n");
  const std::optional<double> Mos = Sample(Metrics, "brenvic_call_mos");
  ASSERT_TRUE(Mos) << Metrics;
  EXPECT_NE(Page.find("id=\"mos\">" + FormatFigure(Mos, 2) + "<"), std::string::npos) << Page;

  EXPECT_NE(Get(Endpoint.Port(), "GET /nothing HTTP/1.1\r\n\r\n").find("not found: /, /metrics and /health are here\n"),
            std::string::npos);
  Endpoint.Publish(TSessionMetrics{}, false);
  EXPECT_NE(Get(Endpoint.Port(), "GET / HTTP/1.1\r\n\r\n").find("id=\"session\" class=\"bad\">stopped<"), std::string::npos);
}

TEST(BridgeMetrics, AllowServesItsSourcesOnlyAndAMistypedOneStartsNothing) {
  // Fail closed: an entry that is no address or network never widens nor
  // narrows the list; the endpoint stays shut and says why.
  const std::pair<const char*, const char*> Bad[] = {
      {"127.0.0.1/33", "[Metrics] Allow: \"127.0.0.1/33\" is neither an address nor a network"},
      {"::1, desk-0042,10.0.0.300", "[Metrics] Allow: \"desk-0042\", \"10.0.0.300\" are neither addresses nor networks"}};
  for (const auto& [Allow, Why] : Bad) {
    try {
      TBridgeMetrics Endpoint({"127.0.0.1:0", Allow}, "1");
      ADD_FAILURE() << Allow << ": started";
    } catch (const Exception& E) {
      EXPECT_EQ(E.Message(), Why);
    }
  }

  TBridgeMetrics Endpoint({"127.0.0.1:0", "10.1.0.0/16, 127.0.0.2/32,::1"}, "1");
  EXPECT_EQ(Get(Endpoint.Port(), "GET /metrics HTTP/1.1\r\n\r\n"), "<closed>");
  if (!CanBindSource("127.0.0.2")) GTEST_SKIP() << "127.0.0.2 cannot be a source address on this system";
  const std::string Page = Get(Endpoint.Port(), "GET /metrics HTTP/1.1\r\n\r\n", "127.0.0.2");
  EXPECT_EQ(StatusLine(Page), "HTTP/1.1 200 OK");
  EXPECT_NE(Page.find("\nbrenvic_metrics_connections_refused_total{reason=\"not_allowed\"} 1\n"), std::string::npos) << Page;
}

}  // namespace
