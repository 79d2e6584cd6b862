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
  M.Srtp = {true, 500, 7, 3, 2, 1, 40, 6, 5, 4, 8};
  const std::string Page = TBridgeMetrics::RenderMetrics(M, true, "1", 0, {}, {});
  for (const char* Line : {"brenvic_rtp_packets_rejected_total{reason=\"srtp_auth\"} 3\n",
                           "brenvic_rtp_packets_rejected_total{reason=\"srtp_replay\"} 2\n",
                           "brenvic_rtp_packets_rejected_total{reason=\"srtp_malformed\"} 1\n",
                           "# TYPE brenvic_srtp_datagrams_total counter\n",
                           "brenvic_srtp_datagrams_total{kind=\"srtp\"} 500\n",
                           "brenvic_srtp_datagrams_total{kind=\"plain\"} 7\n",
                           // The reports' own, apart from the audio's.
                           "brenvic_rtcp_packets_rejected_total{reason=\"srtcp_auth\"} 5\n",
                           "brenvic_rtcp_packets_rejected_total{reason=\"srtcp_replay\"} 4\n",
                           "brenvic_rtcp_packets_rejected_total{reason=\"srtcp_malformed\"} 8\n",
                           "# TYPE brenvic_srtcp_datagrams_total counter\n",
                           "brenvic_srtcp_datagrams_total{kind=\"srtcp\"} 40\n",
                           "brenvic_srtcp_datagrams_total{kind=\"plain\"} 6\n"})
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
  for (const char* Line : {"\nbrenvic_current_call_loss_ratio 0.0125\n", "\nbrenvic_current_call_jitter_seconds 0.0035\n",
                           "\nbrenvic_current_call_mos 4.2671\n", "\n# TYPE brenvic_current_call_mos gauge\n"})
    EXPECT_NE(Page.find(Line), std::string::npos) << Line;
  for (const char* NotMeasured : {"brenvic_current_call_concealed_ratio", "brenvic_current_call_buffer_delay_seconds",
                                  "brenvic_current_call_rtt_seconds"})
    EXPECT_EQ(Page.find(NotMeasured), std::string::npos) << NotMeasured;

  M.Calls.Live->RttMs = 12;
  M.Calls.Live->ConcealedPercent = 0.5;
  M.Calls.Live->BufferDelayMs = 41;
  Page = TBridgeMetrics::RenderMetrics(M, true, "1", 0, {}, {});
  EXPECT_DOUBLE_EQ(Sample(Page, "brenvic_current_call_rtt_seconds").value_or(-1), 0.012);
  EXPECT_DOUBLE_EQ(Sample(Page, "brenvic_current_call_concealed_ratio").value_or(-1), 0.005);
  EXPECT_DOUBLE_EQ(Sample(Page, "brenvic_current_call_buffer_delay_seconds").value_or(-1), 0.041);

  M.Calls.Live.reset();
  EXPECT_EQ(TBridgeMetrics::RenderMetrics(M, true, "1", 0, {}, {}).find("brenvic_current_call_"), std::string::npos)
      << "no call, no gauges";
}

TEST(BridgeMetrics, RtcpSentReadAndDroppedAndThePeersLossOfOurStream) {
  TSessionMetrics M = InACall();
  M.RtcpReports.Sent = 12;
  M.RtcpReports.Received.Datagrams[static_cast<size_t>(TRtcpVerdict::Accepted)] = 9;
  M.RtcpReports.Received.Datagrams[static_cast<size_t>(TRtcpVerdict::Length)] = 3;
  M.RtcpReports.Received.MalformedParts = 2;
  M.RtcpReports.Received.UnknownParts = 5;
  M.RtcpReports.NotPeer = 4;
  M.RtcpReports.RefusedSender = 1;
  M.Calls.Live->TxLossPercent = 2.5;
  const std::string Page = TBridgeMetrics::RenderMetrics(M, true, "1", 0, {}, {});
  for (const char* Line : {"\nbrenvic_rtcp_packets_sent_total 12\n", "\nbrenvic_rtcp_packets_received_total 9\n",
                           "\nbrenvic_rtcp_packets_rejected_total{reason=\"length\"} 3\n",
                           "\nbrenvic_rtcp_packets_rejected_total{reason=\"too_short\"} 0\n",
                           "\nbrenvic_rtcp_packets_rejected_total{reason=\"not_report_first\"} 0\n",
                           "\nbrenvic_rtcp_packets_rejected_total{reason=\"not_peer\"} 4\n",
                           "\nbrenvic_rtcp_packets_rejected_total{reason=\"refused_sender\"} 1\n",
                           "\nbrenvic_rtcp_parts_skipped_total{reason=\"malformed\"} 2\n",
                           "\nbrenvic_rtcp_parts_skipped_total{reason=\"unknown\"} 5\n",
                           "# TYPE brenvic_rtcp_packets_rejected_total counter\n"})
    EXPECT_NE(Page.find(Line), std::string::npos) << Line;
  EXPECT_DOUBLE_EQ(Sample(Page, "brenvic_current_call_tx_loss_ratio").value_or(-1), 0.025);
  M.Calls.Live->TxLossPercent.reset();
  EXPECT_EQ(TBridgeMetrics::RenderMetrics(M, true, "1", 0, {}, {}).find("brenvic_current_call_tx_loss_ratio"), std::string::npos)
      << "no report from the peer, no gauge";
}

