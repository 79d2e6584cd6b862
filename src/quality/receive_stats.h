#pragma once
// How one peer's audio arrived and played, for the length of a call: the
// receive statistics of RFC 3550 (its appendices A.1, A.3 and A.8) for the
// peer's RTP stream, what the receive buffer made of it, and an E-model score,
// each over windows of 10 s (the live figure) and over the whole call, so that
// a bad stretch of a long call shows in its window rather than being averaged
// away.
//
// The caller feeds every datagram of the stream whose header could be read,
// whatever became of it (OnPacket: a few comparisons and additions, nothing
// allocated), what the player took per frame (OnFrame, OnSilence, OnDropped),
// and the clock (Advance); it reads Snapshot for its figures and Finish for
// the call record. Not thread-safe: the caller guards it.
//
// Two counts of loss are kept apart. The network's loss is RFC 3550's:
// expected by sequence numbers, less received; a repeat counts as received (so
// it can be negative), and it is what an RTCP report block carries. The loss
// after the buffer is what the listener missed: a sequence number counts as
// played once a packet with it was played; one not played by the time 64 later
// numbers have come is missing (lost, dropped late or refused). That share and
// its runs give the E-model its Ppl and BurstR. A window counts the numbers
// settled in it, so a loss counts in the window where it was settled, up to 64
// packets (1.28 s) after it.

#include <array>
#include <cstdint>
#include <optional>

#include "quality/emodel.h"

// RTP timestamp units per second of the audio received (G.711).
inline constexpr uint32_t ReceiveClockRate = 8000;

// What the caller's checks made of a received packet.
enum class TPacketFate : uint8_t {
  Played,   // went on to be played
  Repeat,   // a copy of one already received
  Late,     // came after its turn: dropped by the receive buffer
  Refused,  // refused, for example as out of the expected range of sequence numbers
};

// The reception figures of an RTCP report block about the stream, as of now.
struct TReceptionReport {
  uint32_t Ssrc = 0;
  uint8_t FractionLost = 0;    // since the previous report, in 1/256
  int32_t CumulativeLost = 0;  // clamped to a signed 24-bit value
  uint32_t ExtendedHighestSequence = 0;
  uint32_t Jitter = 0;  // timestamp units
};

struct TReceiveStatsSettings {
  uint32_t WindowMs = 10000;
  uint32_t PacketMs = 20;    // packetisation: part of the one-way delay
  bool Concealment = true;   // the receive buffer makes up lost audio (else it leaves silence)
};

// The figures of one window, or of the whole call.
struct TQualityFigures {
  int64_t StartUs = 0, EndUs = 0;

  // The network, by sequence numbers.
  uint64_t Packets = 0;   // datagrams of the stream
  int64_t Expected = 0;
  int64_t Lost = 0;       // expected less received; repeats make it negative
  double LossPercent = 0; // of expected; 0 when Lost is not positive
  uint64_t Repeats = 0, Late = 0, Refused = 0;
  double JitterMs = 0;     // RFC 3550's interarrival jitter at the end (the call: the mean over its windows)
  double JitterMaxMs = 0;  // its highest

  // After the receive buffer.
  uint64_t Settled = 0;   // sequence numbers settled
  uint64_t Missing = 0;   // of them, not played
  uint64_t MissingRuns = 0;
  double PplPercent = 0;
  double BurstR = 1;

  // The audio played.
  uint64_t AudioMs = 0;      // played, made up or silent
  uint64_t ConcealedMs = 0;  // made up in place of audio that was not there
  uint64_t SilentMs = 0;     // nothing to play
  uint64_t DroppedMs = 0;    // received audio thrown away
  uint64_t LongestGapMs = 0; // the longest stretch made up or silent
  double ConcealedPercent = 0;  // made up, of AudioMs
  double DroppedPercent = 0;    // thrown away, of AudioMs
  double BufferDelayMs = 0;     // the receive buffer's delay, mean over the frames
  uint32_t BufferDelayP95Ms = 0;  // its 95th percentile, to 5 ms (the call only)
  uint32_t DeviceDelayMs = 0;

  // The E-model, when anything was settled.
  bool Scored = false;
  TCallScore Score;
};

struct TReceiveSnapshot {
  uint32_t Windows = 0;       // closed so far
  TQualityFigures Window;     // the last closed window
  TQualityFigures Worst;      // the closed window with the lowest R
  TQualityFigures Call;       // the call so far, the open window included
};

class TReceiveStats {
public:
  explicit TReceiveStats(const TReceiveStatsSettings& Settings = {});

  // A call begins: everything starts over.
  void Start(int64_t NowUs);

  // A datagram of the peer's stream, at its arrival on a steady clock (any
  // epoch, in microseconds). A new SSRC starts the stream's figures over (the
  // call's go on).
  void OnPacket(uint32_t Ssrc, uint16_t Sequence, uint32_t Timestamp, int64_t ArrivalUs, TPacketFate Kind);
  // The packet of Sequence, given as Played, was dropped after all: it came
  // after its turn (a buffer that judges that only once it holds it).
  void OnLate(uint16_t Sequence);

