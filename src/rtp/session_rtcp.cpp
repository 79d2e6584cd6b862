#include "rtp/session_rtcp.h"

#include <algorithm>

#include "access/access_policy.h"
#include "config/start_values.h"
#include "log/log.h"
#include "platform/exception.h"

TSessionRtcp::TSessionRtcp() {
  Platform::TLockGuard Guard(FLock);
  FRandom.seed(static_cast<uint32_t>(TClock::now().time_since_epoch().count()));
}

void TSessionRtcp::Configure(const TRtcpSettings& Settings, uint32_t ClockRate) {
  FMode = Settings.Mode;
  Platform::TLockGuard Guard(FLock);
  FIntervalMs = Settings.IntervalMs;
  FCname = Settings.Cname;
  FClockRate = ClockRate;
}

uint32_t TSessionRtcp::IntervalMs() const {
  Platform::TLockGuard Guard(FLock);
  return FIntervalMs;
}

void TSessionRtcp::Start(TClock::time_point Now, std::chrono::system_clock::time_point Wall) {
  Platform::TLockGuard Guard(FLock);
  FNtp.emplace(Wall, Now);
  FSent = {};
  FNextDue = Now + std::chrono::milliseconds(RtcpReportIntervalMs(FIntervalMs / 2, FRandom));
}

void TSessionRtcp::Clear() {
  Platform::TLockGuard Guard(FLock);
  FPeers.clear();
  FSources.clear();
}

// ---- peers ------------------------------------------------------------------

void TSessionRtcp::Join(int32_t PeerId, const std::string& Address, int32_t Port, const TRtpSendIdentity& Next) {
  TPeer P;
  P.Address = Address;
  P.Port = Port;
  P.JoinSsrc = Next.Ssrc;
  P.JoinNextSequence = static_cast<uint16_t>(Next.SequenceNumber + 1);
  Platform::TLockGuard Guard(FLock);
  FPeers[PeerId] = std::move(P);
}

void TSessionRtcp::Leave(int32_t PeerId) {
  Platform::TLockGuard Guard(FLock);
  FPeers.erase(PeerId);
}

// ---- sending ----------------------------------------------------------------

void TSessionRtcp::Sent(const TSentPacket& Packet, TClock::time_point Now) {
  Platform::TLockGuard Guard(FLock);
  const bool SameSsrc = FSent.Any && FSent.Ssrc == Packet.Ssrc;
  // A block that did not leave as a packet leaves the last one in place.
  if (SameSsrc && FSent.LastSequence == Packet.Sequence) return;
  if (!SameSsrc) {
    FSent = {};
    FSent.Any = true;
    FSent.Ssrc = Packet.Ssrc;
    FSent.FirstSequence = Packet.Sequence;
  }
  FSent.LastSequence = Packet.Sequence;
  ++FSent.Packets;
  FSent.Octets += Packet.PayloadBytes;
  FSent.LastTimestamp = Packet.Timestamp;
  FSent.LastTime = Now;
}

uint32_t TSessionRtcp::DueInMs(TClock::time_point Now) const {
  Platform::TLockGuard Guard(FLock);
  if (FNextDue <= Now) return 0;
  // Rounded up: a wait that ends a little early would only wait again.
  return static_cast<uint32_t>(std::chrono::ceil<std::chrono::milliseconds>(FNextDue - Now).count());
}

std::optional<TRtcpSenderInfo> TSessionRtcp::SenderInfo(uint32_t OurSsrc, TClock::time_point Now) const {
  // A sender is who sent within the last two intervals (RFC 3550 6.3.8).
  if (!FNtp || !FSent.Any || FSent.Ssrc != OurSsrc || Now - FSent.LastTime >= std::chrono::milliseconds(2 * FIntervalMs))
    return std::nullopt;
  // The RTP timestamp of this instant: the last packet's, advanced by the time since it left.
  const auto Since = std::chrono::duration_cast<std::chrono::microseconds>(Now - FSent.LastTime).count();
  const uint32_t Advance = static_cast<uint32_t>(static_cast<uint64_t>(std::max<int64_t>(Since, 0)) * FClockRate / 1000000);
  return TRtcpSenderInfo{FNtp->Ntp(Now), FSent.LastTimestamp + Advance, FSent.Packets, FSent.Octets};
}

uint32_t TSessionRtcp::Report(TClock::time_point Now, uint32_t OurSsrc, const std::vector<TPeerReception>& Heard,
                              bool Bye, TPacket& Packet, std::vector<TRtcpDestination>& To) {
  Platform::TLockGuard Guard(FLock);
  FNextDue = Now + std::chrono::milliseconds(RtcpReportIntervalMs(FIntervalMs, FRandom));
  const bool OwnPort = FMode.load() == TRtcpMode::Port;
  To.clear();
  for (const auto& [Id, P] : FPeers)
    if (!OwnPort || P.Port < 65535) To.push_back({P.Address, static_cast<uint16_t>(P.Port + (OwnPort ? 1 : 0))});
  if (To.empty()) return 0;

  // Streams beyond what two report packets hold go without a block.
  std::array<TRtcpReportBlock, TRtcpCompound::MaxBlocks> Blocks;
  size_t Count = 0;
  for (const TPeerReception& H : Heard) {
    if (Count == Blocks.size()) break;
    const TReceptionReport& R = H.Report;
    TRtcpReportBlock& B = Blocks[Count++];
    B = {R.Ssrc, R.FractionLost, R.CumulativeLost, R.ExtendedHighestSequence, R.Jitter, 0, 0};
    const auto It = FPeers.find(H.ClientId);
    if (It != FPeers.end() && It->second.SrKnown && It->second.SrSsrc == R.Ssrc) {
      B.LastSr = It->second.SrMiddle;
      B.DelaySinceLastSr = RtcpDelaySinceLastSr(Now - It->second.SrArrival);
    }
  }
  TRtcpReport Report;
  Report.Ssrc = OurSsrc;
  Report.Sender = SenderInfo(OurSsrc, Now);
  Report.Blocks = {Blocks.data(), Count};
  Report.Cname = FCname;
  Report.Bye = Bye;
  return BuildRtcpCompound(Report, Packet);
}

