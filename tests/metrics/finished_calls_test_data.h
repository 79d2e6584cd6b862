#pragma once
// Two calls through the call quality, as the session feeds it, for the tests
// of what /metrics makes of finished calls.

#include <cstdint>

#include "rtp/call_quality.h"

namespace MetricsTest {

inline int64_t CallClockUs = 0;
inline int64_t CallClock() { return CallClockUs; }

// A call of 500 packets 20 ms apart (the first makes the stream known), each
// played 30 ms after it came, behind 10 ms in the earpiece; the packets from
// LostFrom to LostTo never come and their time is made up.
inline void TalkAndHangUp(TCallQuality& Q, int32_t Id, uint16_t LostFrom, uint16_t LostTo) {
  Q.Begin(Id, "10.0.0.7", 5000 + Id);
  for (uint16_t Seq = 0; Seq < 500; ++Seq, CallClockUs += 20'000) {
    const bool Lost = Seq >= LostFrom && Seq < LostTo;
    TRtpDatagramInfo Info;
    Info.HeaderInside = true;
    Info.Version = 2;
    Info.SequenceNumber = Seq;
    Info.Timestamp = 160u * Seq;
    Info.Ssrc = 0x4242;
    if (!Lost) Q.Packet(Id, Info, TRtpVerdict::Accepted);
    Q.Played(Id, {20, Lost ? 20u : 0u, 30, 10, static_cast<uint32_t>(CallClockUs / 1000)});
  }
  Q.End(Id);
}

// A clean call, then one that lost 10 packets in a row; the view copied
// between and after them as the host copies it, more than once.
inline TCallQualityView TwoFinishedCalls() {
  CallClockUs = 1'000'000;
  TCallQuality Q(CallClock);
  TalkAndHangUp(Q, 1, 0, 0);
  Q.View();
  TalkAndHangUp(Q, 2, 100, 110);
  Q.View();
  return Q.View();
}

}  // namespace MetricsTest
