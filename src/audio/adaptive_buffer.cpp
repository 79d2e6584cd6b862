#include "audio/adaptive_buffer.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "config/start_values.h"
#include "log/log.h"
#include "platform/exception.h"
#include "platform/g711.h"

namespace {

constexpr int64_t Frame = TAdaptiveStream::FrameSamples;
constexpr int64_t Lookahead = 80;            // what an accelerating step may read beyond the frame
constexpr int64_t MarginSamples = 80;        // 10 ms above the peak of the jitter
// The delay is kept between 1 and 11 ms above its target: a 20 ms frame taken
// with less than the target's delay runs into audio that has not come yet.
constexpr int64_t StretchAbove = -8;       // playout position minus the aimed one
constexpr int64_t AccelerateBelow = -88;
// The quickest transit falls at once and rises by itself at 1 % of the time
// passing: a sender whose clock runs up to 1 % slow is followed without lag,
// and a path that got slower is taken as it is within seconds.
constexpr double MinTransitRise = 0.01 * TAdaptiveStream::SamplesPerMs;  // samples per ms
// The jitter peak is held for 10 s after it was last reached, then falls to
// 1/e in every further 10 s of calm.
constexpr double PeakHoldMs = 10000.0;
constexpr double PeakDecayMs = 10000.0;
constexpr int StartPackets = 2;              // the playout waits for a second packet (or the upper bound)
constexpr double ErrorSmoothing = 0.1;       // per frame: the pull instants jitter by a few ms
constexpr int64_t FarBehindSamples = 8000;   // a packet a second behind the playout is a restart
constexpr int64_t NoSequence = std::numeric_limits<int64_t>::min();

size_t RingSize(uint32_t MaxDelayMs) {
  // Room for the longest delay and a second of packets ahead of it.
  const size_t Needed = (static_cast<size_t>(MaxDelayMs) + 1000) * TAdaptiveStream::SamplesPerMs;
  size_t Size = 1;
  while (Size < Needed) Size <<= 1;
  return Size;
}

}  // namespace

void TAdaptiveCounters::Add(const TAdaptiveCounters& O) {
  Packets += O.Packets;
  Late += O.Late;
  Reordered += O.Reordered;
  Duplicate += O.Duplicate;
  Frames += O.Frames;
  Concealed += O.Concealed;
  Accelerated += O.Accelerated;
  Stretched += O.Stretched;
  Restarts += O.Restarts;
  TargetMs = std::max(TargetMs, O.TargetMs);
  DelayMs = std::max(DelayMs, O.DelayMs);
}

// ---- one stream ---------------------------------------------------------------

TAdaptiveStream::TAdaptiveStream(const TAdaptiveSettings& Settings)
    : FSettings(Settings), FRing(RingSize(Settings.MaxDelayMs), Platform::ALawSilence), FPresent(FRing.size(), 0) {
  FSeen.fill(NoSequence);
}

double TAdaptiveStream::Peak(int64_t NowMs) const {
  const double Calm = static_cast<double>(NowMs - FPeakAt) - PeakHoldMs;
  return Calm <= 0 ? FPeak : FPeak * std::exp(-Calm / PeakDecayMs);
}

int64_t TAdaptiveStream::TargetSamples(int64_t NowMs) const {
  const int64_t Low = int64_t{FSettings.MinDelayMs} * SamplesPerMs;
  const int64_t High = std::max<int64_t>(Low, int64_t{FSettings.MaxDelayMs} * SamplesPerMs);
  return std::clamp(static_cast<int64_t>(Peak(NowMs)) + MarginSamples, Low, High);
}

int64_t TAdaptiveStream::MinTransit() const { return static_cast<int64_t>(std::floor(FMinTransit)); }

void TAdaptiveStream::Restart(uint32_t Timestamp, uint16_t Sequence, int64_t NowMs) {
  // The jitter peak is kept: it says how the network behaves, not where the
  // sender's timestamps start.
  FStarted = true;
  FPlaying = false;
  std::fill(FPresent.begin(), FPresent.end(), 0);
  FLastTimestamp = Timestamp;
  FLastExtTimestamp = Timestamp;
  FPlayPos = Timestamp;
  FHighestEnd = Timestamp;
  // The sequence numbers go on from where they were, and the ones held are
  // kept: a repeat of a packet from before a pause is still a repeat.
  FHighestSequence = FSequenceKnown ? FHighestSequence + static_cast<int16_t>(static_cast<uint16_t>(Sequence - FLastSequence))
                                    : Sequence;
  FLastSequence = Sequence;
  FSequenceKnown = true;
  // Started in the middle of the band the delay is kept in.
  FStartAt = NowMs + TargetSamples(NowMs) / SamplesPerMs + (-StretchAbove - AccelerateBelow) / 2 / SamplesPerMs;
  FMinTransit = static_cast<double>(NowMs * SamplesPerMs - FPlayPos);
  FMinAt = NowMs;
  FError = 0;
  FFirstArrival = NowMs;
  FStartPackets = 0;
  FExpanded = 0;
}

