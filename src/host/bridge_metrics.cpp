#include "host/bridge_metrics.h"

#include <chrono>
#include <optional>
#include <vector>

#include "access/access_list.h"
#include "metrics/prometheus_text.h"
#include "platform/clock.h"
#include "platform/exception.h"
#include "platform/mutex.h"

namespace {

// [Metrics] Allow as the server's admission, by the [Access] lists' rules. A
// mistyped entry stops the endpoint rather than serve more or fewer sources
// than meant.
TMetricsServer::TAdmit AdmitFrom(const std::string& Allow) {
  std::vector<std::string> Invalid;
  const TAccessList List = TAccessList::Parse(Allow, &Invalid);
  if (!Invalid.empty()) {
    std::string Entries;
    for (const std::string& Entry : Invalid) Entries += (Entries.empty() ? "\"" : ", \"") + Entry + "\"";
    throw Exception("[Metrics] Allow: " + Entries +
                    (Invalid.size() == 1 ? " is neither an address nor a network" : " are neither addresses nor networks"));
  }
  if (!List.Restricts()) return {};
  return [List](const std::string& Address) { return List.Admits(Address); };
}

const char* DeviceStateName(TDeviceState S) {
  switch (S) {
    case TDeviceState::Open: return "open";
    case TDeviceState::Missing: return "missing";
    default: return "stalled";
  }
}

// One gauge per state, 1 for the state the device is in.
void DeviceState(TPrometheusText& T, const std::string& Name, const std::string& Help, TDeviceState Now) {
  T.Family(Name, "gauge", Help);
  for (TDeviceState S : {TDeviceState::Open, TDeviceState::Missing, TDeviceState::Stalled})
    T.Sample(Name, uint64_t{S == Now}, {{"state", DeviceStateName(S)}});
}

void JitterBuffers(TPrometheusText& T, const TSessionMetrics& M) {
  const std::pair<const char*, const TJitterStats*> Buffers[] = {{"receive", &M.ReceiveBuffer},
                                                                  {"send", &M.SendBuffer}};
  T.Family("brenvic_jitter_buffer_drops_total", "counter",
           "Writes into a jitter buffer that had to drop audio: captured bytes cut for want of room (cut), "
           "or no room at all (overflow: the oldest whole packets dropped for a received one, the whole content "
           "for captured bytes)");
  for (const auto& [Name, S] : Buffers) {
    T.Sample("brenvic_jitter_buffer_drops_total", S->Cuts, {{"buffer", Name}, {"kind", "cut"}});
    T.Sample("brenvic_jitter_buffer_drops_total", S->Overflows, {{"buffer", Name}, {"kind", "overflow"}});
  }
  T.Family("brenvic_jitter_buffer_dropped_bytes_total", "counter", "Audio bytes those drops threw away");
  for (const auto& [Name, S] : Buffers) {
    T.Sample("brenvic_jitter_buffer_dropped_bytes_total", S->CutBytes, {{"buffer", Name}, {"kind", "cut"}});
    T.Sample("brenvic_jitter_buffer_dropped_bytes_total", S->OverflowBytes, {{"buffer", Name}, {"kind", "overflow"}});
  }
}

void Rtp(TPrometheusText& T, const TSessionMetrics& M) {
  T.Counter("brenvic_rtp_datagrams_received_total", "Datagrams received from peers, whatever came of them",
            M.Datagrams);
  T.Counter("brenvic_rtp_packets_accepted_total", "Received RTP packets accepted (for the earpiece and the recording)",
            M.Verdicts[static_cast<size_t>(TRtpVerdict::Accepted)]);
  static const std::pair<TRtpVerdict, const char*> Reasons[] = {{TRtpVerdict::TooShort, "too_short"},
                                                                {TRtpVerdict::Version, "version"},
                                                                {TRtpVerdict::NoPayload, "no_payload"},
                                                                {TRtpVerdict::Repeat, "repeat"},
                                                                {TRtpVerdict::SequenceJump, "sequence_jump"},
                                                                {TRtpVerdict::Late, "late"},
                                                                {TRtpVerdict::OtherSource, "other_source"}};
  T.Family("brenvic_rtp_packets_rejected_total", "counter", "Received datagrams refused, by the rule that refused them");
  T.Sample("brenvic_rtp_packets_rejected_total", M.Refused, {{"reason", "refused_sender"}});
  T.Sample("brenvic_rtp_packets_rejected_total", M.Rtcp, {{"reason", "rtcp"}});
  T.Sample("brenvic_rtp_packets_rejected_total", M.OtherPayloadType, {{"reason", "payload_type"}});
  for (const auto& [Verdict, Reason] : Reasons)
    T.Sample("brenvic_rtp_packets_rejected_total", M.Verdicts[static_cast<size_t>(Verdict)], {{"reason", Reason}});
  // Only an encrypted call has these: a plain one shows no SRTP at all.
  if (M.Srtp.On) {
    T.Sample("brenvic_rtp_packets_rejected_total", M.Srtp.Authentication, {{"reason", "srtp_auth"}});
    T.Sample("brenvic_rtp_packets_rejected_total", M.Srtp.Replay, {{"reason", "srtp_replay"}});
    T.Sample("brenvic_rtp_packets_rejected_total", M.Srtp.Malformed, {{"reason", "srtp_malformed"}});
    T.Family("brenvic_srtp_datagrams_total", "counter",
             "Received datagrams past the SRTP step, by kind: srtp (the tag held), plain (taken as plain RTP, "
             "[Srtp] Required=0)");
    T.Sample("brenvic_srtp_datagrams_total", M.Srtp.Decrypted, {{"kind", "srtp"}});
    T.Sample("brenvic_srtp_datagrams_total", M.Srtp.Plain, {{"kind", "plain"}});
  }
  T.Counter("brenvic_rtp_packets_sent_total", "RTP packets sent (each to every peer)", M.PacketsSent);
  T.Counter("brenvic_rtp_sent_bytes_total", "Bytes of RTP datagrams sent, summed over the peers", M.BytesSent);
}

// What [Rtcp] sent and read; zeros while it is off.
void Rtcp(TPrometheusText& T, const TSessionMetrics& M) {
  const TRtcpMetrics& R = M.RtcpReports;
  T.Counter("brenvic_rtcp_packets_sent_total", "RTCP compound packets sent (each to every peer)", R.Sent);
  T.Counter("brenvic_rtcp_packets_received_total", "RTCP compound packets received from peers and read",
            R.Received.Count(TRtcpVerdict::Accepted));
  static const std::pair<TRtcpVerdict, const char*> Reasons[] = {{TRtcpVerdict::TooShort, "too_short"},
                                                                 {TRtcpVerdict::Version, "version"},
                                                                 {TRtcpVerdict::NotReportFirst, "not_report_first"},
                                                                 {TRtcpVerdict::Padding, "padding"},
                                                                 {TRtcpVerdict::Length, "length"}};
  T.Family("brenvic_rtcp_packets_rejected_total", "counter",
           "RTCP datagrams dropped unread: not a valid compound packet (by the rule it broke), from a source "
           "[Access] refused (refused_sender), or on the RTCP port from no current peer (not_peer)");
  for (const auto& [Verdict, Reason] : Reasons)
    T.Sample("brenvic_rtcp_packets_rejected_total", R.Received.Count(Verdict), {{"reason", Reason}});
  T.Sample("brenvic_rtcp_packets_rejected_total", R.RefusedSender, {{"reason", "refused_sender"}});
  T.Sample("brenvic_rtcp_packets_rejected_total", R.NotPeer, {{"reason", "not_peer"}});
  // SRTCP's refusals, as SRTP's: only on an encrypted call.
  if (M.Srtp.On) {
    T.Sample("brenvic_rtcp_packets_rejected_total", M.Srtp.RtcpAuthentication, {{"reason", "srtcp_auth"}});
    T.Sample("brenvic_rtcp_packets_rejected_total", M.Srtp.RtcpReplay, {{"reason", "srtcp_replay"}});
    T.Sample("brenvic_rtcp_packets_rejected_total", M.Srtp.RtcpMalformed, {{"reason", "srtcp_malformed"}});
    T.Family("brenvic_srtcp_datagrams_total", "counter",
             "Received RTCP datagrams past the SRTCP step, by kind: srtcp (the tag held), plain (read as plain "
             "RTCP, [Srtp] Required=0)");
    T.Sample("brenvic_srtcp_datagrams_total", M.Srtp.RtcpDecrypted, {{"kind", "srtcp"}});
    T.Sample("brenvic_srtcp_datagrams_total", M.Srtp.RtcpPlain, {{"kind", "plain"}});
  }
  T.Family("brenvic_rtcp_parts_skipped_total", "counter",
           "Packets inside a compound read that were skipped: malformed (content and length disagree) or of a "
           "type not read (unknown: APP, feedback, XR, ...)");
  T.Sample("brenvic_rtcp_parts_skipped_total", R.Received.MalformedParts, {{"reason", "malformed"}});
  T.Sample("brenvic_rtcp_parts_skipped_total", R.Received.UnknownParts, {{"reason", "unknown"}});
}

// The current call's last closed window; a figure not measured (or no call)
// leaves its gauge out rather than show a zero that was never seen.
void LiveCall(TPrometheusText& T, const std::optional<TCallFigures>& Live) {
  if (!Live) return;
  struct TGauge {
    const char* Name;
    const char* Help;
    std::optional<double> TCallFigures::*Value;
    double Per;  // of the figure's unit in the base unit (percent: 100 in a ratio)
  };
  static const TGauge Gauges[] = {
      {"brenvic_current_call_loss_ratio",
       "The current call: the network's loss of the peer's stream over the last 10 s window",
       &TCallFigures::RxLossPercent, 100},
      {"brenvic_current_call_jitter_seconds", "The current call: interarrival jitter of the peer's stream (RFC 3550)",
       &TCallFigures::RxJitterMs, 1000},
      {"brenvic_current_call_concealed_ratio", "The current call: share of the audio played that was made up",
       &TCallFigures::ConcealedPercent, 100},
      {"brenvic_current_call_buffer_delay_seconds", "The current call: mean delay the receive buffer added",
       &TCallFigures::BufferDelayMs, 1000},
      {"brenvic_current_call_rtt_seconds", "The current call: round trip to the peer (RTCP)", &TCallFigures::RttMs,
       1000},
      {"brenvic_current_call_tx_loss_ratio",
       "The current call: the peer's loss of our stream, by its last RTCP report", &TCallFigures::TxLossPercent, 100},
      {"brenvic_current_call_mos", "The current call: E-model MOS of the last 10 s window", &TCallFigures::Mos, 1},
  };
  for (const TGauge& G : Gauges)
    if (const std::optional<double>& V = (*Live).*G.Value) T.Gauge(G.Name, G.Help, *V / G.Per);
}

// Every finished call, from its record: a call without a figure is left out
// of that figure's histogram.
void FinishedCalls(TPrometheusText& T, const TCallTotals& C) {
  T.Histogram("brenvic_call_mos", "Finished calls by their E-model MOS", TCallTotals::MosBounds, C.Mos);
  T.Histogram("brenvic_call_loss_ratio", "Finished calls by the network's loss of the peer's stream",
              TCallTotals::LossBounds, C.LossRatio);
  T.Histogram("brenvic_call_jitter_seconds", "Finished calls by the interarrival jitter of the peer's stream",
              TCallTotals::JitterBounds, C.JitterSeconds);
  T.Counter("brenvic_call_lost_packets_total", "Packets of the peers' streams lost on the network, over finished calls",
            C.LostPackets);
  T.Family("brenvic_call_concealed_seconds_total", "counter",
           "Audio made up in place of the peers' audio that did not come, over finished calls");
  T.Sample("brenvic_call_concealed_seconds_total", static_cast<double>(C.ConcealedMs) / 1000);
}

}  // namespace

