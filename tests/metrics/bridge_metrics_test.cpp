// What the bridge's monitoring page and health answer say of a session's state.

#include "host/bridge_metrics.h"

#include <gtest/gtest.h>

namespace {

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
  const std::string Page = TBridgeMetrics::RenderMetrics(M, true, "1.2.3.4", 65000);
  for (const char* Line : {"brenvic_build_info{version=\"1.2.3.4\"} 1\n", "brenvic_uptime_seconds 65\n",
                           "brenvic_session_active 1\n", "brenvic_peers 2\n",
                           "brenvic_rtp_datagrams_received_total 17\n", "brenvic_rtp_packets_accepted_total 11\n",
                           "brenvic_rtp_packets_rejected_total{reason=\"repeat\"} 4\n",
                           "brenvic_rtp_packets_rejected_total{reason=\"too_short\"} 2\n",
                           "brenvic_rtp_packets_rejected_total{reason=\"version\"} 0\n",
                           "brenvic_jitter_buffer_dropped_bytes_total{buffer=\"receive\",kind=\"overflow\"} 480\n",
                           "brenvic_capture_device_state{state=\"stalled\"} 1\n",
                           "brenvic_capture_device_state{state=\"open\"} 0\n",
                           "brenvic_recording_frames_sent_total 99\n"})
    EXPECT_NE(Page.find(Line), std::string::npos) << Line;
}

}  // namespace