void TAdaptiveStream::TrackTransit(int64_t Position, int64_t NowMs) {
  const int64_t Transit = NowMs * SamplesPerMs - Position;
  if (NowMs > FMinAt) FMinTransit += MinTransitRise * static_cast<double>(NowMs - FMinAt);
  FMinAt = std::max(FMinAt, NowMs);
  FMinTransit = std::min(FMinTransit, static_cast<double>(Transit));
  const double Excess = static_cast<double>(Transit - MinTransit());
  if (Excess >= Peak(NowMs)) {
    FPeak = Excess;
    FPeakAt = NowMs;
  }
}

TPushResult TAdaptiveStream::Push(uint16_t Sequence, uint32_t Timestamp, const uint8_t* Payload, uint32_t Size,
                                  int64_t NowMs) {
  if (Size == 0 || Size > FRing.size() / 2) return TPushResult::Refused;
  if (!FStarted) Restart(Timestamp, Sequence, NowMs);
  int64_t Position = FLastExtTimestamp + static_cast<int32_t>(Timestamp - FLastTimestamp);
  int64_t Seq = FHighestSequence + static_cast<int16_t>(static_cast<uint16_t>(Sequence - FLastSequence));
  const int64_t End = Position + Size;
  if (End <= FPlayPos - FarBehindSamples || End > FPlayPos + static_cast<int64_t>(FRing.size())) {
    // Far outside the window: the sender started over with other timestamps.
    ++FCounters.Restarts;
    Restart(Timestamp, Sequence, NowMs);
    Position = FLastExtTimestamp;
    Seq = FHighestSequence;
  }
  int64_t& Seen = FSeen[static_cast<size_t>(Seq) & (FSeen.size() - 1)];
  if (Seen == Seq) {
    ++FCounters.Duplicate;
    return TPushResult::Duplicate;
  }
  Seen = Seq;
  const bool Reordered = Seq < FHighestSequence;
  if (Seq > FHighestSequence) {
    FHighestSequence = Seq;
    FLastSequence = Sequence;
  }
  if (Position > FLastExtTimestamp) {
    FLastExtTimestamp = Position;
    FLastTimestamp = Timestamp;
  }
  FLastArrival = NowMs;
  // A late packet is the best evidence of the jitter: it counts too.
  TrackTransit(Position, NowMs);
  if (FPlaying && Position + Size <= FPlayPos) {
    ++FCounters.Late;
    return TPushResult::Late;
  }
  // Before the playout begins, a packet that belongs before the first one
  // moves the start back.
  if (!FPlaying && Position < FPlayPos) FPlayPos = Position;
  for (int64_t P = std::max(Position, FPlayPos); P < Position + Size; ++P) {
    FRing[Slot(P)] = Payload[P - Position];
    FPresent[Slot(P)] = 1;
  }
  FHighestEnd = std::max(FHighestEnd, Position + static_cast<int64_t>(Size));
  ++FStartPackets;
  ++FCounters.Packets;
  if (Reordered) ++FCounters.Reordered;
  return TPushResult::Stored;
}

bool TAdaptiveStream::AllPresent(int64_t From, int64_t Count) const {
  for (int64_t P = From; P < From + Count; ++P)
    if (!FPresent[Slot(P)]) return false;
  return true;
}

int16_t TAdaptiveStream::Linear(int64_t Position) const {
  return FPresent[Slot(Position)] ? Platform::ALawToLinear(FRing[Slot(Position)]) : 0;
}

void TAdaptiveStream::Consume(int64_t Count) {
  for (int64_t P = FPlayPos; P < FPlayPos + Count; ++P) FPresent[Slot(P)] = 0;
  FPlayPos += Count;
}

