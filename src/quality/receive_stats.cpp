#include "quality/receive_stats.h"

#include <algorithm>

namespace {

constexpr uint32_t SequenceModulo = 1u << 16;

constexpr int64_t UsPerTimestampUnit = 1000000 / ReceiveClockRate;

// The jitter is kept as RFC 3550's integer form does, scaled by 16, in
// microseconds: no division per packet.
double JitterToMs(int64_t Jitter16) { return static_cast<double>(Jitter16) / 16000.0; }

double Percent(uint64_t Part, uint64_t Whole) {
  return Whole == 0 ? 0.0 : 100.0 * static_cast<double>(Part) / static_cast<double>(Whole);
}

}  // namespace

void TReceiveStats::TCounters::Add(const TCounters& O) {
  Packets += O.Packets;
  Repeats += O.Repeats;
  Late += O.Late;
  Refused += O.Refused;
  Expected += O.Expected;
  Received += O.Received;
  Settled += O.Settled;
  Missing += O.Missing;
  MissingRuns += O.MissingRuns;
  JitterEnd = O.JitterEnd;
  JitterMax = std::max(JitterMax, O.JitterMax);
  AudioMs += O.AudioMs;
  ConcealedMs += O.ConcealedMs;
  SilentMs += O.SilentMs;
  DroppedMs += O.DroppedMs;
  LongestGapMs = std::max(LongestGapMs, O.LongestGapMs);
  DelaySumMs += O.DelaySumMs;
  DelayFrames += O.DelayFrames;
}

TReceiveStats::TReceiveStats(const TReceiveStatsSettings& Settings)
    : FSettings(Settings), FWindowUs(static_cast<int64_t>(std::max<uint32_t>(Settings.WindowMs, 1)) * 1000) {
  FWindowEndUs = FWindowUs;
}

void TReceiveStats::Start(int64_t NowUs) {
  *this = TReceiveStats(FSettings);
  FCallStartUs = FWindowStartUs = FNowUs = NowUs;
  FWindowEndUs = NowUs + FWindowUs;
}

int32_t TReceiveStats::ClampCumulativeLost(int64_t Lost) {
  return static_cast<int32_t>(std::clamp<int64_t>(Lost, -0x800000, 0x7FFFFF));
}

// --- The stream --------------------------------------------------------------

void TReceiveStats::OnPacket(uint32_t Ssrc, uint16_t Sequence, uint32_t Timestamp, int64_t ArrivalUs,
                             TPacketFate Kind) {
  if (ArrivalUs >= FWindowEndUs) Advance(ArrivalUs);
  ++FWindow.Packets;
  if (Kind != TPacketFate::Played) {
    if (Kind == TPacketFate::Repeat) ++FWindow.Repeats;
    if (Kind == TPacketFate::Late) ++FWindow.Late;
    if (Kind == TPacketFate::Refused) ++FWindow.Refused;
  }

  if (!FSourceKnown || Ssrc != FSsrc) NewSource(Ssrc, Sequence);
  uint32_t Extended = 0;
  const bool Counted = UpdateSequence(Sequence, Extended);
  if (Counted && FCounting) {
    SettleUpTo(ExtendedMax());
    // Older than the settled numbers: already missing, and it stays so.
    const uint32_t Offset = Extended - FFrontier;
    if (Kind == TPacketFate::Played && Offset < SettleDepth) FPlayed |= uint64_t{1} << Offset;
  }

  // Interarrival jitter. A copy tells nothing of the path; a packet the
  // sequence rules did not count (probation, a jump) may belong to another
  // timeline, so the difference to it is not taken, but it is the reference
  // for the next one.
  if (Kind == TPacketFate::Repeat) return;
  if (Counted && FTransitKnown) {
    const int64_t D = (ArrivalUs - FLastArrivalUs) -
                      static_cast<int64_t>(static_cast<int32_t>(Timestamp - FLastTimestamp)) * UsPerTimestampUnit;
    FJitter += (D < 0 ? -D : D) - ((FJitter + 8) >> 4);  // J += (|D| - J) / 16
    FWindow.JitterMax = std::max(FWindow.JitterMax, FJitter);
  }
  FTransitKnown = true;
  FLastArrivalUs = ArrivalUs;
  FLastTimestamp = Timestamp;
}

void TReceiveStats::OnLate(uint16_t Sequence) {
  ++FWindow.Late;
  if (!FCounting) return;
  const uint32_t Offset = ExtendedMax() - static_cast<uint16_t>(FMaxSeq - Sequence) - FFrontier;
  if (Offset < SettleDepth) FPlayed &= ~(uint64_t{1} << Offset);
}

