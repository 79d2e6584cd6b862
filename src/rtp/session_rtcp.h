#pragma once
// TSessionRtcp: the session's RTCP, with [Rtcp] Mode=mux (on the RTP port) or
// port (on the RTP port + 1, a UDP server of its own; a peer's RTCP comes from
// and goes to its RTP port + 1).
//
// At each report time (IntervalMs times 0.5 to 1.5, drawn anew each time) one
// compound packet goes to every peer: SR while we have sent audio within the
// last two intervals, else RR; a report block for each peer stream heard, with
// LSR/DLSR from that peer's last SR; SDES with our CNAME. BYE when the session
// stops. What the peers send is read: an SR is kept for the LSR/DLSR of our
// next block about its sender; a block about our SSRC gives the peer's loss of
// our audio and, with LSR/DLSR, the round trip, both for the peer's call; a
// BYE is logged (the call still ends by the peer's silence). RTCP never plays,
// never changes what is sent and never renews our SSRC: nothing here touches
// the audio or the codec.
//
// Threads: the session thread sends (the next report's time is part of its
// wait, so no thread of its own wakes for it); the network thread reads and
// learns the peers; the host thread configures, starts and stops. It locks
// itself and calls out (the call quality, the log) only after letting go.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "access/peer_gate.h"
#include "config/rtcp_settings.h"
#include "platform/mutex.h"
#include "quality/rtcp_packet.h"
#include "rtp/call_quality.h"
#include "rtp/rtp_codec.h"
#include "rtp/send_path.h"

struct TRtcpMetrics {
  uint64_t Sent = 0;           // compound packets, each to every peer
  TRtcpCounters Received;      // by verdict, and the parts skipped
  uint64_t NotPeer = 0;        // port mode: from a source that is no current peer's
  uint64_t RefusedSender = 0;  // port mode: from a source [Access] refused
};

// Where a report goes.
struct TRtcpDestination {
  std::string Address;
  uint16_t Port = 0;
};

// What became of a datagram on the RTCP port.
enum class TRtcpSourceVerdict { Read, Refused, NotPeer };

class TSessionRtcp {
public:
  using TClock = std::chrono::steady_clock;
  // Room for 62 blocks (two report packets), the longest CNAME and a BYE.
  static constexpr size_t PacketBytes = 2048;
  using TPacket = std::array<uint8_t, PacketBytes>;

  TSessionRtcp();

  // Host thread, while stopped. ClockRate: RTP timestamp units per second.
  void Configure(const TRtcpSettings& Settings, uint32_t ClockRate) EXCLUDES(FLock);
  TRtcpMode Mode() const { return FMode.load(); }
  bool On() const { return Mode() != TRtcpMode::Off; }
  uint32_t IntervalMs() const EXCLUDES(FLock);

  // The session starts: a new NTP reckoning, the first report after half an
  // interval (RFC 3550's first one). Clear: it stopped, every peer and source
  // is forgotten (the counters stay).
  void Start(TClock::time_point Now, std::chrono::system_clock::time_point Wall) EXCLUDES(FLock);
  void Clear() EXCLUDES(FLock);

  // A peer came or went (network thread). Next: our send identity as the peer
  // came; the first packet it can hear is the next one.
  void Join(int32_t PeerId, const std::string& Address, int32_t Port, const TRtpSendIdentity& Next) EXCLUDES(FLock);
  void Leave(int32_t PeerId) EXCLUDES(FLock);

  // Session thread: an RTP packet left.
  void Sent(const TSentPacket& Packet, TClock::time_point Now) EXCLUDES(FLock);
  // Session thread: the time until the next report is due.
  uint32_t DueInMs(TClock::time_point Now) const EXCLUDES(FLock);
  // Session thread, or the host's at the stop (Bye): the report into Packet,
  // with blocks for the streams Heard; its size (0: no peer to send it to) and
  // where it goes. The next report is due an interval from Now.
  uint32_t Report(TClock::time_point Now, uint32_t OurSsrc, const std::vector<TPeerReception>& Heard, bool Bye,
                  TPacket& Packet, std::vector<TRtcpDestination>& To) EXCLUDES(FLock);
  // The report left (for the count).
  void CountSent() { FSentCount.fetch_add(1, std::memory_order_relaxed); }

