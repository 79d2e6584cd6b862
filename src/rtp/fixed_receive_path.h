#pragma once
// The fixed receive path: accepted packets wait whole in the receive jitter
// buffer; whenever the earpiece has a free buffer (or, without an earpiece,
// as they come) everything waiting is taken in one block and played. Each
// packet waits with its sender and arrival, so that its call learns how long
// it waited, or that an overflow dropped it; nothing is ever made up.

#include <vector>

#include "audio/jitter_buffer.h"
#include "rtp/call_quality.h"
#include "rtp/long_packet_note.h"
#include "rtp/receive_path.h"

class TFixedReceivePath final : public TReceivePath {
public:
  static constexpr uint32_t WaitMsMax = 100;

  explicit TFixedReceivePath(TCallQuality& Calls) : FBuffer(0, 0, 0), FCalls(Calls) {}

  // Host thread, while the session is stopped: one packet's bytes and the
  // number of packets the buffer (and each take) holds.
  void Dimension(int32_t PayloadBytes, int32_t Count);
  // Re-dimensions only the threshold (a packet's bytes), as a change of the
  // packet time alone does.
  void SetPayloadBytes(int32_t PayloadBytes);
  // Host thread, while the session is stopped: the audio's bytes per second.
  void SetByteRate(uint32_t BytesPerSecond) { FByteRate = BytesPerSecond; }
  TJitterBuffer& Buffer() { return FBuffer; }

  bool TracksStreams() const override { return true; }
  bool Push(int32_t Sender, const TRtpDatagramInfo& Info, const uint8_t* Payload, uint32_t Now) override;
  void Forget(int32_t Sender) override { FLongPackets.Forget(Sender); }
  Platform::TEvent& DataEvent() override { return FBuffer.DataEvent(); }
  uint32_t WaitMs(const TPlayout&, uint32_t) override { return WaitMsMax; }
  void Play(TPlayout& Out) override;
  void Clear() override { FBuffer.Clear(); }

private:
  uint32_t Ms(uint32_t Bytes) const { return FByteRate > 0 ? static_cast<uint32_t>(uint64_t{Bytes} * 1000 / FByteRate) : 0; }

  TJitterBuffer FBuffer;  // locks itself
  TLongPacketNote FLongPackets;  // locks itself
  TCallQuality& FCalls;  // locks itself
  std::vector<TTaggedPacket> FTaken;  // session thread: the packets of a take (grows to the most one held)
  // Written by the host thread while stopped, read afterwards.
  int32_t FPayloadBytes = 0;
  int32_t FCount = 0;
  uint32_t FByteRate = 0;
};