bool TAdaptiveStream::Pull(int16_t* Out, int64_t NowMs) {
  if (!FStarted) return false;
  const int64_t Target = TargetSamples(NowMs);
  const double Error = static_cast<double>(FPlayPos - (NowMs * SamplesPerMs - MinTransit() - Target));
  if (!FPlaying) {
    // A few packets tell whether they come evenly or in bursts; a sender that
    // starts with a burst is played from its first packet, the delay steered
    // down afterwards.
    if (NowMs < FStartAt) return false;
    if (FStartPackets < StartPackets && NowMs < FFirstArrival + int64_t{FSettings.MaxDelayMs}) return false;
    FPlaying = true;
    FError = Error;
  }
  const bool Empty = FHighestEnd <= FPlayPos;
  if (Empty && NowMs - FLastArrival >= PauseMs && FConcealer.ErasedSamples() >= TConcealer::SilentAfter) {
    // The sender paused or left: the next packet starts over.
    FStarted = false;
    FPlaying = false;
    return false;
  }
  FError += (Error - FError) * ErrorSmoothing;
  FCounters.TargetMs = static_cast<uint32_t>(Target / SamplesPerMs);
  FCounters.DelayMs = static_cast<uint32_t>(std::max<int64_t>(0, FHighestEnd - FPlayPos) / SamplesPerMs);
  ++FCounters.Frames;
  if (FExpanded > 0 && !FPresent[Slot(FPlayPos)]) {
    // Audio lost while the buffer was dry: the time made up in place has
    // covered it already, it is skipped rather than made up a second time.
    int64_t Skip = 0;
    while (Skip < FExpanded && FPlayPos + Skip < FHighestEnd && !FPresent[Slot(FPlayPos + Skip)]) ++Skip;
    Consume(Skip);
    FExpanded -= Skip;
    FError += static_cast<double>(Skip);
  }
  if (FHighestEnd < FPlayPos + Frame) {
    // The buffer runs dry within this frame: what there is plays, the rest is
    // made up in place, so that what comes late still plays.
    const int64_t Have = std::max<int64_t>(0, FHighestEnd - FPlayPos);
    int64_t Played = 0;
    while (Played < Have && FPresent[Slot(FPlayPos + Played)]) ++Played;
    int16_t In[Frame];
    for (int64_t I = 0; I < Played; ++I) In[I] = Linear(FPlayPos + I);
    if (Played > 0) FConcealer.Good(In, Out, static_cast<size_t>(Played));
    FConcealer.Conceal(Out + Played, static_cast<size_t>(Frame - Played));
    Consume(Played);
    if (Played > 0) FExpanded = 0;
    FExpanded += Frame - Played;
    // The position stood still: the delay grew by what was made up.
    FError -= static_cast<double>(Frame - Played);
    ++FCounters.Concealed;
    return true;
  }
  FExpanded = 0;
  int16_t In[Frame + Lookahead];
  for (int64_t I = 0; I < Frame + Lookahead; ++I) In[I] = Linear(FPlayPos + I);
  int16_t Scaled[Frame];
  if (FError < AccelerateBelow && AllPresent(FPlayPos, Frame + Lookahead)) {
    if (const int P = TimeScaleAccelerate(In, Frame + Lookahead, Scaled, Frame)) {
      FConcealer.Good(Scaled, Out, Frame);
      Consume(Frame + P);
      FError += P;
      ++FCounters.Accelerated;
      return true;
    }
  } else if (FError > StretchAbove && AllPresent(FPlayPos, Frame)) {
    if (const int P = TimeScaleStretch(In, Frame, Scaled, Frame)) {
      FConcealer.Good(Scaled, Out, Frame);
      Consume(Frame - P);
      FError -= P;
      ++FCounters.Stretched;
      return true;
    }
  }
  bool MadeUp = false;
  for (int64_t I = 0; I < Frame;) {
    const bool Present = FPresent[Slot(FPlayPos + I)] != 0;
    int64_t J = I + 1;
    while (J < Frame && (FPresent[Slot(FPlayPos + J)] != 0) == Present) ++J;
    if (Present) {
      FConcealer.Good(In + I, Out + I, static_cast<size_t>(J - I));
    } else {
      FConcealer.Conceal(Out + I, static_cast<size_t>(J - I));
      MadeUp = true;
    }
    I = J;
  }
  if (MadeUp) ++FCounters.Concealed;
  Consume(Frame);
  return true;
}

bool TAdaptiveStream::Idle(int64_t NowMs) const {
  return NowMs - FLastArrival >= IdleMs && (!FStarted || FHighestEnd <= FPlayPos);
}

// ---- the streams together -----------------------------------------------------

