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
      FBoundary(FRing.size(), 0),
      FArrival(FRing.size(), 0) {
  FUnwrap.Seen.fill(NoSequence);
}

double TAdaptiveStream::Peak(int64_t NowMs) const {
  const double Habit = FJitter.Habit * std::exp(-static_cast<double>(NowMs - FJitter.HabitAt) / HabitDecayMs);
  const double Calm = static_cast<double>(NowMs - FJitter.PeakAt) - LoneHoldMs;
  return std::max(Habit, Calm <= 0 ? FJitter.Peak : FJitter.Peak * std::exp(-Calm / LoneHoldMs));
}

int64_t TAdaptiveStream::TargetSamples(int64_t NowMs) const {
  const int64_t Low = int64_t{FSettings.MinDelayMs} * SamplesPerMs;
  const int64_t High = std::max<int64_t>(Low, int64_t{FSettings.MaxDelayMs} * SamplesPerMs);
  return std::clamp(static_cast<int64_t>(Peak(NowMs)) + MarginSamples, Low, High);
}

int64_t TAdaptiveStream::MinTransit() const { return static_cast<int64_t>(std::floor(FJitter.MinTransit)); }

void TAdaptiveStream::Restart(uint32_t Timestamp, uint16_t Sequence, int64_t NowMs) {
  // The jitter peak is kept: it says how the network behaves, not where the
  // sender's timestamps start.
  FPlayout.Started = true;
  FPlayout.Playing = false;
  std::fill(FPresent.begin(), FPresent.end(), 0);
  FUnwrap.LastTimestamp = Timestamp;
  FUnwrap.LastExtTimestamp = Timestamp;
  FPlayout.Pos = Timestamp;
  FPlayout.HighestEnd = Timestamp;
  // The sequence numbers go on from where they were, and the ones held are
  // kept: a repeat of a packet from before a pause is still a repeat.
  FUnwrap.HighestSequence =
      FUnwrap.SequenceKnown
          ? FUnwrap.HighestSequence + static_cast<int16_t>(static_cast<uint16_t>(Sequence - FUnwrap.LastSequence))
          : Sequence;
  FUnwrap.LastSequence = Sequence;
  FUnwrap.SequenceKnown = true;
  // A millisecond above the target: the ticks are whole milliseconds.
  FPlayout.StartAt = NowMs + TargetSamples(NowMs) / SamplesPerMs + 1;
  FJitter.MinTransit = static_cast<double>(NowMs * SamplesPerMs - FPlayout.Pos);
  FJitter.MinAt = NowMs;
  FPlayout.FirstArrival = NowMs;
  FPlayout.StartPackets = 0;
  FSteer = {};
  FMadeUp = {};
  std::fill(FBoundary.begin(), FBoundary.end(), 0);
}

void TAdaptiveStream::TrackTransit(int64_t Position, int64_t NowMs) {
  TJitter& J = FJitter;
  const int64_t Transit = NowMs * SamplesPerMs - Position;
  if (NowMs > J.MinAt) J.MinTransit += MinTransitRise * static_cast<double>(NowMs - J.MinAt);
  J.MinAt = std::max(J.MinAt, NowMs);
  J.MinTransit = std::min(J.MinTransit, static_cast<double>(Transit));
  const double Excess = static_cast<double>(Transit - MinTransit());
  const double Lone = Peak(NowMs);
  if (Excess >= Lone) {
    J.Peak = Excess;
    J.PeakAt = NowMs;
  }
  if (NowMs - J.WindowStart >= WindowMs) {
    J.Windows[J.WindowNext] = {J.WindowStart, J.WindowPeak};
    J.WindowNext = (J.WindowNext + 1) % J.Windows.size();
    J.WindowStart = NowMs;
    J.WindowPeak = 0;
  }
  J.WindowPeak = std::max(J.WindowPeak, Excess);
  double First = J.WindowPeak, Second = 0;
  for (const auto& [At, Top] : J.Windows) {
    if (NowMs - At >= static_cast<int64_t>(J.Windows.size()) * WindowMs) continue;
    Second = std::max(Second, std::min(First, Top));
    First = std::max(First, Top);
  }
  if (Second >= J.Habit * std::exp(-static_cast<double>(NowMs - J.HabitAt) / HabitDecayMs)) {
    J.Habit = Second;
    J.HabitAt = NowMs;
  }
}