// ---- receiving --------------------------------------------------------------

TFarEndReport TSessionRtcp::FarEndOf(TPeer& Peer, const TRtcpReportBlock& Block, TClock::time_point Now) {
  TFarEndReport F;
  F.TxLossPercent = Block.FractionLost * 100.0 / 256.0;
  if (FNtp) F.RoundTripMs = RtcpRoundTripMs(RtcpNtpMiddle(FNtp->Ntp(Now)), Block.LastSr, Block.DelaySinceLastSr);

  // The loss over the call. We send only to peers, so the first packet a peer
  // could hear is the first we sent after it came (or the first of a newer
  // SSRC of ours): what it expected counts from there.
  if (!Peer.Epoch || Peer.Epoch->Ssrc != Block.Ssrc) {
    if (Peer.Epoch) {
      Peer.EarlierLost += Peer.Epoch->Lost;
      Peer.EarlierExpected += Peer.Epoch->Expected;
      Peer.Epoch.reset();
    }
    if (Peer.JoinSsrc == Block.Ssrc)
      Peer.Epoch = TEpoch{Block.Ssrc, Peer.JoinNextSequence, 0, 0};
    else if (FSent.Any && FSent.Ssrc == Block.Ssrc)
      Peer.Epoch = TEpoch{Block.Ssrc, FSent.FirstSequence, 0, 0};
  }
  if (Peer.Epoch) {
    int64_t Expected = int64_t{Block.ExtendedHighestSequence} + 1 - Peer.Epoch->BaseSequence;
    if (Expected <= 0) Expected += 65536;  // the first packet it heard came after a wrap
    Peer.Epoch->Lost = Block.CumulativeLost;
    Peer.Epoch->Expected = Expected;
  }
  const int64_t Lost = Peer.EarlierLost + (Peer.Epoch ? Peer.Epoch->Lost : 0);
  const int64_t Expected = Peer.EarlierExpected + (Peer.Epoch ? Peer.Epoch->Expected : 0);
  if (Expected > 0) F.CallTxLossPercent = static_cast<double>(std::max<int64_t>(Lost, 0)) * 100.0 / Expected;
  return F;
}

void TSessionRtcp::Receive(int32_t PeerId, const uint8_t* Data, size_t Size, uint32_t OurSsrc, TCallQuality& Calls,
                           TClock::time_point Now) {
  TRtcpCompound C;
  std::optional<TFarEndReport> Far;
  std::string ByeLine;
  {
    Platform::TLockGuard Guard(FLock);
    if (ParseRtcpCompound(Data, Size, C, FReceived) != TRtcpVerdict::Accepted) return;
    const auto It = FPeers.find(PeerId);
    if (It == FPeers.end()) return;
    TPeer& P = It->second;
    if (C.Sender) {
      P.SrKnown = true;
      P.SrSsrc = C.SenderSsrc;
      P.SrMiddle = RtcpNtpMiddle(C.Sender->NtpTimestamp);
      P.SrArrival = Now;
    }
    for (const TRtcpReportBlock& B : C.ReportBlocks())
      if (B.Ssrc == OurSsrc) {
        Far = FarEndOf(P, B, Now);
        break;
      }
    // Noted once for as long as the peer keeps saying it.
    if (C.ByeCount > 0 && !P.ByeNoted)
      ByeLine = Format("RTCP BYE: [ID=%d,IP=<%s>,Port=<%d>]", PeerId, P.Address.c_str(), P.Port);
    P.ByeNoted = C.ByeCount > 0;
  }
  if (Far) Calls.FarEnd(PeerId, *Far);
  if (!ByeLine.empty() && DoLog) WriteLog(ByeLine);
}

bool TSessionRtcp::AdmitSource(int32_t SourceId, const std::string& Address, int32_t Port, uint32_t Tick) {
  if (FSourceGate.Decide(AccessPolicy(), SourceId, Address, Port, Tick) != TPeerVerdict::Admitted) return false;
  Platform::TLockGuard Guard(FLock);
  FSources[SourceId] = {Address, Port};
  return true;
}

void TSessionRtcp::LeaveSource(int32_t SourceId) {
  FSourceGate.Leave(SourceId);
  Platform::TLockGuard Guard(FLock);
  FSources.erase(SourceId);
}

TRtcpSourceVerdict TSessionRtcp::PeerOfSource(int32_t SourceId, int32_t& PeerId) {
  const bool Refused = FSourceGate.Refused(SourceId);
  Platform::TLockGuard Guard(FLock);
  if (Refused) {
    ++FRefusedSender;
    return TRtcpSourceVerdict::Refused;
  }
  const auto Source = FSources.find(SourceId);
  if (Source != FSources.end())
    for (const auto& [Id, P] : FPeers)
      if (P.Address == Source->second.Address && P.Port + 1 == Source->second.Port) {
        PeerId = Id;
        return TRtcpSourceVerdict::Read;
      }
  ++FNotPeer;
  return TRtcpSourceVerdict::NotPeer;
}

TRtcpMetrics TSessionRtcp::Metrics() const {
  TRtcpMetrics M;
  M.Sent = FSentCount.load(std::memory_order_relaxed);
  Platform::TLockGuard Guard(FLock);
  M.Received = FReceived;
  M.NotPeer = FNotPeer;
  M.RefusedSender = FRefusedSender;
  return M;
}
