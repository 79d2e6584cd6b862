#pragma once
// What of a peer's datagrams is audio to play: RTCP multiplexed on the RTP port
// (RFC 5761: a second byte of 192 to 223, packet types SR, RR, SDES, BYE, APP
// and the like in the place of marker and payload type) is recognised and
// ignored, and a packet whose payload type is not the configured one is not
// played (A-law is the only audio there is). Both are counted; a foreign
// payload type is logged once per source.
//
// Runs on the path of every received datagram, before the acceptance rules, so
// that neither kind moves the receive tracking or the send identity.

#include <atomic>
#include <cstdint>
#include <set>

#include "platform/mutex.h"
#include "rtp/rtp_codec.h"

enum class TRtpPayloadVerdict { Play, Rtcp, OtherPayloadType };

class TRtpPayloadFilter {
public:
  void SetPayloadType(uint8_t Value) {
    const uint8_t Type = Value & 0x7F;
    FPayloadType.store(Type, std::memory_order_relaxed);
    // A type that RTCP's second byte can never carry (outside 64 to 95) is
    // told by itself; any other goes the long way.
    FFastType.store(Type >= 64 && Type <= 95 ? NoFastType : Type, std::memory_order_relaxed);
  }

  // A datagram from Source (the transport's client id). Datagrams too short to
  // be played are left to the acceptance rules (Play), so that a start datagram
  // is not taken for a foreign payload type. The audio of every packet passes
  // here: its verdict is reached inline.
  TRtpPayloadVerdict Check(int32_t Source, const uint8_t* Data, uint32_t Size) {
    if (Size >= RtpMinDatagramLength && (Data[1] & 0x7F) == FFastType.load(std::memory_order_relaxed))
      return TRtpPayloadVerdict::Play;
    return CheckOther(Source, Data, Size);
  }
  // Source has left: a new sender with its id is logged afresh.
  void Forget(int32_t Source);

  uint64_t RtcpCount() const { return FRtcp.load(); }
  uint64_t OtherPayloadTypeCount() const { return FOther.load(); }

private:
  TRtpPayloadVerdict CheckOther(int32_t Source, const uint8_t* Data, uint32_t Size);

  static constexpr uint8_t NoFastType = 0xFF;  // matches no 7-bit type
  std::atomic<uint8_t> FPayloadType{8};
  std::atomic<uint8_t> FFastType{8};
  std::atomic<uint64_t> FRtcp{0};
  std::atomic<uint64_t> FOther{0};
  Platform::TMutex FLock;
  std::set<int32_t> FLogged GUARDED_BY(FLock);  // sources whose foreign payload type was logged
};