TPushResult TAdaptiveStream::Push(uint16_t Sequence, uint32_t Timestamp, const uint8_t* Payload, uint32_t Size,
                                  int64_t NowMs) {
  if (Size == 0 || Size > FRing.size() / 2) return TPushResult::Refused;
  if (!FPlayout.Started) Restart(Timestamp, Sequence, NowMs);
  int64_t Position = FUnwrap.LastExtTimestamp + static_cast<int32_t>(Timestamp - FUnwrap.LastTimestamp);
  int64_t Seq = FUnwrap.HighestSequence + static_cast<int16_t>(static_cast<uint16_t>(Sequence - FUnwrap.LastSequence));
  const int64_t End = Position + Size;
  if (End <= FPlayout.Pos - FarBehindSamples || End > FPlayout.Pos + static_cast<int64_t>(FRing.size())) {
    // Far outside the window: the sender started over with other timestamps.
    ++FCounters.Restarts;
    Restart(Timestamp, Sequence, NowMs);
    Position = FUnwrap.LastExtTimestamp;
    Seq = FUnwrap.HighestSequence;
  }
  int64_t& Seen = FUnwrap.Seen[static_cast<size_t>(Seq) & (FUnwrap.Seen.size() - 1)];
  if (Seen == Seq) {
    ++FCounters.Duplicate;
    return TPushResult::Duplicate;
  }
  Seen = Seq;
  const bool Reordered = Seq < FUnwrap.HighestSequence;
  if (Seq > FUnwrap.HighestSequence) {
    FUnwrap.HighestSequence = Seq;
    FUnwrap.LastSequence = Sequence;
  }
  if (Position > FUnwrap.LastExtTimestamp) {
    FUnwrap.LastExtTimestamp = Position;
    FUnwrap.LastTimestamp = Timestamp;
  }
  FPlayout.LastArrival = NowMs;
  // A late packet is the best evidence of the jitter: it counts too.
  TrackTransit(Position, NowMs);
  if (FPlayout.Playing && Position + Size <= FPlayout.Pos) {
    ++FCounters.Late;
    return TPushResult::Late;
  }
  // Before the playout begins, a packet that belongs before the first one
  // moves the start back.
  if (!FPlayout.Playing && Position < FPlayout.Pos) FPlayout.Pos = Position;
  for (int64_t P = std::max(Position, FPlayout.Pos); P < Position + Size; ++P) {
    FRing[Slot(P)] = Payload[P - Position];
    FPresent[Slot(P)] = 1;
  }
  if (Position >= FPlayout.Pos) {
    FBoundary[Slot(Position)] = 1;
    FArrival[Slot(Position)] = static_cast<uint32_t>(NowMs);
  }
  FPlayout.HighestEnd = std::max(FPlayout.HighestEnd, Position + static_cast<int64_t>(Size));
  ++FPlayout.StartPackets;
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
  for (int64_t P = FPlayout.Pos; P < FPlayout.Pos + Count; ++P) {
    const size_t At = Slot(P);
    if (FBoundary[At]) FPlayout.AudioArrival = FArrival[At];
    FPresent[At] = FBoundary[At] = 0;
  }
  FPlayout.Pos += Count;
}

void TAdaptiveStream::CountReceived(int64_t Count) {
  FFrame.Received += Count;
  FFrame.DelaySumMs += static_cast<uint64_t>(Count) * (FFrame.NowMs - FPlayout.AudioArrival);
}

TStreamFrame TAdaptiveStream::LastFrame() const {
  TStreamFrame F;
  F.Sender = FSender;
  F.Played = FFrame.Played;
  F.MadeUpSamples = static_cast<uint32_t>(FFrame.MadeUp);
  F.DelayMs = FFrame.LastDelayMs;
  F.DroppedSamples = static_cast<uint32_t>(FFrame.Dropped);
  F.EndedSamples = static_cast<uint32_t>(FFrame.Ended);
  return F;
}