bool TReceiveStats::UpdateSequence(uint16_t Sequence, uint32_t& Extended) {
  const uint16_t Delta = static_cast<uint16_t>(Sequence - FMaxSeq);
  if (FProbation > 0) {
    // A new stream counts once MinSequential numbers came in order.
    if (Sequence == static_cast<uint16_t>(FMaxSeq + 1)) {
      --FProbation;
      FMaxSeq = Sequence;
      if (FProbation == 0) {
        InitSequence(Sequence);
        ++FReceived;
        Extended = ExtendedMax();
        return true;
      }
    } else {
      FProbation = MinSequential - 1;
      FMaxSeq = Sequence;
    }
    return false;
  }
  if (Delta < MaxDropout) {
    if (Sequence < FMaxSeq) FCycles += SequenceModulo;  // wrapped
    FMaxSeq = Sequence;
    Extended = ExtendedMax();
  } else if (Delta <= SequenceModulo - MaxMisorder) {
    if (Sequence != FBadSeq) {
      FBadSeq = (Sequence + 1u) & (SequenceModulo - 1);
      return false;
    }
    // Two in order after a jump: the sender started over.
    EndEpoch();
    InitSequence(Sequence);
    Extended = ExtendedMax();
  } else {
    // A repeat, or out of order.
    Extended = ExtendedMax() - static_cast<uint16_t>(FMaxSeq - Sequence);
  }
  ++FReceived;
  return true;
}

void TReceiveStats::InitSequence(uint16_t Sequence) {
  FBaseSeq = Sequence;
  FMaxSeq = Sequence;
  FBadSeq = SequenceModulo + 1;
  FCycles = 0;
  FReceived = 0;
  FReportExpectedPrior = FReportReceivedPrior = 0;
  FWindowExpectedPrior = FWindowReceivedPrior = 0;
  FCounting = true;
  FFrontier = Sequence;
  FPlayed = 0;
}

void TReceiveStats::NewSource(uint32_t Ssrc, uint16_t Sequence) {
  EndEpoch();
  FSourceKnown = true;
  FSsrc = Ssrc;
  InitSequence(Sequence);
  FCounting = false;
  FMaxSeq = static_cast<uint16_t>(Sequence - 1);
  FProbation = MinSequential;
  FTransitKnown = false;
  FJitter = 0;
}

void TReceiveStats::EndEpoch() {
  if (FCounting) Settle(ExtendedMax() - FFrontier + 1);
  TakeNetworkCounts();
  // Nothing is expected of it any more.
  FCounting = false;
  FReceived = 0;
  FWindowExpectedPrior = FWindowReceivedPrior = 0;
}

int64_t TReceiveStats::ExpectedSoFar() const {
  return FCounting ? static_cast<int64_t>(ExtendedMax()) - FBaseSeq + 1 : 0;
}

void TReceiveStats::TakeNetworkCounts() {
  const int64_t Expected = ExpectedSoFar();
  FWindow.Expected += Expected - FWindowExpectedPrior;
  FWindow.Received += FReceived - FWindowReceivedPrior;
  FWindowExpectedPrior = Expected;
  FWindowReceivedPrior = FReceived;
}

void TReceiveStats::SettleUpTo(uint32_t Max) {
  const uint32_t Span = Max - FFrontier;
  if (Span == SettleDepth) {  // the usual step: one packet further
    SettleOne();
    ++FFrontier;
  } else if (Span > SettleDepth) {
    Settle(Span - SettleDepth + 1);
  }
}

void TReceiveStats::SettleOne() {
  const bool Missing = (FPlayed & 1) == 0;
  FPlayed >>= 1;
  ++FWindow.Settled;
  if (Missing) {
    ++FWindow.Missing;
    if (!FLastMissing) ++FWindow.MissingRuns;
  }
  FLastMissing = Missing;
}

void TReceiveStats::Settle(uint32_t Count) {
  const uint32_t FromBits = std::min(Count, SettleDepth);
  for (uint32_t I = 0; I < FromBits; ++I) SettleOne();
  if (Count > FromBits) {  // beyond the bits: nothing of it came
    FWindow.Settled += Count - FromBits;
    FWindow.Missing += Count - FromBits;
    if (!FLastMissing) ++FWindow.MissingRuns;
    FLastMissing = true;
  }
  FFrontier += Count;
}

