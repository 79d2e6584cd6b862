#pragma once
// The adaptive receive buffer: the alternative to TJitterBuffer for a network
// that reorders, delays in bursts, loses packets or runs on another clock.
//
// TAdaptiveStream holds one sender's audio (one SSRC) as A-law samples placed
// by their RTP timestamp, so that packets are played in their order whatever
// order they came in, and a repeat finds its place taken. Its playout delay
// follows the measured jitter: the delay of each packet beyond the quickest
// recent one is tracked as a peak that jumps up at once, is held for a while
// (10 s once a height has come twice, 1 s for a lone spike) and then decays,
// and the target is that peak plus a margin, within the configured bounds.
//
// Real audio is played as it came wherever possible. A sample missing at its
// turn is made up (concealment.h): with audio after the gap, the missing
// packet is first waited for a frame's time in place, so that one that comes
// a little late still plays; the made-up stretch ends in the waveform of the
// audio that follows it, which then plays untouched. When nothing at all is
// buffered the made-up audio goes in without moving the position on, so a
// burst that comes late is played rather than thrown away. The delay is
// lengthened by short made-up stretches put in where a packet begins,
// shortened by making up less of a loss, and only when it is far above its
// target by dropping a pitch period of real audio; these steps also absorb
// the sender's clock running against the headset's.
//
// TAdaptiveReceiver keeps a stream per SSRC and mixes what they play into the
// one played stream; it locks itself (the network thread pushes, the session
// thread pulls).

#include <array>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "audio/concealment.h"
#include "platform/mutex.h"

struct TAdaptiveSettings {
  uint32_t MinDelayMs = 20;
  uint32_t MaxDelayMs = 200;
};

// What the buffer did; counts since the start.
struct TAdaptiveCounters {
  uint64_t Packets = 0;      // stored
  uint64_t Late = 0;         // came after their turn: dropped
  uint64_t Reordered = 0;    // came after a later packet, still in time
  uint64_t Duplicate = 0;    // a packet already received
  uint64_t Frames = 0;       // frames played
  uint64_t Concealed = 0;    // frames with made-up samples
  uint64_t Accelerated = 0;  // pitch periods dropped to shorten the delay
  uint64_t Stretched = 0;    // made-up stretches put in between packets to lengthen it
  uint64_t Restarts = 0;     // a stream started over (a pause, or a jump of its timestamps)
  uint32_t TargetMs = 0;     // the delay aimed at (the largest over the streams)
  uint32_t DelayMs = 0;      // audio buffered ahead of the playout (the largest over the streams)

  void Add(const TAdaptiveCounters& O);
};

enum class TPushResult { Stored, Late, Duplicate, Refused };

// What one stream gave to one frame, for the call figures of its sender.
struct TStreamFrame {
  int32_t Sender = 0;           // who sent the stream's latest packet
  bool Played = false;          // the stream gave the frame its audio
  uint32_t MadeUpSamples = 0;   // made up in place of audio that did not come
  // How long after their arrival the received samples of the frame were taken
  // (their mean); for a frame all made up, the last such figure.
  uint32_t DelayMs = 0;
  uint32_t DroppedSamples = 0;  // received audio dropped to shorten the delay
  // The stream stopped after a pause (Played false): the samples it made up
  // since its last audio followed its end, and stood for no lost audio.
  uint32_t EndedSamples = 0;
};

class TAdaptiveStream {
public:
  static constexpr int FrameSamples = 160;  // 20 ms at 8000 samples/s
  static constexpr int SamplesPerMs = 8;

  explicit TAdaptiveStream(const TAdaptiveSettings& Settings);

  // One packet's A-law payload at NowMs (the receiving side's millisecond clock).
  TPushResult Push(uint16_t Sequence, uint32_t Timestamp, const uint8_t* Payload, uint32_t Size, int64_t NowMs);
  // The next 20 ms as linear samples; false while the stream has nothing to
  // play (before its first packet has waited the target, or once it has been
  // silent for a while).
  bool Pull(int16_t* Frame, int64_t NowMs);
  // Nothing has arrived for IdleMs and nothing is being played.
  bool Idle(int64_t NowMs) const;
  // What the last Pull gave (its sender as SetSender last said).
  TStreamFrame LastFrame() const;
  void SetSender(int32_t Sender) { FSender = Sender; }

