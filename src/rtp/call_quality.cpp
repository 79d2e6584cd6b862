#include "rtp/call_quality.h"

#include <algorithm>
#include <chrono>

namespace {
// What became of a datagram, as the statistics count it; nothing for one that
// is no RTP of this stream at all.
std::optional<TPacketFate> ArrivalOf(const TRtpDatagramInfo& Info, TRtpVerdict Verdict) {
  if (!Info.HeaderInside || Verdict == TRtpVerdict::Version) return std::nullopt;
  switch (Verdict) {
    case TRtpVerdict::Accepted: return TPacketFate::Played;
    case TRtpVerdict::Repeat: return TPacketFate::Repeat;
    case TRtpVerdict::Late: return TPacketFate::Late;
    default: return TPacketFate::Refused;
  }
}
}  // namespace

int64_t TCallQuality::DefaultClock() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

TCallQuality::TCallQuality(TClock SteadyUs) : FClock(SteadyUs) {
  Platform::TLockGuard Guard(FLock);
  FHistory.reserve(StatusHistoryPoints);
}

void TCallQuality::Begin(int32_t ClientId, const std::string& Address, int32_t Port) {
  auto Call = std::make_unique<TCall>();
  Call->Address = Address;
  Call->Port = static_cast<uint16_t>(Port);
  Call->Start = std::chrono::system_clock::now();
  Call->StartUs = FClock();
  Call->Stats.Start(Call->StartUs);
  Platform::TLockGuard Guard(FLock);
  FCalls[ClientId] = std::move(Call);
}

void TCallQuality::Packet(int32_t ClientId, const TRtpDatagramInfo& Info, TRtpVerdict Verdict) {
  const std::optional<TPacketFate> Kind = ArrivalOf(Info, Verdict);
  if (!Kind) return;
  const int64_t Now = FClock();
  Platform::TLockGuard Guard(FLock);
  const auto It = FCalls.find(ClientId);
  if (It == FCalls.end()) return;
  TCall& Call = *It->second;
  TReceiveStats& Stats = Call.Stats;
  if (Stats.Advance(Now) > 0) {
    Call.Live = CallFiguresOf(Stats.Snapshot().Window, Call.TxLossPercent, Call.RttMs);
    AddPoint(*Call.Live, std::chrono::system_clock::now());
  }
  Stats.OnPacket(Info.Ssrc, Info.SequenceNumber, Info.Timestamp, Now, *Kind);
  Call.Ssrc = Info.Ssrc;
  Call.LastHeard = ++FHeard;
}

TCallQuality::TCall* TCallQuality::Find(int32_t ClientId) const {
  const auto It = FCalls.find(ClientId);
  return It == FCalls.end() ? nullptr : It->second.get();
}

void TCallQuality::Played(int32_t ClientId, const TFramePlayed& Frame) {
  Platform::TLockGuard Guard(FLock);
  TCall* Call = Find(ClientId);
  if (!Call) return;
  // A coarse tick may read a little late once; it cannot add up: audio taken
  // ahead of its time only moves the end on.
  const uint32_t From = Call->PlayedUntil.value_or(Frame.Tick);
  const auto Gap = static_cast<int32_t>(Frame.Tick - From);
  if (Gap > 0) Call->Stats.OnSilence(static_cast<uint32_t>(Gap));
  Call->PlayedUntil = (Gap > 0 ? Frame.Tick : From) + Frame.Ms;
  Call->Stats.OnFrame(Frame.Ms, Frame.MadeUpMs, Frame.DelayMs);
  Call->Stats.SetDeviceDelayMs(Frame.DeviceMs);
}

void TCallQuality::Dropped(int32_t ClientId, uint32_t Ms) {
  Platform::TLockGuard Guard(FLock);
  if (TCall* Call = Find(ClientId)) Call->Stats.OnDropped(Ms);
}

void TCallQuality::Late(int32_t ClientId, uint16_t Sequence) {
  Platform::TLockGuard Guard(FLock);
  if (TCall* Call = Find(ClientId)) Call->Stats.OnLate(Sequence);
}

void TCallQuality::StreamEnded(int32_t ClientId, uint32_t MadeUpMs) {
  Platform::TLockGuard Guard(FLock);
  if (TCall* Call = Find(ClientId)) Call->Stats.OnEndedMadeUp(MadeUpMs);
}