int64_t ClockUs = 0;
int64_t Clock() { return ClockUs; }

// A call of 500 packets 20 ms apart (the first makes the stream known), each
// played 30 ms after it came, behind 10 ms in the earpiece; the packets from
// LostFrom to LostTo never come and their time is made up.
void TalkAndHangUp(TCallQuality& Q, int32_t Id, uint16_t LostFrom, uint16_t LostTo) {
  Q.Begin(Id, "10.0.0.7", 5000 + Id);
  for (uint16_t Seq = 0; Seq < 500; ++Seq, ClockUs += 20'000) {
    const bool Lost = Seq >= LostFrom && Seq < LostTo;
    TRtpDatagramInfo Info;
    Info.HeaderInside = true;
    Info.Version = 2;
    Info.SequenceNumber = Seq;
    Info.Timestamp = 160u * Seq;
    Info.Ssrc = 0x4242;
    if (!Lost) Q.Packet(Id, Info, TRtpVerdict::Accepted);
    Q.Played(Id, {20, Lost ? 20u : 0u, 30, 10, static_cast<uint32_t>(ClockUs / 1000)});
  }
  Q.End(Id);
}

// Two finished calls, a clean one and one that lost 10 packets in a row: each
// counted once, however often the host copies the view.
TEST(BridgeMetrics, FinishedCallsAreHistogramsAndCounters) {
  ClockUs = 1'000'000;
  TCallQuality Q(Clock);
  TalkAndHangUp(Q, 1, 0, 0);
  Q.View();
  TalkAndHangUp(Q, 2, 100, 110);
  Q.View();
  TSessionMetrics M = Running();
  M.Calls = Q.View();
  ASSERT_EQ(M.Calls.Records.size(), 2u);
  // Without loss, 60 ms of delay (20 ms packets, 30 in the buffer, 10 in the
  // earpiece): R 91.5, MOS 4.37. Ten packets lost in a row, 2 % in one burst,
  // take 7.5 off R: MOS 4.17.
  EXPECT_NEAR(M.Calls.Records[1].Figures.Mos.value_or(0), 4.37, 0.005);
  EXPECT_NEAR(M.Calls.Records[0].Figures.Mos.value_or(0), 4.17, 0.005);
  const std::string Page = TBridgeMetrics::RenderMetrics(M, true, "1", 0, {}, {});
  for (const char* Line : {
           "# TYPE brenvic_call_mos histogram\n",
           "brenvic_call_mos_bucket{le=\"2.58\"} 0\n",
           "brenvic_call_mos_bucket{le=\"4.34\"} 1\n",
           "brenvic_call_mos_bucket{le=\"4.4\"} 2\n",
           "brenvic_call_mos_bucket{le=\"+Inf\"} 2\n",
           "brenvic_call_mos_count 2\n",
           "# TYPE brenvic_call_loss_ratio histogram\n",
           "brenvic_call_loss_ratio_bucket{le=\"0\"} 1\n",
           "brenvic_call_loss_ratio_bucket{le=\"0.02\"} 1\n",  // 10 of 499: a little over 2 %
           "brenvic_call_loss_ratio_bucket{le=\"0.03\"} 2\n",
           "brenvic_call_loss_ratio_count 2\n",
           "# TYPE brenvic_call_jitter_seconds histogram\n",
           "brenvic_call_jitter_seconds_bucket{le=\"0.001\"} 2\n",  // paced exactly
           "brenvic_call_jitter_seconds_sum 0\n",
           "brenvic_call_jitter_seconds_count 2\n",
           "# TYPE brenvic_call_lost_packets_total counter\nbrenvic_call_lost_packets_total 10\n",
           "# TYPE brenvic_call_concealed_seconds_total counter\nbrenvic_call_concealed_seconds_total 0.2\n"})
    EXPECT_NE(Page.find(Line), std::string::npos) << Line;
  EXPECT_DOUBLE_EQ(Sample(Page, "brenvic_call_loss_ratio_sum").value_or(-1), 10.0 / 499);
  EXPECT_NEAR(Sample(Page, "brenvic_call_mos_sum").value_or(-1),
              *M.Calls.Records[0].Figures.Mos + *M.Calls.Records[1].Figures.Mos, 1e-9);
  EXPECT_EQ(Page.find("brenvic_current_call_"), std::string::npos) << "no call runs";
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
  const std::optional<double> Mos = Sample(Metrics, "brenvic_current_call_mos");
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