// Each frame: start or stop, steer the delay, then one shortened frame of real audio or the frame step by step.
bool TAdaptiveStream::Pull(int16_t* Out, int64_t NowMs) {
  // The delay of a frame without received audio stays as it was.
  const uint32_t LastDelayMs = FFrame.LastDelayMs;
  FFrame = {};
  FFrame.NowMs = static_cast<uint32_t>(NowMs);
  FFrame.LastDelayMs = LastDelayMs;
  if (!FPlayout.Started) return false;
  const int64_t Target = TargetSamples(NowMs);
  const double Error = static_cast<double>(FPlayout.Pos - (NowMs * SamplesPerMs - MinTransit() - Target));
  if (!FPlayout.Playing && !BeginPlayout(NowMs, Error)) return false;
  if (StopAfterPause(NowMs)) return false;
  FSteer.Error += (Error - FSteer.Error) * ErrorSmoothing;
  CountFrame(Target);
  SteerAcceleration(NowMs, Target);
  FFrame.Played = true;
  if (!Accelerate(Out)) {
    for (int64_t Filled = 0; Filled < Frame;) {
      const TPlayed Step = PlayNext(Out + Filled, Frame - Filled);
      Filled += Step.Samples;
      if (Step.MadeUp) FFrame.MadeUp += Step.Samples;
    }
    if (FFrame.MadeUp > 0) ++FCounters.Concealed;
  }
  if (FFrame.Received > 0)
    FFrame.LastDelayMs = static_cast<uint32_t>(FFrame.DelaySumMs / static_cast<uint64_t>(FFrame.Received));
  return true;
}

// Whether the playout begins: the start delay is over and a second packet came or waited long enough.
bool TAdaptiveStream::BeginPlayout(int64_t NowMs, double Error) {
  // A few packets tell whether they come evenly or in bursts; a sender that
  // starts with a burst is played from its first packet, the delay steered
  // down afterwards.
  if (NowMs < FPlayout.StartAt) return false;
  if (FPlayout.StartPackets < StartPackets && NowMs < FPlayout.FirstArrival + int64_t{FSettings.MaxDelayMs})
    return false;
  FPlayout.Playing = true;
  FSteer.Error = Error;
  return true;
}

// Whether the sender paused or left (nothing buffered, nothing came): then the next packet starts over.
bool TAdaptiveStream::StopAfterPause(int64_t NowMs) {
  const bool Empty = FPlayout.HighestEnd <= FPlayout.Pos;
  if (!Empty || NowMs - FPlayout.LastArrival < PauseMs || FConcealer.ErasedSamples() < TConcealer::SilentAfter)
    return false;
  FFrame.Ended = FMadeUp.Expanded;
  FPlayout.Started = false;
  FPlayout.Playing = false;
  return true;
}

// The frame is counted, with the delay aimed at and the delay buffered.
void TAdaptiveStream::CountFrame(int64_t Target) {
  FCounters.TargetMs = static_cast<uint32_t>(Target / SamplesPerMs);
  FCounters.DelayMs = static_cast<uint32_t>(std::max<int64_t>(0, FPlayout.HighestEnd - FPlayout.Pos) / SamplesPerMs);
  ++FCounters.Frames;
}

// Whether real audio is shortened: from when the delay stayed too long above its target until it is near it.
void TAdaptiveStream::SteerAcceleration(int64_t NowMs, int64_t Target) {
  auto Since = [&](int64_t& From, int64_t Below) {
    if (FSteer.Error >= static_cast<double>(Below)) From = NoPosition;
    else if (From == NoPosition) From = NowMs;
    return From == NoPosition ? 0 : NowMs - From;
  };
  const int64_t Far = Since(FSteer.FarSince, AccelerateBelow);
  const int64_t Above = Since(FSteer.AboveSince, AccelerateSlowlyBelow);
  const bool Calm = Target <= int64_t{FSettings.MinDelayMs} * SamplesPerMs;
  if (Far >= AccelerateAfterMs || (Calm && Above >= AccelerateSlowlyAfterMs)) FSteer.Accelerating = true;
  if (FSteer.Error > AccelerateUntil) FSteer.Accelerating = false;
}

