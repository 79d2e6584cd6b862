#pragma once
// The send path: a captured block becomes one RTP packet for every peer
// (protected once when the call is encrypted), and the same payload goes, plain,
// to the recording's sent channel and the sent raw file.
// After a stall (the machine stood still) the backlog leaves as at most
// SendBufCount packets together; the rest is dropped, so that the peer gets no
// burst and the delay does not grow.
//
// Threads: Reset on the host thread while the session thread waits; Send on
// the session thread; the counters from anywhere.

#include <atomic>
#include <chrono>
#include <cstdint>

#include "rtp/rtp_codec.h"
#include "rtp/send_pacer.h"

class TTPKTServer;
class TTCPAudioMixer;
class TRawFiles;
class TSessionSrtp;

// What a packet that left carried: for the sender report.
struct TSentPacket {
  uint32_t Ssrc = 0;
  uint16_t Sequence = 0;
  uint32_t Timestamp = 0;
  uint32_t PayloadBytes = 0;
};

class TSendPath {
public:
  TSendPath(TRtpCodec& Codec, TSessionSrtp& Srtp) : FCodec(Codec), FSrtp(Srtp) {}

  // The start: packets of PeriodUs each, at most Burst together.
  void Reset(std::chrono::microseconds Period, int32_t Burst);
  // One captured block of Size bytes to every peer of Transport; Raw may be
  // null (no raw files). True when the block left as a packet.
  bool Send(const uint8_t* Data, uint32_t Size, TTPKTServer& Transport, TTCPAudioMixer* Mixer, TRawFiles* Raw);

  uint64_t PacketsSent() const { return FPacketsSent; }
  uint64_t BytesSent() const { return FBytesSent; }  // every datagram to every peer
  // The last packet that left (session thread, after a Send that returned true).
  const TSentPacket& LastSent() const { return FLastSent; }

private:
  void Build(const uint8_t* Data, uint32_t Size, TTPKTServer& Transport, TTCPAudioMixer* Mixer, TRawFiles* Raw);

  TRtpCodec& FCodec;
  TSessionSrtp& FSrtp;
  TSendPacer FPacer;         // session thread
  int32_t FDropped = 0;      // session thread: packets dropped by the pacer since the last sent
  TRtpPacketBuffer FPacket{};  // session thread
  TSentPacket FLastSent;       // session thread
  std::atomic<uint64_t> FPacketsSent{0}, FBytesSent{0};
};
