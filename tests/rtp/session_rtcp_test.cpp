// The session's RTCP against a scripted peer on loopback, in both modes: the
// reports at the interval (SR while the microphone sends, RR without it), the
// block about the peer's stream, the echo of the peer's SR, the round trip and
// the loss of our audio read from the peer's blocks, BYE at the stop; hostile
// compound packets through the real receive path; and with [Rtcp] off, no RTCP.
// With [Srtp] the same against a peer holding the keys: SRTCP both ways, and
// what fails its tag or comes again refused unread.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "quality/rtcp_packet.h"
#include "rtp/session_test_support.h"

namespace {

using namespace SessionTest;

const uint8_t* U8(const Bytes& B) { return reinterpret_cast<const uint8_t*>(B.data()); }

Bytes Compound(const TRtcpReport& R) {
  std::vector<uint8_t> Buffer(2048);
  Buffer.resize(BuildRtcpCompound(R, Buffer));
  return Bytes(Buffer.begin(), Buffer.end());
}

// A compound packet of ours: valid, with nothing a dissector would skip.
TRtcpCompound Read(const Bytes& B) {
  TRtcpCompound C;
  TRtcpCounters N;
  EXPECT_EQ(ParseRtcpCompound(U8(B), B.size(), C, N), TRtcpVerdict::Accepted);
  EXPECT_EQ(N.MalformedParts + N.UnknownParts + N.DroppedItems, 0u);
  return C;
}

const TRtcpReportBlock* BlockAbout(const TRtcpCompound& C, uint32_t Ssrc) {
  for (const TRtcpReportBlock& B : C.ReportBlocks())
    if (B.Ssrc == Ssrc) return &B;
  return nullptr;
}

// A datagram and when it came.
struct TArrival {
  TClock::time_point At;
  Bytes Data;
};

// What a peer hears in Ms: RTP on its RTP socket, RTCP on its RTCP socket (the
// same one in mux mode).
struct THeard {
  std::vector<Bytes> Rtp;
  std::vector<TArrival> Rtcp;
};

void Listen(TPeer& RtpSocket, TPeer* RtcpSocket, int Ms, THeard& Heard) {
  const auto Deadline = TClock::now() + std::chrono::milliseconds(Ms);
  while (TClock::now() < Deadline) {
    for (TPeer* Socket : {&RtpSocket, RtcpSocket}) {
      if (!Socket) continue;
      Bytes P = Socket->Receive(0);
      if (P.empty()) continue;
      if (IsRtcpDatagram(U8(P), P.size()))
        Heard.Rtcp.push_back({TClock::now(), std::move(P)});
      else if (Socket == &RtpSocket)
        Heard.Rtp.push_back(std::move(P));
    }
    std::this_thread::sleep_for(1ms);
  }
}

// A free UDP port whose next one is free too.
uint16_t FreePortPair() {
  for (;;) {
    const uint16_t Port = FreeUdpPort();
    if (Port == 65535) continue;
    try {
      TPeer Next(static_cast<uint16_t>(Port + 1));
      TPeer Here(Port);
      return Port;
    } catch (const std::exception&) {
    }
  }
}

class SessionRtcp : public Session {
protected:
  // A session with RTCP every IntervalMs; in port mode on a port whose next
  // one is free.
  std::unique_ptr<TRtpSession> RtcpSession(TRtcpMode Mode, bool Recording = true) {
    auto S = NewSession();
    if (Mode == TRtcpMode::Port) {
      FUdpPort = FreePortPair();
      S->SetLocalPort(FUdpPort);
    }
    TRtcpSettings R;
    R.Mode = Mode;
    R.IntervalMs = IntervalMs;
    R.Cname = "desk-7";
    S->SetRtcp(R);
    S->SetRecordEnabled(Recording);
    return S;
  }
  // The peer's RTCP socket: its RTP port + 1 in port mode.
  static std::unique_ptr<TPeer> RtcpSocketOf(TRtcpMode Mode, const TPeer& Rtp) {
    return Mode == TRtcpMode::Port ? std::make_unique<TPeer>(static_cast<uint16_t>(Rtp.Port() + 1)) : nullptr;
  }
  uint16_t RtcpPort(TRtcpMode Mode) const { return Mode == TRtcpMode::Port ? FUdpPort + 1 : FUdpPort; }
  // The figures of the call's record once the peer has gone silent; with what
  // its RTCP said: the round trip and its loss of our audio.
  static std::optional<TCallFigures> ReportedCall(TRtpSession& S) {
    if (!WaitUntil([&] {
          S.CheckInactivePeers();
          return !S.Metrics().Calls.Records.empty();
        }))
      return std::nullopt;
    const TCallFigures F = S.Metrics().Calls.Records.front().Figures;
    EXPECT_TRUE(F.RttMs && F.TxLossPercent);
    if (!F.RttMs || !F.TxLossPercent) return std::nullopt;
    return F;
  }

