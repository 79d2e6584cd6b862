#pragma once
// TCallQuality: the receive statistics of every peer's call, from its
// CONNECTED to its DISCONNECTED: loss and jitter by RFC 3550 and the E-model
// score, over 10 s windows and the whole call. At a peer's going the call's
// record is made (and written when [Quality] CallRecords=1 asks for it).
//
// What the receive buffer made of the peer's audio comes from the session
// thread as it plays: each frame (or take) with how much of it was made up,
// how long it waited in the buffer and how much audio the earpiece held ahead
// of it; the time between the end of one and the next is silence; received
// audio thrown away is dropped.
//
// It also keeps what the status page and the live gauges show: the peers now,
// the current call's last closed window, the windows closed over the last
// 15 minutes (of any call), the last call records (every finished call,
// whether or not the record is written), and the totals of every finished call
// for the histograms of /metrics.
//
// Threads: Begin, Packet, Late and End run on the transport library's network
// thread (connect, datagram, disconnect), Played and StreamEnded on the
// session thread, Dropped on either; it locks itself (taking no other lock
// while it holds its own, allocating nothing per packet or frame), so that
// View may be called from any thread.

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "metrics/prometheus_text.h"
#include "metrics/status_page.h"
#include "platform/mutex.h"
#include "quality/call_record.h"
#include "quality/receive_stats.h"
#include "rtp/rtp_codec.h"

// What a peer's RTCP says of our audio (its report block about our SSRC).
struct TFarEndReport {
  double TxLossPercent = 0;                 // lost since the peer's previous report
  std::optional<double> CallTxLossPercent;  // lost over the call so far
  std::optional<double> RoundTripMs;        // measured with this report
};

// One peer's stream as a report block of ours tells of it.
struct TPeerReception {
  int32_t ClientId = 0;
  TReceptionReport Report;
};

// Every finished call added up once, at its end: the histograms of its
// record's MOS, loss and jitter, the packets its peer's stream lost on the
// network and the audio made up for it.
struct TCallTotals {
  // MOS: the bands of G.107's user satisfaction (R 50, 60, 70, 80, 90 are
  // MOS 2.58, 3.10, 3.60, 4.02, 4.34), and 4.4: a perfect narrowband call is 4.41.
  static constexpr std::array<double, 10> MosBounds{1, 2, 2.58, 3.1, 3.6, 4.02, 4.2, 4.34, 4.4, 4.5};
  // Loss as a ratio: none at all, then 0.1 % to half of the packets.
  static constexpr std::array<double, 11> LossBounds{0, 0.001, 0.0025, 0.005, 0.01, 0.02, 0.03, 0.05, 0.1, 0.2, 0.5};
  // Jitter in seconds: 1 ms to half a second.
  static constexpr std::array<double, 10> JitterBounds{0.001, 0.002, 0.005, 0.01, 0.02, 0.03, 0.05, 0.1, 0.2, 0.5};

  THistogramCounts<MosBounds.size()> Mos;
  THistogramCounts<LossBounds.size()> LossRatio;
  THistogramCounts<JitterBounds.size()> JitterSeconds;
  uint64_t LostPackets = 0;  // expected less received, of the calls that lost any
  uint64_t ConcealedMs = 0;

  // A finished call: its record's figures (those measured) and the counts behind them.
  void Add(const TCallFigures& Record, const TQualityFigures& Measured);
};

// What the receive buffer did with one peer's audio handed to the earpiece
// and the recording: a frame, or one packet of a take.
struct TFramePlayed {
  uint32_t Ms = 0;
  uint32_t MadeUpMs = 0;  // of it, made up in place of audio that did not come
  uint32_t DelayMs = 0;   // how long after its arrival it was taken from the buffer
  uint32_t DeviceMs = 0;  // audio queued in the earpiece ahead of it (0 without one)
  uint32_t Tick = 0;      // when it was handed over (the millisecond tick)
};

// What the status page and the gauges need, copied out under the lock.
struct TCallQualityView {
  std::vector<TStatusPeer> Peers;
  // The figures of the last closed window of the call whose last packet is the
  // newest; none while no call runs or before its first window closed.
  std::optional<TCallFigures> Live;
  std::vector<TStatusPoint> History;  // oldest first, within StatusHistorySpan
  std::vector<TCallRecord> Records;   // newest first, at most StatusRecords
  TCallTotals Totals;
};