void TAdaptiveReceiver::Configure(const TAdaptiveSettings& Settings) {
  std::lock_guard<std::mutex> G(FLock);
  FSettings = Settings;
  FStreams.clear();
  FRetired = {};
  FClockKnown = false;
}

int64_t TAdaptiveReceiver::Now(uint32_t Tick) {
  // Ticks from several threads may come a little out of order: the clock
  // only moves forward, an older tick reads as a moment in the past.
  if (!FClockKnown) {
    FClockKnown = true;
    FLastTick = Tick;
    FNow = 0;
  }
  const int32_t Delta = static_cast<int32_t>(Tick - FLastTick);
  if (Delta <= 0) return FNow + Delta;
  FLastTick = Tick;
  FNow += Delta;
  return FNow;
}

TPushResult TAdaptiveReceiver::Push(uint32_t Ssrc, uint16_t Sequence, uint32_t Timestamp, const uint8_t* Payload,
                                    uint32_t Size, uint32_t NowTick) {
  bool NewStream = false;
  TPushResult Result;
  {
    std::lock_guard<std::mutex> G(FLock);
    const int64_t T = Now(NowTick);
    auto It = FStreams.find(Ssrc);
    if (It == FStreams.end()) {
      for (auto Old = FStreams.begin(); Old != FStreams.end();) {
        if (Old->second->Idle(T)) {
          TAdaptiveCounters C = Old->second->Counters();
          C.TargetMs = C.DelayMs = 0;
          FRetired.Add(C);
          Old = FStreams.erase(Old);
        } else {
          ++Old;
        }
      }
      if (FStreams.size() >= MaxStreams) return TPushResult::Refused;
      It = FStreams.emplace(Ssrc, std::make_unique<TAdaptiveStream>(FSettings)).first;
      NewStream = true;
    }
    Result = It->second->Push(Sequence, Timestamp, Payload, Size, T);
  }
  if (NewStream && DoLog) WriteLog(Format("Adaptive receive: new stream [SSRC=%u]", Ssrc));
  return Result;
}

bool TAdaptiveReceiver::Pull(uint8_t* Frame, uint32_t NowTick) {
  std::lock_guard<std::mutex> G(FLock);
  const int64_t T = Now(NowTick);
  int32_t Sum[TAdaptiveStream::FrameSamples] = {};
  int16_t One[TAdaptiveStream::FrameSamples];
  bool Any = false;
  for (auto& [Ssrc, Stream] : FStreams) {
    if (!Stream->Pull(One, T)) continue;
    Any = true;
    for (int I = 0; I < TAdaptiveStream::FrameSamples; ++I) Sum[I] += One[I];
  }
  if (!Any) return false;
  for (int I = 0; I < TAdaptiveStream::FrameSamples; ++I)
    Frame[I] = Platform::LinearToALaw(static_cast<int16_t>(std::clamp<int32_t>(Sum[I], -32768, 32767)));
  return true;
}

void TAdaptiveReceiver::Clear() {
  std::lock_guard<std::mutex> G(FLock);
  for (auto& [Ssrc, Stream] : FStreams) {
    TAdaptiveCounters C = Stream->Counters();
    C.TargetMs = C.DelayMs = 0;
    FRetired.Add(C);
  }
  FStreams.clear();
  FClockKnown = false;
}

TAdaptiveCounters TAdaptiveReceiver::Counters() {
  std::lock_guard<std::mutex> G(FLock);
  TAdaptiveCounters C = FRetired;
  for (auto& [Ssrc, Stream] : FStreams) C.Add(Stream->Counters());
  return C;
}

size_t TAdaptiveReceiver::StreamCount() {
  std::lock_guard<std::mutex> G(FLock);
  return FStreams.size();
}

std::string TAdaptiveReceiver::ReportLine() {
  const size_t Streams = StreamCount();
  const TAdaptiveCounters C = Counters();
  auto U = [](uint64_t V) { return static_cast<unsigned long long>(V); };
  return Format(
      "Adaptive receive: streams=%u, packets=%llu, late=%llu, reordered=%llu, duplicate=%llu, "
      "frames=%llu, concealed=%llu, accelerated=%llu, stretched=%llu, restarts=%llu, target=%u ms, buffered=%u ms",
      static_cast<unsigned>(Streams), U(C.Packets), U(C.Late), U(C.Reordered), U(C.Duplicate), U(C.Frames),
      U(C.Concealed), U(C.Accelerated), U(C.Stretched), U(C.Restarts), C.TargetMs, C.DelayMs);
}