TReceptionReport TReceiveStats::Report() {
  TReceptionReport R;
  R.Ssrc = FSsrc;
  const int64_t Expected = ExpectedSoFar();
  R.CumulativeLost = ClampCumulativeLost(Expected - FReceived);
  const int64_t ExpectedInterval = Expected - FReportExpectedPrior;
  const int64_t LostInterval = ExpectedInterval - (FReceived - FReportReceivedPrior);
  FReportExpectedPrior = Expected;
  FReportReceivedPrior = FReceived;
  if (ExpectedInterval > 0 && LostInterval > 0)
    R.FractionLost = static_cast<uint8_t>(std::min<int64_t>(255, (LostInterval << 8) / ExpectedInterval));
  R.ExtendedHighestSequence = ExtendedMax();
  R.Jitter = static_cast<uint32_t>((FJitter >> 4) / UsPerTimestampUnit);
  return R;
}

// --- Playout -----------------------------------------------------------------

void TReceiveStats::OnFrame(uint32_t Ms, uint32_t MadeUpMs, uint32_t DelayMs) {
  MadeUpMs = std::min(MadeUpMs, Ms);
  FWindow.AudioMs += Ms;
  FWindow.ConcealedMs += MadeUpMs;
  FWindow.DelaySumMs += DelayMs;
  ++FWindow.DelayFrames;
  ++FDelayHistogram[std::min<size_t>(DelayMs / DelayBucketMs, DelayBuckets - 1)];
  FStretchMs += MadeUpMs;
  if (MadeUpMs < Ms) EndStretch();
}

void TReceiveStats::OnSilence(uint32_t Ms) {
  FWindow.AudioMs += Ms;
  FWindow.SilentMs += Ms;
  FStretchMs += Ms;
}

void TReceiveStats::OnDropped(uint32_t Ms) { FWindow.DroppedMs += Ms; }

void TReceiveStats::OnEndedMadeUp(uint32_t Ms) {
  for (TCounters* C : {&FWindow, &FCall}) {
    const uint64_t Moved = std::min<uint64_t>(Ms, C->ConcealedMs);
    C->ConcealedMs -= Moved;
    C->SilentMs += Moved;
    Ms -= static_cast<uint32_t>(Moved);
  }
}

void TReceiveStats::EndStretch() {
  FWindow.LongestGapMs = std::max(FWindow.LongestGapMs, FStretchMs);
  FStretchMs = 0;
}

void TReceiveStats::SetRoundTripMs(double Ms) {
  FRoundTripMs = Ms;
  FRoundTripSum += Ms;
  ++FRoundTrips;
}

uint32_t TReceiveStats::DelayPercentile95() const {
  uint64_t Total = 0;
  for (uint32_t N : FDelayHistogram) Total += N;
  if (Total == 0) return 0;
  const uint64_t Rank = (Total * 95 + 99) / 100;
  uint64_t Below = 0;
  for (size_t I = 0; I < DelayBuckets; ++I) {
    Below += FDelayHistogram[I];
    if (Below >= Rank) return static_cast<uint32_t>((I + 1) * DelayBucketMs);
  }
  return static_cast<uint32_t>(DelayBuckets * DelayBucketMs);
}

// --- Windows -----------------------------------------------------------------

uint32_t TReceiveStats::Advance(int64_t NowUs) {
  FNowUs = std::max(FNowUs, NowUs);
  uint32_t Closed = 0;
  while (NowUs >= FWindowEndUs) {
    CloseWindow(FWindowEndUs);
    ++Closed;
    // Whole windows that passed with nothing in them close at once; the last
    // of them is closed by the loop, so that it is the one shown.
    const int64_t Idle = (NowUs - FWindowStartUs) / FWindowUs;
    if (Idle > 1) {
      FWindowStartUs += (Idle - 1) * FWindowUs;
      FWindowEndUs = FWindowStartUs + FWindowUs;
      FClosed.Windows += static_cast<uint32_t>(Idle - 1);
      Closed += static_cast<uint32_t>(Idle - 1);
    }
  }
  return Closed;
}

void TReceiveStats::CloseWindow(int64_t EndUs) {
  TakeNetworkCounts();
  FWindow.JitterEnd = FJitter;
  FWindow.LongestGapMs = std::max(FWindow.LongestGapMs, FStretchMs);
  const TQualityFigures F = Figures(FWindow, FWindowStartUs, EndUs, FRoundTripMs, JitterToMs(FJitter), false);
  FClosed.Window = F;
  ++FClosed.Windows;
  if (F.Scored && (!FClosed.Worst.Scored || F.Score.R < FClosed.Worst.Score.R)) FClosed.Worst = F;
  if (FWindow.Packets > 0) {
    FJitterEndSum += FJitter;
    ++FJitterWindows;
  }
  FCall.Add(FWindow);
  FWindow = {};
  FWindow.JitterMax = FJitter;
  FWindowStartUs = EndUs;
  FWindowEndUs = EndUs + FWindowUs;
}