TBridgeMetrics::TBridgeMetrics(const TMetricsSettings& Settings, const std::string& Version)
    : FVersion(Version), FStartTick(Platform::TickCount()) {
  auto Server = std::make_unique<TMetricsServer>(
      Settings.Listen, [this](const std::string& Path) { return Serve(Path); }, AdmitFrom(Settings.Allow));
  Platform::TLockGuard Guard(FLock);
  FServer = std::move(Server);
}

TBridgeMetrics::~TBridgeMetrics() {
  std::unique_ptr<TMetricsServer> Server;
  {
    Platform::TLockGuard Guard(FLock);
    Server = std::move(FServer);
  }
  Server.reset();  // outside the lock: a request may be waiting for it
}

uint16_t TBridgeMetrics::Port() {
  Platform::TLockGuard Guard(FLock);
  return FServer->Port();
}

void TBridgeMetrics::Publish(TRtpSession* Session) {
  Publish(Session ? Session->Metrics() : TSessionMetrics{}, Session != nullptr);
}

void TBridgeMetrics::Publish(const TSessionMetrics& M, bool HasSession) {
  Platform::TLockGuard Guard(FLock);
  FLatest = M;
  FHasSession = HasSession;
}

THttpResponse TBridgeMetrics::Serve(const std::string& Path) {
  TSessionMetrics M;
  bool HasSession;
  TMetricsRefusals Refused;
  {
    Platform::TLockGuard Guard(FLock);
    M = FLatest;
    HasSession = FHasSession;
    if (FServer) Refused = FServer->Refusals();
  }
  const uint32_t UpMs = Platform::TickCount() - FStartTick;
  if (Path == "/metrics")
    return {200, TPrometheusText::ContentType, RenderMetrics(M, HasSession, FVersion, UpMs, LogLineCounts(), Refused)};
  if (Path == "/health") return Health(M, HasSession);
  if (Path == "/") return {200, StatusPageContentType, RenderStatusPage(StatusOf(M, HasSession, FVersion, UpMs))};
  return {404, "text/plain; charset=utf-8", "not found: /, /metrics and /health are here\n"};
}