  const TAdaptiveCounters& Counters() const { return FCounters; }
  int64_t TargetSamples(int64_t NowMs) const;

  static constexpr int64_t IdleMs = 2000;
  static constexpr int64_t PauseMs = 500;  // nothing buffered and nothing came for this long: stop playing

private:
  static constexpr int64_t NoPosition = std::numeric_limits<int64_t>::min();

  // What one step of a frame's playout gave: samples written, made up or not.
  struct TPlayed {
    int64_t Samples = 0;
    bool MadeUp = false;
  };

  void Restart(uint32_t Timestamp, uint16_t Sequence, int64_t NowMs);
  void TrackTransit(int64_t Position, int64_t NowMs);
  double Peak(int64_t NowMs) const;
  int64_t MinTransit() const;
  size_t Slot(int64_t Position) const { return static_cast<size_t>(Position) & (FRing.size() - 1); }
  bool AllPresent(int64_t From, int64_t Count) const;
  int16_t Linear(int64_t Position) const;
  void Consume(int64_t Count);
  // Count received samples of the frame, of the packet that arrived last among those consumed.
  void CountReceived(int64_t Count);
  // N made-up samples of a stretch that reaches the audio at At after Remaining.
  void MadeUpTowards(int16_t* Out, int64_t N, int64_t Remaining, int64_t At);

  // The steps of Pull, in the order they are tried.
  bool BeginPlayout(int64_t NowMs, double Error);
  bool StopAfterPause(int64_t NowMs);
  void CountFrame(int64_t Target);
  void SteerAcceleration(int64_t NowMs, int64_t Target);
  bool Accelerate(int16_t* Out);
  TPlayed PlayNext(int16_t* Out, int64_t Room);
  TPlayed PlayInsert(int16_t* Out, int64_t Room);
  bool PlaceInsert();
  TPlayed PlayRun(int16_t* Out, int64_t Room);
  TPlayed ConcealDry(int16_t* Out, int64_t Room);
  TPlayed WaitForGap(int16_t* Out, int64_t Room, int64_t Gap);
  TPlayed SkipGap(int16_t* Out, int64_t Room, int64_t Gap);

  const TAdaptiveSettings FSettings;
  std::vector<uint8_t> FRing;     // A-law codes by timestamp
  std::vector<uint8_t> FPresent;  // 1 where FRing holds a received code
  std::vector<uint8_t> FBoundary; // 1 where a received packet begins
  std::vector<uint32_t> FArrival; // where a packet begins: when it came (ms, wrapping)
  TConcealer FConcealer;
  TAdaptiveCounters FCounters;
  int32_t FSender = 0;
  // The frame being pulled, as LastFrame gives it.
  struct TFrameFigures {
    uint32_t NowMs = 0;  // wrapping, as FArrival
    bool Played = false;
    int64_t Received = 0, MadeUp = 0, Dropped = 0, Ended = 0;
    uint64_t DelaySumMs = 0;  // over the received samples
    uint32_t LastDelayMs = 0;
  } FFrame;