class TCallQuality {
public:
  // Microseconds on a steady clock, any epoch (tests give their own).
  using TClock = int64_t (*)();
  explicit TCallQuality(TClock SteadyUs = DefaultClock);

  // A peer's call begins.
  void Begin(int32_t ClientId, const std::string& Address, int32_t Port) EXCLUDES(FLock);
  // A datagram of the peer and what the acceptance rules made of it.
  void Packet(int32_t ClientId, const TRtpDatagramInfo& Info, TRtpVerdict Verdict) EXCLUDES(FLock);
  // The peer's call ends: its record, or none when the peer was not known.
  std::optional<TCallRecord> End(int32_t ClientId) EXCLUDES(FLock);
  // Every call ends without a record (the session stops). History and records stay.
  void Clear() EXCLUDES(FLock);

  TCallQualityView View() const EXCLUDES(FLock);

  // RTCP. The reception report of every call whose stream has been heard, for
  // the blocks we send (each call's fraction lost counts anew from here).
  std::vector<TPeerReception> ReceptionReports() EXCLUDES(FLock);
  // What the peer reports of our audio: the live figures and the record show
  // it, and a round trip measured rates the call.
  void FarEnd(int32_t ClientId, const TFarEndReport& Report) EXCLUDES(FLock);
  // Session thread: the peer's audio played. The time since the end of its
  // audio played before (from the second frame on) was silence. It reads no
  // clock: the frame counts in the window open now (the packets close them).
  void Played(int32_t ClientId, const TFramePlayed& Frame) EXCLUDES(FLock);
  // Ms of the peer's received audio thrown away: an overflow of the buffer,
  // or a step to shorten its delay.
  void Dropped(int32_t ClientId, uint32_t Ms) EXCLUDES(FLock);
  // The peer's packet of Sequence, accepted, came after its turn: the buffer dropped it.
  void Late(int32_t ClientId, uint16_t Sequence) EXCLUDES(FLock);
  // Session thread: the last MadeUpMs played of the peer's audio followed the
  // end of its stream (a pause), not lost audio.
  void StreamEnded(int32_t ClientId, uint32_t MadeUpMs) EXCLUDES(FLock);
  // The figures of the peer's call so far; none when no call of it runs.
  std::optional<TReceiveSnapshot> Snapshot(int32_t ClientId) const EXCLUDES(FLock);

private:
  struct TCall {
    std::string Address;
    uint16_t Port = 0;
    std::chrono::system_clock::time_point Start;
    int64_t StartUs = 0;
    TReceiveStats Stats;
    std::optional<uint32_t> Ssrc;
    uint64_t LastHeard = 0;  // FHeard at its latest packet; 0: none yet
    std::optional<TCallFigures> Live;  // its last closed window
    // What the peer's RTCP said of our audio; empty until it did.
    std::optional<double> TxLossPercent, CallTxLossPercent, RttMs;
    double RttSumMs = 0;
    uint32_t Rtts = 0;
    std::optional<double> MeanRttMs() const {
      return Rtts > 0 ? std::optional<double>(RttSumMs / Rtts) : std::nullopt;
    }
    std::optional<uint32_t> PlayedUntil;  // the tick where its audio played so far ends
  };

  static int64_t DefaultClock();
  // A window of some call closed at Now (system clock): one point of the plot.
  void AddPoint(const TCallFigures& Figures, std::chrono::system_clock::time_point Now) REQUIRES(FLock);
  TCall* Find(int32_t ClientId) const REQUIRES(FLock);

  const TClock FClock;
  mutable Platform::TMutex FLock;
  std::map<int32_t, std::unique_ptr<TCall>> FCalls GUARDED_BY(FLock);
  uint64_t FHeard GUARDED_BY(FLock) = 0;  // packets counted, to tell which call was heard last
  // Bounded and reserved: a window's close never allocates.
  std::vector<TStatusPoint> FHistory GUARDED_BY(FLock);
  std::deque<TCallRecord> FRecords GUARDED_BY(FLock);
  TCallTotals FTotals GUARDED_BY(FLock);
};