TStatusSnapshot TBridgeMetrics::StatusOf(const TSessionMetrics& M, bool HasSession, const std::string& Version,
                                         uint32_t UpMs) {
  TStatusSnapshot S;
  S.Now = std::chrono::system_clock::now();
  S.Version = Version;
  S.UptimeS = UpMs / 1000;
  S.SessionState = HasSession && M.Active ? "running" : "stopped";
  S.Capture.State = DeviceStateName(M.Capture);
  S.Playback.State = DeviceStateName(M.Playback);
  S.Peers = M.Calls.Peers;
  S.Live = M.Calls.Live;
  S.History = M.Calls.History;
  S.Records = M.Calls.Records;
  return S;
}

THttpResponse TBridgeMetrics::Health(const TSessionMetrics& M, bool HasSession) {
  std::string Why;
  if (!HasSession || !M.Active)
    Why = "session not running";
  else if (M.Capture != TDeviceState::Open)
    Why = std::string("capture device ") + DeviceStateName(M.Capture);
  else if (M.Playback != TDeviceState::Open)
    Why = std::string("playback device ") + DeviceStateName(M.Playback);
  return Why.empty() ? THttpResponse{200, "text/plain; charset=utf-8", "ok\n"}
                     : THttpResponse{503, "text/plain; charset=utf-8", Why + "\n"};
}