// Whether this frame drops a pitch period of real audio to shorten the delay (never next to made-up audio).
bool TAdaptiveStream::Accelerate(int16_t* Out) {
  if (!FSteer.Accelerating || FMadeUp.Insert != 0 || FMadeUp.LastPlayed || !AllPresent(FPlayout.Pos, Frame + Lookahead))
    return false;
  int16_t In[Frame + Lookahead];
  for (int64_t I = 0; I < Frame + Lookahead; ++I) In[I] = Linear(FPlayout.Pos + I);
  int16_t Scaled[Frame];
  const int P = TimeScaleAccelerate(In, Frame + Lookahead, Scaled, Frame, static_cast<int>(-FSteer.Error));
  if (P == 0) return false;
  FConcealer.Good(Scaled, Out, Frame);
  Consume(Frame + P);
  CountReceived(Frame);
  FFrame.Dropped = P;
  FSteer.Error += P;
  ++FCounters.Accelerated;
  return true;
}

// What the next samples of the frame are: made-up audio going in, real audio, or what stands for a gap.
TAdaptiveStream::TPlayed TAdaptiveStream::PlayNext(int16_t* Out, int64_t Room) {
  if (FMadeUp.Insert > 0) return PlayInsert(Out, Room);
  if (FPresent[Slot(FPlayout.Pos)]) return PlaceInsert() ? TPlayed{} : PlayRun(Out, Room);
  int64_t Gap = 1;
  while (FPlayout.Pos + Gap < FPlayout.HighestEnd && !FPresent[Slot(FPlayout.Pos + Gap)]) ++Gap;
  if (FPlayout.Pos + Gap >= FPlayout.HighestEnd) return ConcealDry(Out, Room);
  if (FMadeUp.Expanded < std::min(WaitSamples, Gap)) return WaitForGap(Out, Room, Gap);
  return SkipGap(Out, Room, Gap);
}

// Made-up audio going in before the real audio at the position; made up unless it only lengthens the delay.
TAdaptiveStream::TPlayed TAdaptiveStream::PlayInsert(int16_t* Out, int64_t Room) {
  const int64_t N = std::min(Room, FMadeUp.Insert);
  MadeUpTowards(Out, N, FMadeUp.Insert, FPlayout.Pos);
  FMadeUp.Insert -= N;
  FSteer.Error -= static_cast<double>(N);
  return {N, !FMadeUp.Stretching};
}

// Whether a made-up stretch goes in before the real audio here: to lead into it, or to lengthen the delay.
bool TAdaptiveStream::PlaceInsert() {
  const int64_t Pos = FPlayout.Pos;
  if (FConcealer.ErasedSamples() > 0 || (FMadeUp.LastPlayed && FMadeUp.LeadsInto != Pos)) {
    // What was made up did not lead into this audio (it came later than
    // its turn, or after the buffer ran dry): a short stretch that does.
    FMadeUp.Insert = TConcealer::MergeLength;
    FMadeUp.LastInsertAt = Pos;
    FMadeUp.Stretching = false;
    return true;
  }
  if (FSteer.Error > InsertAbove && FBoundary[Slot(Pos)] && FMadeUp.LastInsertAt != Pos) {
    FMadeUp.Insert = std::clamp(static_cast<int64_t>(FSteer.Error) + InsertLeast, InsertLeast, InsertMost);
    FMadeUp.LastInsertAt = Pos;
    FMadeUp.Stretching = true;
    ++FCounters.Stretched;
    return true;
  }
  return false;
}

// Real audio as it came, up to a missing sample, the next packet (a stretch may go in there) or the frame end.
TAdaptiveStream::TPlayed TAdaptiveStream::PlayRun(int16_t* Out, int64_t Room) {
  const int64_t Pos = FPlayout.Pos;
  int64_t Run = 1;
  while (Run < Room && FPresent[Slot(Pos + Run)] && !FBoundary[Slot(Pos + Run)]) ++Run;
  int16_t In[Frame];
  // Every sample of the run is present: decoded without asking again.
  for (int64_t I = 0; I < Run; ++I) In[I] = Platform::ALawToLinear(FRing[Slot(Pos + I)]);
  FConcealer.Good(In, Out, static_cast<size_t>(Run));
  FMadeUp.LastPlayed = false;
  Consume(Run);
  CountReceived(Run);
  FMadeUp.Expanded = 0;
  return {Run, false};
}