  // A frame the player took: Ms of audio, MadeUpMs of it made up, played
  // DelayMs after it arrived.
  void OnFrame(uint32_t Ms, uint32_t MadeUpMs, uint32_t DelayMs);
  // Ms with nothing to play.
  void OnSilence(uint32_t Ms);
  // Ms of received audio thrown away (to shorten the delay, or an overflow).
  void OnDropped(uint32_t Ms);
  // The last Ms given as made up followed the stream's end (it paused or
  // stopped) rather than stood for lost audio: they count as nothing to play
  // (in the open window, and what remains in the call's closed ones).
  void OnEndedMadeUp(uint32_t Ms);

  // What the bridge knows of the rest of the delay: the device's buffering,
  // and the round trip to the peer when RTCP measured one (a window is rated
  // with the latest, the call with their mean).
  void SetDeviceDelayMs(uint32_t Ms) { FDeviceDelayMs = Ms; }
  void SetRoundTripMs(double Ms);

  // Closes the windows that are due by NowUs; how many closed.
  uint32_t Advance(int64_t NowUs);

  // The figures an RTCP report block carries; the fraction lost is counted
  // anew from here.
  TReceptionReport Report();

  TReceiveSnapshot Snapshot() const;
  // The call ends: the open window closes, every pending sequence number is
  // settled. The result is the call record; Start begins the next call.
  TReceiveSnapshot Finish(int64_t NowUs);

  // RFC 3550's limits for a sequence number that jumps.
  static constexpr uint16_t MaxDropout = 3000;
  static constexpr uint16_t MaxMisorder = 100;
  static constexpr int MinSequential = 2;
  static constexpr uint32_t SettleDepth = 64;
  static constexpr uint32_t DelayBucketMs = 5;
  static constexpr size_t DelayBuckets = 128;

  static int32_t ClampCumulativeLost(int64_t Lost);

private:
  // What a window adds up; the call's is the sum of its windows'.
  struct TCounters {
    uint64_t Packets = 0, Repeats = 0, Late = 0, Refused = 0;
    int64_t Expected = 0, Received = 0;
    uint64_t Settled = 0, Missing = 0, MissingRuns = 0;
    int64_t JitterEnd = 0, JitterMax = 0;  // as FJitter
    uint64_t AudioMs = 0, ConcealedMs = 0, SilentMs = 0, DroppedMs = 0, LongestGapMs = 0;
    uint64_t DelaySumMs = 0, DelayFrames = 0;
    void Add(const TCounters& O);
  };

  // Sequence numbers (RFC 3550 A.1). Counts the packet and returns true when
  // it belongs to the stream as it now stands; sets Extended to its extended
  // sequence number.
  bool UpdateSequence(uint16_t Sequence, uint32_t& Extended);
  void InitSequence(uint16_t Sequence);
  void NewSource(uint32_t Ssrc, uint16_t Sequence);
  // The stream as numbered so far ends (a new source, a restart, the call's end).
  void EndEpoch();
  uint32_t ExtendedMax() const { return FCycles + FMaxSeq; }
  int64_t ExpectedSoFar() const;
  // The stream's network counts since the window last took them.
  void TakeNetworkCounts();
  // Settling: what has not been played by the time it leaves the depth is missing.
  void SettleUpTo(uint32_t Max);
  void Settle(uint32_t Count);
  void SettleOne();
  void EndStretch();
  uint32_t DelayPercentile95() const;

  void CloseWindow(int64_t EndUs);
  TQualityFigures Figures(const TCounters& C, int64_t StartUs, int64_t EndUs, std::optional<double> RoundTripMs,
                          double JitterMs, bool WithPercentile) const;
  TQualityFigures CallFigures(const TCounters& Call, int64_t JitterSum, uint32_t JitterWindows) const;

  TReceiveStatsSettings FSettings;
  int64_t FWindowUs;

  // The stream.
  bool FSourceKnown = false;
  uint32_t FSsrc = 0;
  uint16_t FMaxSeq = 0;
  uint32_t FCycles = 0;  // wraps of the sequence number, times 65536
  uint32_t FBaseSeq = 0;
  uint32_t FBadSeq = 0;
  int FProbation = 0;
  int64_t FReceived = 0;
  int64_t FReportExpectedPrior = 0, FReportReceivedPrior = 0;
  int64_t FWindowExpectedPrior = 0, FWindowReceivedPrior = 0;
  // Past its probation: counted and settled. Settling: the lowest extended
  // number not settled yet, and a bit per number from there, set once it played.
  bool FCounting = false;
  uint32_t FFrontier = 0;
  uint64_t FPlayed = 0;
  bool FLastMissing = false;
  // Jitter.
  bool FTransitKnown = false;
  int64_t FLastArrivalUs = 0;
  uint32_t FLastTimestamp = 0;
  int64_t FJitter = 0;  // microseconds, times 16

  // Playout.
  uint64_t FStretchMs = 0;  // made up or silent since the last real audio
  uint32_t FDeviceDelayMs = 0;
  std::optional<double> FRoundTripMs;
  double FRoundTripSum = 0;
  uint32_t FRoundTrips = 0;
  std::array<uint32_t, DelayBuckets> FDelayHistogram{};

  // Windows.
  int64_t FCallStartUs = 0;
  int64_t FNowUs = 0;  // the latest time Start or Advance was given
  int64_t FWindowStartUs = 0, FWindowEndUs = 0;
  TCounters FWindow;
  TCounters FCall;  // the closed windows
  int64_t FJitterEndSum = 0;  // over the windows with packets
  uint32_t FJitterWindows = 0;
  TReceiveSnapshot FClosed;  // Windows, Window, Worst
};
