#pragma once
// The fixed receive path: accepted packets wait whole in the receive jitter
// buffer; whenever the earpiece has a free buffer (or, without an earpiece,
// as they come) everything waiting is taken in one block and played.

#include "audio/jitter_buffer.h"
#include "rtp/long_packet_note.h"
#include "rtp/receive_path.h"

class TFixedReceivePath final : public TReceivePath {
public:
  static constexpr uint32_t WaitMsMax = 100;

  TFixedReceivePath() : FBuffer(0, 0, 0) {}

  // Host thread, while the session is stopped: one packet's bytes and the
  // number of packets the buffer (and each take) holds.
  void Dimension(int32_t PayloadBytes, int32_t Count);
  // Re-dimensions only the threshold (a packet's bytes), as a change of the
  // packet time alone does.
  void SetPayloadBytes(int32_t PayloadBytes);
  TJitterBuffer& Buffer() { return FBuffer; }

  bool TracksStreams() const override { return true; }
  bool Push(int32_t Sender, const TRtpDatagramInfo& Info, const uint8_t* Payload, uint32_t Now) override;
  void Forget(int32_t Sender) override { FLongPackets.Forget(Sender); }
  Platform::TEvent& DataEvent() override { return FBuffer.DataEvent(); }
  uint32_t WaitMs(const TPlayout&, uint32_t) override { return WaitMsMax; }
  void Play(TPlayout& Out) override;
  void Clear() override { FBuffer.Clear(); }

private:
  TJitterBuffer FBuffer;  // locks itself
  TLongPacketNote FLongPackets;  // locks itself
  // Written by the host thread while stopped, read afterwards.
  int32_t FPayloadBytes = 0;
  int32_t FCount = 0;
};