// The buffer ran dry: the rest is made up in place, the position stands still, so that what comes late plays.
TAdaptiveStream::TPlayed TAdaptiveStream::ConcealDry(int16_t* Out, int64_t Room) {
  FConcealer.Conceal(Out, static_cast<size_t>(Room));
  FMadeUp.LastPlayed = true;
  FMadeUp.LeadsInto = NoPosition;
  FMadeUp.Expanded += Room;
  FSteer.Error -= static_cast<double>(Room);
  return {Room, true};
}

// A gap with audio after it is waited for in place, up to a frame's time: a packet a little late still plays.
TAdaptiveStream::TPlayed TAdaptiveStream::WaitForGap(int16_t* Out, int64_t Room, int64_t Gap) {
  const int64_t Wait = std::min(WaitSamples, Gap);
  const int64_t N = std::min(Room, Wait - FMadeUp.Expanded);
  MadeUpTowards(Out, N, Gap - FMadeUp.Expanded, FPlayout.Pos + Gap);
  FMadeUp.Expanded += N;
  FSteer.Error -= static_cast<double>(N);
  return {N, true};
}

// The gap is given up: how much of it is skipped, the rest made up in its turn leading into the audio after it.
TAdaptiveStream::TPlayed TAdaptiveStream::SkipGap(int16_t* Out, int64_t Room, int64_t Gap) {
  // The time made up in place stands in for the missing audio.
  int64_t Skip = std::min(FMadeUp.Expanded, Gap);
  FMadeUp.Expanded -= Skip;
  FSteer.Error += static_cast<double>(Skip);
  if (FSteer.Error < SkipBelow) {
    // The delay is well above its target: less of the loss is made up.
    const int64_t Spare = Gap - Skip - TConcealer::MergeLength;
    const int64_t More = std::min(Spare, static_cast<int64_t>(SkipTo - FSteer.Error));
    if (More > 0) {
      Skip += More;
      FSteer.Error += static_cast<double>(More);
    }
  }
  Consume(Skip);
  const int64_t Left = Gap - Skip;
  if (Left <= 0) return {};
  const int64_t N = std::min(Room, Left);
  MadeUpTowards(Out, N, Left, FPlayout.Pos + Left);
  Consume(N);
  return {N, true};
}

void TAdaptiveStream::MadeUpTowards(int16_t* Out, int64_t N, int64_t Remaining, int64_t At) {
  FMadeUp.LastPlayed = true;
  FMadeUp.LeadsInto = At;
  int16_t Next[Frame];
  int64_t Known = 0;
  while (Known < Frame && At + Known < FPlayout.HighestEnd && FPresent[Slot(At + Known)]) {
    Next[Known] = Linear(At + Known);
    ++Known;
  }
  FConcealer.Towards(Out, static_cast<size_t>(N), static_cast<size_t>(Remaining), Next, static_cast<size_t>(Known));
}

bool TAdaptiveStream::Idle(int64_t NowMs) const {
  return NowMs - FPlayout.LastArrival >= IdleMs && (!FPlayout.Started || FPlayout.HighestEnd <= FPlayout.Pos);
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
                                    uint32_t Size, uint32_t NowTick, int32_t Sender) {
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
    It->second->SetSender(Sender);
    Result = It->second->Push(Sequence, Timestamp, Payload, Size, T);
  }
  if (NewStream && DoLog) WriteLog(Format("Adaptive receive: new stream [SSRC=%u]", Ssrc));
  return Result;
}

bool TAdaptiveReceiver::Pull(uint8_t* Frame, uint32_t NowTick) {
  TFrameReport Unused;
  return Pull(Frame, NowTick, Unused);
}

bool TAdaptiveReceiver::Pull(uint8_t* Frame, uint32_t NowTick, TFrameReport& Report) {
  Report.Count = 0;
  Platform::TLockGuard G(FLock);
  const int64_t T = Now(NowTick);
  int32_t Sum[TAdaptiveStream::FrameSamples] = {};
  int16_t One[TAdaptiveStream::FrameSamples];
  bool Any = false;
  for (auto& [Ssrc, Stream] : FStreams) {
    const bool Played = Stream->Pull(One, T);
    // At most MaxStreams streams: Push refuses more.
    if (const TStreamFrame F = Stream->LastFrame(); F.Played || F.EndedSamples > 0) Report.Streams[Report.Count++] = F;
    if (!Played) continue;
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