  // Where the stream stands: what has come and where the playout is.
  struct TPlayout {
    bool Started = false;      // a packet has come since the last restart
    bool Playing = false;      // the playout runs
    int64_t StartAt = 0;       // when the playout begins
    int64_t FirstArrival = 0;  // of the first packet since the restart
    int StartPackets = 0;      // packets stored since the restart
    int64_t Pos = 0;           // timestamp of the next sample played
    int64_t HighestEnd = 0;    // end of the newest audio stored
    int64_t LastArrival = 0;
    uint32_t AudioArrival = 0;  // when the packet of the audio consumed last came (ms, wrapping)
  } FPlayout;
  // Timestamps and sequence numbers unwrapped against the highest seen.
  struct TUnwrap {
    uint32_t LastTimestamp = 0;
    int64_t LastExtTimestamp = 0;
    uint16_t LastSequence = 0;
    int64_t HighestSequence = 0;
    bool SequenceKnown = false;
    std::array<int64_t, 512> Seen{};  // the sequence numbers held, by their low bits
  } FUnwrap;
  // Transit (arrival in samples minus timestamp): the quickest, rising slowly
  // by itself, and the peak of the excess over it.
  struct TJitter {
    double MinTransit = 0;
    int64_t MinAt = 0;
    double Peak = 0;     // the last spike, as reached
    int64_t PeakAt = 0;  // when
    double Habit = 0;    // the network's habit, as last reached
    int64_t HabitAt = 0;
    // The peaks of the last half seconds (start, peak), the current one apart.
    std::array<std::pair<int64_t, double>, 20> Windows{};
    size_t WindowNext = 0;
    int64_t WindowStart = 0;
    double WindowPeak = 0;
  } FJitter;
  // How the delay is being steered towards its target; reset at a restart.
  struct TSteering {
    double Error = 0;                 // smoothed playout position minus the one aimed at, in samples
    bool Accelerating = false;        // the delay is being brought down
    int64_t FarSince = NoPosition;    // since when the delay has been far above its target
    int64_t AboveSince = NoPosition;  // since when it has been somewhat above it
  } FSteer;
  // The made-up audio around the real audio; reset at a restart.
  struct TMadeUp {
    int64_t Expanded = 0;               // samples made up in place since real audio last played
    int64_t Insert = 0;                 // made-up samples still to go in before the audio at the position
    int64_t LastInsertAt = NoPosition;  // where made-up audio last went in (one stretch per place)
    bool Stretching = false;            // what goes in lengthens the delay (no loss is made up)
    bool LastPlayed = false;            // the last sample played was made up
    int64_t LeadsInto = NoPosition;     // the position that made-up audio led into
  } FMadeUp;
};

class TAdaptiveReceiver {
public:
  static constexpr size_t MaxStreams = 16;

  TAdaptiveReceiver() = default;
  TAdaptiveReceiver(const TAdaptiveReceiver&) = delete;
  TAdaptiveReceiver& operator=(const TAdaptiveReceiver&) = delete;

  // Drops every stream and sets the bounds for the next ones.
  void Configure(const TAdaptiveSettings& Settings);
  // Sender: who sent the packet, as the frame reports name it.
  TPushResult Push(uint32_t Ssrc, uint16_t Sequence, uint32_t Timestamp, const uint8_t* Payload, uint32_t Size,
                   uint32_t NowTick, int32_t Sender = 0);
  // The next 20 ms (160 A-law codes): what the streams play, summed with
  // saturation. False when no stream has anything to play.
  bool Pull(uint8_t* Frame, uint32_t NowTick);
  // What each stream gave to a frame: those that played, and those that
  // stopped after a pause.
  struct TFrameReport {
    size_t Count = 0;
    std::array<TStreamFrame, MaxStreams> Streams;
  };
  // Pull, with the report of the streams (Count 0 when none played or stopped).
  bool Pull(uint8_t* Frame, uint32_t NowTick, TFrameReport& Report);
  // Drops every stream; the counters stay.
  void Clear();

  TAdaptiveCounters Counters();
  size_t StreamCount();
  // The counters as one line of the measure file.
  std::string ReportLine();

private:
  int64_t Now(uint32_t Tick) REQUIRES(FLock);

  Platform::TMutex FLock;
  TAdaptiveSettings FSettings GUARDED_BY(FLock);
  std::map<uint32_t, std::unique_ptr<TAdaptiveStream>> FStreams GUARDED_BY(FLock);
  TAdaptiveCounters FRetired GUARDED_BY(FLock);  // streams gone
  bool FClockKnown GUARDED_BY(FLock) = false;
  uint32_t FLastTick GUARDED_BY(FLock) = 0;
  int64_t FNow GUARDED_BY(FLock) = 0;
};
