#include "audio/adaptive_buffer.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "config/start_values.h"
#include "log/log.h"
#include "platform/exception.h"
#include "platform/g711.h"
#include "platform/mutex.h"

namespace {

constexpr int64_t Frame = TAdaptiveStream::FrameSamples;
constexpr int64_t Lookahead = 80;            // what an accelerating step may read beyond the frame
constexpr int64_t MarginSamples = 80;        // 10 ms above the peak of the jitter
// Steering, on the playout position minus the one aimed at (in samples; below
// zero the delay is above its target). Real audio is not reshaped to lengthen
// the delay: a short stretch of made-up audio goes in where a packet begins.
// A loss is the cheap chance to shorten it (less of it is made up); real audio
// loses a pitch period only when the delay is far above its target.
constexpr int64_t InsertAbove = 0;
constexpr int64_t InsertLeast = TConcealer::MergeLength;  // 5 to 10 ms each time
constexpr int64_t InsertMost = 80;
constexpr int64_t SkipBelow = -80;          // 10 ms above the target
constexpr int64_t SkipTo = -40;
// Real audio is shortened when the delay has been 30 ms too long for two
// seconds (time for a loss to take the excess away, or for late packets to
// show that the target is too low), or, on a calm network (the target at its
// lower bound), 20 ms too long for three; until 2 ms are left, and no step
// drops more than the excess.
constexpr int64_t AccelerateBelow = -240;
constexpr int64_t AccelerateAfterMs = 2000;
constexpr int64_t AccelerateSlowlyBelow = -160;
constexpr int64_t AccelerateSlowlyAfterMs = 3000;
constexpr int64_t AccelerateUntil = -16;
// A missing packet with audio after it is waited for this long (made up in
// place) before its turn is given up, so that one that comes a little late
// still plays whole.
constexpr int64_t WaitSamples = Frame;
constexpr int64_t NoPosition = std::numeric_limits<int64_t>::min();
// The quickest transit falls at once and rises by itself at 1 % of the time
// passing: a sender whose clock runs up to 1 % slow is followed without lag,
// and a path that got slower is taken as it is within seconds.
constexpr double MinTransitRise = 0.01 * TAdaptiveStream::SamplesPerMs;  // samples per ms
// The jitter peak is the larger of two. The network's habit: the second
// highest of the peaks of the half seconds in the last 10 s (a height
// reached twice), falling to 1/e in every further 10 s of calm. And the last
// spike, however lone (a stall of the sender, or of this machine), held 1 s
// and falling as fast.
constexpr int64_t WindowMs = 500;
constexpr double HabitDecayMs = 10000.0;
constexpr double LoneHoldMs = 1000.0;
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
    : FSettings(Settings),
      FRing(RingSize(Settings.MaxDelayMs), Platform::ALawSilence),
      FPresent(FRing.size(), 0),
      FBoundary(FRing.size(), 0) {
  FSeen.fill(NoSequence);
}

double TAdaptiveStream::Peak(int64_t NowMs) const {
  const double Habit = FHabit * std::exp(-static_cast<double>(NowMs - FHabitAt) / HabitDecayMs);
  const double Calm = static_cast<double>(NowMs - FPeakAt) - LoneHoldMs;
  return std::max(Habit, Calm <= 0 ? FPeak : FPeak * std::exp(-Calm / LoneHoldMs));
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
  // A millisecond above the target: the ticks are whole milliseconds.
  FStartAt = NowMs + TargetSamples(NowMs) / SamplesPerMs + 1;
  FMinTransit = static_cast<double>(NowMs * SamplesPerMs - FPlayPos);
  FMinAt = NowMs;
  FError = 0;
  FFirstArrival = NowMs;
  FStartPackets = 0;
  FExpanded = 0;
  FInsert = 0;
  FStretching = false;
  FAccelerating = false;
  FFarSince = FAboveSince = NoPosition;
  FAfterMadeUp = false;
  FLeadsInto = FLastInsertAt = NoPosition;
  std::fill(FBoundary.begin(), FBoundary.end(), 0);
}

void TAdaptiveStream::TrackTransit(int64_t Position, int64_t NowMs) {
  const int64_t Transit = NowMs * SamplesPerMs - Position;
  if (NowMs > FMinAt) FMinTransit += MinTransitRise * static_cast<double>(NowMs - FMinAt);
  FMinAt = std::max(FMinAt, NowMs);
  FMinTransit = std::min(FMinTransit, static_cast<double>(Transit));
  const double Excess = static_cast<double>(Transit - MinTransit());
  const double Lone = Peak(NowMs);
  if (Excess >= Lone) {
    FPeak = Excess;
    FPeakAt = NowMs;
  }
  if (NowMs - FWindowStart >= WindowMs) {
    FWindows[FWindowNext] = {FWindowStart, FWindowPeak};
    FWindowNext = (FWindowNext + 1) % FWindows.size();
    FWindowStart = NowMs;
    FWindowPeak = 0;
  }
  FWindowPeak = std::max(FWindowPeak, Excess);
  double First = FWindowPeak, Second = 0;
  for (const auto& [At, Top] : FWindows) {
    if (NowMs - At >= static_cast<int64_t>(FWindows.size()) * WindowMs) continue;
    Second = std::max(Second, std::min(First, Top));
    First = std::max(First, Top);
  }
  if (Second >= FHabit * std::exp(-static_cast<double>(NowMs - FHabitAt) / HabitDecayMs)) {
    FHabit = Second;
    FHabitAt = NowMs;
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
  if (Position >= FPlayPos) FBoundary[Slot(Position)] = 1;
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
  for (int64_t P = FPlayPos; P < FPlayPos + Count; ++P) FPresent[Slot(P)] = FBoundary[Slot(P)] = 0;
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
  auto Since = [&](int64_t& From, int64_t Below) {
    if (FError >= static_cast<double>(Below)) From = NoPosition;
    else if (From == NoPosition) From = NowMs;
    return From == NoPosition ? 0 : NowMs - From;
  };
  const int64_t Far = Since(FFarSince, AccelerateBelow), Above = Since(FAboveSince, AccelerateSlowlyBelow);
  const bool Calm = Target <= int64_t{FSettings.MinDelayMs} * SamplesPerMs;
  if (Far >= AccelerateAfterMs || (Calm && Above >= AccelerateSlowlyAfterMs)) FAccelerating = true;
  if (FError > AccelerateUntil) FAccelerating = false;
  if (FAccelerating && FInsert == 0 && !FAfterMadeUp && AllPresent(FPlayPos, Frame + Lookahead)) {
    int16_t In[Frame + Lookahead];
    for (int64_t I = 0; I < Frame + Lookahead; ++I) In[I] = Linear(FPlayPos + I);
    int16_t Scaled[Frame];
    if (const int P = TimeScaleAccelerate(In, Frame + Lookahead, Scaled, Frame, static_cast<int>(-FError))) {
      FConcealer.Good(Scaled, Out, Frame);
      Consume(Frame + P);
      FError += P;
      ++FCounters.Accelerated;
      return true;
    }
  }
  bool MadeUp = false;
  int64_t Filled = 0;
  while (Filled < Frame) {
    const int64_t Room = Frame - Filled;
    if (FInsert > 0) {
      // Made-up audio going in before the real audio at the position.
      const int64_t N = std::min(Room, FInsert);
      MadeUpTowards(Out + Filled, N, FInsert, FPlayPos);
      FInsert -= N;
      Filled += N;
      FError -= static_cast<double>(N);
      MadeUp = MadeUp || !FStretching;
      continue;
    }
    if (FPresent[Slot(FPlayPos)]) {
      if (FConcealer.ErasedSamples() > 0 || (FAfterMadeUp && FLeadsInto != FPlayPos)) {
        // What was made up did not lead into this audio (it came later than
        // its turn, or after the buffer ran dry): a short stretch that does.
        FInsert = TConcealer::MergeLength;
        FLastInsertAt = FPlayPos;
        FStretching = false;
        continue;
      }
      if (FError > InsertAbove && FBoundary[Slot(FPlayPos)] && FLastInsertAt != FPlayPos) {
        FInsert = std::clamp(static_cast<int64_t>(FError) + InsertLeast, InsertLeast, InsertMost);
        FLastInsertAt = FPlayPos;
        FStretching = true;
        ++FCounters.Stretched;
        continue;
      }
      // Real audio as it came: up to a missing sample, the start of the next
      // packet (where a stretch may go in) or the end of the frame.
      int64_t Run = 1;
      while (Run < Room && FPresent[Slot(FPlayPos + Run)] && !FBoundary[Slot(FPlayPos + Run)]) ++Run;
      int16_t In[Frame];
      for (int64_t I = 0; I < Run; ++I) In[I] = Linear(FPlayPos + I);
      FConcealer.Good(In, Out + Filled, static_cast<size_t>(Run));
      FAfterMadeUp = false;
      Consume(Run);
      Filled += Run;
      FExpanded = 0;
      continue;
    }
    int64_t Gap = 1;
    while (FPlayPos + Gap < FHighestEnd && !FPresent[Slot(FPlayPos + Gap)]) ++Gap;
    if (FPlayPos + Gap >= FHighestEnd) {
      // The buffer runs dry: the rest is made up in place, the position stands
      // still, so that what comes late still plays.
      FConcealer.Conceal(Out + Filled, static_cast<size_t>(Room));
      MadeUp = FAfterMadeUp = true;
      FLeadsInto = NoPosition;
      FExpanded += Room;
      FError -= static_cast<double>(Room);
      Filled += Room;
      continue;
    }
    // A gap with audio after it: waited for in place a while, then given up.
    // The time made up in place stands in for the missing audio; what is
    // left of the gap is made up in its turn, leading into the audio after it.
    const int64_t Wait = std::min(WaitSamples, Gap);
    if (FExpanded < Wait) {
      const int64_t N = std::min(Room, Wait - FExpanded);
      MadeUpTowards(Out + Filled, N, Gap - FExpanded, FPlayPos + Gap);
      MadeUp = true;
      FExpanded += N;
      FError -= static_cast<double>(N);
      Filled += N;
      continue;
    }
    int64_t Skip = std::min(FExpanded, Gap);
    FExpanded -= Skip;
    FError += static_cast<double>(Skip);
    if (FError < SkipBelow) {
      // The delay is well above its target: less of the loss is made up.
      const int64_t Spare = Gap - Skip - TConcealer::MergeLength;
      const int64_t More = std::min(Spare, static_cast<int64_t>(SkipTo - FError));
      if (More > 0) {
        Skip += More;
        FError += static_cast<double>(More);
      }
    }
    Consume(Skip);
    if (const int64_t Left = Gap - Skip; Left > 0) {
      const int64_t N = std::min(Room, Left);
      MadeUpTowards(Out + Filled, N, Left, FPlayPos + Left);
      MadeUp = true;
      Consume(N);
      Filled += N;
    }
  }
  if (MadeUp) ++FCounters.Concealed;
  return true;
}

void TAdaptiveStream::MadeUpTowards(int16_t* Out, int64_t N, int64_t Remaining, int64_t At) {
  FAfterMadeUp = true;
  FLeadsInto = At;
  int16_t Next[Frame];
  int64_t Known = 0;
  while (Known < Frame && At + Known < FHighestEnd && FPresent[Slot(At + Known)]) {
    Next[Known] = Linear(At + Known);
    ++Known;
  }
  FConcealer.Towards(Out, static_cast<size_t>(N), static_cast<size_t>(Remaining), Next, static_cast<size_t>(Known));
}

bool TAdaptiveStream::Idle(int64_t NowMs) const {
  return NowMs - FLastArrival >= IdleMs && (!FStarted || FHighestEnd <= FPlayPos);
}

// ---- the streams together -----------------------------------------------------

void TAdaptiveReceiver::Configure(const TAdaptiveSettings& Settings) {
  Platform::TLockGuard G(FLock);
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
    Platform::TLockGuard G(FLock);
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
  Platform::TLockGuard G(FLock);
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
  Platform::TLockGuard G(FLock);
  for (auto& [Ssrc, Stream] : FStreams) {
    TAdaptiveCounters C = Stream->Counters();
    C.TargetMs = C.DelayMs = 0;
    FRetired.Add(C);
  }
  FStreams.clear();
  FClockKnown = false;
}

TAdaptiveCounters TAdaptiveReceiver::Counters() {
  Platform::TLockGuard G(FLock);
  TAdaptiveCounters C = FRetired;
  for (auto& [Ssrc, Stream] : FStreams) C.Add(Stream->Counters());
  return C;
}

size_t TAdaptiveReceiver::StreamCount() {
  Platform::TLockGuard G(FLock);
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
