#pragma once
// TCallQuality: the receive statistics of every peer's call, from its
// CONNECTED to its DISCONNECTED: loss and jitter by RFC 3550 and the E-model
// score, over 10 s windows and the whole call. At a peer's going the call's
// record is made (and written when [Quality] CallRecords=1 asks for it).
//
// What the receive buffer made of the audio (made up, dropped, its delay) is
// not fed yet: the record shows those figures as not measured.
//
// It also keeps what the status page and the live gauges show: the peers now,
// the current call's last closed window, the windows closed over the last
// 15 minutes (of any call) and the last call records (every finished call,
// whether or not the record is written).
//
// Threads: every operation but View runs on the transport library's network
// thread (connect, datagram, disconnect); it locks itself so that View may be
// called from any thread.

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

// What the status page and the gauges need, copied out under the lock.
struct TCallQualityView {
  std::vector<TStatusPeer> Peers;
  // The figures of the last closed window of the call whose last packet is the
  // newest; none while no call runs or before its first window closed.
  std::optional<TCallFigures> Live;
  std::vector<TStatusPoint> History;  // oldest first, within StatusHistorySpan
  std::vector<TCallRecord> Records;   // newest first, at most StatusRecords
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
  };

  static int64_t DefaultClock();
  // A window of some call closed at Now (system clock): one point of the plot.
  void AddPoint(const TCallFigures& Figures, std::chrono::system_clock::time_point Now) REQUIRES(FLock);

  const TClock FClock;
  mutable Platform::TMutex FLock;
  std::map<int32_t, std::unique_ptr<TCall>> FCalls GUARDED_BY(FLock);
  uint64_t FHeard GUARDED_BY(FLock) = 0;  // packets counted, to tell which call was heard last
  // Bounded and reserved: a window's close never allocates.
  std::vector<TStatusPoint> FHistory GUARDED_BY(FLock);
  std::deque<TCallRecord> FRecords GUARDED_BY(FLock);
};