  static constexpr uint32_t IntervalMs = 200;
};

// A socket on 127.0.0.2, a loopback address outside an access list of
// 127.0.0.1, when its datagrams arrive from that address (under Wine they come
// from 127.0.0.1).
std::optional<udp::socket> SourceOutside(asio::io_context& Io) {
  try {
    udp::socket Out(Io, udp::endpoint(asio::ip::make_address("127.0.0.2"), 0));
    udp::socket In(Io, udp::endpoint(Loopback, 0));
    Out.send_to(asio::buffer("?", 1), In.local_endpoint());
    udp::endpoint From;
    char Byte;
    In.receive_from(asio::buffer(&Byte, 1), From);
    if (From.address() == Out.local_endpoint().address()) return Out;
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

const char* Name(TRtcpMode M) { return M == TRtcpMode::Off ? "off" : M == TRtcpMode::Mux ? "mux" : "port"; }

TEST_F(SessionRtcp, ReportsEveryIntervalSrWhileSendingElseRrAndByeAtTheStop) {
  for (const TRtcpMode Mode : {TRtcpMode::Mux, TRtcpMode::Port, TRtcpMode::Off})
    for (const bool Recording : {true, false}) {
      SCOPED_TRACE(std::string(Name(Mode)) + (Recording ? ", microphone" : ", no microphone"));
      auto S = RtcpSession(Mode, Recording);
      TPeer Peer(Mode == TRtcpMode::Port ? FreePortPair() : 0);
      const auto PeerRtcp = RtcpSocketOf(Mode, Peer);
      const size_t Before = Lines().size();
      S->SetActive(true);
      // 30 packets, 110 and 111 lost on the way.
      THeard Heard;
      for (uint16_t Seq = 100; Seq < 130; ++Seq) {
        if (Seq != 110 && Seq != 111) Peer.Send(FUdpPort, Rtp(Seq, 160u * Seq, 0x1111));
        Listen(Peer, PeerRtcp.get(), 20, Heard);
      }
      Listen(Peer, PeerRtcp.get(), 700, Heard);
      const size_t Reports = Heard.Rtcp.size();
      S->SetActive(false);
      Listen(Peer, PeerRtcp.get(), 300, Heard);

      // RTCP starts after the RTP port and stops before it.
      const std::vector<std::string> Own = ProcessorLines(Tail(Lines(), Before));
      const auto Udp = std::find(Own.begin(), Own.end(), "UDP sender/receiver processor -> started");
      const auto UdpStop = std::find(Own.begin(), Own.end(), "UDP sender/receiver processor -> stopped");
      ASSERT_TRUE(Udp != Own.end() && UdpStop != Own.end() && Udp + 1 < Own.end() && UdpStop != Own.begin());
      if (Mode == TRtcpMode::Off) {
        EXPECT_EQ(Count(Own, "RTCP"), 0u);
        EXPECT_TRUE(Heard.Rtcp.empty()) << "no RTCP without [Rtcp]";
        EXPECT_EQ(S->Metrics().RtcpReports.Sent, 0u);
        continue;
      }
      EXPECT_EQ(Udp[1], "RTCP sender/receiver processor -> started");
      EXPECT_EQ(UdpStop[-1], "RTCP sender/receiver processor -> stopped");
      // At the interval, drawn from 0.5 to 1.5 times it: 1.3 s of a peer hear 4 to 13.
      ASSERT_GE(Reports, 4u);
      EXPECT_LE(Reports, 13u);
      for (size_t I = 1; I < Reports; ++I) {
        const auto Gap = std::chrono::duration_cast<std::chrono::milliseconds>(Heard.Rtcp[I].At - Heard.Rtcp[I - 1].At);
        EXPECT_GE(Gap.count(), 80) << "report " << I;
        EXPECT_LE(Gap.count(), 400) << "report " << I;
      }
      const TRtcpCompound Last = Read(Heard.Rtcp[Reports - 1].Data);
      EXPECT_EQ(Last.Cname(), "desk-7");
      EXPECT_EQ(Last.ByeCount, 0u);
      const TRtcpReportBlock* Block = BlockAbout(Last, 0x1111);
      ASSERT_NE(Block, nullptr) << "a block about the peer's stream";
      EXPECT_EQ(Block->ExtendedHighestSequence, 129u);
      EXPECT_EQ(Block->CumulativeLost, 2) << "the first packet serves the probation: 101..129 expected";
      EXPECT_EQ(Block->LastSr, 0u) << "the peer sent no SR";
      if (Recording) {
        ASSERT_TRUE(Last.Sender.has_value()) << "SR while we send";
        ASSERT_FALSE(Heard.Rtp.empty());
        const TRtpDatagramInfo LastRtp = Parse(Heard.Rtp.back());
        EXPECT_EQ(Last.SenderSsrc, LastRtp.Ssrc);
        // The report's instant on the RTP clock and on the wall clock: near the
        // packets' and near now.
        EXPECT_GE(Last.Sender->PacketCount, 1u);
        EXPECT_LE(Last.Sender->PacketCount, Heard.Rtp.size());
        EXPECT_EQ(Last.Sender->OctetCount, 160u * Last.Sender->PacketCount);
        EXPECT_LT(std::abs(static_cast<int32_t>(Last.Sender->RtpTimestamp - LastRtp.Timestamp)), 8000);
        const int64_t FromWall =
            static_cast<int64_t>(RtcpNtpFromWallClock(std::chrono::system_clock::now()) - Last.Sender->NtpTimestamp);
        EXPECT_LT(std::abs(FromWall), int64_t{2} << 32);
      } else {
        EXPECT_FALSE(Last.Sender.has_value()) << "RR while we send nothing";
        EXPECT_TRUE(Heard.Rtp.empty());
      }
      ASSERT_GT(Heard.Rtcp.size(), Reports) << "BYE at the stop";
      const TRtcpCompound Bye = Read(Heard.Rtcp.back().Data);
      ASSERT_EQ(Bye.ByeCount, 1u);
      EXPECT_EQ(Bye.ByeSources()[0], Last.SenderSsrc);
      EXPECT_EQ(S->Metrics().RtcpReports.Sent, Heard.Rtcp.size());
    }
}

TEST_F(SessionRtcp, PortModeWithoutAKnownPortIsOff) {
  auto S = RtcpSession(TRtcpMode::Port);
  S->SetLocalPort(0);  // the system's choice: no peer could know the port after it
  S->SetActive(true);
  S->SetActive(false);
  EXPECT_EQ(Count(Lines(), "[Rtcp] Mode=port needs a LocalPort of 1..65534, not 0; RTCP is off"), 1u);
  EXPECT_EQ(Count(Lines(), "RTCP sender/receiver processor"), 0u);
}

TEST_F(SessionRtcp, EchoesThePeersSrAndReadsItsBlocksAboutOurAudio) {
  for (const TRtcpMode Mode : {TRtcpMode::Mux, TRtcpMode::Port}) {
    SCOPED_TRACE(Name(Mode));
    auto S = RtcpSession(Mode);
    S->SetDisconnectTimeOut(200);
    TPeer Peer(Mode == TRtcpMode::Port ? FreePortPair() : 0);
    const auto PeerRtcp = RtcpSocketOf(Mode, Peer);
    TPeer& RtcpSocket = PeerRtcp ? *PeerRtcp : Peer;
    S->SetActive(true);
    THeard Heard;
    for (uint16_t Seq = 1; Seq <= 10; ++Seq) {
      Peer.Send(FUdpPort, Rtp(Seq, 160u * Seq, 0x2222));
      Listen(Peer, PeerRtcp.get(), 20, Heard);
    }
    const uint32_t OurSsrc = TSessionPeer::Codec(*S).SendIdentity().Ssrc;

    // The peer's SR; our next block about its stream echoes it.
    const uint64_t PeerNtp = 0xE8A1B2C340000000ull;
    const auto SrSent = TClock::now();
    RtcpSocket.Send(RtcpPort(Mode), Compound({0x2222, TRtcpSenderInfo{PeerNtp, 1600, 10, 1600}, {}, "peer", false, ""}));
    const size_t Before = Heard.Rtcp.size();
    ASSERT_TRUE(WaitUntil([&] {
      Listen(Peer, PeerRtcp.get(), 5, Heard);
      for (size_t I = Before; I < Heard.Rtcp.size(); ++I) {
        const TRtcpCompound C = Read(Heard.Rtcp[I].Data);
        if (const TRtcpReportBlock* B = BlockAbout(C, 0x2222); B && B->LastSr != 0) return true;
      }
      return false;
    }));
    const TArrival& Echo = Heard.Rtcp.back();
    const TRtcpCompound EchoReport = Read(Echo.Data);
    const TRtcpReportBlock* B = BlockAbout(EchoReport, 0x2222);
    EXPECT_EQ(B->LastSr, RtcpNtpMiddle(PeerNtp));
    const double HeldMs = std::chrono::duration<double, std::milli>(Echo.At - SrSent).count();
    EXPECT_NEAR(B->DelaySinceLastSr * 1000.0 / 65536, HeldMs, 20.0) << "DLSR: the time our report held the SR";

    // Its block about our audio, as if it held our SR 50 ms less than it did:
    // the round trip comes out as 50 ms (and loopback's own).
    ASSERT_TRUE(EchoReport.Sender.has_value());
    std::vector<uint16_t> Ours;
    for (const Bytes& P : Heard.Rtp)
      if (Parse(P).Ssrc == OurSsrc) Ours.push_back(Parse(P).SequenceNumber);
    ASSERT_FALSE(Ours.empty());
    const uint16_t LastHeard = Ours.back();
    const uint32_t Sent = static_cast<uint16_t>(LastHeard - Ours.front()) + 1u;
    // Time passes at the peer, so that it can claim to have held our SR 50 ms less.
    std::this_thread::sleep_until(Echo.At + 100ms);
    const auto Held = std::chrono::duration_cast<std::chrono::nanoseconds>(TClock::now() - Echo.At) - 50ms;
    const TRtcpReportBlock AboutUs{OurSsrc, 64, 5, LastHeard, 80, RtcpNtpMiddle(EchoReport.Sender->NtpTimestamp),
                                   RtcpDelaySinceLastSr(Held)};
    RtcpSocket.Send(RtcpPort(Mode), Compound({0x2222, std::nullopt, {&AboutUs, 1}, "peer", false, ""}));
    // A BYE is noted once however often it comes; the call goes on.
    for (int I = 0; I < 2; ++I) RtcpSocket.Send(RtcpPort(Mode), Compound({0x2222, std::nullopt, {}, "peer", true, "bye"}));
    ASSERT_TRUE(WaitUntil([&] { return S->Metrics().RtcpReports.Received.Count(TRtcpVerdict::Accepted) == 4; }));
    EXPECT_EQ(TSessionPeer::Codec(*S).SendIdentity().Ssrc, OurSsrc) << "RTCP never renews our SSRC";
    EXPECT_EQ(TSessionPeer::PeerCount(*S), 1);
    EXPECT_EQ(Count(Lines(), "RTCP BYE: [ID=1,IP=<127.0.0.1>,Port=<" + std::to_string(Peer.Port()) + ">]"), 1u);

    // The call's record carries what the peer said.
    const std::optional<TCallFigures> F = ReportedCall(*S);
    ASSERT_TRUE(F);
    EXPECT_NEAR(*F->RttMs, 50.0, 10.0);
    EXPECT_NEAR(*F->TxLossPercent, 500.0 / Sent, 1e-9) << "5 lost of what we sent it";
    EXPECT_TRUE(F->NetworkDelayKnown) << "the score counts half the round trip";
    S->SetActive(false);
  }
}

TEST_F(SessionRtcp, HostileCompoundsAreCountedAndDroppedNeverPlayed) {
  for (const TRtcpMode Mode : {TRtcpMode::Mux, TRtcpMode::Port}) {
    SCOPED_TRACE(Name(Mode));
    auto S = RtcpSession(Mode);
    TPeer Peer(Mode == TRtcpMode::Port ? FreePortPair() : 0);
    const auto PeerRtcp = RtcpSocketOf(Mode, Peer);
    TPeer& RtcpSocket = PeerRtcp ? *PeerRtcp : Peer;
    // Installed before the start: a running session reads the policy, nobody changes it.
    TAccessPolicy Policy;
    Policy.Peers = TAccessList::Parse("127.0.0.1");
    const TScopedAccessPolicy OnlyLoopback(Policy);
    asio::io_context Io;
    S->SetActive(true);
    for (uint16_t Seq = 1; Seq <= 3; ++Seq) Peer.Send(FUdpPort, Rtp(Seq, 160u * Seq, 0x3333));
    ASSERT_TRUE(WaitUntil([&] { return S->Metrics().Verdicts[static_cast<size_t>(TRtpVerdict::Accepted)] == 3; }));
    const uint32_t OurSsrc = TSessionPeer::Codec(*S).SendIdentity().Ssrc;
    const TSessionMetrics M0 = S->Metrics();

    const Bytes Rr = Compound({0x3333, std::nullopt, {}, "p", false, ""});
    auto With = [](Bytes B, size_t At, uint8_t V) {
      B[At] = static_cast<char>(V);
      return B;
    };
    // 60 kB: 80 receiver reports of 31 blocks each, every one claiming to be about us.
    std::vector<TRtcpReportBlock> Many(31, TRtcpReportBlock{OurSsrc, 255, -8388608, 0xFFFFFFFF, 0xFFFFFFFF, 1, 0xFFFFFFFF});
    Bytes Huge;
    for (int I = 0; I < 80; ++I) Huge += Compound({0x3333, std::nullopt, Many, "p", false, ""}).substr(0, 8 + 31 * 24);
    const Bytes App = Bytes("\x80\xCC\x00\x02\x00\x00\x33\x33NAME", 12);  // APP: skipped as unknown
    const Bytes BadSdes = Rr.substr(0, 8) + Bytes("\x81\xCA\x00\x02\x00\x00\x33\x33\x01\x09xy", 12);
    const struct {
      const char* What;
      Bytes Data;
      TRtcpVerdict Verdict;
    } Cases[] = {
        {"version 1", With(Rr, 0, 0x40), TRtcpVerdict::Version},
        {"truncated", Rr.substr(0, Rr.size() - 4), TRtcpVerdict::Length},
        {"longer than its packets", Rr + "\x80\xCA", TRtcpVerdict::Length},
        {"SDES first", With(Rr, 1, 202), TRtcpVerdict::NotReportFirst},
        {"padding on the first of two", With(Rr, 0, 0xA0), TRtcpVerdict::Padding},
        {"APP after the report", Rr.substr(0, 8) + App, TRtcpVerdict::Accepted},
        {"SDES item past its packet", BadSdes, TRtcpVerdict::Accepted},
        {"80 reports of 31 blocks", Huge, TRtcpVerdict::Accepted},
    };
    std::array<uint64_t, RtcpVerdictCount> Expected{};
    for (const auto& C : Cases) {
      RtcpSocket.Send(RtcpPort(Mode), C.Data);
      ++Expected[static_cast<size_t>(C.Verdict)];
    }
    ASSERT_TRUE(WaitUntil([&] {
      uint64_t N = 0;
      for (uint64_t V : S->Metrics().RtcpReports.Received.Datagrams) N += V;
      return N == std::size(Cases);
    })) << "every one read";
    const TSessionMetrics M = S->Metrics();
    for (const auto& C : Cases) {
      SCOPED_TRACE(C.What);
      EXPECT_EQ(M.RtcpReports.Received.Count(C.Verdict), Expected[static_cast<size_t>(C.Verdict)]);
    }
    EXPECT_EQ(M.RtcpReports.Received.UnknownParts, 1u);
    EXPECT_EQ(M.RtcpReports.Received.MalformedParts, 1u);
    EXPECT_EQ(M.RtcpReports.Received.DroppedItems, 80u * 31 - TRtcpCompound::MaxBlocks);
    for (size_t V = 0; V < RtpVerdictCount; ++V) EXPECT_EQ(M.Verdicts[V], M0.Verdicts[V]) << "no RTP verdict, verdict " << V;
    EXPECT_EQ(M.Rtcp, 0u) << "read, not ignored";
    EXPECT_EQ(TSessionPeer::Codec(*S).SendIdentity().Ssrc, OurSsrc);

    if (Mode == TRtcpMode::Port) {
      // RTCP on the RTP port is ignored as before; on the RTCP port from no
      // peer's port + 1, or from a source outside [Access], it is dropped unread.
      Peer.Send(FUdpPort, Rr);
      TPeer Stranger;
      Stranger.Send(FUdpPort + 1, Rr);
      ASSERT_TRUE(WaitUntil([&] { return S->Metrics().Rtcp == 1 && S->Metrics().RtcpReports.NotPeer == 1; }));
      if (std::optional<udp::socket> Outside = SourceOutside(Io)) {
        Outside->send_to(asio::buffer(Rr), udp::endpoint(Loopback, FUdpPort + 1));
        ASSERT_TRUE(WaitUntil([&] { return S->Metrics().RtcpReports.RefusedSender == 1; }));
      } else {
        std::printf("127.0.0.2 does not send as itself here: the refused source is not tried\n");
      }
      EXPECT_EQ(S->Metrics().RtcpReports.NotPeer, 1u);
      EXPECT_EQ(S->Metrics().RtcpReports.Received.Count(TRtcpVerdict::Accepted),
                M.RtcpReports.Received.Count(TRtcpVerdict::Accepted));
    }
    // The session goes on: the peer's next packet plays.
    Peer.Send(FUdpPort, Rtp(4, 640, 0x3333));
    EXPECT_TRUE(WaitUntil([&] { return S->Metrics().Verdicts[static_cast<size_t>(TRtpVerdict::Accepted)] == 4; }));
    S->SetActive(false);
  }
}

// ---- the reports encrypted ([Srtp] with [Rtcp]) -------------------------------

class EncryptedRtcp : public SessionRtcp {
protected:
  std::unique_ptr<TRtpSession> Encrypted(TRtcpMode Mode, bool Required) {
    auto S = RtcpSession(Mode);
    S->SetSrtp(&BridgeSends, &BridgeReceives, Required);
    return S;
  }
  // One of our reports as the peer opens it under our send key: the E flag
  // set, nothing of the compound but its first 8 bytes in the clear.
  static TRtcpCompound Opened(TSrtpReceiver& Peer, Bytes P) {
    EXPECT_EQ(P.find("desk-7"), Bytes::npos) << "no CNAME in the clear";
    EXPECT_TRUE(static_cast<uint8_t>(P[P.size() - 10 - 4]) & 0x80) << "E flag";
    size_t Length = P.size();
    EXPECT_EQ(Peer.UnprotectRtcp(reinterpret_cast<uint8_t*>(P.data()), Length), TSrtpVerdict::Ok);
    P.resize(Length);
    return Read(P);
  }
  const TSrtpMasterKey BridgeSends = CountingKey(0x10), BridgeReceives = CountingKey(0x80);
};

TEST_F(EncryptedRtcp, ReportsLeaveAsSrtcpAndOnlyThePeersAuthenticSrtcpIsRead) {
  for (const TRtcpMode Mode : {TRtcpMode::Mux, TRtcpMode::Port}) {
    SCOPED_TRACE(Name(Mode));
    auto S = Encrypted(Mode, true);
    S->SetDisconnectTimeOut(200);
    TPeer Peer(Mode == TRtcpMode::Port ? FreePortPair() : 0);
    const auto PeerRtcp = RtcpSocketOf(Mode, Peer);
    TPeer& RtcpSocket = PeerRtcp ? *PeerRtcp : Peer;
    TSrtpSender PeerSends(BridgeReceives);
    TSrtpReceiver PeerReads(BridgeSends);
    S->SetActive(true);
    THeard Heard;
    for (uint16_t Seq = 1; Seq <= 10; ++Seq) {
      Peer.Send(FUdpPort, Protected(PeerSends, Rtp(Seq, 160u * Seq, 0x4444)));
      Listen(Peer, PeerRtcp.get(), 20, Heard);
    }
    const uint32_t OurSsrc = TSessionPeer::Codec(*S).SendIdentity().Ssrc;

    // The peer's SR, as SRTCP: our next block about its stream echoes it.
    const uint64_t PeerNtp = 0xE8A1B2C340000000ull;
    RtcpSocket.Send(RtcpPort(Mode),
                    Protected(PeerSends, Compound({0x4444, TRtcpSenderInfo{PeerNtp, 1600, 10, 1600}, {}, "peer", false, ""}), true));
    std::vector<TRtcpCompound> Ours;
    ASSERT_TRUE(WaitUntil([&] {
      Listen(Peer, PeerRtcp.get(), 5, Heard);
      while (Ours.size() < Heard.Rtcp.size()) Ours.push_back(Opened(PeerReads, Heard.Rtcp[Ours.size()].Data));
      const TRtcpReportBlock* B = Ours.empty() ? nullptr : BlockAbout(Ours.back(), 0x4444);
      return B && B->LastSr == RtcpNtpMiddle(PeerNtp);
    }));
    const TRtcpCompound& Echo = Ours.back();
    EXPECT_EQ(Echo.Cname(), "desk-7");
    ASSERT_TRUE(Echo.Sender.has_value());
    EXPECT_EQ(Echo.SenderSsrc, OurSsrc);

    // Its block about our audio, held 50 ms less than it was: the round trip.
    std::this_thread::sleep_until(Heard.Rtcp.back().At + 100ms);
    const auto Held = std::chrono::duration_cast<std::chrono::nanoseconds>(TClock::now() - Heard.Rtcp.back().At) - 50ms;
    std::vector<uint16_t> Seqs;
    for (const Bytes& P : Heard.Rtp)
      if (Parse(P).Ssrc == OurSsrc) Seqs.push_back(Parse(P).SequenceNumber);
    ASSERT_FALSE(Seqs.empty());
    const uint32_t Sent = static_cast<uint16_t>(Seqs.back() - Seqs.front()) + 1u;
    const TRtcpReportBlock AboutUs{OurSsrc, 64, 2, Seqs.back(), 80, RtcpNtpMiddle(Echo.Sender->NtpTimestamp),
                                   RtcpDelaySinceLastSr(Held)};
    const Bytes Rr = Compound({0x4444, std::nullopt, {&AboutUs, 1}, "peer", false, ""});
    const Bytes Sealed = Protected(PeerSends, Rr, true);
    RtcpSocket.Send(RtcpPort(Mode), Sealed);
    ASSERT_TRUE(WaitUntil([&] { return S->Metrics().Srtp.RtcpDecrypted == 2; }));

    // Sent again, forged (one byte of the cipher text), plain: refused unread.
    Bytes Forged = Protected(PeerSends, Rr, true);
    Forged[20] ^= 1;
    for (const Bytes& P : {Sealed, Forged, Rr}) RtcpSocket.Send(RtcpPort(Mode), P);
    ASSERT_TRUE(WaitUntil([&] { return S->Metrics().Srtp.RtcpAuthentication == 2 && S->Metrics().Srtp.RtcpReplay == 1; }));
    const TSessionMetrics M = S->Metrics();
    EXPECT_EQ(M.RtcpReports.Received.Count(TRtcpVerdict::Accepted), 2u);
    for (const TRtcpVerdict V : {TRtcpVerdict::TooShort, TRtcpVerdict::Version, TRtcpVerdict::Length})
      EXPECT_EQ(M.RtcpReports.Received.Count(V), 0u) << "never parsed";
    EXPECT_EQ(M.Srtp.RtcpPlain + M.Srtp.RtcpMalformed, 0u);
    EXPECT_EQ(M.Srtp.Authentication + M.Srtp.Replay, 0u) << "not counted as refused audio";

    // The call's record carries what the peer's SRTCP said.
    const std::optional<TCallFigures> F = ReportedCall(*S);
    ASSERT_TRUE(F);
    EXPECT_NEAR(*F->RttMs, 50.0, 10.0);
    EXPECT_NEAR(*F->TxLossPercent, 200.0 / Sent, 1e-9) << "2 lost of what we sent it";

    // Back as a peer; the BYE at the stop is SRTCP too.
    Peer.Send(FUdpPort, Protected(PeerSends, Rtp(11, 1760, 0x4444)));
    ASSERT_TRUE(WaitUntil([&] { return TSessionPeer::PeerCount(*S) == 1; }));
    S->SetActive(false);
    const size_t Before = Heard.Rtcp.size();
    Listen(Peer, PeerRtcp.get(), 300, Heard);
    ASSERT_GT(Heard.Rtcp.size(), Before);
    EXPECT_EQ(Opened(PeerReads, Heard.Rtcp.back().Data).ByeCount, 1u);
  }
}

// Not required (a migration): plain RTCP is read and counted so; a replayed
// SRTCP report is still refused, never read as plain.
TEST_F(EncryptedRtcp, NotRequiredReadsPlainRtcpButNoReplay) {
  auto S = Encrypted(TRtcpMode::Mux, false);
  TPeer Peer;
  TSrtpSender PeerSends(BridgeReceives);
  S->SetActive(true);
  Peer.Send(FUdpPort, Rtp(1, 160, 0x5555));
  ASSERT_TRUE(WaitUntil([&] { return TSessionPeer::PeerCount(*S) == 1; }));
  const Bytes Rr = Compound({0x5555, std::nullopt, {}, "p", false, ""});
  const Bytes Sealed = Protected(PeerSends, Rr, true);
  for (const Bytes& P : {Rr, Sealed, Sealed}) Peer.Send(FUdpPort, P);
  ASSERT_TRUE(WaitUntil([&] { return S->Metrics().Srtp.RtcpReplay == 1; }));
  const TSessionMetrics M = S->Metrics();
  S->SetActive(false);
  EXPECT_EQ(M.Srtp.RtcpPlain, 1u);
  EXPECT_EQ(M.Srtp.RtcpDecrypted, 1u);
  EXPECT_EQ(M.Srtp.RtcpAuthentication, 0u);
  EXPECT_EQ(M.RtcpReports.Received.Count(TRtcpVerdict::Accepted), 2u);
}

}  // namespace