TQualityFigures TReceiveStats::CallFigures(const TCounters& Call, int64_t JitterSum, uint32_t JitterWindows) const {
  std::optional<double> RoundTrip;
  if (FRoundTrips > 0) RoundTrip = FRoundTripSum / FRoundTrips;
  const double JitterMean = JitterWindows > 0 ? JitterToMs(JitterSum) / JitterWindows : 0.0;
  return Figures(Call, FCallStartUs, std::max(FNowUs, FLastArrivalUs), RoundTrip, JitterMean, true);
}

TReceiveSnapshot TReceiveStats::Snapshot() const {
  TReceiveSnapshot S = FClosed;
  TCounters Open = FWindow;
  Open.Expected += ExpectedSoFar() - FWindowExpectedPrior;
  Open.Received += FReceived - FWindowReceivedPrior;
  Open.JitterEnd = FJitter;
  Open.LongestGapMs = std::max(Open.LongestGapMs, FStretchMs);
  TCounters Call = FCall;
  Call.Add(Open);
  const bool OpenHasPackets = Open.Packets > 0;
  S.Call = CallFigures(Call, FJitterEndSum + (OpenHasPackets ? FJitter : 0), FJitterWindows + (OpenHasPackets ? 1 : 0));
  return S;
}

TReceiveSnapshot TReceiveStats::Finish(int64_t NowUs) {
  // What is still pending belongs to the window its packets came in.
  EndEpoch();
  Advance(NowUs);
  if (FWindow.Packets > 0 || FWindow.AudioMs > 0 || FWindow.Settled > 0 || FWindow.Expected != 0)
    CloseWindow(std::max(NowUs, FWindowStartUs));
  TReceiveSnapshot S = FClosed;
  S.Call = CallFigures(FCall, FJitterEndSum, FJitterWindows);
  S.Call.LongestGapMs = std::max(S.Call.LongestGapMs, FStretchMs);
  return S;
}

TQualityFigures TReceiveStats::Figures(const TCounters& C, int64_t StartUs, int64_t EndUs,
                                       std::optional<double> RoundTripMs, double JitterMs,
                                       bool WithPercentile) const {
  TQualityFigures F;
  F.StartUs = StartUs;
  F.EndUs = EndUs;
  F.Packets = C.Packets;
  F.Expected = C.Expected;
  F.Lost = C.Expected - C.Received;
  F.LossPercent = F.Lost > 0 ? Percent(static_cast<uint64_t>(F.Lost), static_cast<uint64_t>(C.Expected)) : 0.0;
  F.Repeats = C.Repeats;
  F.Late = C.Late;
  F.Refused = C.Refused;
  F.JitterMs = JitterMs;
  F.JitterMaxMs = JitterToMs(C.JitterMax);

  F.Settled = C.Settled;
  F.Missing = C.Missing;
  F.MissingRuns = C.MissingRuns;
  F.PplPercent = Percent(C.Missing, C.Settled);
  F.BurstR = EModelBurstRatio(C.Settled, C.Missing, C.MissingRuns);

  F.AudioMs = C.AudioMs;
  F.ConcealedMs = C.ConcealedMs;
  F.SilentMs = C.SilentMs;
  F.DroppedMs = C.DroppedMs;
  F.LongestGapMs = C.LongestGapMs;
  F.ConcealedPercent = Percent(C.ConcealedMs, C.AudioMs);
  F.DroppedPercent = Percent(C.DroppedMs, C.AudioMs);
  F.BufferDelayMs = C.DelayFrames > 0 ? static_cast<double>(C.DelaySumMs) / static_cast<double>(C.DelayFrames) : 0.0;
  if (WithPercentile) F.BufferDelayP95Ms = DelayPercentile95();
  F.DeviceDelayMs = FDeviceDelayMs;

  F.Scored = C.Settled > 0;
  if (F.Scored) {
    TCallImpairments I;
    I.LocalDelayMs = FSettings.PacketMs + F.BufferDelayMs + FDeviceDelayMs;
    I.RoundTripMs = RoundTripMs;
    I.PplPercent = F.PplPercent;
    I.BurstR = F.BurstR;
    I.Concealment = FSettings.Concealment;
    F.Score = ScoreG711Call(I);
  }
  return F;
}