std::string TBridgeMetrics::RenderMetrics(const TSessionMetrics& M, bool HasSession, const std::string& Version,
                                          uint32_t UpMs, const TLogLineCounts& Log,
                                          const TMetricsRefusals& Refused) {
  TPrometheusText T;
  T.Family("brenvic_build_info", "gauge", "The program's version, as a label");
  T.Sample("brenvic_build_info", uint64_t{1}, {{"version", Version}});
  T.Gauge("brenvic_uptime_seconds", "Seconds since the program started", UpMs / 1000.0);
  T.Gauge("brenvic_session_active", "1 while the RTP session runs", HasSession && M.Active ? 1.0 : 0.0);
  T.Gauge("brenvic_session_active_seconds", "Seconds since the session last started", M.ActiveMs / 1000.0);
  DeviceState(T, "brenvic_capture_device_state", "The microphone: open, missing or stalled", M.Capture);
  DeviceState(T, "brenvic_playback_device_state", "The earpiece: open, missing or stalled", M.Playback);
  T.Counter("brenvic_device_reopens_total", "Times the watchdog opened a device anew", M.DeviceReopens);
  T.Counter("brenvic_playback_played_bytes_total", "Received audio bytes written to the playback device",
            M.PlayedBytes);
  T.Gauge("brenvic_peers", "RTP peers now", M.Peers);
  T.Counter("brenvic_peer_connections_total", "RTP peers that appeared", M.PeerConnections);
  Rtp(T, M);
  Rtcp(T, M);
  LiveCall(T, M.Calls.Live);
  FinishedCalls(T, M.Calls.Totals);
  JitterBuffers(T, M);
  T.Gauge("brenvic_recording_clients", "Recording clients connected now", M.Mixer.Clients);
  T.Counter("brenvic_recording_connections_total", "Recording clients that connected", M.Mixer.Connections);
  T.Counter("brenvic_recording_clients_dropped_slow_total", "Recording clients disconnected for having stopped reading",
            M.Mixer.DroppedSlow);
  T.Counter("brenvic_recording_frames_sent_total", "Frames of the recording stream sent", M.Mixer.FramesSent);
  T.Counter("brenvic_recording_silence_bytes_total", "Bytes of silence filled in for a direction without audio",
            M.Mixer.SilenceBytes);
  T.Counter("brenvic_recording_dropped_bytes_total", "Pending audio dropped over the two-second bound",
            M.Mixer.DroppedBytes);
  T.Counter("brenvic_log_lines_written_total", "Lines written to the log files", Log.Written);
  T.Counter("brenvic_log_lines_suppressed_total", "Lines counted as repeats instead of written", Log.Suppressed);
  T.Family("brenvic_metrics_connections_refused_total", "counter",
           "Connections to this endpoint closed unanswered: the source is not in [Metrics] Allow, holds " +
               std::to_string(TMetricsServer::MaxPerSource) + " already, or all " +
               std::to_string(TMetricsServer::MaxConnections) + " are taken");
  T.Sample("brenvic_metrics_connections_refused_total", Refused.NotAllowed, {{"reason", "not_allowed"}});
  T.Sample("brenvic_metrics_connections_refused_total", Refused.PerSourceLimit, {{"reason", "per_source_limit"}});
  T.Sample("brenvic_metrics_connections_refused_total", Refused.Busy, {{"reason", "busy"}});
  return T.Text();
}
