#pragma once
// TCallQuality: the receive statistics of every peer's call, from its
// CONNECTED to its DISCONNECTED: loss and jitter by RFC 3550 and the E-model
// score, over 10 s windows and the whole call. At a peer's going the call's
// record is made (and written when [Quality] CallRecords=1 asks for it).
//
// What the receive buffer made of the audio (made up, dropped, its delay) is
// not fed yet: the record shows those figures as not measured.
//
// Threads: every operation runs on the transport library's network thread
// (connect, datagram, disconnect); it locks itself so that a reader elsewhere
// may come later.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/mutex.h"
#include "quality/call_record.h"
#include "quality/receive_stats.h"
#include "rtp/rtp_codec.h"

class TCallQuality {
public:
  // A peer's call begins.
  void Begin(int32_t ClientId, const std::string& Address, int32_t Port) EXCLUDES(FLock);
  // A datagram of the peer and what the acceptance rules made of it.
  void Packet(int32_t ClientId, const TRtpDatagramInfo& Info, TRtpVerdict Verdict) EXCLUDES(FLock);
  // The peer's call ends: its record, or none when the peer was not known.
  std::optional<TCallRecord> End(int32_t ClientId) EXCLUDES(FLock);
  // Every call ends without a record (the session stops).
  void Clear() EXCLUDES(FLock);

private:
  struct TCall {
    std::string Address;
    uint16_t Port = 0;
    std::chrono::system_clock::time_point Start;
    int64_t StartUs = 0;
    TReceiveStats Stats;
  };

  Platform::TMutex FLock;
  std::map<int32_t, std::unique_ptr<TCall>> FCalls GUARDED_BY(FLock);
};