std::optional<TReceiveSnapshot> TCallQuality::Snapshot(int32_t ClientId) const {
  Platform::TLockGuard Guard(FLock);
  const TCall* Call = Find(ClientId);
  if (!Call) return std::nullopt;
  return Call->Stats.Snapshot();
}

void TCallTotals::Add(const TCallFigures& Record, const TQualityFigures& Measured) {
  if (Record.Mos) Mos.Observe(*Record.Mos, MosBounds);
  if (Record.RxLossPercent) LossRatio.Observe(*Record.RxLossPercent / 100, LossBounds);
  if (Record.RxJitterMs) JitterSeconds.Observe(*Record.RxJitterMs / 1000, JitterBounds);
  if (Measured.Lost > 0) LostPackets += static_cast<uint64_t>(Measured.Lost);
  ConcealedMs += Measured.ConcealedMs;
}

void TCallQuality::AddPoint(const TCallFigures& Figures, std::chrono::system_clock::time_point Now) {
  if (FHistory.size() == StatusHistoryPoints) FHistory.erase(FHistory.begin());
  FHistory.push_back({Now, Figures.Mos, Figures.RxLossPercent, Figures.RxJitterMs});
}

std::optional<TCallRecord> TCallQuality::End(int32_t ClientId) {
  std::unique_ptr<TCall> Call;
  {
    Platform::TLockGuard Guard(FLock);
    const auto It = FCalls.find(ClientId);
    if (It == FCalls.end()) return std::nullopt;
    Call = std::move(It->second);
    FCalls.erase(It);
  }
  const int64_t Now = FClock();
  TCallRecord Record;
  Record.PeerIp = Call->Address;
  Record.PeerPort = Call->Port;
  Record.Start = Call->Start;
  Record.DurationS = static_cast<double>(Now - Call->StartUs) / 1e6;
  const TQualityFigures Measured = Call->Stats.Finish(Now).Call;
  Record.Figures = CallFiguresOf(Measured, Call->CallTxLossPercent, Call->MeanRttMs());
  Platform::TLockGuard Guard(FLock);
  FRecords.push_front(Record);
  if (FRecords.size() > StatusRecords) FRecords.pop_back();
  FTotals.Add(Record.Figures, Measured);
  return Record;
}

void TCallQuality::Clear() {
  Platform::TLockGuard Guard(FLock);
  FCalls.clear();
}

TCallQualityView TCallQuality::View() const {
  TCallQualityView V;
  const auto Since = std::chrono::system_clock::now() - StatusHistorySpan;
  Platform::TLockGuard Guard(FLock);
  const TCall* Current = nullptr;
  for (const auto& [Id, Call] : FCalls) {
    V.Peers.push_back({Call->Address, Call->Port, Call->Ssrc, Call->Start});
    if (Call->LastHeard != 0 && (!Current || Call->LastHeard > Current->LastHeard)) Current = Call.get();
  }
  if (Current) V.Live = Current->Live;
  for (const TStatusPoint& P : FHistory)
    if (P.Time >= Since) V.History.push_back(P);
  V.Records.assign(FRecords.begin(), FRecords.end());
  V.Totals = FTotals;
  return V;
}

std::vector<TPeerReception> TCallQuality::ReceptionReports() {
  std::vector<TPeerReception> Heard;
  Platform::TLockGuard Guard(FLock);
  for (auto& [Id, Call] : FCalls)
    if (Call->Ssrc) Heard.push_back({Id, Call->Stats.Report()});
  return Heard;
}

void TCallQuality::FarEnd(int32_t ClientId, const TFarEndReport& Report) {
  Platform::TLockGuard Guard(FLock);
  const auto It = FCalls.find(ClientId);
  if (It == FCalls.end()) return;
  TCall& Call = *It->second;
  Call.TxLossPercent = Report.TxLossPercent;
  if (Report.CallTxLossPercent) Call.CallTxLossPercent = Report.CallTxLossPercent;
  if (Report.RoundTripMs) {
    Call.RttMs = Report.RoundTripMs;
    Call.RttSumMs += *Report.RoundTripMs;
    ++Call.Rtts;
    Call.Stats.SetRoundTripMs(*Report.RoundTripMs);
  }
}