  // Network thread: a datagram of peer PeerId (mux: RTCP on the RTP port).
  void Receive(int32_t PeerId, const uint8_t* Data, size_t Size, uint32_t OurSsrc, TCallQuality& Calls,
               TClock::time_point Now) EXCLUDES(FLock);

  // Port mode, network thread: the sources of the RTCP port (its server's
  // clients). A new source: false when [Access] refuses it, as the peer gate
  // decides for a sender of RTP (the caller lets it go).
  bool AdmitSource(int32_t SourceId, const std::string& Address, int32_t Port, uint32_t Tick) EXCLUDES(FLock);
  void LeaveSource(int32_t SourceId) EXCLUDES(FLock);
  // A datagram of a source: Read when the source is a current peer's RTP port
  // + 1 (PeerId: that peer; the caller reads it with Receive, once it is
  // decrypted); otherwise counted and dropped (NotPeer: the caller lets it go).
  TRtcpSourceVerdict PeerOfSource(int32_t SourceId, int32_t& PeerId) EXCLUDES(FLock);

  TRtcpMetrics Metrics() const EXCLUDES(FLock);

private:
  // Our SSRC as one peer heard it: from the first packet it could hear, what
  // its latest block said.
  struct TEpoch {
    uint32_t Ssrc = 0;
    uint16_t BaseSequence = 0;
    int64_t Lost = 0, Expected = 0;
  };
  struct TPeer {
    std::string Address;
    int32_t Port = 0;
    uint32_t JoinSsrc = 0;
    uint16_t JoinNextSequence = 0;
    // Its last SR.
    bool SrKnown = false;
    uint32_t SrSsrc = 0;
    uint32_t SrMiddle = 0;
    TClock::time_point SrArrival{};
    // Its loss of our audio over the call: the SSRC of ours it reports on
    // now, and the SSRCs before.
    std::optional<TEpoch> Epoch;
    int64_t EarlierLost = 0, EarlierExpected = 0;
    bool ByeNoted = false;
  };
  // What we have sent with our SSRC now.
  struct TSent {
    bool Any = false;
    uint32_t Ssrc = 0;
    uint16_t FirstSequence = 0, LastSequence = 0;
    uint32_t Packets = 0, Octets = 0;
    uint32_t LastTimestamp = 0;
    TClock::time_point LastTime{};
  };
  struct TSource {
    std::string Address;
    int32_t Port = 0;
  };

  TFarEndReport FarEndOf(TPeer& Peer, const TRtcpReportBlock& Block, TClock::time_point Now) REQUIRES(FLock);
  std::optional<TRtcpSenderInfo> SenderInfo(uint32_t OurSsrc, TClock::time_point Now) const REQUIRES(FLock);

  std::atomic<TRtcpMode> FMode{TRtcpMode::Off};  // written by the host thread while stopped
  std::atomic<uint64_t> FSentCount{0};
  mutable Platform::TMutex FLock;
  uint32_t FIntervalMs GUARDED_BY(FLock) = TRtcpSettings::DefaultIntervalMs;
  std::string FCname GUARDED_BY(FLock);
  uint32_t FClockRate GUARDED_BY(FLock) = 8000;
  std::minstd_rand FRandom GUARDED_BY(FLock);
  std::optional<TRtcpNtpClock> FNtp GUARDED_BY(FLock);
  TClock::time_point FNextDue GUARDED_BY(FLock){};
  TSent FSent GUARDED_BY(FLock);
  std::map<int32_t, TPeer> FPeers GUARDED_BY(FLock);
  std::map<int32_t, TSource> FSources GUARDED_BY(FLock);
  TRtcpCounters FReceived GUARDED_BY(FLock);
  uint64_t FNotPeer GUARDED_BY(FLock) = 0;
  uint64_t FRefusedSender GUARDED_BY(FLock) = 0;
  TPeerGate FSourceGate;  // locks itself
};
