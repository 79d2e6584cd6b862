#include "rtp/fixed_receive_path.h"

void TFixedReceivePath::Dimension(int32_t PayloadBytes, int32_t Count) {
  FPayloadBytes = PayloadBytes;
  FCount = Count;
  FBuffer.SetReadMax(static_cast<uint32_t>(Count * PayloadBytes));
  FBuffer.SetCapacity(Count * PayloadBytes);
}

void TFixedReceivePath::SetPayloadBytes(int32_t PayloadBytes) {
  FBuffer.SetThreshold(PayloadBytes);
  Dimension(PayloadBytes, FCount);
}

bool TFixedReceivePath::Push(int32_t Sender, const TRtpDatagramInfo& Info, const uint8_t* Payload, uint32_t) {
  const uint32_t Kept = FLongPackets.Keep(Sender, static_cast<uint32_t>(Info.PayloadLength), FCount, FPayloadBytes);
  FBuffer.WritePacket(Payload, static_cast<uint16_t>(Kept));
  return true;
}

void TFixedReceivePath::Play(TPlayout& Out) {
  if (Out.Playing() && !Out.Ready()) {
    // The data stays buffered; the next packet sets the event again.
    FBuffer.DataEvent().Reset();
    return;
  }
  // Without a playing earpiece (none found, busy, unplugged) the audio is
  // still taken as it comes, so that the recording keeps what the peer said.
  TAudioBlock Block;
  if (!FBuffer.Read(0, Block) || Block.Size == 0) return;
  Out.Play(Block.Data.get(), Block.Size);
}
